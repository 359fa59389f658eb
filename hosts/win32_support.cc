// What every part of the Windows layer shares (see win32_support.h).

#include "hosts/win32_support.h"

#include <cstring>

namespace hosts {

std::string ErrorText(DWORD code) {
  // The one way a call of this tool's is aborted: it waited past the run's
  // deadline, or past the shorter limit of a step the run can do without.
  if (code == ERROR_OPERATION_ABORTED) {
    return "no answer within the time this tool allows it, so the call was cancelled (error 995)";
  }
  char* text = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message = length > 0 && text != nullptr ? std::string(text, length) : std::string();
  if (text != nullptr) LocalFree(text);
  while (!message.empty() && (message.back() == '\r' || message.back() == '\n' ||
                              message.back() == ' ' || message.back() == '.')) {
    message.pop_back();
  }
  for (char& c : message) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return (message.empty() ? std::string("error") : message) + " (error " + std::to_string(code) +
         ")";
}

DWORD NtError(const Win32Api& api, LONG status) {
  if (status >= 0) return ERROR_SUCCESS;
  const DWORD error =
      api.RtlNtStatusToDosError != nullptr ? api.RtlNtStatusToDosError(status) : ERROR_GEN_FAILURE;
  return error == ERROR_SUCCESS ? ERROR_GEN_FAILURE : error;
}

Answer FromNt(const Win32Api& api, LONG status) { return Answer{status, NtError(api, status)}; }

Status SystemStatus(Call call, const Answer& answer) {
  const LONG nt = answer.nt;
  const DWORD error = answer.error;
  // What an open of a file that should be there answers, also for the calls
  // below that open one.
  const auto opened = [&] {
    if (nt == kStatusOplockBreakInProgress) {
      return Status(Code::kBusy, "another program holds an opportunistic lock on it");
    }
    if (nt == kStatusFileIsADirectory) return Status::Failed("not a regular file (a folder)");
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
      return Status(Code::kNotFound, ErrorText(error));
    }
    if (IsSharingConflict(error)) return Status(Code::kBusy, ErrorText(error));
    return Status::Failed(ErrorText(error));
  };
  if (nt >= 0 && error == ERROR_SUCCESS && nt != kStatusOplockBreakInProgress) return Status();
  switch (call) {
    case Call::kOpen:
      return opened();
    case Call::kCreate:
      // A name that is taken, or whose file is still being deleted.
      if (nt == kStatusObjectNameCollision || nt == kStatusDeletePending) {
        return Status(Code::kExists, ErrorText(error));
      }
      // A folder this user may not add files to, or a write-protected volume.
      if (nt == kStatusAccessDenied || nt == kStatusMediaWriteProtected) {
        return Status(Code::kInPlaceOnly, ErrorText(error));
      }
      return opened();
    case Call::kIdentify:
      // A name whose file is being deleted right now: a change.
      if (nt == kStatusDeletePending || nt == kStatusAccessDenied) {
        return Status(Code::kChanged, ErrorText(error));
      }
      return opened();
    case Call::kTakeLock:
      if (nt == kStatusSharingViolation) {
        return Status(Code::kBusy, "another run of this tool holds it");
      }
      return opened();
    case Call::kRename:
      if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) {
        return Status(Code::kExists, ErrorText(error));
      }
      // A reader that does not share delete, or a file still being deleted,
      // keeps the name from being replaced until it lets go.
      if (error == ERROR_ACCESS_DENIED || IsSharingConflict(error)) {
        return Status(Code::kBusy, ErrorText(error));
      }
      // A name on another volume (a mount point) takes no replacement.
      if (error == ERROR_NOT_SAME_DEVICE) return Status(Code::kInPlaceOnly, ErrorText(error));
      return Status::Failed(ErrorText(error));
    case Call::kLockRange:
      if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING) {
        return Status(Code::kBusy, "another program has locked a part of it");
      }
      return Status::Failed(ErrorText(error));
    case Call::kReadSecurity:
      // No twin with the file's security can be made: only a rewrite in
      // place, which keeps it, can change the file.
      return Status(Code::kInPlaceOnly, ErrorText(error));
    case Call::kSetSecurity:
      if (error == ERROR_INVALID_OWNER || error == ERROR_ACCESS_DENIED ||
          error == ERROR_PRIVILEGE_NOT_HELD) {
        return Status(Code::kInPlaceOnly, ErrorText(error));
      }
      return Status::Failed(ErrorText(error));
    case Call::kOther:
      break;
  }
  return Status::Failed(ErrorText(error));
}

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::wstring Wide(const std::string& text) {
  const int length = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
  if (length <= 0) return std::wstring();
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide.data(), length);
  wide.resize(static_cast<std::size_t>(length - 1));
  return wide;
}

std::string Narrow(const std::wstring& text) {
  const int length = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (length <= 0) return std::string();
  std::string narrow(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, narrow.data(), length, nullptr, nullptr);
  narrow.resize(static_cast<std::size_t>(length - 1));
  return narrow;
}

LONG OpenRelative(const Win32Api& api, HANDLE root, const std::wstring& name, ACCESS_MASK access,
                  ULONG share, ULONG disposition, ULONG options, HANDLE* file, ULONG attributes,
                  PSECURITY_DESCRIPTOR security) {
  *file = INVALID_HANDLE_VALUE;
  if (api.NtCreateFile == nullptr) return static_cast<LONG>(0xC0000002);  // STATUS_NOT_IMPLEMENTED
  std::wstring wide = name;
  UNICODE_STRING object_name;
  object_name.Length = static_cast<USHORT>(wide.size() * sizeof(wchar_t));
  object_name.MaximumLength = object_name.Length;
  object_name.Buffer = wide.data();
  OBJECT_ATTRIBUTES object{};
  object.Length = sizeof object;
  object.RootDirectory = root;
  object.ObjectName = &object_name;
  object.Attributes = 0x40;  // OBJ_CASE_INSENSITIVE: Windows compares names without case
  object.SecurityDescriptor = security;
  IO_STATUS_BLOCK io{};
  HANDLE opened = INVALID_HANDLE_VALUE;
  const LONG status = api.NtCreateFile(
      &opened, access | SYNCHRONIZE, &object, &io, nullptr, attributes, share, disposition,
      options | 0x20 /* FILE_SYNCHRONOUS_IO_NONALERT */ | kCompleteIfOplocked, nullptr, 0);
  if (status >= 0) *file = opened;
  return status;
}

std::vector<char> RenameInfo(DWORD flags, HANDLE root, const std::string& target) {
  const std::wstring name = Wide(target);
  std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + sizeof(WCHAR) * (name.size() + 1));
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  std::memcpy(info, &flags, sizeof flags);
  info->RootDirectory = root;
  info->FileNameLength = static_cast<DWORD>(sizeof(WCHAR) * name.size());
  std::memcpy(info->FileName, name.c_str(), sizeof(WCHAR) * (name.size() + 1));
  return buffer;
}

bool SameFile(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

}  // namespace hosts

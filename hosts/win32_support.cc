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

Status ErrorStatus(DWORD code) {
  const Code kind = IsMissing(code)           ? Code::kNotFound
                    : IsSharingConflict(code) ? Code::kBusy
                                              : Code::kFailed;
  return Status(kind, ErrorText(code));
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

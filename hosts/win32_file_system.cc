// The file system seam on Windows, through Win32 directly (the calls go
// through the Win32Api table), with narrow (ANSI) paths.
//
// Sharing: the hosts file is read through a handle that shares reading and
// deleting but not writing, so no other program can change it from the read
// to the replace, while every reader can still read it. The temporary file is
// opened with delete access and shared for reading only: no other program
// can delete it or hold it in a way that stops its rename.
//
// The replace renames the temporary file over the hosts file by handle, which
// either happens whole or not at all. Where the file system can replace a
// file that is still open (POSIX semantics, Windows 10 1709 and later on
// NTFS), the hosts file stays held through the rename; elsewhere the update
// lets go of it, checks it once more, and renames.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "hosts/file_system.h"
#include "hosts/win32_api.h"

namespace hosts {
namespace {

// FILE_INFO_BY_HANDLE_CLASS and flags of the POSIX-semantics rename; not all
// SDK headers declare them.
constexpr auto kFileRenameInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);
constexpr DWORD kRenameReplaceIfExists = 0x1;
constexpr DWORD kRenamePosixSemantics = 0x2;

// What the temporary file takes from the hosts file besides its content.
constexpr SECURITY_INFORMATION kCopiedSecurity =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
constexpr DWORD kCopiedAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                    FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// The system's text for an error code, on one line.
std::string ErrorText(DWORD code) {
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

bool IsMissing(DWORD code) { return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND; }

// Another program has the file open in a way that conflicts, for now.
bool IsSharingConflict(DWORD code) {
  return code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION;
}

Status ErrorStatus(DWORD code) {
  const Code kind = IsMissing(code)           ? Code::kNotFound
                    : IsSharingConflict(code) ? Code::kBusy
                                              : Code::kFailed;
  return Status(kind, ErrorText(code));
}

HANDLE AsHandle(FileHandle file) { return reinterpret_cast<HANDLE>(file); }
FileHandle AsFileHandle(HANDLE handle) { return reinterpret_cast<FileHandle>(handle); }

void FillInfo(const BY_HANDLE_FILE_INFORMATION& data, FileInfo* info) {
  *info = FileInfo();
  info->exists = true;
  info->device = data.dwVolumeSerialNumber;
  info->id = (static_cast<std::uint64_t>(data.nFileIndexHigh) << 32) | data.nFileIndexLow;
  info->size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  const std::uint64_t ticks =
      (static_cast<std::uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
      data.ftLastWriteTime.dwLowDateTime;
  info->mtime_ns = static_cast<std::int64_t>(ticks) * 100;
  info->links = data.nNumberOfLinks;
  info->read_only = (data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
}

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

class Win32FileSystem : public FileSystem {
 public:
  explicit Win32FileSystem(const Win32Api& api) : api_(api) {}

  Status GetEnv(const char* name, std::string* value) override {
#ifdef _MSC_VER
    char* copy = nullptr;
    std::size_t size = 0;
    if (_dupenv_s(&copy, &size, name) != 0) return Status::Failed("out of memory");
    if (copy == nullptr) return Status(Code::kNotFound, "not set");
    value->assign(copy);
    std::free(copy);
    return Status();
#else
    // The same allocating lookup by hand: size the value, copy it into a
    // buffer of that size; the only failure is running out of memory.
    DWORD needed = api_.GetEnvironmentVariableA(name, nullptr, 0);
    for (int attempt = 0; attempt < 4; ++attempt) {
      if (needed == 0) {
        if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return Status(Code::kNotFound, "not set");
        value->clear();
        return Status();
      }
      char* copy = static_cast<char*>(std::malloc(needed));
      if (copy == nullptr) return Status::Failed("out of memory");
      const DWORD got = api_.GetEnvironmentVariableA(name, copy, needed);
      if (got < needed) {
        const bool unset = got == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND;
        if (!unset) value->assign(copy, got);
        std::free(copy);
        return unset ? Status(Code::kNotFound, "not set") : Status();
      }
      // The value grew in between; size it again.
      std::free(copy);
      needed = got;
    }
    return Status::Failed("the value keeps changing");
#endif
  }

  Status ReadLink(const std::string& path, std::string* target) override {
    const DWORD attributes = api_.GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
      return Status(Code::kNotFound, "");
    }
    // A symbolic link: the final path of the file it leads to. Where that
    // cannot be had (a dangling link, a volume without a drive letter) the
    // update must not go on, or it would replace the link with a file.
    const HANDLE file = api_.CreateFileA(path.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return Status::Failed(ErrorText(GetLastError()));
    std::string final_path(MAX_PATH, '\0');
    DWORD length = 0;
    for (int attempt = 0; attempt < 2; ++attempt) {
      length = api_.GetFinalPathNameByHandleA(file, final_path.data(),
                                              static_cast<DWORD>(final_path.size()),
                                              FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
      if (length < final_path.size()) break;
      final_path.resize(length + 1);
    }
    const DWORD error = GetLastError();
    api_.CloseHandle(file);
    if (length == 0 || length >= final_path.size()) return Status::Failed(ErrorText(error));
    final_path.resize(length);
    if (final_path.rfind("\\\\?\\UNC\\", 0) == 0) {
      final_path = "\\\\" + final_path.substr(8);
    } else if (final_path.rfind("\\\\?\\", 0) == 0) {
      final_path = final_path.substr(4);
    }
    // Another kind of reparse point that leads to itself is not a link.
    if (Lower(final_path) == Lower(path)) return Status(Code::kNotFound, "");
    *target = final_path;
    return Status();
  }

  Status LockUpdates(const std::string& path, FileHandle* lock) override {
    // One named mutex per hosts file, in the namespace every session shares,
    // so that a service and an installer serialize too. A killed holder
    // leaves it abandoned, which the next run takes over.
    std::uint64_t hash = 14695981039346656037ull;
    for (const char c : Lower(path))
      hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    char name[64];
    std::snprintf(name, sizeof name, "Global\\hosts_entry_tool-%016llx",
                  static_cast<unsigned long long>(hash));
    const HANDLE mutex = api_.CreateMutexA(nullptr, FALSE, name);
    if (mutex == nullptr) return Status::Failed(ErrorText(GetLastError()));
    const DWORD waited = api_.WaitForSingleObject(mutex, 0);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
      *lock = AsFileHandle(mutex);
      return Status();
    }
    const DWORD error = GetLastError();
    api_.CloseHandle(mutex);
    if (waited == WAIT_TIMEOUT) return Status(Code::kBusy, "another run of this tool holds it");
    return Status::Failed(ErrorText(error));
  }

  void Unlock(FileHandle lock) override {
    api_.ReleaseMutex(AsHandle(lock));
    api_.CloseHandle(AsHandle(lock));
  }

  Status ListSiblings(const std::string& prefix, std::vector<std::string>* paths) override {
    const std::string directory = prefix.substr(0, prefix.find_last_of("\\/") + 1);
    WIN32_FIND_DATAA found;
    const HANDLE search = api_.FindFirstFileA((prefix + "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
      const DWORD error = GetLastError();
      return error == ERROR_FILE_NOT_FOUND ? Status() : ErrorStatus(error);
    }
    do {
      paths->push_back(directory + found.cFileName);
    } while (api_.FindNextFileA(search, &found));
    api_.FindClose(search);
    return Status();
  }

  Status RemoveStale(const std::string& path) override {
    // A live run's temporary file refuses the delete: it is shared without
    // FILE_SHARE_DELETE.
    if (api_.DeleteFileA(path.c_str())) return Status();
    const DWORD error = GetLastError();
    if (IsMissing(error)) return Status();
    if (error == ERROR_ACCESS_DENIED || IsSharingConflict(error)) {
      return Status(Code::kBusy, ErrorText(error));
    }
    return Status::Failed(ErrorText(error));
  }

  Status OpenHeld(const std::string& path, FileHandle* file, FileInfo* info) override {
    return OpenRegular(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, file, info);
  }

  Status Read(FileHandle file, char* buffer, std::size_t size, std::size_t* got) override {
    const DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
    DWORD read = 0;
    if (!api_.ReadFile(AsHandle(file), buffer, chunk, &read, nullptr)) {
      return Status::Failed(ErrorText(GetLastError()));
    }
    *got = read;
    return Status();
  }

  Status Identify(const std::string& path, FileInfo* info) override {
    const HANDLE file = api_.CreateFileA(path.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return ErrorStatus(GetLastError());
    BY_HANDLE_FILE_INFORMATION data;
    const bool ok = api_.GetFileInformationByHandle(file, &data) != 0;
    const DWORD error = GetLastError();
    api_.CloseHandle(file);
    if (!ok) return Status::Failed(ErrorText(error));
    FillInfo(data, info);
    return Status();
  }

  Status CreateTemp(const std::string& path, FileHandle original, FileHandle* file) override {
    DWORD attributes = FILE_ATTRIBUTE_NORMAL;
    BY_HANDLE_FILE_INFORMATION data;
    if (original != kNoFile) {
      if (!api_.GetFileInformationByHandle(AsHandle(original), &data)) {
        return Status::Failed(ErrorText(GetLastError()));
      }
      if ((data.dwFileAttributes & kCopiedAttributes) != 0) {
        attributes = data.dwFileAttributes & kCopiedAttributes;
      }
    }
    const HANDLE handle = api_.CreateFileA(
        path.c_str(), GENERIC_WRITE | DELETE | READ_CONTROL | WRITE_DAC | WRITE_OWNER,
        FILE_SHARE_READ, nullptr, CREATE_NEW, attributes, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      const DWORD error = GetLastError();
      // A name whose file is still being deleted answers "access denied";
      // it is taken all the same.
      if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ||
          (error == ERROR_ACCESS_DENIED && IsListed(path))) {
        return Status(Code::kExists, ErrorText(error));
      }
      return Status::Failed(ErrorText(error));
    }
    if (original != kNoFile) {
      Status copied = CopySecurity(AsHandle(original), handle);
      if (!copied.ok()) {
        DiscardTemp(AsFileHandle(handle), path);
        return copied.In("cannot give it the hosts file's owner and permissions");
      }
    }
    *file = AsFileHandle(handle);
    return Status();
  }

  Status WriteTemp(FileHandle file, std::string_view data) override {
    return WriteAll(AsHandle(file), data);
  }

  Status Sync(FileHandle file) override {
    if (!api_.FlushFileBuffers(AsHandle(file))) return Status::Failed(ErrorText(GetLastError()));
    return Status();
  }

  Status CommitTemp(FileHandle file, const std::string& /*path*/, const std::string& target,
                    bool replace) override {
    if (replace && !classic_renames_only_) {
      const DWORD error =
          Rename(file, target, kFileRenameInfoEx, kRenameReplaceIfExists | kRenamePosixSemantics);
      if (error == ERROR_SUCCESS) return Closed(file);
      if (error != ERROR_INVALID_PARAMETER && error != ERROR_NOT_SUPPORTED &&
          error != ERROR_INVALID_FUNCTION) {
        return RenameStatus(error);
      }
      // This system or volume cannot replace a file that is open.
      classic_renames_only_ = true;
      return Status(Code::kHeldHere, ErrorText(error));
    }
    const DWORD error = Rename(file, target, FileRenameInfo, replace ? TRUE : FALSE);
    return error == ERROR_SUCCESS ? Closed(file) : RenameStatus(error);
  }

  Status DiscardTemp(FileHandle file, const std::string& /*path*/) override {
    FILE_DISPOSITION_INFO disposition{TRUE};
    const bool marked = api_.SetFileInformationByHandle(AsHandle(file), FileDispositionInfo,
                                                        &disposition, sizeof disposition) != 0;
    const DWORD error = GetLastError();
    api_.CloseHandle(AsHandle(file));
    return marked ? Status() : Status::Failed(ErrorText(error));
  }

  Status OpenInPlace(const std::string& path, FileHandle* file, FileInfo* info) override {
    return OpenRegular(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, file, info);
  }

  Status Overwrite(FileHandle file, std::string_view data) override {
    // Writing before cutting means the file is never seen empty.
    const HANDLE handle = AsHandle(file);
    LARGE_INTEGER start{};
    if (!api_.SetFilePointerEx(handle, start, nullptr, FILE_BEGIN)) {
      return Status::Failed(ErrorText(GetLastError()));
    }
    if (Status status = WriteAll(handle, data); !status.ok()) return status;
    if (!api_.SetEndOfFile(handle)) return Status::Failed(ErrorText(GetLastError()));
    return Sync(file);
  }

  Status Close(FileHandle file) override {
    if (!api_.CloseHandle(AsHandle(file))) return Status::Failed(ErrorText(GetLastError()));
    return Status();
  }

  void Sleep(int milliseconds) override { api_.Sleep(static_cast<DWORD>(milliseconds)); }

 private:
  static constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

  Status OpenRegular(const std::string& path, DWORD access, DWORD share, FileHandle* file,
                     FileInfo* info) {
    const HANDLE handle = api_.CreateFileA(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return ErrorStatus(GetLastError());
    BY_HANDLE_FILE_INFORMATION data;
    Status status;
    if (!api_.GetFileInformationByHandle(handle, &data)) {
      status = Status::Failed(ErrorText(GetLastError()));
    } else if (api_.GetFileType(handle) != FILE_TYPE_DISK ||
               (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      status = Status::Failed("not a regular file");
    }
    if (!status.ok()) {
      api_.CloseHandle(handle);
      return status;
    }
    FillInfo(data, info);
    *file = AsFileHandle(handle);
    return status;
  }

  Status WriteAll(HANDLE handle, std::string_view data) {
    while (!data.empty()) {
      const DWORD chunk = data.size() > (1u << 30) ? (1u << 30) : static_cast<DWORD>(data.size());
      DWORD written = 0;
      if (!api_.WriteFile(handle, data.data(), chunk, &written, nullptr)) {
        return Status::Failed(ErrorText(GetLastError()));
      }
      if (written == 0) return Status::Failed("nothing was written");
      data.remove_prefix(written);
    }
    return Status();
  }

  // Whether a directory entry of that exact name exists, even one whose file
  // is being deleted.
  bool IsListed(const std::string& path) {
    WIN32_FIND_DATAA found;
    const HANDLE search = api_.FindFirstFileA(path.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return false;
    api_.FindClose(search);
    return true;
  }

  // Gives `to` the owner, group and DACL of `from`, byte for byte. Only a
  // process that may restore files can give a file an owner other than
  // itself, so that privilege is switched on when the owner is refused.
  Status CopySecurity(HANDLE from, HANDLE to) {
    DWORD size = 0;
    api_.GetKernelObjectSecurity(from, kCopiedSecurity, nullptr, 0, &size);
    std::vector<char> descriptor(size == 0 ? 1 : size);
    if (!api_.GetKernelObjectSecurity(from, kCopiedSecurity, descriptor.data(), size, &size)) {
      return Status::Failed(ErrorText(GetLastError()));
    }
    if (api_.SetKernelObjectSecurity(to, kCopiedSecurity, descriptor.data())) return Status();
    DWORD error = GetLastError();
    if (error == ERROR_INVALID_OWNER && EnableRestorePrivilege()) {
      if (api_.SetKernelObjectSecurity(to, kCopiedSecurity, descriptor.data())) return Status();
      error = GetLastError();
    }
    return Status::Failed(ErrorText(error));
  }

  bool EnableRestorePrivilege() {
    HANDLE token = nullptr;
    if (!api_.OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token)) return false;
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    bool enabled =
        api_.LookupPrivilegeValueA(nullptr, "SeRestorePrivilege", &privileges.Privileges[0].Luid) &&
        api_.AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) &&
        GetLastError() == ERROR_SUCCESS;  // not ERROR_NOT_ALL_ASSIGNED
    api_.CloseHandle(token);
    return enabled;
  }

  // Renames an open file by its handle; the Win32 error, or ERROR_SUCCESS.
  DWORD Rename(FileHandle file, const std::string& target, FILE_INFO_BY_HANDLE_CLASS kind,
               DWORD flags) {
    const int length = MultiByteToWideChar(CP_ACP, 0, target.c_str(), -1, nullptr, 0);
    if (length <= 0) return GetLastError();
    // FILE_RENAME_INFO ends in the new name, in UTF-16.
    std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + sizeof(WCHAR) * length);
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    std::memcpy(info, &flags, sizeof flags);  // ReplaceIfExists, or Flags for the Ex class
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(sizeof(WCHAR) * (length - 1));
    MultiByteToWideChar(CP_ACP, 0, target.c_str(), -1, info->FileName, length);
    if (api_.SetFileInformationByHandle(AsHandle(file), kind, info,
                                        static_cast<DWORD>(buffer.size()))) {
      return ERROR_SUCCESS;
    }
    const DWORD error = GetLastError();
    return error == ERROR_SUCCESS ? ERROR_GEN_FAILURE : error;
  }

  static Status RenameStatus(DWORD error) {
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) {
      return Status(Code::kExists, ErrorText(error));
    }
    // A reader that does not share delete, or a file still being deleted,
    // keeps the name from being replaced until it lets go.
    if (error == ERROR_ACCESS_DENIED || IsSharingConflict(error)) {
      return Status(Code::kBusy, ErrorText(error));
    }
    return Status::Failed(ErrorText(error));
  }

  Status Closed(FileHandle file) {
    api_.CloseHandle(AsHandle(file));
    return Status();
  }

  const Win32Api api_;
  bool classic_renames_only_ = false;
};

}  // namespace

std::unique_ptr<FileSystem> MakeWin32FileSystem(const Win32Api& api) {
  return std::make_unique<Win32FileSystem>(api);
}

FileSystem& RealFileSystem() {
  static Win32FileSystem file_system{Win32Api()};
  return file_system;
}

}  // namespace hosts

// The file system seam on Windows, through Win32 directly (the calls go
// through the Win32Api table), with narrow (ANSI) paths.
//
// What the tool touches: SystemRoot must name the system's own Windows
// directory; the hosts file's folder is opened once, refused if it is a
// reparse point, and held without sharing delete, so that it cannot be
// renamed or replaced meanwhile; every file opened by name is checked to be
// in that folder before anything is written, and the rename names its target
// relative to the folder's handle. Links are followed only when they belong
// to the system, and the process refuses junctions made by other users where
// Windows can (RedirectionGuard).
//
// Sharing: the hosts file is read through a handle that shares reading and
// deleting but not writing, so no other program can change it from the read
// to the replace, while every reader can still read it. The temporary file is
// opened with delete access and shared for reading only: no other program
// can delete it or hold it in a way that stops its rename.
//
// The replace renames the temporary file over the hosts file by handle, which
// either happens whole or not at all. Where the file system can replace a
// file that is still open (POSIX semantics, Windows 10 1607 and later on
// NTFS), the hosts file stays held through the rename; elsewhere the update
// lets go of it, checks it once more, and renames.

#include <windows.h>
// windows.h first
#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
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

// "The requested operation could not be completed due to a file system
// limitation"; not all SDK headers declare it.
constexpr DWORD kErrorFileSystemLimitation = 665;

// PROCESS_MITIGATION_POLICY of RedirectionGuard, and its EnforceRedirectionTrust flag.
constexpr auto kProcessRedirectionTrustPolicy = static_cast<PROCESS_MITIGATION_POLICY>(16);
constexpr DWORD kEnforceRedirectionTrust = 0x1;

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// What the temporary file takes from the hosts file besides its content.
constexpr SECURITY_INFORMATION kCopiedSecurity =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
constexpr DWORD kCopiedAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                    FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// The lock's descriptor: owned by Administrators, which only an elevated
// administrator or SYSTEM can give an object, and open to those two alone.
constexpr char kLockSecurity[] = "O:BAD:(A;;GA;;;SY)(A;;GA;;;BA)";

// The accounts whose files and links the tool trusts: SYSTEM, Administrators
// and TrustedInstaller.
constexpr const char* kSystemAccounts[] = {
    "S-1-5-18", "S-1-5-32-544", "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"};

// The component store's folder for the hosts file, as Windows 10 and 11 name it.
constexpr char kStoreComponent[] = "\\WinSxS\\*_microsoft-windows-w..ucture-other-minwin_*";

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

// The answers of the POSIX-semantics rename on a system or volume that lacks it.
bool IsUnsupported(DWORD code) {
  return code == ERROR_INVALID_PARAMETER || code == ERROR_NOT_SUPPORTED ||
         code == ERROR_INVALID_FUNCTION || code == kErrorFileSystemLimitation;
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

bool SameFile(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
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

std::string SidText(PSID sid) {
  char* text = nullptr;
  if (sid == nullptr || !ConvertSidToStringSidA(sid, &text)) return "nobody";
  std::string result = text;
  LocalFree(text);
  return result;
}

// A handle closed when it goes out of scope.
struct HandleCloser {
  const Win32Api* api;
  void operator()(HANDLE handle) const {
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) api->CloseHandle(handle);
  }
};
using ScopedHandle = std::unique_ptr<void, HandleCloser>;

// Memory the system allocated with LocalAlloc.
struct LocalFreer {
  void operator()(void* memory) const { LocalFree(memory); }
};
using LocalMemory = std::unique_ptr<void, LocalFreer>;

// SeRestorePrivilege switched on for as long as this lives, and back to what
// it was afterwards. With it a process may give a file an owner other than
// itself.
class RestorePrivilege {
 public:
  explicit RestorePrivilege(const Win32Api& api) : api_(api) {
    if (!api_.OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY,
                               &token_)) {
      token_ = nullptr;
      return;
    }
    TOKEN_PRIVILEGES wanted{};
    wanted.PrivilegeCount = 1;
    wanted.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    DWORD size = 0;
    enabled_ =
        api_.LookupPrivilegeValueA(nullptr, "SeRestorePrivilege", &wanted.Privileges[0].Luid) &&
        api_.AdjustTokenPrivileges(token_, FALSE, &wanted, sizeof previous_, &previous_, &size) &&
        GetLastError() == ERROR_SUCCESS;  // not ERROR_NOT_ALL_ASSIGNED
  }
  RestorePrivilege(const RestorePrivilege&) = delete;
  RestorePrivilege& operator=(const RestorePrivilege&) = delete;
  ~RestorePrivilege() {
    if (enabled_) api_.AdjustTokenPrivileges(token_, FALSE, &previous_, 0, nullptr, nullptr);
    if (token_ != nullptr) api_.CloseHandle(token_);
  }
  bool enabled() const { return enabled_; }

 private:
  const Win32Api& api_;
  HANDLE token_ = nullptr;
  TOKEN_PRIVILEGES previous_{};
  bool enabled_ = false;
};

class Win32FileSystem : public FileSystem {
 public:
  explicit Win32FileSystem(const Win32Api& api) : api_(api) {
    // Junctions made by users who are not administrators are not followed,
    // where Windows has RedirectionGuard; elsewhere this does nothing.
    if (api_.SetProcessMitigationPolicy != nullptr) {
      DWORD policy = kEnforceRedirectionTrust;
      api_.SetProcessMitigationPolicy(kProcessRedirectionTrustPolicy, &policy, sizeof policy);
    }
  }

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

  Status CheckSystemRoot(const std::string& root, std::string* checked) override {
    if (root.empty()) return Status::Failed("is empty");
    if (root.size() >= 2 && (root[0] == '\\' || root[0] == '/') &&
        (root[1] == '\\' || root[1] == '/')) {
      return Status::Failed("is a network or device path");
    }
    const bool drive = root.size() >= 2 && root[1] == ':' &&
                       ((root[0] >= 'A' && root[0] <= 'Z') || (root[0] >= 'a' && root[0] <= 'z'));
    if (drive && (root.size() == 2 || (root[2] != '\\' && root[2] != '/'))) {
      return Status::Failed("is relative to a drive's current folder");
    }
    if (!drive) return Status::Failed("is not an absolute path");
    char system[MAX_PATH];
    const UINT length = api_.GetSystemWindowsDirectoryA(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
      return Status::Failed(ErrorText(GetLastError())).In("the Windows directory cannot be read");
    }
    // The same folder however it is spelled: compared by volume and file ID.
    BY_HANDLE_FILE_INFORMATION named;
    BY_HANDLE_FILE_INFORMATION windows;
    if (Status status = Describe(root, &named); !status.ok()) return status;
    if (Status status = Describe(system, &windows); !status.ok()) return status.In(system);
    if (!SameFile(named, windows)) {
      return Status::Failed("is not the Windows directory, " + std::string(system));
    }
    *checked = system;
    return Status();
  }

  Status FollowLink(const std::string& path, std::string* target) override {
    const DWORD attributes = api_.GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
      return Status(Code::kNotFound, "");
    }
    // A symbolic link: the final path of the file it leads to. Where that
    // cannot be had (a dangling link, a volume without a drive letter) the
    // update must not go on, or it would replace the link with a file.
    ScopedHandle file(api_.CreateFileA(path.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_BACKUP_SEMANTICS, nullptr),
                      HandleCloser{&api_});
    if (file.get() == INVALID_HANDLE_VALUE) return Status::Failed(ErrorText(GetLastError()));
    std::string final_path;
    if (Status status = FinalPath(file.get(), &final_path); !status.ok()) return status;
    // Another kind of reparse point that leads to itself is not a link.
    if (Lower(final_path) == Lower(path)) return Status(Code::kNotFound, "");

    // Followed only when the system made it, and leads into a folder the
    // system owns: no other user can steer the update through it.
    ScopedHandle link(
        api_.CreateFileA(path.c_str(), READ_CONTROL, kShareAll, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr),
        HandleCloser{&api_});
    if (Status status = CheckOwner(link.get(), SE_FILE_OBJECT, false); !status.ok())
      return status.In("the link");
    std::string folder, name;
    SplitPath(final_path, &folder, &name);
    ScopedHandle into(api_.CreateFileA(folder.c_str(), READ_CONTROL, kShareAll, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr),
                      HandleCloser{&api_});
    if (Status status = CheckOwner(into.get(), SE_FILE_OBJECT, false); !status.ok()) {
      return status.In("the folder it leads to, " + folder);
    }
    *target = final_path;
    return Status();
  }

  Status OpenFolder(const std::string& path, FileHandle* folder) override {
    // Not shared for deleting: nobody can rename or remove it while it is open.
    const HANDLE handle = api_.CreateFileA(
        path.c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE | READ_CONTROL | SYNCHRONIZE,
        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return Status::Failed(ErrorText(GetLastError()));
    BY_HANDLE_FILE_INFORMATION data;
    Status status;
    if (!api_.GetFileInformationByHandle(handle, &data)) {
      status = Status::Failed(ErrorText(GetLastError()));
    } else if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      status = Status::Failed("it is a junction, link or other reparse point");
    } else if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      status = Status::Failed("it is not a folder");
    }
    if (!status.ok()) {
      api_.CloseHandle(handle);
      return status;
    }
    *folder = AsFileHandle(handle);
    return status;
  }

  Status LockUpdates(const Folder& folder, FileHandle* lock) override {
    // One named mutex per hosts folder, named by the folder's identity, in
    // the namespace every session shares, so that a service and an
    // installer serialize too. A killed holder leaves it abandoned, which
    // the next run takes over.
    BY_HANDLE_FILE_INFORMATION data;
    if (!api_.GetFileInformationByHandle(AsHandle(folder.handle), &data)) {
      return Status::Failed(ErrorText(GetLastError()));
    }
    char name[80];
    std::snprintf(name, sizeof name, "Global\\hosts_entry_tool-%08lx-%08lx%08lx",
                  data.dwVolumeSerialNumber, data.nFileIndexHigh, data.nFileIndexLow);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, FALSE};
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(
            kLockSecurity, SDDL_REVISION_1, &attributes.lpSecurityDescriptor, nullptr)) {
      return Status::Failed(ErrorText(GetLastError()));
    }
    const LocalMemory descriptor(attributes.lpSecurityDescriptor);
    // An existing one is opened for waiting and reading its owner only.
    const HANDLE mutex = api_.CreateMutexExA(&attributes, name, 0, SYNCHRONIZE | READ_CONTROL);
    const DWORD created = GetLastError();
    if (mutex == nullptr) return Status::Failed(ErrorText(created));
    // A name someone else made first is not this tool's lock: going on at
    // once without it (and without removing leftovers) is safe, and waiting
    // for it would let that program stall every run.
    if (created == ERROR_ALREADY_EXISTS) {
      if (Status status = CheckOwner(mutex, SE_KERNEL_OBJECT, false); !status.ok()) {
        api_.CloseHandle(mutex);
        return status.In("the lock's name is held by another program");
      }
    }
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

  Status ListSiblings(const Folder& folder, const std::string& prefix,
                      std::vector<std::string>* names) override {
    WIN32_FIND_DATAA found;
    const HANDLE search = api_.FindFirstFileA(PathOf(folder, prefix + "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
      const DWORD error = GetLastError();
      return error == ERROR_FILE_NOT_FOUND ? Status() : ErrorStatus(error);
    }
    do {
      names->push_back(found.cFileName);
    } while (api_.FindNextFileA(search, &found));
    api_.FindClose(search);
    return Status();
  }

  Status RemoveStale(const Folder& folder, const std::string& name) override {
    // Opened as it is, not through a link, for deleting. A live run's
    // temporary file refuses: it is shared without FILE_SHARE_DELETE.
    const std::string path = PathOf(folder, name);
    ScopedHandle file(api_.CreateFileA(path.c_str(), DELETE | READ_CONTROL, kShareAll, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr),
                      HandleCloser{&api_});
    if (file.get() == INVALID_HANDLE_VALUE) {
      const DWORD error = GetLastError();
      if (IsMissing(error)) return Status();
      return Status(IsSharingConflict(error) ? Code::kBusy : Code::kFailed, ErrorText(error));
    }
    // Only what this tool could have made: a regular file with one name, in
    // this folder, owned by the system or by the account this tool runs as.
    BY_HANDLE_FILE_INFORMATION data;
    if (!api_.GetFileInformationByHandle(file.get(), &data)) {
      return Status::Failed(ErrorText(GetLastError()));
    }
    if ((data.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
        data.nNumberOfLinks != 1) {
      return Status::Failed("not a file this tool made");
    }
    if (Status status = CheckOwner(file.get(), SE_FILE_OBJECT, true); !status.ok()) return status;
    if (Status status = CheckInFolder(file.get(), folder, name); !status.ok()) return status;
    FILE_DISPOSITION_INFO disposition{TRUE};
    if (!api_.SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition,
                                         sizeof disposition)) {
      return Status::Failed(ErrorText(GetLastError()));
    }
    return Status();
  }

  Status OpenHeld(const Folder& folder, const std::string& name, FileHandle* file,
                  FileInfo* info) override {
    Status status =
        OpenRegular(folder, name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, file, info);
    if (status.ok()) held_.insert(AsHandle(*file));
    return status;
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

  Status Identify(const Folder& folder, const std::string& name, FileInfo* info) override {
    const HANDLE file =
        api_.CreateFileA(PathOf(folder, name).c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return ErrorStatus(GetLastError());
    BY_HANDLE_FILE_INFORMATION data;
    const bool ok = api_.GetFileInformationByHandle(file, &data) != 0;
    const DWORD error = GetLastError();
    api_.CloseHandle(file);
    if (!ok) return Status::Failed(ErrorText(error));
    FillInfo(data, info);
    return Status();
  }

  Status CreateTemp(const Folder& folder, const std::string& name, FileHandle original,
                    FileHandle* file) override {
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
    const std::string path = PathOf(folder, name);
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
      // A folder this user may not add files to, or a write-protected volume.
      const bool refused = error == ERROR_ACCESS_DENIED || error == ERROR_WRITE_PROTECT;
      return Status(refused ? Code::kInPlaceOnly : Code::kFailed, ErrorText(error));
    }
    Status status = CheckInFolder(handle, folder, name);
    if (status.ok() && original != kNoFile) {
      status = CopySecurity(AsHandle(original), handle)
                   .In("cannot give it the hosts file's owner and permissions");
    }
    if (!status.ok()) {
      DiscardTemp(AsFileHandle(handle), folder, name);
      return status;
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

  Status CommitTemp(FileHandle file, const Folder& folder, const std::string& /*name*/,
                    const std::string& target, bool replace) override {
    if (replace && !classic_renames_only_) {
      const DWORD error = Rename(file, folder, target, kFileRenameInfoEx,
                                 kRenameReplaceIfExists | kRenamePosixSemantics);
      if (error == ERROR_SUCCESS) return Committed(file);
      if (!IsUnsupported(error)) return RenameStatus(error);
      // This system or volume cannot replace a file that is open.
      classic_renames_only_ = true;
    }
    // The classic rename cannot replace a file that has open handles, this
    // process's own included: the update lets go of it first.
    if (replace && !held_.empty()) {
      return Status(Code::kHeldHere, "the file system cannot replace a file that is open");
    }
    const DWORD error = Rename(file, folder, target, FileRenameInfo, replace ? TRUE : FALSE);
    return error == ERROR_SUCCESS ? Committed(file) : RenameStatus(error);
  }

  Status DiscardTemp(FileHandle file, const Folder& /*folder*/,
                     const std::string& /*name*/) override {
    FILE_DISPOSITION_INFO disposition{TRUE};
    const bool marked = api_.SetFileInformationByHandle(AsHandle(file), FileDispositionInfo,
                                                        &disposition, sizeof disposition) != 0;
    const DWORD error = GetLastError();
    api_.CloseHandle(AsHandle(file));
    return marked ? Status() : Status::Failed(ErrorText(error));
  }

  Status OpenInPlace(const Folder& folder, const std::string& name, FileHandle* file,
                     FileInfo* info) override {
    return OpenRegular(folder, name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, file, info);
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
    held_.erase(AsHandle(file));
    if (!api_.CloseHandle(AsHandle(file))) return Status::Failed(ErrorText(GetLastError()));
    return Status();
  }

  void Sleep(int milliseconds) override { api_.Sleep(static_cast<DWORD>(milliseconds)); }

 private:
  static std::string PathOf(const Folder& folder, const std::string& name) {
    const bool root = !folder.path.empty() && folder.path.back() == '\\';
    return folder.path + (root ? "" : "\\") + name;
  }

  // Opens `path` for its identity only, and describes it.
  Status Describe(const std::string& path, BY_HANDLE_FILE_INFORMATION* data) {
    ScopedHandle handle(api_.CreateFileA(path.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_BACKUP_SEMANTICS, nullptr),
                        HandleCloser{&api_});
    if (handle.get() == INVALID_HANDLE_VALUE) return Status::Failed(ErrorText(GetLastError()));
    if (!api_.GetFileInformationByHandle(handle.get(), data)) {
      return Status::Failed(ErrorText(GetLastError()));
    }
    return Status();
  }

  Status OpenRegular(const Folder& folder, const std::string& name, DWORD access, DWORD share,
                     FileHandle* file, FileInfo* info) {
    const std::string path = PathOf(folder, name);
    const HANDLE handle = api_.CreateFileA(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      const DWORD error = GetLastError();
      // A folder at the name answers "access denied", which would send a
      // reader to the wrong fix.
      const DWORD attributes = api_.GetFileAttributesA(path.c_str());
      if (error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
          (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return Status::Failed("not a regular file (a folder)");
      }
      return ErrorStatus(error);
    }
    BY_HANDLE_FILE_INFORMATION data;
    Status status;
    if (!api_.GetFileInformationByHandle(handle, &data)) {
      status = Status::Failed(ErrorText(GetLastError()));
    } else if (api_.GetFileType(handle) != FILE_TYPE_DISK ||
               (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      status = Status::Failed("not a regular file");
    } else {
      status = CheckInFolder(handle, folder, name);
    }
    if (!status.ok()) {
      api_.CloseHandle(handle);
      return status;
    }
    FillInfo(data, info);
    // On Windows 10 and 11 the hosts file often has a second name in the
    // component store; only the hosts name is replaced, and the store keeps
    // its copy.
    if (data.nNumberOfLinks == 2 && HasStoreTwin(path, data)) info->links = 1;
    *file = AsFileHandle(handle);
    return status;
  }

  // The final path of an open file, without the "\\?\" prefix: normalized,
  // or as it was opened (FILE_NAME_OPENED).
  Status FinalPath(HANDLE file, std::string* path, DWORD name = FILE_NAME_NORMALIZED) {
    std::string final_path(MAX_PATH, '\0');
    DWORD length = 0;
    for (int attempt = 0; attempt < 2; ++attempt) {
      length = api_.GetFinalPathNameByHandleA(
          file, final_path.data(), static_cast<DWORD>(final_path.size()), name | VOLUME_NAME_DOS);
      if (length < final_path.size()) break;
      final_path.resize(length + 1);
    }
    if (length == 0 || length >= final_path.size()) {
      return Status::Failed(ErrorText(GetLastError()));
    }
    final_path.resize(length);
    if (final_path.rfind("\\\\?\\UNC\\", 0) == 0) {
      final_path = "\\\\" + final_path.substr(8);
    } else if (final_path.rfind("\\\\?\\", 0) == 0) {
      final_path = final_path.substr(4);
    }
    *path = final_path;
    return Status();
  }

  // Whether an open file is `name` in `folder`, and not something a link on
  // the way put elsewhere. Both paths are taken as they were opened (after
  // links, before normalizing), which for a file with several names is the
  // name it was opened by, where a normalized path might be another.
  Status CheckInFolder(HANDLE file, const Folder& folder, const std::string& name) {
    std::string folder_path;
    std::string file_path;
    Status status = FinalPath(AsHandle(folder.handle), &folder_path, FILE_NAME_OPENED);
    if (status.ok()) status = FinalPath(file, &file_path, FILE_NAME_OPENED);
    if (!status.ok()) return status.In("cannot tell where the file is");
    if (!folder_path.empty() && folder_path.back() == '\\') folder_path.pop_back();
    if (Lower(file_path) != Lower(folder_path + "\\" + name)) {
      return Status::Failed("the name leads out of its folder, to " + file_path);
    }
    return Status();
  }

  // Whether the other name of a file with two is the component store's.
  bool HasStoreTwin(const std::string& path, const BY_HANDLE_FILE_INFORMATION& data) {
    char windows[MAX_PATH];
    const UINT length = api_.GetSystemWindowsDirectoryA(windows, MAX_PATH);
    if (length < 3 || length >= MAX_PATH) return false;
    if (api_.FindFirstFileNameW != nullptr && api_.FindNextFileNameW != nullptr) {
      // The names, relative to the volume's root.
      const std::string store = Lower(std::string(windows + 2) + "\\WinSxS\\");
      std::vector<std::string> names;
      std::wstring name(MAX_PATH, L'\0');
      DWORD size = MAX_PATH;
      const HANDLE search = api_.FindFirstFileNameW(Wide(path).c_str(), 0, &size, name.data());
      if (search == INVALID_HANDLE_VALUE) return false;
      do {
        names.push_back(Lower(Narrow(name.c_str())));
        size = MAX_PATH;
      } while (api_.FindNextFileNameW(search, &size, name.data()));
      api_.FindClose(search);
      int in_store = 0;
      for (const std::string& each : names) in_store += each.rfind(store, 0) == 0 ? 1 : 0;
      return names.size() == 2 && in_store == 1;
    }
    // Where the names cannot be listed (Wine), look for this file in the
    // store's folder for the hosts file's component.
    const std::string pattern = std::string(windows) + kStoreComponent;
    const std::string folder = pattern.substr(0, pattern.find_last_of('\\') + 1);
    WIN32_FIND_DATAA found;
    const HANDLE search = api_.FindFirstFileA(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return false;
    bool twin = false;
    do {
      BY_HANDLE_FILE_INFORMATION other;
      twin = Describe(folder + found.cFileName + "\\hosts", &other).ok() && SameFile(data, other);
    } while (!twin && api_.FindNextFileA(search, &found));
    api_.FindClose(search);
    return twin;
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

  // Whether `owner` is one of the system's accounts, or, when `or_self`, the
  // account this process runs as.
  bool IsTrustedOwner(PSID owner, bool or_self) {
    if (owner == nullptr || !IsValidSid(owner)) return false;
    for (const char* text : kSystemAccounts) {
      PSID sid = nullptr;
      if (!ConvertStringSidToSidA(text, &sid)) continue;
      const bool same = EqualSid(owner, sid) != 0;
      LocalFree(sid);
      if (same) return true;
    }
    if (!or_self) return false;
    HANDLE token = nullptr;
    if (!api_.OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    char buffer[256];
    DWORD size = 0;
    const bool self = GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) &&
                      EqualSid(owner, reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
    api_.CloseHandle(token);
    return self;
  }

  // Checks who owns an object: the system's accounts, or also the account
  // this process runs as when `or_self`.
  Status CheckOwner(HANDLE object, SE_OBJECT_TYPE type, bool or_self) {
    if (object == INVALID_HANDLE_VALUE) return Status::Failed(ErrorText(GetLastError()));
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD error = api_.GetSecurityInfo(object, type, OWNER_SECURITY_INFORMATION, &owner,
                                             nullptr, nullptr, nullptr, &descriptor);
    if (error != ERROR_SUCCESS) return Status::Failed(ErrorText(error));
    const LocalMemory free_descriptor(descriptor);
    if (!IsTrustedOwner(owner, or_self)) {
      return Status::Failed("it belongs to " + SidText(owner) +
                            (or_self ? ", not to the system or to the account this tool runs as"
                                     : ", not to SYSTEM, Administrators or TrustedInstaller"));
    }
    return Status();
  }

  // Gives `to` the owner, group and DACL of `from`, protected from
  // inheritance or not as the original is. Only the system's accounts or
  // this process's own are handed on; giving an owner other than itself
  // needs the restore privilege, which is switched on for that one call.
  Status CopySecurity(HANDLE from, HANDLE to) {
    PSID owner = nullptr;
    PSID group = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD error = api_.GetSecurityInfo(from, SE_FILE_OBJECT, kCopiedSecurity, &owner, &group, &dacl,
                                       nullptr, &descriptor);
    if (error != ERROR_SUCCESS) return Status(Code::kInPlaceOnly, ErrorText(error));
    const LocalMemory free_descriptor(descriptor);
    if (!IsTrustedOwner(owner, true)) {
      return Status(Code::kInPlaceOnly, "the owner " + SidText(owner) +
                                            " is neither the system's nor this tool's account");
    }
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(descriptor, &control, &revision);
    const SECURITY_INFORMATION what =
        kCopiedSecurity |
        ((control & SE_DACL_PROTECTED) != 0 ? PROTECTED_DACL_SECURITY_INFORMATION
                                            : UNPROTECTED_DACL_SECURITY_INFORMATION);
    error = api_.SetSecurityInfo(to, SE_FILE_OBJECT, what, owner, group, dacl, nullptr);
    if (error == ERROR_INVALID_OWNER) {
      const RestorePrivilege privilege(api_);
      if (privilege.enabled()) {
        error = api_.SetSecurityInfo(to, SE_FILE_OBJECT, what, owner, group, dacl, nullptr);
      }
    }
    if (error == ERROR_SUCCESS) return Status();
    const bool refused = error == ERROR_INVALID_OWNER || error == ERROR_ACCESS_DENIED ||
                         error == ERROR_PRIVILEGE_NOT_HELD;
    return Status(refused ? Code::kInPlaceOnly : Code::kFailed, ErrorText(error));
  }

  // Renames an open file by its handle to `target` in `folder`; the Win32
  // error, or ERROR_SUCCESS.
  DWORD Rename(FileHandle file, const Folder& folder, const std::string& target,
               FILE_INFO_BY_HANDLE_CLASS kind, DWORD flags) {
    // The name relative to the folder's handle. Wine 8 turns the name into a
    // full path against the current folder before it looks at the handle,
    // and answers ERROR_INVALID_PARAMETER; there the folder's path is named,
    // which leads to the same folder while it is held open.
    DWORD error = RenameTo(file, AsHandle(folder.handle), target, kind, flags);
    if (error == ERROR_INVALID_PARAMETER) {
      error = RenameTo(file, nullptr, PathOf(folder, target), kind, flags);
    }
    return error;
  }

  DWORD RenameTo(FileHandle file, HANDLE root, const std::string& target,
                 FILE_INFO_BY_HANDLE_CLASS kind, DWORD flags) {
    const std::wstring name = Wide(target);
    if (name.empty()) return ERROR_INVALID_NAME;
    // FILE_RENAME_INFO ends in the new name, in UTF-16.
    std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + sizeof(WCHAR) * (name.size() + 1));
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    std::memcpy(info, &flags, sizeof flags);  // ReplaceIfExists, or Flags for the Ex class
    info->RootDirectory = root;
    info->FileNameLength = static_cast<DWORD>(sizeof(WCHAR) * name.size());
    std::memcpy(info->FileName, name.c_str(), sizeof(WCHAR) * (name.size() + 1));
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
    // A name on another volume (a mount point) takes no replacement.
    if (error == ERROR_NOT_SAME_DEVICE) return Status(Code::kInPlaceOnly, ErrorText(error));
    return Status::Failed(ErrorText(error));
  }

  // The new file is in place: flush it, so that the rename is on stable
  // storage before the tool reports success (a failure here cannot undo the
  // update, whose content was flushed before), and close it.
  Status Committed(FileHandle file) {
    api_.FlushFileBuffers(AsHandle(file));
    api_.CloseHandle(AsHandle(file));
    return Status();
  }

  const Win32Api api_;
  bool classic_renames_only_ = false;
  // The hosts files this process has open for reading.
  std::set<HANDLE> held_;
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

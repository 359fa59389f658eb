// The file system seam on Windows, through Win32 (and, where Win32 cannot
// say it, ntdll) directly; every call goes through the Win32Api table. What
// decides trust is in win32_trust.cc, what names files in win32_names.cc.
//
// What the tool touches: SystemRoot must name the system's own Windows
// directory; the hosts file's folder is opened once, refused if it is a
// reparse point, and held without sharing delete, so that it cannot be
// renamed or replaced meanwhile. The hosts file is opened, and the new file
// renamed into its place, relative to that folder's handle, and every file
// opened is checked to be in that folder before anything is written. Links
// are followed only where no account but the system's could have made or
// changed them, DLLs are loaded from System32 only, and the process refuses
// junctions made by other users where Windows can (RedirectionGuard).
//
// Sharing: the hosts file is read through a handle that shares reading and
// deleting but not writing, so no other program can change it from the read
// to the replace, while every reader can still read it. The temporary file is
// opened with delete access and shared for reading only: no other program
// can delete it or hold it in a way that stops its rename. An open that would
// have to wait for another program's opportunistic lock answers at once, and
// counts as that program holding the file.
//
// The replace renames the temporary file over the hosts file by handle, which
// either happens whole or not at all. Where the file system can replace a
// file that is still open (POSIX semantics, Windows 10 1607 and later on
// NTFS), the hosts file stays held through the rename; elsewhere the update
// lets go of it, checks it once more, and renames.

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "hosts/file_system.h"
#include "hosts/win32_api.h"
#include "hosts/win32_names.h"
#include "hosts/win32_support.h"
#include "hosts/win32_trust.h"

namespace hosts {
namespace {

// FILE_INFO_BY_HANDLE_CLASS values and flags that not all SDK headers declare.
constexpr auto kFileRenameInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);
constexpr auto kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr DWORD kRenameReplaceIfExists = 0x1;
constexpr DWORD kRenamePosixSemantics = 0x2;
constexpr DWORD kDispositionDelete = 0x1;
constexpr DWORD kDispositionPosixSemantics = 0x2;

// ntdll's FILE_INFORMATION_CLASS values for the two renames.
constexpr ULONG kFileRenameInformation = 10;
constexpr ULONG kFileRenameInformationEx = 65;

// NtCreateFile's disposition and options.
constexpr ULONG kFileOpen = 1;
constexpr ULONG kSynchronousIo = 0x20;     // FILE_SYNCHRONOUS_IO_NONALERT
constexpr ULONG kNonDirectoryFile = 0x40;  // FILE_NON_DIRECTORY_FILE
constexpr ULONG kCompleteIfOplocked = 0x100;
constexpr ULONG kOpenReparsePoint = 0x200000;
constexpr ULONG kCaseInsensitive = 0x40;  // OBJ_CASE_INSENSITIVE

// PROCESS_MITIGATION_POLICY of RedirectionGuard, and its EnforceRedirectionTrust flag.
constexpr auto kProcessRedirectionTrustPolicy = static_cast<PROCESS_MITIGATION_POLICY>(16);
constexpr DWORD kEnforceRedirectionTrust = 0x1;

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// How many symbolic links one after another the update follows.
constexpr int kMaxLinks = 31;

// The update lock's name in the hosts folder.
constexpr char kLockName[] = "hosts_entry_tool.lock";

constexpr DWORD kCopiedAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                    FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// The answers of the POSIX-semantics rename and delete on a system or volume
// that lacks them.
bool IsUnsupported(DWORD code) {
  return code == ERROR_INVALID_PARAMETER || code == ERROR_NOT_SUPPORTED ||
         code == ERROR_INVALID_FUNCTION || code == kErrorFileSystemLimitation;
}

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

Status RenameStatus(DWORD error) {
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

class Win32FileSystem : public FileSystem {
 public:
  explicit Win32FileSystem(const Win32Api& api) : api_(api) {
    // Before anything else: DLLs this process loads from now on come from
    // System32 only, never from the folder the program sits in, which may
    // be one a user can write.
    if (api_.SetDefaultDllDirectories != nullptr) {
      api_.SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    }
    // Junctions made by users who are not administrators are not followed,
    // where Windows has RedirectionGuard; elsewhere the call fails and the
    // update goes on.
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
    return CheckWindowsDirectory(api_, root, checked);
  }

  Status FollowLink(const std::string& path, std::string* target) override {
    // Each symbolic link on the way from the hosts name, and the folder the
    // last one leads to, must be such that only the system's accounts could
    // have made or changed it.
    std::string current = path;
    int links = 0;
    for (;;) {
      const DWORD attributes = api_.GetFileAttributesA(current.c_str());
      if (attributes == INVALID_FILE_ATTRIBUTES ||
          (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        break;
      }
      ScopedHandle link(
          api_.CreateFileA(current.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                           nullptr),
          HandleCloser{&api_});
      if (link.get() == INVALID_HANDLE_VALUE) {
        return Status::Failed(ErrorText(GetLastError())).In("the link " + current);
      }
      std::string next;
      Status status = LinkTarget(api_, link.get(), current, &next);
      // Another kind of reparse point (a compressed system file, say) is the
      // file itself.
      if (status.code() == Code::kNotFound) break;
      if (status.ok()) status = CheckOnlySystemMayChange(api_, link.get());
      if (!status.ok()) return status.In("the link " + current);
      if (++links > kMaxLinks) return Status::Failed("too many levels of symbolic links");
      current = next;
    }
    if (links == 0) return Status(Code::kNotFound, "");

    // The file the links lead to, as the system resolves the path. Where
    // that cannot be had (a dangling link, a volume without a drive letter)
    // the update must not go on, or it would replace the link with a file.
    ScopedHandle file(api_.CreateFileA(path.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_BACKUP_SEMANTICS, nullptr),
                      HandleCloser{&api_});
    if (file.get() == INVALID_HANDLE_VALUE) return Status::Failed(ErrorText(GetLastError()));
    std::string final_path;
    if (Status status = FinalPath(api_, file.get(), &final_path); !status.ok()) return status;
    std::string folder;
    std::string name;
    SplitPath(final_path, &folder, &name);
    ScopedHandle into(api_.CreateFileA(folder.c_str(), READ_CONTROL, kShareAll, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr),
                      HandleCloser{&api_});
    if (Status status = CheckOnlySystemMayChange(api_, into.get()); !status.ok()) {
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
    ScopedHandle held(handle, HandleCloser{&api_});
    BY_HANDLE_FILE_INFORMATION data;
    if (!api_.GetFileInformationByHandle(handle, &data)) {
      return Status::Failed(ErrorText(GetLastError()));
    }
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      return Status::Failed("it is a junction, link or other reparse point");
    }
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      return Status::Failed("it is not a folder");
    }
    *folder = AsFileHandle(held.release());
    return Status();
  }

  Status LockUpdates(const Folder& folder, FileHandle* lock) override {
    // A file in the hosts folder, which only administrators may add to,
    // opened without sharing and with a DACL that lets no other account
    // open it: only another run can hold it, and a killed run's handle, and
    // with it the lock, goes with the process. A file left by a run that was
    // killed, or by a system that cannot delete it as Unlock does, is taken
    // over as it is.
    const LocalMemory security = LockSecurity();
    if (security == nullptr) return Status::Failed(ErrorText(GetLastError()));
    SECURITY_ATTRIBUTES attributes{sizeof attributes, security.get(), FALSE};
    const HANDLE handle = api_.CreateFileA(
        PathIn(folder.path, kLockName).c_str(), GENERIC_READ | DELETE, 0, &attributes, OPEN_ALWAYS,
        FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      const DWORD error = GetLastError();
      if (IsSharingConflict(error)) return Status(Code::kBusy, "another run of this tool holds it");
      return Status::Failed(ErrorText(error));
    }
    ScopedHandle held(handle, HandleCloser{&api_});
    if (Status status = CheckCouldBeOurs(handle); !status.ok()) return status;
    if (Status status = CheckInFolder(api_, handle, folder, kLockName); !status.ok()) return status;
    *lock = AsFileHandle(held.release());
    return Status();
  }

  void Unlock(FileHandle lock) override {
    // With POSIX semantics the name goes at once, even while another program
    // holds the file open for its attributes. A classic delete would leave
    // the name pending until that program let go, and no run could take the
    // lock meanwhile: where the system has only that (before Windows 10
    // 1709, FAT), the empty file stays for the next run.
    DeleteByHandle(AsHandle(lock), false);
    api_.CloseHandle(AsHandle(lock));
  }

  Status ListSiblings(const Folder& folder, const std::string& prefix,
                      std::vector<std::string>* names) override {
    WIN32_FIND_DATAA found;
    const HANDLE search = api_.FindFirstFileA(PathIn(folder.path, prefix + "*").c_str(), &found);
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
    HANDLE opened = INVALID_HANDLE_VALUE;
    Status status =
        OpenIn(folder, name, DELETE | READ_CONTROL, kShareAll, kOpenReparsePoint, &opened);
    if (status.code() == Code::kNotFound) return Status();
    if (!status.ok()) return status;
    ScopedHandle file(opened, HandleCloser{&api_});
    // Only what this tool could have made, in this folder, owned by the
    // system or by the account this tool runs as.
    if (status = CheckCouldBeOurs(file.get()); !status.ok()) return status;
    if (status = CheckOwner(api_, file.get(), SE_FILE_OBJECT, true); !status.ok()) return status;
    if (status = CheckInFolder(api_, file.get(), folder, name); !status.ok()) return status;
    return DeleteByHandle(file.get(), true);
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
    // Opened for its attributes only, which meets no other program's
    // sharing or opportunistic lock.
    const HANDLE file =
        api_.CreateFileA(PathIn(folder.path, name).c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
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
    const std::string path = PathIn(folder.path, name);
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
    Status status = CheckInFolder(api_, handle, folder, name);
    if (status.ok() && original != kNoFile) {
      status = CopySecurity(api_, AsHandle(original), handle)
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
      const DWORD error = Rename(file, folder, target, true, true);
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
    const DWORD error = Rename(file, folder, target, false, replace);
    return error == ERROR_SUCCESS ? Committed(file) : RenameStatus(error);
  }

  Status DiscardTemp(FileHandle file, const Folder& /*folder*/,
                     const std::string& /*name*/) override {
    const Status status = DeleteByHandle(AsHandle(file), true);
    api_.CloseHandle(AsHandle(file));
    return status;
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
  // Opens `name` relative to the held folder's handle, with NtCreateFile so
  // that an open that would wait for another program's opportunistic lock
  // answers at once (FILE_COMPLETE_IF_OPLOCKED) and counts as that program
  // holding the file. Where ntdll is not to be had, by its path.
  Status OpenIn(const Folder& folder, const std::string& name, ACCESS_MASK access, ULONG share,
                ULONG options, HANDLE* file) {
    if (api_.NtCreateFile == nullptr) {
      const DWORD flags = (options & kOpenReparsePoint) != 0 ? FILE_FLAG_OPEN_REPARSE_POINT : 0;
      *file = api_.CreateFileA(PathIn(folder.path, name).c_str(), access, share, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | flags, nullptr);
      return *file == INVALID_HANDLE_VALUE ? ErrorStatus(GetLastError()) : Status();
    }
    std::wstring wide = Wide(name);
    UNICODE_STRING object_name;
    object_name.Length = static_cast<USHORT>(wide.size() * sizeof(wchar_t));
    object_name.MaximumLength = object_name.Length;
    object_name.Buffer = wide.data();
    OBJECT_ATTRIBUTES attributes{};
    attributes.Length = sizeof attributes;
    attributes.RootDirectory = AsHandle(folder.handle);
    attributes.ObjectName = &object_name;
    attributes.Attributes = kCaseInsensitive;
    IO_STATUS_BLOCK io{};
    *file = INVALID_HANDLE_VALUE;
    const LONG status = api_.NtCreateFile(
        file, access | SYNCHRONIZE, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, share,
        kFileOpen, options | kSynchronousIo | kCompleteIfOplocked, nullptr, 0);
    if (status == kStatusOplockBreakInProgress) {
      api_.CloseHandle(*file);
      *file = INVALID_HANDLE_VALUE;
      return Status(Code::kBusy, "another program holds an opportunistic lock on it");
    }
    if (status < 0) {
      *file = INVALID_HANDLE_VALUE;
      if (status == kStatusFileIsADirectory) return Status::Failed("not a regular file (a folder)");
      return ErrorStatus(NtError(api_, status));
    }
    return Status();
  }

  Status OpenRegular(const Folder& folder, const std::string& name, DWORD access, DWORD share,
                     FileHandle* file, FileInfo* info) {
    HANDLE handle = INVALID_HANDLE_VALUE;
    Status status = OpenIn(folder, name, access, share, kNonDirectoryFile, &handle);
    if (!status.ok()) return status;
    ScopedHandle held(handle, HandleCloser{&api_});
    BY_HANDLE_FILE_INFORMATION data;
    if (!api_.GetFileInformationByHandle(handle, &data)) {
      return Status::Failed(ErrorText(GetLastError()));
    }
    if (api_.GetFileType(handle) != FILE_TYPE_DISK ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      return Status::Failed("not a regular file");
    }
    if (status = CheckInFolder(api_, handle, folder, name); !status.ok()) return status;
    FillInfo(data, info);
    // On Windows 10 and 11 the hosts file often has a second name in the
    // component store; only the hosts name is replaced, and the store keeps
    // its copy.
    if (data.nNumberOfLinks == 2 && HasStoreTwin(api_, PathIn(folder.path, name), data)) {
      info->links = 1;
    }
    *file = AsFileHandle(held.release());
    return status;
  }

  // Renames an open file to `target` in `folder`, naming it relative to the
  // folder's handle (NtSetInformationFile; SetFileInformationByHandle takes
  // no RootDirectory). With POSIX semantics, a target another program holds
  // open is replaced too. The Win32 error, or ERROR_SUCCESS.
  DWORD Rename(FileHandle file, const Folder& folder, const std::string& target, bool posix,
               bool replace) {
    const DWORD flags = posix ? kRenameReplaceIfExists | kRenamePosixSemantics : replace ? 1 : 0;
    if (api_.NtSetInformationFile != nullptr) {
      std::vector<char> info = RenameInfo(flags, AsHandle(folder.handle), target);
      IO_STATUS_BLOCK io{};
      const LONG status = api_.NtSetInformationFile(
          AsHandle(file), &io, info.data(), static_cast<ULONG>(info.size()),
          posix ? kFileRenameInformationEx : kFileRenameInformation);
      return NtError(api_, status);
    }
    // Where ntdll is not to be had: the folder's path, which leads to the
    // same folder while it is held open.
    std::vector<char> info = RenameInfo(flags, nullptr, PathIn(folder.path, target));
    if (api_.SetFileInformationByHandle(AsHandle(file), posix ? kFileRenameInfoEx : FileRenameInfo,
                                        info.data(), static_cast<DWORD>(info.size()))) {
      return ERROR_SUCCESS;
    }
    const DWORD error = GetLastError();
    return error == ERROR_SUCCESS ? ERROR_GEN_FAILURE : error;
  }

  // Whether an open file is one this tool could have made: a regular file
  // with one name, not a link or other reparse point.
  Status CheckCouldBeOurs(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION data;
    if (!api_.GetFileInformationByHandle(file, &data)) {
      return Status::Failed(ErrorText(GetLastError()));
    }
    if ((data.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
        data.nNumberOfLinks != 1) {
      return Status::Failed("not a file this tool made");
    }
    return Status();
  }

  // Deletes an open file. With POSIX semantics its name goes at once, even
  // while another program holds the file open; where the system lacks them
  // (before Windows 10 1709, FAT), the name goes with the last handle, if
  // `or_pending` allows a delete that leaves the name pending meanwhile.
  Status DeleteByHandle(HANDLE file, bool or_pending) {
    DWORD posix = kDispositionDelete | kDispositionPosixSemantics;
    if (api_.SetFileInformationByHandle(file, kFileDispositionInfoEx, &posix, sizeof posix)) {
      return Status();
    }
    if (!or_pending || !IsUnsupported(GetLastError())) {
      return Status::Failed(ErrorText(GetLastError()));
    }
    FILE_DISPOSITION_INFO disposition{TRUE};
    if (!api_.SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                                         sizeof disposition)) {
      return Status::Failed(ErrorText(GetLastError()));
    }
    return Status();
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

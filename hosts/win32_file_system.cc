// The file system seam on Windows, through Win32 (and, where Win32 cannot
// say it, ntdll) directly; every call goes through the Win32Api table. The
// walk to the hosts folder is in win32_walk.cc, what decides trust in
// win32_trust.cc, what names files in win32_names.cc, the run's deadline in
// win32_deadline.cc.
//
// What the tool touches: SystemRoot must name the system's own Windows
// directory; the path from there is walked a name at a time on handles the
// run holds, and the hosts file's folder is held for its attributes and
// security alone, which no other program's sharing can refuse. Every file
// is opened relative to that handle, never by its path, and checked to be in
// that folder before anything is written. Links are followed only where no
// account but the system's could have made or changed them, DLLs are loaded
// from System32 only, and the process refuses junctions made by other users
// where Windows can (RedirectionGuard).
//
// Sharing: the hosts file is read through a handle that shares reading and
// deleting but not writing, so no other program can change it from the read
// to the replace, while every reader can still read it. The temporary file
// shares nothing. No open waits for another program's opportunistic lock
// (FILE_COMPLETE_IF_OPLOCKED): one that would counts as that program
// holding the file. What can still wait on another program (a rename or a
// delete that breaks a Read-Handle oplock) is bounded by the run's deadline.
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
#include "hosts/win32_deadline.h"
#include "hosts/win32_names.h"
#include "hosts/win32_support.h"
#include "hosts/win32_trust.h"
#include "hosts/win32_walk.h"
#ifdef HOSTS_CHECKED_API
#include "hosts/win32_checked_api.h"
#endif

namespace hosts {
namespace {

// FILE_INFO_BY_HANDLE_CLASS values and flags that not all SDK headers declare.
constexpr auto kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr DWORD kRenameReplaceIfExists = 0x1;
constexpr DWORD kRenamePosixSemantics = 0x2;
constexpr DWORD kDispositionDelete = 0x1;
constexpr DWORD kDispositionPosixSemantics = 0x2;

// ntdll's FILE_INFORMATION_CLASS values for the two renames.
constexpr ULONG kFileRenameInformation = 10;
constexpr ULONG kFileRenameInformationEx = 65;

// PROCESS_MITIGATION_POLICY of RedirectionGuard, and its EnforceRedirectionTrust flag.
constexpr auto kProcessRedirectionTrustPolicy = static_cast<PROCESS_MITIGATION_POLICY>(16);
constexpr DWORD kEnforceRedirectionTrust = 0x1;

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
  Win32FileSystem(const Win32Api& api, DWORD deadline_ms, DWORD grace_ms)
      : api_(api), deadline_(api_, deadline_ms, grace_ms) {
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

  int Run(const std::function<int()>& update) override { return deadline_.Run(update); }

  Status GetEnv(const char* name, std::string* value) override {
    // Through the table on every compiler, never the C runtime's copy of
    // the environment, so that a test's SystemRoot reaches every build:
    // size the value, copy it into a buffer of that size; the only failure
    // is running out of memory.
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
  }

  Status CheckSystemRoot(const std::string& root, std::string* checked) override {
    if (Status late = deadline_.Step("check SystemRoot"); !late.ok()) return late;
    return CheckWindowsDirectory(api_, root, checked);
  }

  Status OpenFolderOf(const std::string& path, Folder* folder, std::string* name) override {
    deadline_.Subject(path);
    if (Status late = deadline_.Step("open the folder"); !late.ok()) return late;
    Status status = WalkToFolder(api_, path, folder, name);
    if (status.ok()) deadline_.Subject(JoinPath(folder->path, *name));
    return status;
  }

  Status LockUpdates(const Folder& folder, FileHandle* lock) override {
    // A file in the hosts folder, which only administrators may add to,
    // opened without sharing and with a DACL that lets no other account
    // open it: only another run can hold it, and a killed run's handle, and
    // with it the lock, goes with the process. A file left by a run that was
    // killed, or by a system that cannot delete it as Unlock does, is taken
    // over as it is.
    if (Status late = deadline_.Step("take the update lock"); !late.ok()) return late;
    const LocalMemory security = LockSecurity();
    if (security == nullptr) return Status::Failed(ErrorText(GetLastError()));
    HANDLE handle = INVALID_HANDLE_VALUE;
    const LONG opened = OpenRelative(
        api_, AsHandle(folder.handle), Wide(kLockName), GENERIC_READ | DELETE, 0, kFileOpenIf,
        kNonDirectoryFile | kOpenReparsePoint, &handle, FILE_ATTRIBUTE_HIDDEN, security.get());
    if (opened == kStatusSharingViolation) {
      return Status(Code::kBusy, "another run of this tool holds it");
    }
    if (Status status = Opened(opened, &handle); !status.ok()) return status;
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
    const Deadline::Optional optional(deadline_, "let go of the update lock");
    DeleteByHandle(AsHandle(lock), false);
    api_.CloseHandle(AsHandle(lock));
  }

  Status ListSiblings(const Folder& folder, const std::string& prefix,
                      std::vector<std::string>* names) override {
    // The held folder opened again for listing, with access of its own: a
    // program that holds the folder so that it cannot be listed, or an
    // opportunistic lock on it, costs only the cleanup.
    const Deadline::Optional optional(deadline_, "list the folder");
    HANDLE listing = INVALID_HANDLE_VALUE;
    if (Status status = Opened(OpenRelative(api_, AsHandle(folder.handle), L"", FILE_LIST_DIRECTORY,
                                            kShareAll, kFileOpen, kDirectoryFile, &listing),
                               &listing);
        !status.ok()) {
      return status;
    }
    const ScopedHandle held(listing, HandleCloser{&api_});
    std::vector<char> buffer(64 * 1024);
    const std::wstring start = Wide(prefix);
    while (api_.GetFileInformationByHandleEx(listing, FileFullDirectoryInfo, buffer.data(),
                                             static_cast<DWORD>(buffer.size()))) {
      for (std::size_t at = 0;;) {
        const auto* entry = reinterpret_cast<const FILE_FULL_DIR_INFO*>(buffer.data() + at);
        const std::wstring name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
        if (name.compare(0, start.size(), start) == 0) names->push_back(Narrow(name));
        if (entry->NextEntryOffset == 0) break;
        at += entry->NextEntryOffset;
      }
    }
    const DWORD error = GetLastError();
    return error == ERROR_NO_MORE_FILES ? Status() : Status::Failed(ErrorText(error));
  }

  Status RemoveStale(const Folder& folder, const std::string& name) override {
    // Opened as it is, not through a link, for deleting, and for the
    // attributes and owner that say whether it is this tool's. A live run's
    // temporary file refuses: it shares nothing.
    if (Status late = deadline_.Step("remove a leftover"); !late.ok()) return late;
    const Deadline::Optional optional(deadline_, "remove a leftover");
    HANDLE opened = INVALID_HANDLE_VALUE;
    Status status = Opened(OpenRelative(api_, AsHandle(folder.handle), Wide(name),
                                        DELETE | READ_CONTROL | FILE_READ_ATTRIBUTES, kShareAll,
                                        kFileOpen, kNonDirectoryFile | kOpenReparsePoint, &opened),
                           &opened);
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
    if (Status late = deadline_.Step("read"); !late.ok()) return late;
    // A part another program has locked (LockFileEx) makes a read fail,
    // with the system's reason.
    Status status =
        OpenRegular(folder, name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, file, info);
    if (status.ok()) held_.insert(AsHandle(*file));
    return status;
  }

  Status Read(FileHandle file, char* buffer, std::size_t size, std::size_t* got) override {
    if (Status late = deadline_.Step("read"); !late.ok()) return late;
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
    // sharing or opportunistic lock. A name whose file is being deleted
    // right now answers "delete pending" or "access denied": a change.
    if (Status late = deadline_.Step("check for changes"); !late.ok()) return late;
    HANDLE file = INVALID_HANDLE_VALUE;
    const LONG opened =
        OpenRelative(api_, AsHandle(folder.handle), Wide(name), FILE_READ_ATTRIBUTES, kShareAll,
                     kFileOpen, kOpenReparsePoint, &file);
    if (opened == kStatusDeletePending || opened == kStatusAccessDenied) {
      return Status(Code::kChanged, ErrorText(NtError(api_, opened)));
    }
    if (Status status = Opened(opened, &file); !status.ok()) return status;
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
    if (Status late = deadline_.Step("create the temporary file"); !late.ok()) return late;
    DWORD attributes = FILE_ATTRIBUTE_NORMAL;
    if (original != kNoFile) {
      FILE_ATTRIBUTE_TAG_INFO data{};
      if (!api_.GetFileInformationByHandleEx(AsHandle(original), FileAttributeTagInfo, &data,
                                             sizeof data)) {
        return Status::Failed(ErrorText(GetLastError()));
      }
      if ((data.FileAttributes & kCopiedAttributes) != 0) {
        attributes = data.FileAttributes & kCopiedAttributes;
      }
    }
    // Shared with no one: no other program can read it, delete it or hold
    // it while it is written.
    HANDLE handle = INVALID_HANDLE_VALUE;
    const LONG created =
        OpenRelative(api_, AsHandle(folder.handle), Wide(name),
                     GENERIC_WRITE | DELETE | READ_CONTROL | WRITE_DAC | WRITE_OWNER, 0,
                     kFileCreate, kNonDirectoryFile | kOpenReparsePoint, &handle, attributes);
    // A name that is taken, or whose file is still being deleted.
    if (created == kStatusObjectNameCollision || created == kStatusDeletePending) {
      return Status(Code::kExists, ErrorText(NtError(api_, created)));
    }
    // A folder this user may not add files to, or a write-protected volume.
    if (created == kStatusAccessDenied || created == kStatusMediaWriteProtected) {
      return Status(Code::kInPlaceOnly, ErrorText(NtError(api_, created)));
    }
    if (Status status = Opened(created, &handle); !status.ok()) return status;
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
    if (Status late = deadline_.Step("write the temporary file"); !late.ok()) return late;
    return WriteAll(AsHandle(file), data);
  }

  Status Sync(FileHandle file) override {
    if (Status late = deadline_.Step("flush the temporary file"); !late.ok()) return late;
    if (!api_.FlushFileBuffers(AsHandle(file))) return Status::Failed(ErrorText(GetLastError()));
    return Status();
  }

  Status CommitTemp(FileHandle file, const Folder& folder, const std::string& /*name*/,
                    const std::string& target, bool replace) override {
    if (Status late = deadline_.Step("replace"); !late.ok()) return late;
    // A rename opens the folder it renames into to add a name to it, and
    // waits where another program holds the folder with an opportunistic
    // lock, or refuses where it holds the folder without sharing writes:
    // then the name takes no replacement for as long as that program likes.
    if (FolderHeld(folder)) {
      return Status(Code::kInPlaceOnly, "another program holds the folder open");
    }
    DWORD error = ERROR_SUCCESS;
    if (replace && !classic_renames_only_) {
      error = Rename(file, folder, target, true, true);
      if (IsUnsupported(error)) {
        // This system or volume cannot replace a file that is open.
        classic_renames_only_ = true;
      }
    }
    if (!replace || classic_renames_only_) {
      // The classic rename cannot replace a file that has open handles, this
      // process's own included: the update lets go of it first.
      if (replace && !held_.empty()) {
        return Status(Code::kHeldHere, "the file system cannot replace a file that is open");
      }
      error = Rename(file, folder, target, false, replace);
    }
    if (error == ERROR_SUCCESS) return Committed(file);
    // The folder may have been taken since the look above.
    if (IsSharingConflict(error) && FolderHeld(folder)) {
      return Status(Code::kInPlaceOnly, "another program holds the folder open");
    }
    return RenameStatus(error);
  }

  Status DiscardTemp(FileHandle file, const Folder& /*folder*/,
                     const std::string& /*name*/) override {
    const Deadline::Optional optional(deadline_, "remove the temporary file");
    const Status status = DeleteByHandle(AsHandle(file), true);
    api_.CloseHandle(AsHandle(file));
    return status;
  }

  Status OpenInPlace(const Folder& folder, const std::string& name, FileHandle* file,
                     FileInfo* info) override {
    if (Status late = deadline_.Step("rewrite in place"); !late.ok()) return late;
    Status status =
        OpenRegular(folder, name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, file, info);
    if (!status.ok()) return status;
    // A lock of this run's on all of it: no reader can then lock a part of it
    // against the rewrite or the writing back of the original.
    OVERLAPPED whole{};
    if (api_.LockFileEx(AsHandle(*file), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0,
                        MAXDWORD, MAXDWORD, &whole)) {
      return status;
    }
    const DWORD error = GetLastError();
    api_.CloseHandle(AsHandle(*file));
    *file = kNoFile;
    if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING) {
      return Status(Code::kBusy, "another program has locked a part of it");
    }
    return Status::Failed(ErrorText(error));
  }

  Status Overwrite(FileHandle file, std::string_view data) override {
    // Writing before cutting means the file is never seen empty. Not refused
    // past the deadline: writing the original back must still happen.
    deadline_.Step("rewrite in place");
    const HANDLE handle = AsHandle(file);
    LARGE_INTEGER start{};
    if (!api_.SetFilePointerEx(handle, start, nullptr, FILE_BEGIN)) {
      return Status::Failed(ErrorText(GetLastError()));
    }
    if (Status status = WriteAll(handle, data); !status.ok()) return status;
    if (!api_.SetEndOfFile(handle)) return Status::Failed(ErrorText(GetLastError()));
    if (!api_.FlushFileBuffers(handle)) return Status::Failed(ErrorText(GetLastError()));
    return Status();
  }

  Status Close(FileHandle file) override {
    held_.erase(AsHandle(file));
    if (!api_.CloseHandle(AsHandle(file))) return Status::Failed(ErrorText(GetLastError()));
    return Status();
  }

  void Sleep(int milliseconds) override { api_.Sleep(static_cast<DWORD>(milliseconds)); }

 private:
  // What an open's NTSTATUS says: kNotFound, kBusy (another program holds
  // the file, or an opportunistic lock on it that an open would have had to
  // wait for), or kFailed. `*file` is closed unless the open succeeded.
  Status Opened(LONG status, HANDLE* file) {
    if (status == kStatusOplockBreakInProgress) {
      api_.CloseHandle(*file);
      *file = INVALID_HANDLE_VALUE;
      return Status(Code::kBusy, "another program holds an opportunistic lock on it");
    }
    if (status == kStatusFileIsADirectory) return Status::Failed("not a regular file (a folder)");
    if (status < 0) return ErrorStatus(NtError(api_, status));
    return Status();
  }

  Status OpenRegular(const Folder& folder, const std::string& name, DWORD access, DWORD share,
                     FileHandle* file, FileInfo* info) {
    HANDLE handle = INVALID_HANDLE_VALUE;
    Status status = Opened(OpenRelative(api_, AsHandle(folder.handle), Wide(name), access, share,
                                        kFileOpen, kNonDirectoryFile, &handle),
                           &handle);
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
    if (data.nNumberOfLinks == 2 && HasStoreTwin(api_, JoinPath(folder.path, name), data)) {
      info->links = 1;
    }
    *file = AsFileHandle(held.release());
    return status;
  }

  // Whether another program holds `folder` so that no name can be added to
  // it, or so that adding one would wait for it: opened again, as a rename
  // opens it, for adding a file.
  bool FolderHeld(const Folder& folder) {
    HANDLE probe = INVALID_HANDLE_VALUE;
    const LONG opened =
        OpenRelative(api_, AsHandle(folder.handle), L"", FILE_ADD_FILE,
                     FILE_SHARE_READ | FILE_SHARE_WRITE, kFileOpen, kDirectoryFile, &probe);
    if (opened >= 0) api_.CloseHandle(probe);
    return opened == kStatusSharingViolation || opened == kStatusOplockBreakInProgress;
  }

  // Renames an open file to `target` in `folder`, naming it relative to the
  // folder's handle (NtSetInformationFile; SetFileInformationByHandle takes
  // no RootDirectory). With POSIX semantics, a target another program holds
  // open is replaced too. The Win32 error, or ERROR_SUCCESS.
  DWORD Rename(FileHandle file, const Folder& folder, const std::string& target, bool posix,
               bool replace) {
    const DWORD flags = posix ? kRenameReplaceIfExists | kRenamePosixSemantics : replace ? 1 : 0;
    if (api_.NtSetInformationFile == nullptr) return ERROR_CALL_NOT_IMPLEMENTED;
    std::vector<char> info = RenameInfo(flags, AsHandle(folder.handle), target);
    IO_STATUS_BLOCK io{};
    const LONG status =
        api_.NtSetInformationFile(AsHandle(file), &io, info.data(), static_cast<ULONG>(info.size()),
                                  posix ? kFileRenameInformationEx : kFileRenameInformation);
    return NtError(api_, status);
  }

  // Whether an open file is one this tool could have made: a regular file
  // with one name, not a link or other reparse point.
  Status CheckCouldBeOurs(HANDLE file) {
    FILE_ATTRIBUTE_TAG_INFO kind{};
    FILE_STANDARD_INFO names{};
    if (!api_.GetFileInformationByHandleEx(file, FileAttributeTagInfo, &kind, sizeof kind) ||
        !api_.GetFileInformationByHandleEx(file, FileStandardInfo, &names, sizeof names)) {
      return Status::Failed(ErrorText(GetLastError()));
    }
    if ((kind.FileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
        names.NumberOfLinks != 1) {
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

  // The new file is in place: flush it, so that the rename is on stable
  // storage before the tool reports success (a failure here cannot undo the
  // update, whose content was flushed before), and close it.
  Status Committed(FileHandle file) {
    api_.FlushFileBuffers(AsHandle(file));
    api_.CloseHandle(AsHandle(file));
    return Status();
  }

  const Win32Api api_;
  Deadline deadline_;
  bool classic_renames_only_ = false;
  // The hosts files this process has open for reading.
  std::set<HANDLE> held_;
};

}  // namespace

std::unique_ptr<FileSystem> MakeWin32FileSystem(const Win32Api& api, DWORD deadline_ms,
                                                DWORD grace_ms) {
  return std::make_unique<Win32FileSystem>(api, deadline_ms, grace_ms);
}

FileSystem& RealFileSystem() {
#ifdef HOSTS_CHECKED_API
  // The test build's, hosts_entry_tool_checked.exe: every call checked as
  // Windows checks a handle's access.
  static Win32FileSystem file_system{CheckedApi(Win32Api()), kRunDeadlineMs, kCancelGraceMs};
#else
  static Win32FileSystem file_system{Win32Api(), kRunDeadlineMs, kCancelGraceMs};
#endif
  return file_system;
}

}  // namespace hosts

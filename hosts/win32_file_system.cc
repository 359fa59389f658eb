// The file system seam on Windows, through Win32 (and, where Win32 cannot
// say it, ntdll) directly; every call goes through the Win32Api table. The
// walk to the hosts folder is in win32_walk.cc, what decides trust in
// win32_trust.cc, what names files in win32_names.cc, the thread of the
// run's deadline in win32_deadline.cc, the system's answers as Status values
// in win32_support.cc.
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
// The replace renames the temporary file over the hosts file by handle, to a
// name in its own folder, which either happens whole or not at all and opens
// no folder. Where the file system can replace a file that is still open
// (POSIX semantics, Windows 10 1607 and later on NTFS), the hosts file stays
// held through the rename; elsewhere the update lets go of it, checks it
// once more, and renames.

#include <windows.h>

#include <cassert>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "hosts/deadline.h"
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

Status LastError() { return SystemStatus(Call::kOther, FromError(GetLastError())); }

// What an open's NTSTATUS says for `call`. `*file` is closed unless the open
// succeeded (an open that met another program's opportunistic lock
// succeeds, and counts as that program holding the file).
Status Opened(const Win32Api& api, Call call, LONG status, HANDLE* file) {
  Status opened = SystemStatus(call, FromNt(api, status));
  if (!opened.ok() && status >= 0) {
    api.CloseHandle(*file);
    *file = INVALID_HANDLE_VALUE;
  }
  return opened;
}

// What the file system and its folder share for the whole run.
struct Context {
  explicit Context(const Win32Api& calls) : api(calls) {}
  const Win32Api api;
  // This system or volume cannot replace a file that is open.
  bool classic_renames_only = false;
  // This system renames only by a name relative to a folder's handle (Wine).
  bool renames_name_the_folder = false;
};

// Deletes an open file. With POSIX semantics its name goes at once, even
// while another program holds the file open; where the system lacks them
// (before Windows 10 1709, FAT), the name goes with the last handle, if
// `or_pending` allows a delete that leaves the name pending meanwhile.
Status DeleteByHandle(const Win32Api& api, HANDLE file, bool or_pending) {
  DWORD posix = kDispositionDelete | kDispositionPosixSemantics;
  if (api.SetFileInformationByHandle(file, kFileDispositionInfoEx, &posix, sizeof posix)) {
    return Status();
  }
  if (!or_pending || !IsUnsupported(GetLastError())) return LastError();
  FILE_DISPOSITION_INFO disposition{TRUE};
  if (!api.SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                                      sizeof disposition)) {
    return LastError();
  }
  return Status();
}

Status WriteAll(const Win32Api& api, HANDLE handle, std::string_view data) {
  while (!data.empty()) {
    const DWORD chunk = data.size() > (1u << 30) ? (1u << 30) : static_cast<DWORD>(data.size());
    DWORD written = 0;
    if (!api.WriteFile(handle, data.data(), chunk, &written, nullptr)) return LastError();
    if (written == 0) return Status::Failed("nothing was written");
    data.remove_prefix(written);
  }
  return Status();
}

// Whether an open file is one this tool could have made: a regular file
// with one name, not a link or other reparse point.
Status CheckCouldBeOurs(const Win32Api& api, HANDLE file) {
  FILE_ATTRIBUTE_TAG_INFO kind{};
  FILE_STANDARD_INFO names{};
  if (!api.GetFileInformationByHandleEx(file, FileAttributeTagInfo, &kind, sizeof kind) ||
      !api.GetFileInformationByHandleEx(file, FileStandardInfo, &names, sizeof names)) {
    return LastError();
  }
  if ((kind.FileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
      names.NumberOfLinks != 1) {
    return Status::Failed("not a file this tool made");
  }
  return Status();
}

// A file open for reading, or for rewriting in place. `held` counts the
// hosts files this process holds open for reading, which a classic rename
// cannot replace; nullptr for one opened in place.
class Win32File : public InPlaceFile {
 public:
  Win32File(const Win32Api& api, HANDLE handle, int* held)
      : api_(api), handle_(handle), held_(held) {
    if (held_ != nullptr) ++*held_;
  }
  ~Win32File() override {
    if (held_ != nullptr) --*held_;
    api_.CloseHandle(handle_);
  }
  HANDLE handle() const { return handle_; }

  Status Read(char* buffer, std::size_t size, std::size_t* got) override {
    const DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
    DWORD read = 0;
    if (!api_.ReadFile(handle_, buffer, chunk, &read, nullptr)) return LastError();
    *got = read;
    return Status();
  }

  Status Overwrite(std::string_view data) override {
    // Writing before cutting means the file is never seen empty.
    LARGE_INTEGER start{};
    if (!api_.SetFilePointerEx(handle_, start, nullptr, FILE_BEGIN)) return LastError();
    if (Status status = WriteAll(api_, handle_, data); !status.ok()) return status;
    if (!api_.SetEndOfFile(handle_)) return LastError();
    if (!api_.FlushFileBuffers(handle_)) return LastError();
    return Status();
  }

 private:
  const Win32Api& api_;
  const HANDLE handle_;
  int* const held_;
};

// The update lock. With POSIX semantics the name goes at once, even while
// another program holds the file open for its attributes. A classic delete
// would leave the name pending until that program let go, and no run could
// take the lock meanwhile: where the system has only that (before Windows
// 10 1709, FAT), the empty file stays for the next run.
class Win32Lock : public UpdateLock {
 public:
  Win32Lock(const Win32Api& api, HANDLE handle) : api_(api), handle_(handle) {}
  ~Win32Lock() override {
    DeleteByHandle(api_, handle_, false);
    api_.CloseHandle(handle_);
  }

 private:
  const Win32Api& api_;
  const HANDLE handle_;
};

class Win32Folder;

class Win32TempFile : public TempFile {
 public:
  // `like` is the hosts file this run read, open, or nullptr.
  Win32TempFile(Win32Folder& folder, HANDLE handle, std::string name, HANDLE like)
      : TempFile(std::move(name)), folder_(folder), handle_(handle), like_(like) {}
  ~Win32TempFile() override {
    assert(handle_ == INVALID_HANDLE_VALUE &&
           "the temporary file was neither committed nor discarded");
    Discard();
  }

  Status Write(std::string_view data) override;
  Status Sync() override;
  Status Commit(const std::string& target, const FileInfo& expected) override;
  Status Discard() override;

 private:
  // Renames this file to `target`, a name in its own folder (NtSetInformationFile,
  // no RootDirectory and a name without a path: "renamed within the same
  // directory", so no folder is opened for it, and no program that holds
  // the folder can refuse it or make it wait). With POSIX semantics, a
  // target another program holds open is replaced too. The Win32 error, or
  // ERROR_SUCCESS.
  DWORD Rename(const std::string& target, bool posix, bool replace);

  Win32Folder& folder_;
  HANDLE handle_;
  HANDLE like_;  // whose owner, group and DACL it gets; nullptr once it has them
};

class Win32Folder : public Folder {
 public:
  Win32Folder(Context& context, HANDLE handle, std::string path)
      : Folder(std::move(path)), context_(context), api_(context.api), handle_(handle) {}
  ~Win32Folder() override { api_.CloseHandle(handle_); }

  Context& context() { return context_; }
  HANDLE handle() const { return handle_; }
  // Whether this process holds a hosts file of this folder open for reading.
  bool holds_a_file() const { return held_ > 0; }

  Status Lock(std::unique_ptr<UpdateLock>* lock) override {
    // A file in the hosts folder, which only administrators may add to,
    // opened without sharing and with a DACL that lets no other account
    // open it: only another run can hold it, and a killed run's handle, and
    // with it the lock, goes with the process. A file left by a run that was
    // killed, or by a system that cannot delete it as the lock's end does,
    // is taken over as it is.
    const LocalMemory security = LockSecurity();
    if (security == nullptr) return LastError();
    HANDLE handle = INVALID_HANDLE_VALUE;
    const LONG opened = OpenRelative(api_, handle_, Wide(kLockName), GENERIC_READ | DELETE, 0,
                                     kFileOpenIf, kNonDirectoryFile | kOpenReparsePoint, &handle,
                                     FILE_ATTRIBUTE_HIDDEN, security.get());
    if (Status status = Opened(api_, Call::kTakeLock, opened, &handle); !status.ok()) {
      return status;
    }
    ScopedHandle held(handle, HandleCloser{&api_});
    if (Status status = CheckCouldBeOurs(api_, handle); !status.ok()) return status;
    if (Status status = CheckInFolder(api_, handle, handle_, kLockName); !status.ok()) {
      return status;
    }
    *lock = std::make_unique<Win32Lock>(api_, held.release());
    return Status();
  }

  Status List(const std::string& prefix, std::vector<std::string>* names) override {
    // The held folder opened again for listing, with access of its own: a
    // program that holds the folder so that it cannot be listed, or an
    // opportunistic lock on it, costs only the cleanup.
    HANDLE listing = INVALID_HANDLE_VALUE;
    const LONG opened = OpenRelative(api_, handle_, L"", FILE_LIST_DIRECTORY, kShareAll, kFileOpen,
                                     kDirectoryFile, &listing);
    if (Status status = Opened(api_, Call::kOpen, opened, &listing); !status.ok()) return status;
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
    return error == ERROR_NO_MORE_FILES ? Status() : SystemStatus(Call::kOther, FromError(error));
  }

  Status RemoveStale(const std::string& name, const std::string& beside) override {
    // Opened as it is, not through a link, for deleting, and for the
    // attributes and owner that say whether it is this tool's. A live run's
    // temporary file refuses: it shares nothing.
    HANDLE opened = INVALID_HANDLE_VALUE;
    Status status =
        Opened(api_, Call::kOpen,
               OpenRelative(api_, handle_, Wide(name), DELETE | READ_CONTROL | FILE_READ_ATTRIBUTES,
                            kShareAll, kFileOpen, kNonDirectoryFile | kOpenReparsePoint, &opened),
               &opened);
    if (status.code() == Code::kNotFound) return Status();
    if (!status.ok()) return status;
    ScopedHandle file(opened, HandleCloser{&api_});
    // Only what this tool could have made, in this folder, owned by the
    // system, by the account this tool runs as, or by the hosts file's owner,
    // which a run gives its file just before the rename.
    if (status = CheckCouldBeOurs(api_, file.get()); !status.ok()) return status;
    HANDLE hosts = INVALID_HANDLE_VALUE;
    OpenRelative(api_, handle_, Wide(beside), READ_CONTROL, kShareAll, kFileOpen,
                 kNonDirectoryFile | kOpenReparsePoint, &hosts);
    const ScopedHandle held_hosts(hosts, HandleCloser{&api_});
    status = CheckOwner(api_, file.get(), SE_FILE_OBJECT, true,
                        hosts == INVALID_HANDLE_VALUE ? nullptr : hosts);
    if (!status.ok()) return status;
    if (status = CheckInFolder(api_, file.get(), handle_, name); !status.ok()) return status;
    return DeleteByHandle(api_, file.get(), true);
  }

  Status OpenHeld(const std::string& name, std::unique_ptr<HeldFile>* file,
                  FileInfo* info) override {
    // Shared for reading and deleting but not writing: no other program can
    // change it from the read to the replace. A part another program has
    // locked (LockFileEx) makes a read fail, with the system's reason.
    HANDLE handle = INVALID_HANDLE_VALUE;
    Status status =
        OpenRegular(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, &handle, info);
    if (status.ok()) *file = std::make_unique<Win32File>(api_, handle, &held_);
    return status;
  }

  Status Identify(const std::string& name, FileInfo* info) override {
    // Opened for its attributes only, which meets no other program's
    // sharing or opportunistic lock. A name whose file is being deleted
    // right now answers "delete pending" or "access denied": a change.
    HANDLE file = INVALID_HANDLE_VALUE;
    const LONG opened = OpenRelative(api_, handle_, Wide(name), FILE_READ_ATTRIBUTES, kShareAll,
                                     kFileOpen, kOpenReparsePoint, &file);
    if (Status status = Opened(api_, Call::kIdentify, opened, &file); !status.ok()) return status;
    BY_HANDLE_FILE_INFORMATION data;
    const bool ok = api_.GetFileInformationByHandle(file, &data) != 0;
    const DWORD error = GetLastError();
    api_.CloseHandle(file);
    if (!ok) return SystemStatus(Call::kOther, FromError(error));
    FillInfo(data, info);
    return Status();
  }

  Status CreateTemp(const std::string& name, const HeldFile* original,
                    std::unique_ptr<TempFile>* file) override {
    const HANDLE like =
        original == nullptr ? nullptr : static_cast<const Win32File*>(original)->handle();
    DWORD attributes = FILE_ATTRIBUTE_NORMAL;
    if (like != nullptr) {
      FILE_ATTRIBUTE_TAG_INFO data{};
      if (!api_.GetFileInformationByHandleEx(like, FileAttributeTagInfo, &data, sizeof data)) {
        return LastError();
      }
      if ((data.FileAttributes & kCopiedAttributes) != 0) {
        attributes = data.FileAttributes & kCopiedAttributes;
      }
    }
    // Shared with no one: no other program can read it, delete it or hold
    // it while it is written.
    HANDLE handle = INVALID_HANDLE_VALUE;
    const LONG created = OpenRelative(
        api_, handle_, Wide(name), GENERIC_WRITE | DELETE | READ_CONTROL | WRITE_DAC | WRITE_OWNER,
        0, kFileCreate, kNonDirectoryFile | kOpenReparsePoint, &handle, attributes);
    if (Status status = Opened(api_, Call::kCreate, created, &handle); !status.ok()) return status;
    if (Status status = CheckInFolder(api_, handle, handle_, name); !status.ok()) {
      DeleteByHandle(api_, handle, true);
      api_.CloseHandle(handle);
      return status;
    }
    *file = std::make_unique<Win32TempFile>(*this, handle, name, like);
    return Status();
  }

  Status OpenInPlace(const std::string& name, std::unique_ptr<InPlaceFile>* file,
                     FileInfo* info) override {
    HANDLE handle = INVALID_HANDLE_VALUE;
    Status status = OpenRegular(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, &handle, info);
    if (!status.ok()) return status;
    // A lock of this run's on all of it: no reader can then lock a part of it
    // against the rewrite or the writing back of the original.
    OVERLAPPED whole{};
    if (!api_.LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD,
                         MAXDWORD, &whole)) {
      const DWORD error = GetLastError();
      api_.CloseHandle(handle);
      return SystemStatus(Call::kLockRange, FromError(error));
    }
    *file = std::make_unique<Win32File>(api_, handle, nullptr);
    return status;
  }

 private:
  Status OpenRegular(const std::string& name, DWORD access, DWORD share, HANDLE* file,
                     FileInfo* info) {
    HANDLE handle = INVALID_HANDLE_VALUE;
    const LONG opened = OpenRelative(api_, handle_, Wide(name), access, share, kFileOpen,
                                     kNonDirectoryFile, &handle);
    if (Status status = Opened(api_, Call::kOpen, opened, &handle); !status.ok()) return status;
    ScopedHandle held(handle, HandleCloser{&api_});
    BY_HANDLE_FILE_INFORMATION data;
    if (!api_.GetFileInformationByHandle(handle, &data)) return LastError();
    if (api_.GetFileType(handle) != FILE_TYPE_DISK ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      return Status::Failed("not a regular file");
    }
    if (Status status = CheckInFolder(api_, handle, handle_, name); !status.ok()) return status;
    FillInfo(data, info);
    // On Windows 10 and 11 the hosts file often has a second name in the
    // component store; only the hosts name is replaced, and the store keeps
    // its copy.
    if (data.nNumberOfLinks == 2 && HasStoreTwin(api_, JoinPath(path(), name), data)) {
      info->links = 1;
    }
    *file = held.release();
    return Status();
  }

  Context& context_;
  const Win32Api& api_;
  const HANDLE handle_;
  int held_ = 0;  // the hosts files this process has open for reading
};

Status Win32TempFile::Write(std::string_view data) {
  return WriteAll(folder_.context().api, handle_, data);
}

Status Win32TempFile::Sync() {
  if (!folder_.context().api.FlushFileBuffers(handle_)) return LastError();
  return Status();
}

Status Win32TempFile::Commit(const std::string& target, const FileInfo& expected) {
  Context& context = folder_.context();
  const bool replace = expected.exists;
  // Only now the hosts file's owner, group and DACL: until here a killed
  // run's file is this account's, and the next run removes it.
  if (like_ != nullptr) {
    const HANDLE like = like_;
    like_ = nullptr;
    if (Status status = CopySecurity(context.api, like, handle_); !status.ok()) {
      return status.In("cannot give it the hosts file's owner and permissions");
    }
  }
  DWORD error = ERROR_SUCCESS;
  if (replace && !context.classic_renames_only) {
    error = Rename(target, true, true);
    if (IsUnsupported(error)) context.classic_renames_only = true;
    // A volume or filter that takes the rename but not its POSIX replace
    // (Windows 10 1607, Server 2016) refuses it while this process holds the
    // file, as the classic rename does: let go of it, and try again.
    if (error == ERROR_ACCESS_DENIED && folder_.holds_a_file()) {
      return Status(Code::kHeldHere, "the file system refused to replace a file that is open");
    }
  }
  if (!replace || context.classic_renames_only) {
    // The classic rename cannot replace a file that has open handles, this
    // process's own included: the update lets go of it first.
    if (replace && folder_.holds_a_file()) {
      return Status(Code::kHeldHere, "the file system cannot replace a file that is open");
    }
    error = Rename(target, false, replace);
  }
  if (error == ERROR_SUCCESS) {
    // The new file is in place: flush it, so that the rename is on stable
    // storage before the tool reports success (a failure here cannot undo
    // the update, whose content was flushed before), and close it.
    context.api.FlushFileBuffers(handle_);
    context.api.CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    return Status();
  }
  return SystemStatus(Call::kRename, FromError(error));
}

Status Win32TempFile::Discard() {
  if (handle_ == INVALID_HANDLE_VALUE) return Status();
  const Win32Api& api = folder_.context().api;
  const Status status = DeleteByHandle(api, handle_, true);
  api.CloseHandle(handle_);
  handle_ = INVALID_HANDLE_VALUE;
  return status;
}

DWORD Win32TempFile::Rename(const std::string& target, bool posix, bool replace) {
  Context& context = folder_.context();
  const Win32Api& api = context.api;
  const DWORD flags = posix ? kRenameReplaceIfExists | kRenamePosixSemantics : replace ? 1 : 0;
  if (api.NtSetInformationFile == nullptr) return ERROR_CALL_NOT_IMPLEMENTED;
  for (;;) {
    const bool by_folder = context.renames_name_the_folder;
    std::vector<char> info = RenameInfo(flags, by_folder ? folder_.handle() : nullptr, target);
    IO_STATUS_BLOCK io{};
    const DWORD error = NtError(
        api, api.NtSetInformationFile(handle_, &io, info.data(), static_cast<ULONG>(info.size()),
                                      posix ? kFileRenameInformationEx : kFileRenameInformation));
    // A system that takes no name without a folder (Wine 8 answers "path is
    // invalid"): named relative to the held folder's handle from then on.
    const bool no_bare_names =
        error == ERROR_BAD_PATHNAME || error == ERROR_INVALID_NAME || error == ERROR_PATH_NOT_FOUND;
    if (by_folder || !no_bare_names) return error;
    context.renames_name_the_folder = true;
  }
}

class Win32FileSystem : public FileSystem {
 public:
  explicit Win32FileSystem(const Win32Api& api) : context_(api), api_(context_.api) {}

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
    return CheckWindowsDirectory(api_, root, checked);
  }

  Status OpenFolderOf(const std::string& path, std::unique_ptr<Folder>* folder,
                      std::string* name) override {
    HANDLE handle = INVALID_HANDLE_VALUE;
    std::string folder_path;
    Status status = WalkToFolder(api_, path, &handle, &folder_path, name);
    if (status.ok()) *folder = std::make_unique<Win32Folder>(context_, handle, folder_path);
    return status;
  }

  void Sleep(int milliseconds) override { api_.Sleep(static_cast<DWORD>(milliseconds)); }

 private:
  Context context_;
  const Win32Api& api_;
};

}  // namespace

std::unique_ptr<FileSystem> MakeWin32FileSystem(const Win32Api& api, int deadline_ms,
                                                int grace_ms) {
  return WithDeadline(std::make_unique<Win32FileSystem>(api), MakeWin32Worker(api), deadline_ms,
                      grace_ms);
}

FileSystem& RealFileSystem() {
#ifdef HOSTS_CHECKED_API
  // The test build's, hosts_entry_tool_checked.exe: every call checked as
  // Windows checks a handle's access.
  static const std::unique_ptr<FileSystem> file_system =
      MakeWin32FileSystem(CheckedApi(Win32Api()));
#else
  static const std::unique_ptr<FileSystem> file_system = MakeWin32FileSystem(Win32Api());
#endif
  return *file_system;
}

void HardenProcess(const Win32Api& api) {
  // DLLs this process loads from now on come from System32 only, never from
  // the folder the program sits in, which may be one a user can write.
  if (api.SetDefaultDllDirectories != nullptr) {
    api.SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  }
  // Junctions made by users who are not administrators are not followed,
  // where Windows has RedirectionGuard; elsewhere the call fails and the
  // update goes on.
  if (api.SetProcessMitigationPolicy != nullptr) {
    DWORD policy = kEnforceRedirectionTrust;
    api.SetProcessMitigationPolicy(kProcessRedirectionTrustPolicy, &policy, sizeof policy);
  }
}

void HardenProcess() { HardenProcess(Win32Api()); }

}  // namespace hosts

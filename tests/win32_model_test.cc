// The Windows file system layer against a model of Windows' documented
// behaviour. Each row puts one documented outcome of a Win32 or ntdll call in
// front of the real call (Wine's, here) and checks the promise: exit status 0
// and the new content, or -1, the file as it stood and one line on standard
// error. A row that plays something only Windows does names the fact in
// tests/windows_facts_test.cc that shows it.

#include <gtest/gtest.h>
#include <windows.h>
// windows.h first
#include <sddl.h>
#include <winternl.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "hosts/hosts_file.h"
#include "hosts/hosts_text.h"
#include "hosts/limits.h"
#include "hosts/win32_api.h"
#include "hosts/win32_checked_api.h"
#include "tests/windows_facts.h"

namespace hosts {
namespace {

constexpr char kTemp0[] = "hosts.hosts_entry_tool-0.tmp";
constexpr char kStale[] = "hosts.hosts_entry_tool-7.tmp";  // a killed run's
constexpr char kLockName[] = "hosts_entry_tool.lock";
const std::string kOriginal = "# hosts\r\n127.0.0.1 localhost\r\n127.0.0.1 " +
                              std::string(LocalAliasHost) + "\n0.0.0.0 ads.example\r\n";

// NTSTATUS values the rows answer with.
constexpr LONG kSharingViolation = static_cast<LONG>(0xC0000043);
constexpr LONG kAccessDenied = static_cast<LONG>(0xC0000022);
constexpr LONG kInvalidInfoClass = static_cast<LONG>(0xC0000003);
constexpr LONG kNotImplemented = static_cast<LONG>(0xC0000002);
constexpr LONG kNotSupported = static_cast<LONG>(0xC00000BB);
constexpr LONG kFileSystemLimitation = static_cast<LONG>(0xC0000427);
constexpr LONG kNotSameDevice = static_cast<LONG>(0xC00000D4);
constexpr LONG kIoDeviceError = static_cast<LONG>(0xC0000185);
constexpr LONG kObjectPathSyntaxBad = static_cast<LONG>(0xC000003B);
constexpr LONG kOplockBreakInProgress = 0x00000108;
constexpr LONG kDeletePending = static_cast<LONG>(0xC0000056);
constexpr LONG kCancelled = static_cast<LONG>(0xC0000120);
constexpr LONG kInvalidOwner = static_cast<LONG>(0xC000005A);
// NtCreateFile's options the model looks at.
constexpr ULONG kCompleteIfOplocked = 0x100;
constexpr ULONG kOpenReparsePoint = 0x200000;

// What the model makes the calls answer. Counters count down to zero.
// A symbolic link's or junction's reparse data, where not an absolute
// symbolic link to the model's target: the tag, the substitute name as the
// data holds it, and a symbolic link's flags.
struct LinkData {
  DWORD tag = 0xA000000C;
  std::string name;
  ULONG flags = 0;
};

// What the model makes the calls answer. Counters count down to zero.
struct Model {
  std::string root = "*";           // SystemRoot; "*" for the test's own Windows directory
  std::string windows;              // the system's Windows directory
  bool windows_unreadable = false;  // GetSystemWindowsDirectoryA: 0
  std::string etc;
  std::string hosts;
  std::string lock;
  std::string file;                   // where the links lead, if not to linked_hosts
  int writer_holds = 0;               // opens of the hosts file: a sharing violation
  int oplock_breaks = 0;              // opens of the hosts file: STATUS_OPLOCK_BREAK_IN_PROGRESS
  bool pending_delete_temp0 = false;  // FILE_CREATE of name 0: STATUS_DELETE_PENDING
  LONG create_status = 0;             // FILE_CREATE: this status
  bool posix_renames = false;  // FileRenameInformationEx replaces a file that is open (1607+)
  bool posix_replace_ignored = false;  // ... but for this volume or filter, which ignores the flag
  int posix_rename_refusals = 0;       // FileRenameInformationEx: posix_rename_status
  LONG posix_rename_status = kSharingViolation;
  int rename_refusals = 0;  // FileRenameInformation: rename_status
  LONG rename_status = kSharingViolation;
  bool rename_blocks = false;        // a rename waits for an oplock's holder until cancelled ...
  bool uncancellable = false;        // ... or, with this, not even then
  bool no_thread = false;            // CreateThread: ERROR_NOT_ENOUGH_MEMORY
  int deadline_ms = kRunDeadlineMs;  // how long the run may take
  HANDLE folder_holder = nullptr;    // another program's handle to the hosts folder, sharing
                                     // nothing: a rename into it is refused, as on Windows
  DWORD flush_error = 0;             // FlushFileBuffers of the temporary file before its rename
  DWORD committed_flush_error = 0;   // FlushFileBuffers of the file renamed into place
  DWORD write_error = 0;             // WriteFile on the temporary file
  bool disposition_refused = false;  // FileDispositionInfo(Ex): ERROR_ACCESS_DENIED
  bool posix_deletes = true;         // FileDispositionInfoEx deletes with POSIX semantics (1709+)
  DWORD set_security_error = 0;      // SetSecurityInfo: this error
  bool owner_refused = false;        // SetSecurityInfo of an owner: ERROR_INVALID_OWNER ...
  bool privilege_held = false;       // ... unless SeRestorePrivilege, if held, is on
  int lock_busy = 0;                 // opens of the lock: STATUS_SHARING_VIOLATION
  LONG lock_status = 0;              // opens of the lock: this status
  bool lock_oplocked = false;        // the lock: a user's oplock on it, never acknowledged
  bool folder_oplocked = false;      // the hosts folder: a user's oplock, never acknowledged
  bool stale_delete_blocks = false;  // deleting the leftover waits until cancelled
  bool range_locked = false;         // LockFileEx: ERROR_LOCK_VIOLATION
  DWORD links = 0;                   // nNumberOfLinks of the hosts file
  std::vector<std::wstring> names;   // FindFirstFileNameW's names for it; none: no such call
  DWORD names_error = 0;             // FindFirstFileNameW fails with this error
  std::map<std::string, std::string> symlinks;  // a link's path and the path it leads to
  std::map<std::string, LinkData> link_data;    // a link's reparse data, where not the default
  std::set<std::string> other_reparse;          // reparse points that are not links (WOF, say)
  DWORD reparse_error = 0;                      // FSCTL_GET_REPARSE_POINT: this error
  std::string opened_as;                        // the hosts file's path as opened, if not its own
  DWORD opened_path_error = 0;                  // GetFinalPathNameByHandleA of it as opened
  DWORD read_error = 0;                         // ReadFile
  int identify_refusals = 0;         // opening the hosts name without access: delete pending
  std::map<int, DWORD> info_errors;  // GetFileInformationByHandleEx of a class: this error
  bool security_unreadable = false;  // GetSecurityInfo of the DACL: ERROR_ACCESS_DENIED
  std::string security;              // the hosts file's owner, group and DACL, as SDDL
  std::map<std::string, std::string> descriptors;  // SDDL of a path, where not the real one
  std::map<std::string, std::vector<BYTE>> aces;   // an entry added to that path's DACL
  std::map<std::string, DWORD> attributes;         // attributes added to a path's
  std::map<std::string, DWORD> path_links;         // nNumberOfLinks of a path
  int end_of_file_refusals = 0;                    // SetEndOfFile: ERROR_USER_MAPPED_FILE
  DWORD end_of_file_slow_ms = 0;                   // the first SetEndOfFile takes this long
  int seek_refusals = 0;                           // SetFilePointerEx: ERROR_INVALID_PARAMETER
  std::function<void()> on_identify;               // another program, when the name is identified
  bool mitigation_fails = false;  // SetProcessMitigationPolicy: ERROR_INVALID_PARAMETER
  std::string full_path;          // GetFullPathNameA's answer, where not the real one
  // Calls the table holds as nullptr, as on a Windows or Wine without them.
  bool no_mitigation = false;
  bool no_dll_directories = false;
  // What happened.
  int calls = 0;
  int dll_directories_call = 0;  // which call set the DLL directories, from 1
  DWORD dll_directories = 0;
  int in_place_opens = 0;
  std::vector<std::string> walked;  // the names opened relative to a folder, as spelled
  int slept_ms = 0;
  std::set<HANDLE> hosts_handles;  // open handles to the hosts file
  std::set<HANDLE> through_links;  // handles opened through a symbolic link
  bool privilege_on = false;
  bool privilege_used = false;
  std::string copied;  // the security set on the temporary file, as SDDL
  SECURITY_INFORMATION copied_what = 0;
  std::string lock_security;  // the lock's security, as SDDL
  DWORD lock_share = ~0u;
  DWORD temp_share = ~0u;         // how the temporary file was shared
  ACCESS_MASK folder_access = 0;  // what the hosts folder was held for
  DWORD mitigation = 0;           // the RedirectionGuard flags set
  HANDLE committed = nullptr;     // the file renamed into place
  bool flushed_after_commit = false;
  bool renamed_while_held = false;
  bool renamed_by_folder = false;      // a rename named a RootDirectory
  LONG bare_rename_status = 0;         // a rename without a RootDirectory: this status
  int cancelled_while_rewriting = -1;  // CancelSynchronousIo calls by the end of a slow write
  int cancels = 0;                     // CancelSynchronousIo calls
  bool terminated = false;             // TerminateProcess of this process ...
  UINT exit_code = 0;                  // ... with this code
  HANDLE released = nullptr;           // set when a waiting call may end
};

Model* model = nullptr;

// The real calls behind the model's.
const auto RealNtCreateFile = SystemFunction<NtCreateFileFunction>("ntdll.dll", "NtCreateFile");
const auto RealNtSetInformationFile =
    SystemFunction<NtSetInformationFileFunction>("ntdll.dll", "NtSetInformationFile");

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool Is(const std::string& path, const std::string& other) { return Lower(path) == Lower(other); }

// The path an open handle leads to, as GetFinalPathNameByHandleA names it:
// the long name of every part, through junctions and substituted drives.
std::string FinalPathOf(HANDLE handle) {
  char path[MAX_PATH];
  const DWORD length = ::GetFinalPathNameByHandleA(handle, path, MAX_PATH, 0);
  if (length == 0 || length >= MAX_PATH) return "";
  return std::string(path).substr(4);  // without "\\?\"
}

// The same, lower case, as the model's maps key it.
std::string PathOfHandle(HANDLE handle) { return Lower(FinalPathOf(handle)); }

HANDLE Fail(DWORD error) {
  SetLastError(error);
  return INVALID_HANDLE_VALUE;
}

// Another program's part in an open of the hosts file's data by a program
// that wants `access`: a sharing violation while a writer holds it, or 0.
LONG HostsOpenAnswer(DWORD access) {
  if (access & GENERIC_WRITE) ++model->in_place_opens;
  if (model->writer_holds > 0) {
    --model->writer_holds;
    return kSharingViolation;
  }
  return 0;
}

// A call that waits for another program that never answers, as one that
// breaks an unacknowledged opportunistic lock does: it ends when cancelled
// (or, at the latest, after ten seconds, so that a broken build fails rather
// than hangs), with STATUS_CANCELLED.
LONG WaitUntilCancelled() {
  ::WaitForSingleObject(model->released, 10000);
  return kCancelled;
}

// `name` in the folder `root` as the model's maps key it; where `root` is
// nullptr, the object manager's path `name` (\??\C:\...).
std::string PathIn(HANDLE root, const UNICODE_STRING& name) {
  std::string named;
  for (USHORT i = 0; i < name.Length / sizeof(wchar_t); ++i) {
    named += static_cast<char>(name.Buffer[i]);  // the tests' names are ASCII
  }
  if (root == nullptr) return Lower(named.rfind("\\??\\", 0) == 0 ? named.substr(4) : named);
  std::string folder = PathOfHandle(root);
  if (named.empty()) return folder;
  if (!folder.empty() && folder.back() != '\\') folder += '\\';
  return Lower(folder + named);
}

// The path a symbolic link of the model leads to, through every link on it,
// or `path` itself.
std::string Resolved(std::string path, bool* through_link) {
  for (int hops = 0; hops < 64; ++hops) {
    const auto link = model->symlinks.find(Lower(path));
    if (link == model->symlinks.end()) break;
    path = link->second;
    *through_link = true;
  }
  return path;
}

DWORD WINAPI ModelGetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size) {
  ++model->calls;
  if (std::strcmp(name, "SystemRoot") != 0) return ::GetEnvironmentVariableA(name, buffer, size);
  const DWORD length = static_cast<DWORD>(model->root.size());
  if (size <= length) return length + 1;
  std::memcpy(buffer, model->root.c_str(), length + 1);
  return length;
}

UINT WINAPI ModelGetSystemWindowsDirectoryA(LPSTR buffer, UINT size) {
  ++model->calls;
  if (model->windows_unreadable) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  if (size <= model->windows.size()) return static_cast<UINT>(model->windows.size() + 1);
  std::memcpy(buffer, model->windows.c_str(), model->windows.size() + 1);
  return static_cast<UINT>(model->windows.size());
}

HANDLE WINAPI ModelCreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                               DWORD disposition, DWORD flags, HANDLE templ) {
  ++model->calls;
  std::string path = name;
  // A symbolic link is followed unless the caller asks for the link itself.
  bool through_link = false;
  if ((flags & FILE_FLAG_OPEN_REPARSE_POINT) == 0) path = Resolved(path, &through_link);
  const HANDLE handle = ::CreateFileA(path.c_str(), access, share, sa, disposition, flags, templ);
  if (handle != INVALID_HANDLE_VALUE && through_link) model->through_links.insert(handle);
  return handle;
}

LONG NTAPI ModelNtCreateFile(PHANDLE file, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                             PIO_STATUS_BLOCK io, PLARGE_INTEGER size, ULONG file_attributes,
                             ULONG share, ULONG disposition, ULONG options, PVOID ea,
                             ULONG ea_length) {
  ++model->calls;
  const std::string path = PathIn(attributes->RootDirectory, *attributes->ObjectName);
  if (attributes->RootDirectory != nullptr) {
    const UNICODE_STRING& name = *attributes->ObjectName;
    model->walked.emplace_back(name.Buffer, name.Buffer + name.Length / sizeof(wchar_t));
  }
  const bool data = (access & (GENERIC_READ | GENERIC_WRITE)) != 0;
  const bool hosts = Is(path, model->hosts);
  const bool lock = Is(path, model->lock);
  bool oplocked = false;  // a user holds an oplock on it that is never acknowledged
  if (Is(path, model->etc) && attributes->RootDirectory != nullptr) {
    if (!model->walked.empty() && model->walked.back().empty()) {
      // Opened again, for listing or to add a name: the user's oplock on it.
      oplocked = model->folder_oplocked;
    } else {
      model->folder_access = access;
    }
  }
  if (lock) {
    char* sddl = nullptr;
    if (attributes->SecurityDescriptor != nullptr &&
        ::ConvertSecurityDescriptorToStringSecurityDescriptorA(
            attributes->SecurityDescriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &sddl,
            nullptr)) {
      model->lock_security = sddl;
      ::LocalFree(sddl);
    }
    model->lock_share = share;
    if (model->lock_status != 0) return model->lock_status;
    if (model->lock_busy > 0) {
      --model->lock_busy;
      return kSharingViolation;
    }
    oplocked = model->lock_oplocked;
  }
  if (disposition == 2) {  // FILE_CREATE
    model->temp_share = share;
    if (model->create_status != 0) return model->create_status;
    if (model->pending_delete_temp0 && Is(path, model->etc + "\\" + kTemp0)) return kDeletePending;
  }
  if (hosts && access == (FILE_READ_ATTRIBUTES | SYNCHRONIZE)) {  // a look at the name
    if (model->on_identify) model->on_identify();
    if (model->identify_refusals > 0) {
      --model->identify_refusals;
      return kDeletePending;
    }
  }
  if (hosts && data) {
    if (const LONG answer = HostsOpenAnswer(access); answer != 0) return answer;
    if (model->oplock_breaks > 0) {
      --model->oplock_breaks;
      oplocked = true;
    }
  }
  // Without FILE_COMPLETE_IF_OPLOCKED the open waits for the oplock's holder.
  if (oplocked && (options & kCompleteIfOplocked) == 0) return WaitUntilCancelled();
  // A symbolic link is followed unless the caller asks for the link itself.
  bool through_link = false;
  const std::string opened =
      (options & kOpenReparsePoint) != 0 ? path : Resolved(path, &through_link);
  LONG status;
  if (through_link) {
    std::wstring target = L"\\??\\" + std::wstring(opened.begin(), opened.end());
    UNICODE_STRING target_name{static_cast<USHORT>(target.size() * sizeof(wchar_t)),
                               static_cast<USHORT>(target.size() * sizeof(wchar_t)), target.data()};
    OBJECT_ATTRIBUTES absolute = *attributes;
    absolute.RootDirectory = nullptr;
    absolute.ObjectName = &target_name;
    status = RealNtCreateFile(file, access, &absolute, io, size, file_attributes, share,
                              disposition, options, ea, ea_length);
    if (status >= 0) model->through_links.insert(*file);
  } else {
    status = RealNtCreateFile(file, access, attributes, io, size, file_attributes, share,
                              disposition, options, ea, ea_length);
  }
  if (status < 0) return status;
  if (hosts && data) model->hosts_handles.insert(*file);
  // Documented for FILE_COMPLETE_IF_OPLOCKED: the open succeeds at once
  // while the break it started goes on.
  return oplocked ? kOplockBreakInProgress : status;
}

BOOL WINAPI ModelCloseHandle(HANDLE handle) {
  model->hosts_handles.erase(handle);
  model->through_links.erase(handle);
  return ::CloseHandle(handle);
}

BOOL WINAPI ModelWriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written,
                           LPOVERLAPPED overlapped) {
  ++model->calls;
  if (model->write_error != 0) {
    SetLastError(model->write_error);
    return FALSE;
  }
  return ::WriteFile(file, data, size, written, overlapped);
}

BOOL WINAPI ModelReadFile(HANDLE file, LPVOID data, DWORD size, LPDWORD read,
                          LPOVERLAPPED overlapped) {
  ++model->calls;
  if (model->read_error != 0) {
    SetLastError(model->read_error);
    return FALSE;
  }
  return ::ReadFile(file, data, size, read, overlapped);
}

BOOL WINAPI ModelSetEndOfFile(HANDLE file) {
  ++model->calls;
  if (model->end_of_file_slow_ms != 0) {
    // A slow disk: the call takes its time, and ends when it has, cancelled
    // or not.
    ::Sleep(model->end_of_file_slow_ms);
    model->end_of_file_slow_ms = 0;
    model->cancelled_while_rewriting = model->cancels;
  }
  if (model->end_of_file_refusals > 0) {
    --model->end_of_file_refusals;
    SetLastError(ERROR_USER_MAPPED_FILE);
    return FALSE;
  }
  return ::SetEndOfFile(file);
}

BOOL WINAPI ModelSetFilePointerEx(HANDLE file, LARGE_INTEGER to, PLARGE_INTEGER now, DWORD from) {
  ++model->calls;
  if (model->seek_refusals > 0) {
    --model->seek_refusals;
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return ::SetFilePointerEx(file, to, now, from);
}

BOOL WINAPI ModelFlushFileBuffers(HANDLE file) {
  ++model->calls;
  const bool committed = file == model->committed;
  if (committed) model->flushed_after_commit = true;
  const DWORD error = committed ? model->committed_flush_error : model->flush_error;
  if (error != 0) {
    SetLastError(error);
    return FALSE;
  }
  return ::FlushFileBuffers(file);
}

// The attributes and link counts the model adds to a file's own.
void AddModelAttributes(const std::string& path, DWORD* attributes, DWORD* links) {
  if (model->links != 0 && Is(path, model->hosts)) *links = model->links;
  if (model->path_links.count(path)) *links = model->path_links[path];
  if (model->attributes.count(path)) *attributes |= model->attributes[path];
  // A handle to a link itself, or to another kind of reparse point.
  if (model->symlinks.count(path) || model->other_reparse.count(path)) {
    *attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
  }
}

BOOL WINAPI ModelGetFileInformationByHandleEx(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind,
                                              LPVOID info, DWORD size) {
  ++model->calls;
  if (model->info_errors.count(kind)) {
    SetLastError(model->info_errors[kind]);
    return FALSE;
  }
  const BOOL ok = ::GetFileInformationByHandleEx(file, kind, info, size);
  if (!ok) return ok;
  const std::string path = PathOfHandle(file);
  DWORD links = 0;
  if (kind == FileAttributeTagInfo) {
    auto* tag = static_cast<FILE_ATTRIBUTE_TAG_INFO*>(info);
    AddModelAttributes(path, &tag->FileAttributes, &links);
  } else if (kind == FileStandardInfo) {
    auto* standard = static_cast<FILE_STANDARD_INFO*>(info);
    DWORD attributes = 0;
    links = standard->NumberOfLinks;
    AddModelAttributes(path, &attributes, &links);
    standard->NumberOfLinks = links;
  }
  return ok;
}

BOOL WINAPI ModelGetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info) {
  ++model->calls;
  const BOOL ok = ::GetFileInformationByHandle(file, info);
  if (!ok) return ok;
  AddModelAttributes(PathOfHandle(file), &info->dwFileAttributes, &info->nNumberOfLinks);
  return ok;
}

// A link's reparse data: its tag, the lengths and offsets of its two names,
// a symbolic link's flags, and the names, in UTF-16. By default an absolute
// symbolic link to the path the model's link leads to.
BOOL WINAPI ModelDeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD in_size, LPVOID out,
                                 DWORD out_size, LPDWORD returned, LPOVERLAPPED overlapped) {
  ++model->calls;
  const std::string path = PathOfHandle(device);
  const auto link = model->symlinks.find(path);
  if (code == FSCTL_GET_REPARSE_POINT && model->reparse_error != 0) {
    SetLastError(model->reparse_error);
    return FALSE;
  }
  if (code == FSCTL_GET_REPARSE_POINT && model->other_reparse.count(path)) {
    // IO_REPARSE_TAG_WOF, with no data the layer reads.
    const WORD header[10] = {0x0017, 0x8000};
    std::memcpy(out, header, sizeof header);
    *returned = sizeof header;
    return TRUE;
  }
  if (code != FSCTL_GET_REPARSE_POINT || link == model->symlinks.end()) {
    return ::DeviceIoControl(device, code, in, in_size, out, out_size, returned, overlapped);
  }
  LinkData data;
  data.name = "\\??\\" + link->second;
  if (model->link_data.count(path)) data = model->link_data[path];
  const std::wstring name(data.name.begin(), data.name.end());
  const WORD bytes = static_cast<WORD>(name.size() * sizeof(wchar_t));
  const bool symlink = data.tag == 0xA000000C;
  const WORD flags_size = symlink ? sizeof(ULONG) : 0;
  const WORD header[8] = {static_cast<WORD>(data.tag),
                          static_cast<WORD>(data.tag >> 16),
                          static_cast<WORD>(8 + flags_size + 2 * bytes),
                          0,
                          0,
                          bytes,
                          bytes,
                          bytes};
  char* at = static_cast<char*>(out);
  std::memcpy(at, header, sizeof header);
  std::memcpy(at + sizeof header, &data.flags, flags_size);
  std::memcpy(at + sizeof header + flags_size, name.data(), bytes);
  std::memcpy(at + sizeof header + flags_size + bytes, name.data(), bytes);
  *returned = static_cast<DWORD>(sizeof header + flags_size + 2 * bytes);
  return TRUE;
}

DWORD WINAPI ModelGetFinalPathNameByHandleA(HANDLE file, LPSTR buffer, DWORD size, DWORD flags) {
  ++model->calls;
  const bool hosts = Is(PathOfHandle(file), model->hosts);
  if (hosts && (flags & FILE_NAME_OPENED) && model->opened_path_error != 0) {
    SetLastError(model->opened_path_error);
    return 0;
  }
  if (!(hosts && (flags & FILE_NAME_OPENED) && !model->opened_as.empty())) {
    return ::GetFinalPathNameByHandleA(file, buffer, size, flags);
  }
  const std::string final_path = "\\\\?\\" + model->opened_as;
  if (size <= final_path.size()) return static_cast<DWORD>(final_path.size() + 1);
  std::memcpy(buffer, final_path.c_str(), final_path.size() + 1);
  return static_cast<DWORD>(final_path.size());
}

// A POSIX-semantics rename over a file this process holds: the held file is
// moved aside, so that its handles stay valid, and the new one takes the
// name, through the real rename relative to the folder's handle.
// `rename` is the real classic rename, which answers true when it renamed.
template <typename Rename>
bool PosixRename(Rename rename) {
  const std::string aside = model->hosts + ".held";
  const bool held = !model->hosts_handles.empty();
  if (held && !::MoveFileExA(model->hosts.c_str(), aside.c_str(), 0)) return false;
  const bool renamed = rename();
  if (held) ::DeleteFileA(aside.c_str());
  model->renamed_while_held |= renamed && held;
  return renamed;
}

// A folder's handle, closed when it goes.
struct ScopedFolder {
  ScopedFolder() = default;
  explicit ScopedFolder(HANDLE opened) : handle(opened) {}
  ScopedFolder(const ScopedFolder&) = delete;
  ScopedFolder& operator=(ScopedFolder&& other) noexcept {
    std::swap(handle, other.handle);
    return *this;
  }
  ~ScopedFolder() {
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);
  }
  HANDLE handle = nullptr;
};

LONG NTAPI ModelNtSetInformationFile(HANDLE file, PIO_STATUS_BLOCK io, PVOID info, ULONG size,
                                     ULONG kind) {
  ++model->calls;
  LONG status = 0;
  if (kind == 65 || kind == 10) {
    // A rename that names its target relative to a folder's handle, or by a
    // path, opens the folder it renames into to add the name; one to a name
    // without a path and no RootDirectory is "renamed within the same
    // directory", and opens none (FILE_RENAME_INFORMATION).
    auto* rename = static_cast<FILE_RENAME_INFO*>(info);
    const bool opens_folder = rename->RootDirectory != nullptr;
    model->renamed_by_folder |= opens_folder;
    if (!opens_folder && model->bare_rename_status != 0) return model->bare_rename_status;
    // Waiting for the holder of a Read-Handle oplock on the file it replaces,
    // or on the folder it renames into.
    if (model->rename_blocks || (opens_folder && model->folder_oplocked)) {
      return WaitUntilCancelled();
    }
    // A program that holds the folder without sharing refuses that open.
    if (opens_folder && model->folder_holder != nullptr) return kSharingViolation;
  }
  // Wine takes no name without a folder: the model renames within the
  // file's own folder, as Windows does, through a handle to it.
  std::vector<char> within;
  ScopedFolder own_folder;
  if ((kind == 65 || kind == 10) &&
      static_cast<FILE_RENAME_INFO*>(info)->RootDirectory == nullptr) {
    const std::string path = FinalPathOf(file);
    own_folder =
        ScopedFolder(::CreateFileA(path.substr(0, path.find_last_of('\\')).c_str(), 0,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    within.assign(static_cast<char*>(info), static_cast<char*>(info) + size);
    reinterpret_cast<FILE_RENAME_INFO*>(within.data())->RootDirectory = own_folder.handle;
    info = within.data();
  }
  if (kind == 65) {  // FileRenameInformationEx
    if (model->posix_rename_refusals > 0) {
      --model->posix_rename_refusals;
      return model->posix_rename_status;
    }
    // A Windows before 10 1607 does not know the class.
    if (!model->posix_renames) return kInvalidInfoClass;
    // A volume or filter that takes the class but not its POSIX replace: the
    // classic rename's answer.
    if (model->posix_replace_ignored) {
      if (!model->hosts_handles.empty()) return kAccessDenied;
      status = RealNtSetInformationFile(file, io, info, size, 10);
      if (status >= 0) model->committed = file;
      return status;
    }
    status = kAccessDenied;
    PosixRename([&] { return (status = RealNtSetInformationFile(file, io, info, size, 10)) >= 0; });
  } else if (kind == 10) {  // FileRenameInformation
    if (model->rename_refusals > 0) {
      --model->rename_refusals;
      return model->rename_status;
    }
    // Documented: a file that has open handles cannot be replaced.
    if (!model->hosts_handles.empty()) return kAccessDenied;
    status = RealNtSetInformationFile(file, io, info, size, kind);
  } else {
    return RealNtSetInformationFile(file, io, info, size, kind);
  }
  if (status >= 0) model->committed = file;
  return status;
}

BOOL WINAPI ModelSetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind,
                                            LPVOID info, DWORD size) {
  ++model->calls;
  const int kind_number = static_cast<int>(kind);
  if (model->stale_delete_blocks && PathOfHandle(file).find(kStale) != std::string::npos) {
    WaitUntilCancelled();
    SetLastError(ERROR_OPERATION_ABORTED);
    return FALSE;
  }
  if ((kind == FileDispositionInfo || kind_number == 21) && model->disposition_refused) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (kind_number == 21) {  // FileDispositionInfoEx, which Wine lacks
    if (!model->posix_deletes) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    // No other program holds these files: the name goes when this handle closes.
    FILE_DISPOSITION_INFO classic{(*static_cast<DWORD*>(info) & 1) != 0};
    return ::SetFileInformationByHandle(file, FileDispositionInfo, &classic, sizeof classic);
  }
  return ::SetFileInformationByHandle(file, kind, info, size);
}

std::size_t next_name = 0;

BOOL NextName(LPDWORD size, PWSTR name) {
  if (next_name == model->names.size()) {
    SetLastError(ERROR_HANDLE_EOF);
    return FALSE;
  }
  const std::wstring& each = model->names[next_name];
  if (*size <= each.size()) {
    *size = static_cast<DWORD>(each.size() + 1);
    SetLastError(ERROR_MORE_DATA);
    return FALSE;
  }
  ++next_name;
  std::memcpy(name, each.c_str(), sizeof(WCHAR) * (each.size() + 1));
  *size = static_cast<DWORD>(each.size() + 1);
  return TRUE;
}

const HANDLE kNameSearch = reinterpret_cast<HANDLE>(0x4e414d45);

HANDLE WINAPI ModelFindFirstFileNameW(LPCWSTR, DWORD, LPDWORD size, PWSTR name) {
  ++model->calls;
  next_name = 0;
  if (model->names_error != 0) return Fail(model->names_error);
  return NextName(size, name) ? kNameSearch : INVALID_HANDLE_VALUE;
}

BOOL WINAPI ModelFindNextFileNameW(HANDLE, LPDWORD size, PWSTR name) {
  ++model->calls;
  return NextName(size, name);
}

BOOL WINAPI ModelFindClose(HANDLE search) { return search == kNameSearch || ::FindClose(search); }

// A descriptor made from SDDL, allocated the way GetSecurityInfo allocates.
PSECURITY_DESCRIPTOR FromSddl(const std::string& sddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ::ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1, &descriptor,
                                                         nullptr);
  return descriptor;
}

// Owner, group and DACL of a descriptor, as SDDL.
std::string ToSddl(PSECURITY_DESCRIPTOR descriptor,
                   SECURITY_INFORMATION what = OWNER_SECURITY_INFORMATION |
                                               GROUP_SECURITY_INFORMATION |
                                               DACL_SECURITY_INFORMATION) {
  char* sddl = nullptr;
  ::ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor, SDDL_REVISION_1, what, &sddl,
                                                         nullptr);
  const std::string text = sddl == nullptr ? "" : sddl;
  ::LocalFree(sddl);
  return text;
}

// SDDL as the system writes it back.
std::string Sddl(const std::string& sddl) {
  PSECURITY_DESCRIPTOR descriptor = FromSddl(sddl);
  const std::string text = ToSddl(descriptor);
  ::LocalFree(descriptor);
  return text;
}

// A descriptor made from SDDL with the entry `ace` added at the end of its
// DACL, in one block, as GetSecurityInfo allocates: for the kinds of entry
// SDDL cannot write here (Wine's has no object entries).
PSECURITY_DESCRIPTOR WithAce(const std::string& sddl, const std::vector<BYTE>& ace) {
  PSECURITY_DESCRIPTOR from = FromSddl(sddl);
  PSID owner = nullptr;
  PACL dacl = nullptr;
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  ::GetSecurityDescriptorOwner(from, &owner, &defaulted);
  ::GetSecurityDescriptorDacl(from, &present, &dacl, &defaulted);
  ACL_SIZE_INFORMATION used{};
  ::GetAclInformation(dacl, &used, sizeof used, AclSizeInformation);
  const DWORD owner_size = ::GetLengthSid(owner);
  const DWORD acl_size = used.AclBytesInUse + static_cast<DWORD>(ace.size());
  auto* block = static_cast<BYTE*>(
      ::LocalAlloc(LPTR, sizeof(SECURITY_DESCRIPTOR) + 64 + owner_size + acl_size));
  PSECURITY_DESCRIPTOR descriptor = block;
  PSID sid = block + sizeof(SECURITY_DESCRIPTOR) + 16;
  auto* acl = reinterpret_cast<PACL>(block + sizeof(SECURITY_DESCRIPTOR) + 32 + owner_size);
  ::InitializeSecurityDescriptor(descriptor, SECURITY_DESCRIPTOR_REVISION);
  ::CopySid(owner_size, sid, owner);
  std::memcpy(acl, dacl, used.AclBytesInUse);
  std::memcpy(reinterpret_cast<BYTE*>(acl) + used.AclBytesInUse, ace.data(), ace.size());
  acl->AclRevision = ACL_REVISION_DS;
  acl->AclSize = static_cast<WORD>(acl_size);
  ++acl->AceCount;
  ::SetSecurityDescriptorOwner(descriptor, sid, FALSE);
  ::SetSecurityDescriptorDacl(descriptor, TRUE, acl, FALSE);
  ::LocalFree(from);
  return descriptor;
}

// An entry of kind `type` that allows `mask` to Users: a plain entry's
// layout, or an object entry's, with the GUIDs its `object_flags` name.
std::vector<BYTE> UsersMay(BYTE type, ACCESS_MASK mask, DWORD object_flags = 0) {
  const bool object =
      type == ACCESS_ALLOWED_OBJECT_ACE_TYPE || type == ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE;
  std::vector<BYTE> ace(sizeof(ACE_HEADER) + sizeof mask);
  std::memcpy(ace.data() + sizeof(ACE_HEADER), &mask, sizeof mask);
  if (object) {
    const BYTE* flags = reinterpret_cast<const BYTE*>(&object_flags);
    ace.insert(ace.end(), flags, flags + sizeof object_flags);
    for (const DWORD present : {ACE_OBJECT_TYPE_PRESENT, ACE_INHERITED_OBJECT_TYPE_PRESENT}) {
      if (object_flags & present) ace.insert(ace.end(), 16, 0x5A);  // a GUID
    }
  }
  PSID users = nullptr;
  ::ConvertStringSidToSidA("S-1-5-32-545", &users);
  const BYTE* sid = static_cast<const BYTE*>(users);
  ace.insert(ace.end(), sid, sid + ::GetLengthSid(users));
  ::LocalFree(users);
  const ACE_HEADER header{type, 0, static_cast<WORD>(ace.size())};
  std::memcpy(ace.data(), &header, sizeof header);
  return ace;
}

DWORD WINAPI ModelGetSecurityInfo(HANDLE object, SE_OBJECT_TYPE type, SECURITY_INFORMATION what,
                                  PSID* owner, PSID* group, PACL* dacl, PACL* sacl,
                                  PSECURITY_DESCRIPTOR* descriptor) {
  ++model->calls;
  const auto found = model->descriptors.find(PathOfHandle(object));
  BY_HANDLE_FILE_INFORMATION data{};
  ::GetFileInformationByHandle(object, &data);
  std::string sddl;
  if (found != model->descriptors.end()) {
    sddl = found->second;
  } else if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    // Folders are the system's, as those on the way to the hosts file are.
    sddl = "O:SYD:(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)";
  } else if ((what & DACL_SECURITY_INFORMATION) || Is(PathOfHandle(object), model->hosts)) {
    if (model->security_unreadable) return ERROR_ACCESS_DENIED;
    sddl = model->security;
  }
  if (sddl.empty()) {
    return ::GetSecurityInfo(object, type, what, owner, group, dacl, sacl, descriptor);
  }
  const auto ace = model->aces.find(PathOfHandle(object));
  *descriptor = ace == model->aces.end() ? FromSddl(sddl) : WithAce(sddl, ace->second);
  BOOL defaulted = FALSE;
  BOOL present = FALSE;
  if (owner != nullptr) ::GetSecurityDescriptorOwner(*descriptor, owner, &defaulted);
  if (group != nullptr) ::GetSecurityDescriptorGroup(*descriptor, group, &defaulted);
  if (dacl != nullptr) ::GetSecurityDescriptorDacl(*descriptor, &present, dacl, &defaulted);
  return ERROR_SUCCESS;
}

// Whether this process may make `owner` a file's owner without
// SeRestorePrivilege, as Windows decides: its own account, or a group of its
// token that may own objects (Administrators, in an elevated token).
bool MayOwn(PSID owner) {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  std::vector<char> user(256);
  DWORD size = 0;
  bool may = ::GetTokenInformation(token, TokenUser, user.data(), 256, &size) &&
             ::EqualSid(owner, reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid);
  ::GetTokenInformation(token, TokenGroups, nullptr, 0, &size);
  std::vector<char> groups(size);
  if (!may && ::GetTokenInformation(token, TokenGroups, groups.data(), size, &size)) {
    const auto* list = reinterpret_cast<TOKEN_GROUPS*>(groups.data());
    for (DWORD i = 0; i < list->GroupCount; ++i) {
      may |= (list->Groups[i].Attributes & SE_GROUP_OWNER) != 0 &&
             ::EqualSid(owner, list->Groups[i].Sid);
    }
  }
  ::CloseHandle(token);
  return may;
}

DWORD WINAPI ModelSetSecurityInfo(HANDLE object, SE_OBJECT_TYPE type, SECURITY_INFORMATION what,
                                  PSID owner, PSID group, PACL dacl, PACL sacl) {
  ++model->calls;
  if (model->set_security_error != 0) return model->set_security_error;
  // As Windows answers, also where Wine would let any owner go ("setting
  // another account as owner needs the restore privilege").
  if ((what & OWNER_SECURITY_INFORMATION) && !model->privilege_on &&
      (model->owner_refused || !MayOwn(owner))) {
    return ERROR_INVALID_OWNER;
  }
  SECURITY_DESCRIPTOR descriptor;
  ::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
  ::SetSecurityDescriptorOwner(&descriptor, owner, FALSE);
  ::SetSecurityDescriptorGroup(&descriptor, group, FALSE);
  ::SetSecurityDescriptorDacl(&descriptor, TRUE, dacl, FALSE);
  model->copied = ToSddl(&descriptor);
  model->copied_what = what;
  // What GetSecurityInfo answers from then on, also where Wine keeps no owner.
  model->descriptors[PathOfHandle(object)] = model->copied;
  return ::SetSecurityInfo(object, type, what, owner, group, dacl, sacl);
}

BOOL WINAPI ModelAdjustTokenPrivileges(HANDLE, BOOL, PTOKEN_PRIVILEGES wanted, DWORD,
                                       PTOKEN_PRIVILEGES previous, PDWORD) {
  ++model->calls;
  if (!model->privilege_held) {
    SetLastError(ERROR_NOT_ALL_ASSIGNED);
    return TRUE;
  }
  if (previous != nullptr) {
    *previous = *wanted;
    previous->Privileges[0].Attributes = model->privilege_on ? SE_PRIVILEGE_ENABLED : 0;
  }
  model->privilege_on = (wanted->Privileges[0].Attributes & SE_PRIVILEGE_ENABLED) != 0;
  model->privilege_used |= model->privilege_on;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI ModelSetProcessMitigationPolicy(PROCESS_MITIGATION_POLICY policy, PVOID flags, SIZE_T) {
  ++model->calls;
  if (model->mitigation_fails) {
    SetLastError(ERROR_INVALID_PARAMETER);  // a Windows without RedirectionGuard
    return FALSE;
  }
  if (policy == 16) model->mitigation = *static_cast<DWORD*>(flags);
  return TRUE;
}

BOOL WINAPI ModelSetDefaultDllDirectories(DWORD flags) {
  model->dll_directories_call = ++model->calls;
  model->dll_directories = flags;
  return TRUE;
}

DWORD WINAPI ModelGetFullPathNameA(LPCSTR name, DWORD size, LPSTR buffer, LPSTR* part) {
  ++model->calls;
  if (model->full_path.empty()) return ::GetFullPathNameA(name, size, buffer, part);
  if (size <= model->full_path.size()) return static_cast<DWORD>(model->full_path.size() + 1);
  std::memcpy(buffer, model->full_path.c_str(), model->full_path.size() + 1);
  return static_cast<DWORD>(model->full_path.size());
}

void WINAPI ModelSleep(DWORD milliseconds) { model->slept_ms += static_cast<int>(milliseconds); }

BOOL WINAPI ModelLockFileEx(HANDLE file, DWORD flags, DWORD reserved, DWORD low, DWORD high,
                            LPOVERLAPPED overlapped) {
  ++model->calls;
  if (model->range_locked) {
    SetLastError(ERROR_LOCK_VIOLATION);  // a reader holds a lock on a part of it
    return FALSE;
  }
  return ::LockFileEx(file, flags, reserved, low, high, overlapped);
}

HANDLE WINAPI ModelCreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stack,
                                LPTHREAD_START_ROUTINE start, LPVOID argument, DWORD flags,
                                LPDWORD id) {
  ++model->calls;
  if (model->no_thread) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return ::CreateThread(security, stack, start, argument, flags, id);
}

BOOL WINAPI ModelCancelSynchronousIo(HANDLE thread) {
  ++model->cancels;
  if (!model->uncancellable) ::SetEvent(model->released);
  return ::CancelSynchronousIo(thread) || true;
}

// The process would end here; the model lets the waiting call go instead,
// so that the test goes on.
BOOL WINAPI ModelTerminateProcess(HANDLE, UINT code) {
  model->terminated = true;
  model->exit_code = code;
  ::SetEvent(model->released);
  return TRUE;
}

Win32Api ModelApi(const Model& m) {
  Win32Api api;
  api.GetEnvironmentVariableA = ModelGetEnvironmentVariableA;
  api.GetSystemWindowsDirectoryA = ModelGetSystemWindowsDirectoryA;
  api.GetFullPathNameA = ModelGetFullPathNameA;
  api.CreateFileA = ModelCreateFileA;
  api.CloseHandle = ModelCloseHandle;
  api.ReadFile = ModelReadFile;
  api.WriteFile = ModelWriteFile;
  api.SetEndOfFile = ModelSetEndOfFile;
  api.SetFilePointerEx = ModelSetFilePointerEx;
  api.FlushFileBuffers = ModelFlushFileBuffers;
  api.GetFileInformationByHandle = ModelGetFileInformationByHandle;
  api.GetFileInformationByHandleEx = ModelGetFileInformationByHandleEx;
  api.GetFinalPathNameByHandleA = ModelGetFinalPathNameByHandleA;
  api.SetFileInformationByHandle = ModelSetFileInformationByHandle;
  api.DeviceIoControl = ModelDeviceIoControl;
  api.FindClose = ModelFindClose;
  // Wine has no FindFirstFileNameW; the model has it only where a row gives names.
  const bool names = !m.names.empty() || m.names_error != 0;
  api.FindFirstFileNameW = names ? ModelFindFirstFileNameW : nullptr;
  api.FindNextFileNameW = names ? ModelFindNextFileNameW : nullptr;
  api.GetSecurityInfo = ModelGetSecurityInfo;
  api.SetSecurityInfo = ModelSetSecurityInfo;
  api.AdjustTokenPrivileges = ModelAdjustTokenPrivileges;
  api.SetProcessMitigationPolicy = m.no_mitigation ? nullptr : ModelSetProcessMitigationPolicy;
  api.SetDefaultDllDirectories = m.no_dll_directories ? nullptr : ModelSetDefaultDllDirectories;
  api.NtCreateFile = ModelNtCreateFile;
  api.NtSetInformationFile = ModelNtSetInformationFile;
  api.LockFileEx = ModelLockFileEx;
  api.Sleep = ModelSleep;
  api.CreateThread = ModelCreateThread;
  api.CancelSynchronousIo = ModelCancelSynchronousIo;
  api.TerminateProcess = ModelTerminateProcess;
  return api;
}

std::string ReadFileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFileText(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

std::string SidOfThisProcess() {
  HANDLE token = nullptr;
  ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token);
  char buffer[256];
  DWORD size = 0;
  ::GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size);
  ::CloseHandle(token);
  char* text = nullptr;
  ::ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text);
  const std::string sid = text;
  ::LocalFree(text);
  return sid;
}

// What runs left in the hosts folder: temporary files and the lock.
std::vector<std::string> Leftovers(const std::string& etc) {
  std::vector<std::string> names;
  for (const char* pattern : {"\\hosts.hosts_entry_tool-*", "\\hosts_entry_tool.lock"}) {
    WIN32_FIND_DATAA found;
    const HANDLE search = ::FindFirstFileA((etc + pattern).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) continue;
    do {
      names.push_back(found.cFileName);
    } while (::FindNextFileA(search, &found));
    ::FindClose(search);
  }
  return names;
}

// The store's folder for the hosts file's component, as Windows 10 and 11 name it.
constexpr char kStoreFolder[] =
    "\\WinSxS\\amd64_microsoft-windows-w..ucture-other-minwin_31bf3856ad364e35_10.0.22621.1_none_"
    "0123456789abcdef";
const std::string kAdded = "10.0.0.1 added.meanwhile\r\n";
// A folder or link only the system's accounts may change, and one users may add to.
constexpr char kSystemOnly[] = "O:SYD:(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)";
constexpr char kUsersMayAdd[] = "O:BAD:(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1201bf;;;BU)";

// One documented outcome, played in front of the real calls, and what a run
// must do then. By default the run succeeds, replaces the file and removes a
// killed run's leftover.
struct Row {
  explicit Row(const char* played) : outcome(played) {}
  // The fact that shows it, where only Windows does.
  Row& Fact(const char* name) {
    fact = name;
    return *this;
  }
  // What the model answers.
  Row& Set(std::function<void(Model&)> play) {
    set = std::move(play);
    return *this;
  }
  // The run ends with -1, its line naming `text`.
  Row& Fails(std::string text) {
    status = -1;
    says = std::move(text);
    return *this;
  }
  // The file is rewritten in place, not replaced.
  Row& InPlace() {
    in_place = true;
    return *this;
  }
  // A killed run's leftover stays.
  Row& LeftoverStays() {
    stale_stays = true;
    return *this;
  }
  // What else the model must have seen.
  Row& Check(std::function<void(const Model&)> look) {
    check = std::move(look);
    return *this;
  }
  // The content the new one is computed from, where another program changed it.
  Row& From(std::string content) {
    before = std::move(content);
    return *this;
  }

  const char* outcome;
  const char* fact = "";
  std::function<void(Model&)> set = [](Model&) {};
  int status = 0;
  std::string says;
  bool in_place = false;
  bool stale_stays = false;
  std::function<void(const Model&)> check;
  std::string before = kOriginal;
};

class Win32ModelTest : public testing::Test {
 protected:
  void SetUp() override {
    char temp[MAX_PATH];
    ::GetTempPathA(MAX_PATH, temp);
    base_ = std::string(temp) + "hosts_model_" + std::to_string(::GetCurrentProcessId());
    for (const char* part : {"", "\\System32", "\\System32\\drivers", "\\System32\\drivers\\etc",
                             "\\WinSxS", kStoreFolder, "\\elsewhere"}) {
      ::CreateDirectoryA((base_ + part).c_str(), nullptr);
    }
    // The model keys files by the paths their handles lead to, so the folder
    // is named as GetFinalPathNameByHandleA names it, whatever spelling TEMP
    // has (a hosted runner's is a short name, C:\Users\RUNNER~1\...).
    const HANDLE folder =
        ::CreateFileA(base_.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                      FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    const std::string final_path = FinalPathOf(folder);
    ::CloseHandle(folder);
    ASSERT_NE(final_path, "") << base_;
    base_ = final_path;
    store_ = base_ + kStoreFolder + "\\hosts";
    const std::wstring root_name(base_.begin() + 2, base_.end());
    hosts_name_ = root_name + L"\\System32\\drivers\\etc\\hosts";
    store_name_ =
        root_name + std::wstring(kStoreFolder, kStoreFolder + sizeof kStoreFolder - 1) + L"\\hosts";
    long_store_name_ = root_name + L"\\WinSxS\\" + std::wstring(MAX_PATH, L'x') + L"\\hosts";
    linked_ = base_ + "\\linked_hosts";
    moved_ = base_ + "\\elsewhere\\drivers";
  }
  void TearDown() override {
    for (const std::string& name : Leftovers(Etc())) ::DeleteFileA((Etc() + "\\" + name).c_str());
    for (const std::string& file :
         {Etc() + "\\hosts", Etc() + "\\hosts.other-name", base_ + kStoreFolder + "\\hosts",
          base_ + "\\linked_hosts", base_ + "\\middle", base_ + "\\COM1", base_ + "\\a_file"}) {
      ::DeleteFileA(file.c_str());
    }
    for (const char* part : {"\\elsewhere\\drivers\\etc", "\\elsewhere\\drivers", "\\elsewhere",
                             "\\winlink", kStoreFolder, "\\WinSxS", "\\System32\\drivers\\etc",
                             "\\System32\\drivers", "\\System32", ""}) {
      ::RemoveDirectoryA((base_ + part).c_str());
    }
  }
  std::string Etc() const { return base_ + "\\System32\\drivers\\etc"; }

  // Runs an update with `m` in front of the real calls.
  int Run(Model& m, bool install, std::string* err) {
    if (m.root == "*") m.root = base_;
    m.windows = base_;
    m.etc = Etc();
    m.hosts = Etc() + "\\hosts";
    m.lock = Etc() + "\\" + kLockName;
    m.released = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    model = &m;
    // Every call checked first as Windows checks a handle's access.
    const Win32Api api = CheckedApi(ModelApi(m));
    HardenProcess(api);
    const std::unique_ptr<FileSystem> fs = MakeWin32FileSystem(api, m.deadline_ms, 300);
    testing::internal::CaptureStderr();
    const int status = UpdateHostsFile(install, *fs);
    *err = testing::internal::GetCapturedStderr();
    model = nullptr;
    ::CloseHandle(m.released);
    return status;
  }

  // Plays each row, installing and uninstalling, and checks the promise:
  // 0 and the new content, or -1, the file as it stood and one line naming
  // what the row says.
  void RunRows(const std::vector<Row>& rows) {
    for (const Row& row : rows) {
      if (*row.fact != '\0') {
        EXPECT_TRUE(IsWindowsFact(row.fact)) << row.outcome << ": " << row.fact;
      }
      for (const bool install : {true, false}) RunRow(row, install);
    }
  }

  void RunRow(const Row& row, bool install) {
    const std::string label = std::string(row.outcome) + (install ? " (install)" : "");
    WriteFileText(Etc() + "\\hosts", kOriginal);
    WriteFileText(Etc() + "\\" + kStale, "a killed run's");
    Model m;
    m.hosts = Etc() + "\\hosts";
    m.security = "O:" + SidOfThisProcess() + "G:SYD:(A;;FA;;;SY)";
    row.set(m);
    // A link's target is rewritten, and the link stays as it is.
    const std::string file = !m.file.empty()      ? m.file
                             : m.symlinks.empty() ? Etc() + "\\hosts"
                                                  : linked_;
    if (file != Etc() + "\\hosts") WriteFileText(file, kOriginal);
    std::string err;
    const int status = Run(m, install, &err);
    EXPECT_EQ(status, row.status) << label << err;
    // A row names what the error line says exactly when it fails.
    EXPECT_EQ(row.says.empty(), row.status == 0) << label;
    if (status == 0) {
      EXPECT_EQ(ReadFileText(file), RewrittenHostsText(row.before, install)) << label;
      EXPECT_EQ(err, "") << label;
      // Durable before exit 0: the file renamed into place was flushed.
      EXPECT_EQ(m.flushed_after_commit, !row.in_place) << label;
    } else {
      EXPECT_EQ(ReadFileText(file), row.before) << label;
      EXPECT_EQ(err.find("hosts_entry_tool: "), 0u) << label << err;
      // One line; where the process had to be ended, that line comes first.
      if (!m.terminated) {
        EXPECT_EQ(err.find('\n'), err.size() - 1) << label << err;
      }
      EXPECT_NE(err.substr(0, err.find('\n')).find(row.says), std::string::npos) << label << err;
    }
    if (file != Etc() + "\\hosts") {
      EXPECT_EQ(ReadFileText(Etc() + "\\hosts"), kOriginal) << label;
    }
    EXPECT_EQ(m.in_place_opens > 0, row.in_place) << label;
    EXPECT_LE(m.slept_ms, kRenameWaitMs) << label;
    // Before anything else, DLLs from System32 only; RedirectionGuard on.
    if (!m.no_dll_directories) {
      EXPECT_EQ(m.dll_directories_call, 1) << label;
      EXPECT_EQ(m.dll_directories, static_cast<DWORD>(LOAD_LIBRARY_SEARCH_SYSTEM32)) << label;
    }
    if (!m.no_mitigation && !m.mitigation_fails) {
      EXPECT_EQ(m.mitigation, 1u) << label;
    }
    if (row.check) row.check(m);
    // Nothing of this run stays; a killed run's file goes, where it may.
    EXPECT_EQ(Leftovers(Etc()),
              row.stale_stays ? std::vector<std::string>{kStale} : std::vector<std::string>())
        << label;
    ::DeleteFileA((Etc() + "\\" + kStale).c_str());
    ::DeleteFileA((Etc() + "\\hosts.other-name").c_str());
    ::DeleteFileA(store_.c_str());
    ::DeleteFileA(file.c_str());
  }

  // A symbolic link at the hosts name into the test's base folder, the
  // link and the folder it leads to with the given security; the folder
  // holding it only the system's.
  void Link(Model& m, const char* link_security, const char* folder_security) {
    m.symlinks[Lower(m.hosts)] = linked_;
    m.descriptors[Lower(m.hosts)] = link_security;
    m.descriptors[Lower(base_)] = folder_security;
    m.descriptors[Lower(Etc())] = kSystemOnly;
  }
  // The same link, its reparse data naming `target` with `flags`.
  void LinkNaming(Model& m, const std::string& target, ULONG flags) {
    Link(m, kSystemOnly, kSystemOnly);
    m.link_data[Lower(m.hosts)] = LinkData{0xA000000C, target, flags};
  }
  // System32\drivers as a junction to a folder elsewhere that holds
  // etc\hosts, the junction with the given security.
  void Junction(Model& m, const char* security) {
    ::CreateDirectoryA(moved_.c_str(), nullptr);
    ::CreateDirectoryA((moved_ + "\\etc").c_str(), nullptr);
    const std::string drivers = Lower(base_ + "\\System32\\drivers");
    m.symlinks[drivers] = moved_;
    m.link_data[drivers] = LinkData{0xA0000003, "\\??\\" + moved_, 0};
    m.descriptors[drivers] = security;
    m.descriptors[Lower(base_ + "\\System32")] = kSystemOnly;
    m.descriptors[Lower(moved_ + "\\etc")] = kSystemOnly;
    m.file = moved_ + "\\etc\\hosts";
  }
  static void PrivilegeOffAfterUse(const Model& m) {
    EXPECT_TRUE(m.privilege_used);
    EXPECT_FALSE(m.privilege_on);
  }

  std::string base_;
  std::string store_;  // the hosts file's name in the component store
  // The hosts file's names as FindFirstFileNameW lists them, without the
  // drive; a store name longer than MAX_PATH needs a second call.
  std::wstring hosts_name_;
  std::wstring store_name_;
  std::wstring long_store_name_;
  std::string linked_;  // where a link at the hosts name leads
  std::string moved_;   // where a junction on the way leads
};

// The walk to the hosts folder: links and junctions of the system's, followed
// from where they are, and every other kind of reparse point.
TEST_F(Win32ModelTest, Walk) {
  RunRows({
      Row("the hosts folder is a reparse point")
          .Set([&](Model& m) { m.attributes[Lower(Etc())] = FILE_ATTRIBUTE_REPARSE_POINT; })
          .Fails("open the folder")
          .LeftoverStays(),
      Row("a symbolic link of the system's into a folder only the system may change")
          .Set([&](Model& m) { Link(m, kSystemOnly, kSystemOnly); })
          .LeftoverStays(),
      Row("a relative symbolic link, up and down again")
          .Set([&](Model& m) { LinkNaming(m, "..\\..\\..\\linked_hosts", 1); })
          .LeftoverStays(),
      Row("a symbolic link relative to its volume's root")
          .Set([&](Model& m) { LinkNaming(m, linked_.substr(2), 1); })
          .LeftoverStays(),
      Row("a symbolic link to a share: \\??\\UNC\\ is the share's root, not a name here")
          .Set([&](Model& m) { LinkNaming(m, "\\??\\UNC\\server\\share\\hosts", 0); })
          .Fails("\\\\server\\share\\: ")
          .LeftoverStays(),
      Row("a symbolic link to a volume by its GUID: that volume's root")
          .Set([&](Model& m) {
            LinkNaming(m, "\\??\\Volume{01234567-89ab-cdef-0123-456789abcdef}\\h", 0);
          })
          .Fails("\\\\?\\Volume{01234567-89ab-cdef-0123-456789abcdef}\\: ")
          .LeftoverStays(),
      Row("a symbolic link to a device's own name: refused")
          .Set([&](Model& m) { LinkNaming(m, "\\Device\\HarddiskVolume3\\hosts", 0); })
          .Fails("is not a path on a drive, a share or a volume")
          .LeftoverStays(),
      Row("a junction of the system's on the way: followed, and what it leads to rewritten")
          .Set([&](Model& m) { Junction(m, kSystemOnly); })
          .LeftoverStays(),
      Row("a reparse point that is not a link (a compressed system file): the file itself")
          .Set([&](Model& m) { m.other_reparse.insert(Lower(m.hosts)); }),
      Row("FSCTL_GET_REPARSE_POINT: ERROR_NOT_A_REPARSE_POINT, the link went meanwhile")
          .Set([&](Model& m) {
            Link(m, kSystemOnly, kSystemOnly);
            m.reparse_error = ERROR_NOT_A_REPARSE_POINT;
          })
          .Fails("follow the symbolic link ")
          .LeftoverStays(),
      Row("links that lead to each other without end")
          .Set([&](Model& m) {
            m.symlinks[Lower(m.hosts)] = m.hosts;
            m.descriptors[Lower(m.hosts)] = kSystemOnly;
            m.descriptors[Lower(Etc())] = kSystemOnly;
          })
          .Fails("too many levels of symbolic links")
          .LeftoverStays(),
      Row("GetFileInformationByHandleEx(FileAttributeTagInfo): ERROR_INVALID_PARAMETER on the way")
          .Set([](Model& m) { m.info_errors[FileAttributeTagInfo] = ERROR_INVALID_PARAMETER; })
          .Fails("(error 87)")
          .LeftoverStays(),
  });
}

// Who may change what a run follows or hands on: the owners and DACLs of links
// and folders on the way, and the security the temporary file is given.
TEST_F(Win32ModelTest, Trust) {
  RunRows({
      Row("a symbolic link that belongs to a user")
          .Set([&](Model& m) { Link(m, "O:BUD:(A;;FA;;;BU)", kSystemOnly); })
          .Fails("follow the symbolic link ")
          .LeftoverStays(),
      Row("a symbolic link of the system's in a folder that belongs to a user")
          .Set([&](Model& m) {
            Link(m, kSystemOnly, kSystemOnly);
            m.descriptors[Lower(Etc())] = "O:BUD:(A;;FA;;;BU)";
          })
          .Fails("the folder holding it")
          .LeftoverStays(),
      Row("a symbolic link whose DACL lets users change only its DACL")
          .Set([&](Model& m) { Link(m, "O:SYD:(A;;FA;;;SY)(A;;WD;;;BU)", kSystemOnly); })
          .Fails("its DACL lets S-1-5-32-545 change it")
          .LeftoverStays(),
      Row("a link's DACL: an object entry without GUIDs lets users change it")
          .Set([&](Model& m) {
            Link(m, kSystemOnly, kSystemOnly);
            m.aces[Lower(m.hosts)] = UsersMay(ACCESS_ALLOWED_OBJECT_ACE_TYPE, FILE_ALL_ACCESS);
          })
          .Fails("its DACL lets S-1-5-32-545 change it")
          .LeftoverStays(),
      Row("a link's DACL: a callback object entry with an object type lets users change it")
          .Set([&](Model& m) {
            Link(m, kSystemOnly, kSystemOnly);
            m.aces[Lower(m.hosts)] = UsersMay(ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE,
                                              FILE_ALL_ACCESS, ACE_OBJECT_TYPE_PRESENT);
          })
          .Fails("its DACL lets S-1-5-32-545 change it")
          .LeftoverStays(),
      Row("a link's DACL: an object entry with both GUIDs lets users read it: followed")
          .Set([&](Model& m) {
            Link(m, kSystemOnly, kSystemOnly);
            m.aces[Lower(m.hosts)] =
                UsersMay(ACCESS_ALLOWED_OBJECT_ACE_TYPE, FILE_GENERIC_READ,
                         ACE_OBJECT_TYPE_PRESENT | ACE_INHERITED_OBJECT_TYPE_PRESENT);
          })
          .LeftoverStays(),
      Row("a link's DACL: a compound entry, which the check does not read")
          .Set([&](Model& m) {
            Link(m, kSystemOnly, kSystemOnly);
            m.aces[Lower(m.hosts)] = UsersMay(ACCESS_ALLOWED_COMPOUND_ACE_TYPE, FILE_GENERIC_READ);
          })
          .Fails("an entry of a kind this tool does not read (type 4)")
          .LeftoverStays(),
      Row("a junction on the way that belongs to a user")
          .Set([&](Model& m) { Junction(m, "O:BUD:(A;;FA;;;BU)"); })
          .Fails("drivers: it belongs to S-1-5-32-545")
          .LeftoverStays(),
      Row("a symbolic link of Administrators' whose DACL lets users change it")
          .Set([&](Model& m) { Link(m, "O:BAD:(A;;FA;;;BA)(A;;FA;;;BU)", kSystemOnly); })
          .Fails("its DACL lets S-1-5-32-545 change it")
          .LeftoverStays(),
      Row("a symbolic link into a folder that belongs to a user")
          .Set([&](Model& m) { Link(m, kSystemOnly, "O:BUD:(A;;FA;;;BU)"); })
          .Fails("it belongs to S-1-5-32-545")
          .LeftoverStays(),
      Row("a symbolic link through a folder in which users may delete what is there")
          .Set([&](Model& m) {
            Link(m, kSystemOnly, "O:SYD:(A;;FA;;;SY)(A;;0x1200e9;;;BU)");  // list, delete children

            ::CreateDirectoryA((base_ + "\\elsewhere").c_str(), nullptr);
            m.symlinks[Lower(m.hosts)] = m.file = base_ + "\\elsewhere\\hosts";
          })
          .Fails("lets S-1-5-32-545 rename or remove what is in it")
          .LeftoverStays(),
      Row("a symbolic link into a folder of Administrators' that users may add to")
          .Set([&](Model& m) { Link(m, kSystemOnly, kUsersMayAdd); })
          .Fails("its DACL lets S-1-5-32-545 change it")
          .LeftoverStays(),
      Row("a second link in a chain, which belongs to a user")
          .Set([&](Model& m) {
            WriteFileText(base_ + "\\middle", "");
            m.symlinks[Lower(m.hosts)] = base_ + "\\middle";
            m.symlinks[Lower(base_ + "\\middle")] = linked_;
            m.descriptors[Lower(m.hosts)] = kSystemOnly;
            m.descriptors[Lower(Etc())] = kSystemOnly;
            m.descriptors[Lower(base_ + "\\middle")] = "O:BUD:(A;;FA;;;BU)";
            m.descriptors[Lower(base_)] = kSystemOnly;
          })
          .Fails("\\middle: it belongs to S-1-5-32-545")
          .LeftoverStays(),
      Row("SetSecurityInfo: ERROR_INVALID_OWNER, and SeRestorePrivilege not held")
          .Fact("setting another account as owner needs the restore privilege")
          .Set([](Model& m) { m.owner_refused = true; })
          .InPlace(),
      Row("SetSecurityInfo: ERROR_INVALID_OWNER until SeRestorePrivilege is on")
          .Fact("setting another account as owner needs the restore privilege")
          .Set([](Model& m) {
            m.owner_refused = true;
            m.privilege_held = true;
          })
          .Check(PrivilegeOffAfterUse),
      Row("SetSecurityInfo: ERROR_ACCESS_DENIED")
          .Set([](Model& m) { m.set_security_error = 5; })
          .InPlace(),
      Row("SetSecurityInfo: ERROR_IO_DEVICE: no rewrite in place")
          .Set([](Model& m) { m.set_security_error = ERROR_IO_DEVICE; })
          .Fails("replace: cannot give it the hosts file's owner"),
      Row("GetSecurityInfo: ERROR_ACCESS_DENIED")
          .Set([](Model& m) { m.security_unreadable = true; })
          .InPlace(),
      Row("the hosts file belongs to an ordinary account, and SeRestorePrivilege is not held: "
          "its owner cannot be handed on")
          .Fact("setting another account as owner needs the restore privilege")
          .Set([](Model& m) { m.security = "O:BUG:SYD:(A;;FA;;;SY)"; })
          .InPlace(),
      Row("the hosts file belongs to an ordinary account: its owner is handed on, as any other")
          .Fact("setting another account as owner needs the restore privilege")
          .Set([](Model& m) {
            m.security = "O:BUG:SYD:(A;;FA;;;SY)";
            m.privilege_held = true;
          })
          .Check([](const Model& m) {
            EXPECT_EQ(m.copied, Sddl("O:BUG:SYD:(A;;FA;;;SY)"));
            PrivilegeOffAfterUse(m);
          }),
      Row("a protected DACL stays protected")
          .Set([](Model& m) {
            m.security =
                "O:" + SidOfThisProcess() + "G:SYD:PAI(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)";
          })
          .Check([](const Model& m) {
            EXPECT_EQ(m.copied, Sddl("O:" + SidOfThisProcess() +
                                     "G:SYD:(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)"));
            EXPECT_TRUE(m.copied_what & PROTECTED_DACL_SECURITY_INFORMATION);
          }),
      Row("an inherited DACL stays inherited")
          .Set([](Model& m) { m.security = "O:BAG:SYD:AI(A;ID;FA;;;SY)(A;ID;FA;;;BA)"; })
          .Check([](const Model& m) {
            EXPECT_EQ(m.copied, Sddl("O:BAG:SYD:(A;ID;FA;;;SY)(A;ID;FA;;;BA)"));
            EXPECT_TRUE(m.copied_what & UNPROTECTED_DACL_SECURITY_INFORMATION);
          }),
  });
}

// The update lock: taken, waited for, refused or held by a user, and let go.
TEST_F(Win32ModelTest, Lock) {
  RunRows({
      Row("the lock: STATUS_SHARING_VIOLATION while another run holds it, 3 times")
          .Set([](Model& m) { m.lock_busy = 3; }),
      Row("the lock: STATUS_SHARING_VIOLATION for longer than a run waits: on without it")
          .Set([](Model& m) { m.lock_busy = 1000; })
          .LeftoverStays(),
      Row("the lock: STATUS_INVALID_OWNER, a run that is not elevated: on at once, no cleanup")
          .Set([](Model& m) { m.lock_status = kInvalidOwner; })
          .LeftoverStays()
          .Check([](const Model& m) { EXPECT_EQ(m.slept_ms, 0); }),
      Row("the lock: STATUS_ACCESS_DENIED, a folder this account may not add to")
          .Set([](Model& m) { m.lock_status = kAccessDenied; })
          .LeftoverStays()
          .Check([](const Model& m) { EXPECT_EQ(m.slept_ms, 0); }),
      Row("the lock: a user's oplock on it, never acknowledged: on without it, no cleanup")
          .Fact("an open that meets an oplock completes at once")
          .Set([&](Model& m) {
            WriteFileText(Etc() + "\\" + kLockName, "");
            m.lock_oplocked = true;
          })
          .LeftoverStays()
          .Check([&](const Model& m) {
            EXPECT_EQ(m.cancels, 0);
            EXPECT_EQ(::DeleteFileA((Etc() + "\\" + kLockName).c_str()), TRUE);
          }),
      Row("the lock's name left by a run that was killed: taken, and gone after").Set([&](Model&) {
        WriteFileText(Etc() + "\\" + kLockName, "");
      }),
      Row("FileDispositionInfoEx: ERROR_INVALID_PARAMETER (before Windows 10 1709): the lock stays")
          .Fact("POSIX delete frees the name while held")
          .Set([](Model& m) { m.posix_deletes = false; })
          .Check([&](const Model&) {
            EXPECT_EQ(::DeleteFileA((Etc() + "\\" + kLockName).c_str()), TRUE);
          }),
      Row("the lock's name is a link: not taken, no cleanup")
          .Set([&](Model& m) {
            WriteFileText(Etc() + "\\" + kLockName, "");
            m.attributes[Lower(Etc() + "\\" + kLockName)] = FILE_ATTRIBUTE_REPARSE_POINT;
          })
          .LeftoverStays()
          .Check([&](const Model&) { ::DeleteFileA((Etc() + "\\" + kLockName).c_str()); }),
      Row("GetFileInformationByHandleEx(FileStandardInfo) of the lock: ERROR_INVALID_PARAMETER: on "
          "without it, no cleanup, the lock's name stays")
          .Set([](Model& m) { m.info_errors[FileStandardInfo] = ERROR_INVALID_PARAMETER; })
          .LeftoverStays()
          .Check([&](const Model&) {
            EXPECT_EQ(::DeleteFileA((Etc() + "\\" + kLockName).c_str()), TRUE);
          }),
  });
}

// Reading the hosts file once: writers, oplocks, locked parts, its names and
// where it is.
TEST_F(Win32ModelTest, Read) {
  RunRows({
      Row("NtCreateFile: STATUS_SHARING_VIOLATION while a writer holds the file, 3 times")
          .Set([](Model& m) { m.writer_holds = 3; }),
      Row("NtCreateFile: STATUS_SHARING_VIOLATION, the writer never lets go")
          .Set([](Model& m) { m.writer_holds = 1000; })
          .Fails("read: another program keeps the hosts file open (waited " + Seconds(kBusyWaitMs) +
                 " s"),
      Row("NtCreateFile FILE_COMPLETE_IF_OPLOCKED: STATUS_OPLOCK_BREAK_IN_PROGRESS, 3 times")
          .Fact("an open that meets an oplock completes at once")
          .Set([](Model& m) { m.oplock_breaks = 3; }),
      Row("NtCreateFile FILE_COMPLETE_IF_OPLOCKED: STATUS_OPLOCK_BREAK_IN_PROGRESS, never "
          "acknowledged")
          .Fact("an open that meets an oplock completes at once")
          .Set([](Model& m) { m.oplock_breaks = 1000; })
          .Fails("opportunistic lock"),
      Row("NtCreateFile without FILE_COMPLETE_IF_OPLOCKED waits for the oplock's holder: it is "
          "never asked to")
          .Fact("an open that meets an oplock completes at once")
          .Set([](Model& m) { m.oplock_breaks = 1; })
          .Check([](const Model& m) { EXPECT_EQ(m.cancels, 0); }),
      Row("ReadFile: ERROR_LOCK_VIOLATION, a reader has locked a part of it")
          .Fact("a read of a part another program has locked")
          .Set([](Model& m) { m.read_error = ERROR_LOCK_VIOLATION; })
          .Fails("(error 33)"),
      Row("ReadFile: ERROR_IO_DEVICE")
          .Set([](Model& m) { m.read_error = ERROR_IO_DEVICE; })
          .Fails("read: "),
      Row("GetFileInformationByHandle: nNumberOfLinks 2")
          .Set([](Model& m) { m.links = 2; })
          .Fails("hard links"),
      Row("FindFirstFileNameW: the other name is the component store's")
          .Fact("FindFirstFileNameW lists every name")
          .Set([&](Model& m) {
            m.links = 2;
            m.names = {hosts_name_, store_name_};
          }),
      Row("FindFirstFileNameW: ERROR_MORE_DATA, then the names")
          .Fact("FindFirstFileNameW lists every name")
          .Set([&](Model& m) {
            m.links = 2;
            m.names = {long_store_name_, hosts_name_};
          }),
      Row("FindNextFileNameW: ERROR_MORE_DATA, then the name")
          .Fact("FindFirstFileNameW lists every name")
          .Set([&](Model& m) {
            m.links = 2;
            m.names = {hosts_name_, long_store_name_};
          }),
      Row("FindFirstFileNameW: ERROR_ACCESS_DENIED: the names cannot be told")
          .Set([&](Model& m) {
            m.links = 2;
            m.names_error = ERROR_ACCESS_DENIED;
          })
          .Fails("hard links"),
      Row("FindFirstFileNameW: the other name is elsewhere")
          .Fact("FindFirstFileNameW lists every name")
          .Set([&](Model& m) {
            m.links = 2;
            m.names = {hosts_name_, L"\\Users\\x\\hosts"};
          })
          .Fails("hard links"),
      Row("no FindFirstFileNameW (Wine): the store's copy is found by its file ID")
          .Set([&](Model&) {
            ::CreateHardLinkA(store_.c_str(), Etc().append("\\hosts").c_str(), nullptr);
          })
          .Check([&](const Model&) { EXPECT_EQ(ReadFileText(store_), kOriginal); }),
      Row("no FindFirstFileNameW (Wine): two names, and an unrelated file in the store's folder")
          .Set([&](Model& m) {
            m.links = 2;
            WriteFileText(store_, kOriginal);
          })
          .Fails("2 names"),
      Row("no FindFirstFileNameW (Wine): a second name outside the store")
          .Set([&](Model&) {
            ::CreateHardLinkA((Etc() + "\\hosts.other-name").c_str(), (Etc() + "\\hosts").c_str(),
                              nullptr);
          })
          .Fails("2 names"),
      Row("GetFinalPathNameByHandleA: ERROR_NOT_ENOUGH_MEMORY for the hosts file as opened")
          .Set([](Model& m) { m.opened_path_error = ERROR_NOT_ENOUGH_MEMORY; })
          .Fails("cannot tell where the file is"),
      Row("GetFinalPathNameByHandleA: ERROR_PATH_NOT_FOUND, a volume without a drive letter")
          .Set([](Model& m) { m.opened_path_error = ERROR_PATH_NOT_FOUND; })
          .Fails("cannot tell where the file is"),
      Row("a junction on the way leads the hosts name out of its folder")
          .Fact("FILE_NAME_OPENED names the hard link opened")
          .Set([&](Model& m) { m.opened_as = base_ + "\\elsewhere\\hosts"; })
          .Fails("leads out of its folder"),
  });
}

// The temporary file and the rename: every answer of both renames, of the
// create, the writes and the flushes.
TEST_F(Win32ModelTest, Replace) {
  RunRows({
      Row("another program holds the hosts folder without sharing: the rename, within the "
          "folder, opens no folder, and the file is replaced; only the cleanup cannot list it")
          .Fact("a rename within its folder, by a name alone, goes while the folder is held "
                "without sharing")
          .Set([&](Model& m) {
            m.folder_holder = ::CreateFileA(Etc().c_str(), FILE_LIST_DIRECTORY, 0, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
          })
          .LeftoverStays()
          .Check([](const Model& m) {
            EXPECT_FALSE(m.renamed_by_folder);
            ::CloseHandle(m.folder_holder);
          }),
      Row("a user's oplock on the hosts folder: listing it answers at once, and the rename, "
          "within the folder, does not wait for it")
          .Fact("an open that meets an oplock completes at once")
          .Set([](Model& m) { m.folder_oplocked = true; })
          .LeftoverStays()
          .Check([](const Model& m) { EXPECT_EQ(m.cancels, 0); }),
      Row("nothing in the way").Set([](Model&) {}).Check([](const Model& m) {
        // The lock: no sharing, open to the system alone.

        EXPECT_EQ(m.lock_share, 0u);
        EXPECT_EQ(m.lock_security, "D:P(A;;FA;;;SY)(A;;FA;;;BA)");
        // The temporary file shares nothing; the folder is held for nothing

        // that a sharing mode covers.

        EXPECT_EQ(m.temp_share, 0u);
        EXPECT_EQ(m.folder_access & (FILE_READ_DATA | FILE_WRITE_DATA | FILE_APPEND_DATA |
                                     FILE_EXECUTE | DELETE | GENERIC_READ | GENERIC_WRITE),
                  0u);
      }),
      Row("NtCreateFile FILE_CREATE: STATUS_DELETE_PENDING on a name whose delete is pending")
          .Fact("FILE_CREATE on a name whose delete is pending")
          .Set([](Model& m) { m.pending_delete_temp0 = true; }),
      Row("NtCreateFile FILE_CREATE: STATUS_IO_DEVICE_ERROR: no rewrite in place")
          .Set([](Model& m) { m.create_status = kIoDeviceError; })
          .Fails("create temporary file"),
      // Windows 10 1607 and later on NTFS: the rename replaces the file this
      // process holds.
      Row("NtSetInformationFile FileRenameInformationEx: replaces the file held open")
          .Fact("posix rename replaces a file held open sharing delete")
          .Set([](Model& m) { m.posix_renames = true; })
          .Check([](const Model& m) { EXPECT_TRUE(m.renamed_while_held); }),
      Row("FileRenameInformationEx: STATUS_SHARING_VIOLATION, a reader that does not share "
          "delete, 3 times")
          .Fact("posix rename refused while a holder does not share delete")
          .Set([](Model& m) {
            m.posix_renames = true;
            m.posix_rename_refusals = 3;
          }),
      Row("FileRenameInformationEx: STATUS_ACCESS_DENIED, 3 times")
          .Fact("posix rename refused while a holder does not share delete")
          .Set([](Model& m) {
            m.posix_renames = true;
            m.posix_rename_refusals = 3;
            m.posix_rename_status = kAccessDenied;
          }),
      Row("FileRenameInformationEx: STATUS_SHARING_VIOLATION for half a minute")
          .Fact("posix rename refused while a holder does not share delete")
          .Set([](Model& m) {
            m.posix_renames = true;
            m.posix_rename_refusals = 1000;
          })
          .Fails("replace: another program keeps the hosts file open (waited " +
                 Seconds(kRenameWaitMs) + " s")
          .Check([](const Model& m) { EXPECT_EQ(m.slept_ms, kRenameWaitMs); }),
      Row("FileRenameInformation without a RootDirectory: STATUS_OBJECT_PATH_SYNTAX_BAD, as Wine "
          "8 answers: named relative to the folder's handle instead")
          .Fact("a rename within its folder, by a name alone, goes while the folder is held "
                "without sharing")
          .Set([](Model& m) { m.bare_rename_status = kObjectPathSyntaxBad; })
          .Check([](const Model& m) { EXPECT_TRUE(m.renamed_by_folder); }),
      Row("FileRenameInformationEx taken but not its POSIX replace (a volume or filter on Windows "
          "10 1607, Server 2016): refused while this process holds the file, which it lets go "
          "of, and the rename goes")
          .Set([](Model& m) {
            m.posix_renames = true;
            m.posix_replace_ignored = true;
          })
          .Check([](const Model& m) { EXPECT_FALSE(m.renamed_while_held); }),
      Row("FileRenameInformationEx: STATUS_NOT_SUPPORTED").Set([](Model& m) {
        m.posix_rename_refusals = 1;
        m.posix_rename_status = kNotSupported;
      }),
      Row("FileRenameInformationEx: STATUS_NOT_IMPLEMENTED (Wine 8)").Set([](Model& m) {
        m.posix_rename_refusals = 1;
        m.posix_rename_status = kNotImplemented;
      }),
      Row("FileRenameInformationEx: STATUS_FILE_SYSTEM_LIMITATION").Set([](Model& m) {
        m.posix_rename_refusals = 1;
        m.posix_rename_status = kFileSystemLimitation;
      }),
      Row("FileRenameInformationEx: STATUS_NOT_SAME_DEVICE, the name takes no replacement")
          .Set([](Model& m) {
            m.posix_renames = true;
            m.posix_rename_refusals = 1;
            m.posix_rename_status = kNotSameDevice;
          })
          .InPlace(),
      // Before Windows 10 1607, and on FAT: the file is let go before each rename.
      Row("FileRenameInformationEx: STATUS_INVALID_INFO_CLASS; the file changes during pass 1")
          .Set([](Model& m) {
            m.on_identify = [&m] {
              if (m.hosts_handles.empty() && ReadFileText(m.hosts) == kOriginal) {
                WriteFileText(m.hosts, kOriginal + kAdded);
              }
            };
          })
          .From(kOriginal + kAdded),
      Row("NtSetInformationFile FileRenameInformation: STATUS_ACCESS_DENIED, the target is open, "
          "4 times")
          .Fact("classic rename refused over an open target")
          .Set([](Model& m) {
            m.rename_refusals = 4;
            m.rename_status = kAccessDenied;
          }),
      Row("NtSetInformationFile FileRenameInformation: STATUS_SHARING_VIOLATION for half a minute")
          .Set([](Model& m) { m.rename_refusals = 1000; })
          .Fails("replace: another program keeps the hosts file open (waited " +
                 Seconds(kRenameWaitMs) + " s")
          .Check([](const Model& m) { EXPECT_EQ(m.slept_ms, kRenameWaitMs); }),
      Row("NtSetInformationFile FileRenameInformation: STATUS_NOT_SAME_DEVICE, the name takes no "
          "replacement")
          .Set([](Model& m) {
            m.rename_refusals = 1;
            m.rename_status = kNotSameDevice;
          })
          .InPlace(),
      Row("NtSetInformationFile FileRenameInformation: STATUS_IO_DEVICE_ERROR: no rewrite in place")
          .Set([](Model& m) {
            m.rename_refusals = 1;
            m.rename_status = kIoDeviceError;
          })
          .Fails("replace: "),
      Row("NtCreateFile of the name for its attributes: STATUS_DELETE_PENDING, a change: the pass "
          "starts over")
          .Set([](Model& m) { m.identify_refusals = 1; }),
      Row("FlushFileBuffers: ERROR_IO_DEVICE")
          .Set([](Model& m) { m.flush_error = ERROR_IO_DEVICE; })
          .Fails("flush temporary file"),
      Row("FlushFileBuffers after the rename: ERROR_IO_DEVICE, the new content already in place")
          .Fact("FlushFileBuffers after a rename")
          .Set([](Model& m) { m.committed_flush_error = ERROR_IO_DEVICE; }),
      Row("WriteFile: ERROR_DISK_FULL")
          .Set([](Model& m) { m.write_error = ERROR_DISK_FULL; })
          .Fails("write temporary file"),
  });
}

// The rewrite in place, where no twin can be made or put in its place: a
// folder that takes no new file, and failures while rewriting.
TEST_F(Win32ModelTest, InPlace) {
  RunRows({
      Row("NtCreateFile FILE_CREATE: STATUS_ACCESS_DENIED, the folder takes no new file")
          .Set([](Model& m) { m.create_status = kAccessDenied; })
          .InPlace(),
      Row("LockFileEx: ERROR_LOCK_VIOLATION before rewriting in place: left as it is")
          .Fact("a lock on all of a file a reader has locked a part of")
          .Set([](Model& m) {
            m.create_status = kAccessDenied;
            m.range_locked = true;
          })
          .Fails("another program keeps the hosts file open")
          .InPlace(),
      Row("SetFilePointerEx: ERROR_INVALID_PARAMETER while rewriting in place, once")
          .Set([](Model& m) {
            m.create_status = kAccessDenied;
            m.seek_refusals = 1;
          })
          .Fails("the original content was written back")
          .InPlace(),
      Row("SetEndOfFile: ERROR_USER_MAPPED_FILE while rewriting in place, once")
          .Set([](Model& m) {
            m.create_status = kAccessDenied;
            m.end_of_file_refusals = 1;
          })
          .Fails("the original content was written back")
          .InPlace(),
  });
}

// Calls that wait past the run's time limit: cancelled, or not even then, and
// a run without a thread of its own.
TEST_F(Win32ModelTest, Deadline) {
  RunRows({
      Row("a rename that waits for the holder of a Read-Handle oplock: cancelled at the deadline")
          .Fact("a rename waiting for a Read-Handle oplock's holder ends when cancelled")
          .Set([](Model& m) {
            m.rename_blocks = true;
            m.deadline_ms = 300;
          })
          .Fails("replace: no answer within the time this tool allows it")
          .Check([](const Model& m) {
            EXPECT_GT(m.cancels, 0);
            EXPECT_FALSE(m.terminated);
          }),
      Row("a rename that waits and ends not even when cancelled: the process ends with -1")
          .Fact("a rename waiting for a Read-Handle oplock's holder ends when cancelled")
          .Set([](Model& m) {
            m.rename_blocks = true;
            m.uncancellable = true;
            m.deadline_ms = 300;
          })
          .Fails(": replace: no answer within 0 s, nor when cancelled")
          .Check([](const Model& m) {
            EXPECT_TRUE(m.terminated);
            EXPECT_EQ(m.exit_code, 0xFFFFFFFFu);
          }),
      Row("CreateThread: ERROR_NOT_ENOUGH_MEMORY: the run goes on, without its deadline")
          .Set([](Model& m) { m.no_thread = true; }),
      Row("SetEndOfFile while rewriting in place outlasts the deadline: the rewrite is neither "
          "cancelled nor cut short, and ends")
          .Set([](Model& m) {
            m.create_status = kAccessDenied;
            m.end_of_file_slow_ms = 1000;
            m.deadline_ms = 300;
          })
          .InPlace()
          .Check([](const Model& m) {
            EXPECT_EQ(m.cancelled_while_rewriting, 0);
            EXPECT_FALSE(m.terminated);
          }),
  });
}

// Leftovers of killed runs: removed where they are this tool's, left where not,
// and given up where their delete waits.
TEST_F(Win32ModelTest, Cleanup) {
  RunRows({
      Row("a leftover that belongs to the hosts file's owner, an ordinary account, which a "
          "run gives its file just before the rename: removed")
          .Set([&](Model& m) {
            m.security = "O:BUG:SYD:(A;;FA;;;SY)";
            m.privilege_held = true;
            m.descriptors[Lower(Etc() + "\\" + kStale)] = "O:BU";
          }),
      Row("a killed run's leftover, opened for its attributes as well: removed")
          .Fact("a handle opened for DELETE and READ_CONTROL alone is refused "
                "FileAttributeTagInformation"),
      Row("a leftover whose delete waits for a user's oplock: given up after 2 s, and the run goes "
          "on")
          .Fact("a delete waiting for a Read-Handle oplock's holder ends when cancelled")
          .Set([](Model& m) { m.stale_delete_blocks = true; })
          .LeftoverStays()
          .Check([](const Model& m) {
            EXPECT_GT(m.cancels, 0);
            EXPECT_FALSE(m.terminated);
          }),
      Row("a leftover with a second name stays")
          .Set([&](Model& m) { m.path_links[Lower(Etc() + "\\" + kStale)] = 2; })
          .LeftoverStays(),
      Row("a leftover that belongs to a user stays")
          .Set([&](Model& m) { m.descriptors[Lower(Etc() + "\\" + kStale)] = "O:BU"; })
          .LeftoverStays(),
      Row("a leftover that is a link stays")
          .Set([&](Model& m) {
            m.attributes[Lower(Etc() + "\\" + kStale)] = FILE_ATTRIBUTE_REPARSE_POINT;
          })
          .LeftoverStays(),
  });
}

// What SystemRoot may name: the Windows directory however it is spelled, and
// nothing else.
TEST_F(Win32ModelTest, SystemRoot) {
  RunRows({
      Row("SystemRoot empty")
          .Set([](Model& m) { m.root = ""; })
          .Fails("SystemRoot")
          .LeftoverStays(),
      Row("SystemRoot relative")
          .Set([](Model& m) { m.root = "Windows"; })
          .Fails("not an absolute path")
          .LeftoverStays(),
      Row("SystemRoot relative to a drive")
          .Set([](Model& m) { m.root = "C:Windows"; })
          .Fails("relative to a drive")
          .LeftoverStays(),
      Row("SystemRoot a network path")
          .Set([](Model& m) { m.root = "\\\\host\\share"; })
          .Fails("network or device path")
          .LeftoverStays(),
      Row("SystemRoot a device path")
          .Set([&](Model& m) { m.root = "\\\\?\\" + base_; })
          .Fails("network or device path")
          .LeftoverStays(),
      Row("SystemRoot a device's name under a folder: GetFullPathNameA names the device")
          .Fact("a device name under a folder")
          .Set([&](Model& m) {
            m.root = base_ + "\\COM1";
            m.full_path = "\\\\.\\COM1";
          })
          .Fails("names the device \\\\.\\COM1")
          .LeftoverStays(),
      Row("SystemRoot another folder")
          .Set([&](Model& m) { m.root = base_ + "\\elsewhere"; })
          .Fails("is not the Windows directory")
          .LeftoverStays(),
      Row("SystemRoot a file")
          .Set([&](Model& m) {
            WriteFileText(base_ + "\\a_file", "");
            m.root = base_ + "\\a_file";
          })
          .Fails("is not a folder")
          .LeftoverStays(),
      Row("SystemRoot a symbolic link to the Windows directory: not followed")
          .Set([&](Model& m) {
            ::CreateDirectoryA((base_ + "\\winlink").c_str(), nullptr);
            m.symlinks[Lower(base_ + "\\winlink")] = base_;
            m.root = base_ + "\\winlink";
            m.file = Etc() + "\\hosts";
          })
          .Fails("is a junction, link or other reparse point")
          .LeftoverStays(),
      // The files are then opened through the system's own spelling of it.
      Row("SystemRoot the same folder in capitals")
          .Set([&](Model& m) { m.root = Upper(base_); })
          .Check([&](const Model& m) {
            const std::string name = base_.substr(base_.find_last_of('\\') + 1);
            EXPECT_NE(std::find(m.walked.begin(), m.walked.end(), name), m.walked.end());
          }),
      Row("SystemRoot the same folder with a trailing backslash").Set([&](Model& m) {
        m.root = base_ + "\\";
      }),
      Row("GetSystemWindowsDirectoryA: 0")
          .Set([](Model& m) { m.windows_unreadable = true; })
          .Fails("the Windows directory cannot be read")
          .LeftoverStays(),
  });
}

// The process made safe before anything else: DLLs from System32 only, and
// RedirectionGuard where Windows has it.
TEST_F(Win32ModelTest, Hardening) {
  RunRows({
      Row("SetProcessMitigationPolicy: ERROR_INVALID_PARAMETER, a Windows without RedirectionGuard")
          .Fact("SetProcessMitigationPolicy takes RedirectionGuard")
          .Set([](Model& m) { m.mitigation_fails = true; }),
      Row("no SetProcessMitigationPolicy (before Windows 8)").Set([](Model& m) {
        m.no_mitigation = true;
      }),
      Row("no SetDefaultDllDirectories (Windows 7 without KB2533623)").Set([](Model& m) {
        m.no_dll_directories = true;
      }),
  });
}

// A live run's temporary file, as the tool shares it, refuses another run's
// cleanup and stays; and one that cannot be removed is named in the error
// line and removed by the next run.
TEST_F(Win32ModelTest, TemporaryFilesOfLiveAndFailedRuns) {
  WriteFileText(Etc() + "\\hosts", kOriginal);
  Model live;
  Status removal(Code::kFailed, "not tried");
  live.on_identify = [&] {
    if (removal.message() != "not tried") return;
    // Another run's cleanup, through the real calls, while this run holds
    // its temporary file open.
    const std::unique_ptr<FileSystem> other = MakeWin32FileSystem(Win32Api());
    std::unique_ptr<Folder> folder;
    std::string name;
    removal = other->OpenFolderOf(Etc() + "\\hosts", &folder, &name);
    if (removal.ok()) removal = folder->RemoveStale(kTemp0, "hosts");
  };
  std::string err;
  EXPECT_EQ(Run(live, true, &err), 0) << err;
  EXPECT_EQ(removal.code(), Code::kBusy) << removal.message();
  EXPECT_EQ(ReadFileText(Etc() + "\\hosts"), RewrittenHostsText(kOriginal, true));
  EXPECT_EQ(Leftovers(Etc()), std::vector<std::string>());

  // The hosts file belongs to an ordinary account, whose owner the
  // temporary file gets only at the rename: what a failed run leaves is this
  // account's, for the next run to remove.
  Model failing;
  failing.security = "O:BUG:SYD:(A;;FA;;;SY)";
  failing.privilege_held = true;
  failing.flush_error = ERROR_IO_DEVICE;
  failing.disposition_refused = true;
  EXPECT_EQ(Run(failing, false, &err), -1);
  EXPECT_NE(err.find(std::string(kTemp0) + " could not be removed"), std::string::npos) << err;
  EXPECT_EQ(ReadFileText(Etc() + "\\hosts"), RewrittenHostsText(kOriginal, true));
  // The lock, which could not be deleted either, is taken over as it is.
  EXPECT_EQ(Leftovers(Etc()), (std::vector<std::string>{kTemp0, kLockName}));
  Model next;
  next.security = failing.security;
  next.privilege_held = true;
  next.descriptors = failing.descriptors;
  EXPECT_EQ(Run(next, false, &err), 0) << err;
  EXPECT_EQ(Leftovers(Etc()), std::vector<std::string>());
}

// No file yet, and another program creates one just before the rename: the
// rename does not replace it, and the update starts over on that file.
TEST_F(Win32ModelTest, AFileCreatedMeanwhileIsNotReplaced) {
  Model m;
  m.on_identify = [&] {
    if (::GetFileAttributesA(m.hosts.c_str()) == INVALID_FILE_ATTRIBUTES) {
      WriteFileText(m.hosts, kOriginal);
    }
  };
  std::string err;
  EXPECT_EQ(Run(m, true, &err), 0) << err;
  EXPECT_EQ(ReadFileText(Etc() + "\\hosts"), RewrittenHostsText(kOriginal, true));
}

}  // namespace
}  // namespace hosts

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
#include "hosts/win32_api.h"
#include "tests/windows_facts.h"

namespace hosts {
namespace {

constexpr char kTemp0[] = "hosts.hosts_entry_tool-0.tmp";
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
constexpr LONG kOplockBreakInProgress = 0x00000108;

// What the model makes the calls answer. Counters count down to zero.
struct Model {
  std::string root = "*";           // SystemRoot; "*" for the test's own Windows directory
  std::string windows;              // the system's Windows directory
  bool windows_unreadable = false;  // GetSystemWindowsDirectoryA: 0
  std::string etc;
  std::string hosts;
  std::string lock;
  int writer_holds = 0;               // opens of the hosts file: a sharing violation
  int oplock_breaks = 0;              // opens of the hosts file: STATUS_OPLOCK_BREAK_IN_PROGRESS
  bool pending_delete_temp0 = false;  // CREATE_NEW on name 0: ERROR_ACCESS_DENIED, still listed
  DWORD create_error = 0;             // CREATE_NEW: this error
  bool posix_renames = false;     // FileRenameInformationEx replaces a file that is open (1607+)
  int posix_rename_refusals = 0;  // FileRenameInformationEx: posix_rename_status
  LONG posix_rename_status = kSharingViolation;
  int rename_refusals = 0;  // FileRenameInformation: rename_status
  LONG rename_status = kSharingViolation;
  DWORD flush_error = 0;             // FlushFileBuffers of the temporary file before its rename
  DWORD committed_flush_error = 0;   // FlushFileBuffers of the file renamed into place
  DWORD write_error = 0;             // WriteFile on the temporary file
  bool disposition_refused = false;  // FileDispositionInfo(Ex): ERROR_ACCESS_DENIED
  bool posix_deletes = true;         // FileDispositionInfoEx deletes with POSIX semantics (1709+)
  DWORD set_security_error = 0;      // SetSecurityInfo: this error
  bool owner_refused = false;        // SetSecurityInfo of an owner: ERROR_INVALID_OWNER ...
  bool privilege_held = false;       // ... unless SeRestorePrivilege, if held, is on
  int lock_busy = 0;                 // opens of the lock: ERROR_SHARING_VIOLATION
  DWORD lock_error = 0;              // opens of the lock: this error
  DWORD links = 0;                   // nNumberOfLinks of the hosts file
  std::vector<std::wstring> names;   // FindFirstFileNameW's names for it; none: no such call
  DWORD names_error = 0;             // FindFirstFileNameW fails with this error
  std::map<std::string, std::string> symlinks;  // a symbolic link's path and its target
  std::set<std::string> other_reparse;          // reparse points that are not links (WOF, say)
  DWORD reparse_error = 0;                      // FSCTL_GET_REPARSE_POINT: this error
  std::string opened_as;                        // the hosts file's path as opened, if not its own
  DWORD opened_path_error = 0;                  // GetFinalPathNameByHandleA of it as opened
  DWORD final_path_error = 0;        // GetFinalPathNameByHandleA, of a file opened through a link
  DWORD read_error = 0;              // ReadFile
  int identify_refusals = 0;         // opening the hosts name without access
  bool security_unreadable = false;  // GetSecurityInfo of the DACL: ERROR_ACCESS_DENIED
  std::string security;              // the hosts file's owner, group and DACL, as SDDL
  std::map<std::string, std::string> descriptors;  // SDDL of a path, where not the real one
  std::map<std::string, DWORD> attributes;         // attributes added to a path's
  std::map<std::string, DWORD> path_links;         // nNumberOfLinks of a path
  int end_of_file_refusals = 0;                    // SetEndOfFile: ERROR_USER_MAPPED_FILE
  int seek_refusals = 0;                           // SetFilePointerEx: ERROR_INVALID_PARAMETER
  std::function<void()> on_identify;               // another program, when the name is identified
  bool mitigation_fails = false;  // SetProcessMitigationPolicy: ERROR_INVALID_PARAMETER
  std::string full_path;          // GetFullPathNameA's answer, where not the real one
  // Calls the table holds as nullptr, as on a Windows or Wine without them.
  bool no_mitigation = false;
  bool no_dll_directories = false;
  bool no_nt_create = false;
  bool no_nt_set_information = false;
  // What happened.
  int calls = 0;
  int dll_directories_call = 0;  // which call set the DLL directories, from 1
  DWORD dll_directories = 0;
  int in_place_opens = 0;
  int etc_opens = 0;  // opens by a path in the hosts folder as the system spells it
  int slept_ms = 0;
  std::set<HANDLE> hosts_handles;  // open handles to the hosts file
  std::set<HANDLE> through_links;  // handles opened through a symbolic link
  bool privilege_on = false;
  bool privilege_used = false;
  std::string copied;  // the security set on the temporary file, as SDDL
  SECURITY_INFORMATION copied_what = 0;
  std::string lock_security;  // the lock's security, as SDDL
  DWORD lock_share = ~0u;
  DWORD mitigation = 0;        // the RedirectionGuard flags set
  HANDLE committed = nullptr;  // the file renamed into place
  bool flushed_after_commit = false;
  bool renamed_while_held = false;
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

// The path an open handle leads to, lower case, as the model's maps key it.
std::string PathOfHandle(HANDLE handle) {
  char path[MAX_PATH];
  const DWORD length = ::GetFinalPathNameByHandleA(handle, path, MAX_PATH, 0);
  if (length == 0 || length >= MAX_PATH) return "";
  return Lower(std::string(path).substr(4));  // without "\\?\"
}

HANDLE Fail(DWORD error) {
  SetLastError(error);
  return INVALID_HANDLE_VALUE;
}

// Another program's part in an open of the hosts file by a program that
// wants `access`: a Win32 error, or 0 to go on.
DWORD HostsOpenAnswer(DWORD access) {
  if (access & GENERIC_WRITE) ++model->in_place_opens;
  if ((access & (GENERIC_READ | GENERIC_WRITE)) && model->writer_holds > 0) {
    --model->writer_holds;
    return ERROR_SHARING_VIOLATION;
  }
  return 0;
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
  if (path.rfind(model->etc, 0) == 0) ++model->etc_opens;
  if (Is(path, model->lock)) {
    char* sddl = nullptr;
    if (sa != nullptr && sa->lpSecurityDescriptor != nullptr &&
        ::ConvertSecurityDescriptorToStringSecurityDescriptorA(
            sa->lpSecurityDescriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &sddl, nullptr)) {
      model->lock_security = sddl;
      ::LocalFree(sddl);
    }
    model->lock_share = share;
    if (model->lock_error != 0) return Fail(model->lock_error);
    if (model->lock_busy > 0) {
      --model->lock_busy;
      return Fail(ERROR_SHARING_VIOLATION);
    }
  }
  if (disposition == CREATE_NEW) {
    if (model->create_error != 0) return Fail(model->create_error);
    if (model->pending_delete_temp0 && Is(path, model->etc + "\\" + kTemp0)) {
      return Fail(ERROR_ACCESS_DENIED);
    }
  }
  if (Is(path, model->hosts) && access == 0) {
    if (model->on_identify) model->on_identify();
    if (model->identify_refusals > 0) {
      --model->identify_refusals;
      return Fail(ERROR_ACCESS_DENIED);  // as for a file whose delete is pending
    }
  }
  if (Is(path, model->hosts)) {
    if (const DWORD error = HostsOpenAnswer(access); error != 0) return Fail(error);
  }
  // A symbolic link is followed unless the caller asks for the link itself.
  bool through_link = false;
  for (int hops = 0; (flags & FILE_FLAG_OPEN_REPARSE_POINT) == 0 && hops < 64; ++hops) {
    const auto link = model->symlinks.find(Lower(path));
    if (link == model->symlinks.end()) break;
    path = link->second;
    through_link = true;
  }
  const HANDLE handle = ::CreateFileA(path.c_str(), access, share, sa, disposition, flags, templ);
  if (handle != INVALID_HANDLE_VALUE && through_link) model->through_links.insert(handle);
  if (handle != INVALID_HANDLE_VALUE && Is(path, model->hosts) && access != 0) {
    model->hosts_handles.insert(handle);
  }
  return handle;
}

LONG NTAPI ModelNtCreateFile(PHANDLE file, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                             PIO_STATUS_BLOCK io, PLARGE_INTEGER size, ULONG file_attributes,
                             ULONG share, ULONG disposition, ULONG options, PVOID ea,
                             ULONG ea_length) {
  ++model->calls;
  const UNICODE_STRING& name = *attributes->ObjectName;
  std::string path = PathOfHandle(attributes->RootDirectory) + "\\";
  for (USHORT i = 0; i < name.Length / sizeof(wchar_t); ++i) {
    path += static_cast<char>(name.Buffer[i]);  // the tests' names are ASCII
  }
  const bool hosts = Is(path, model->hosts);
  if (hosts) {
    if (HostsOpenAnswer(access) != 0) return kSharingViolation;
  }
  const LONG status = RealNtCreateFile(file, access, attributes, io, size, file_attributes, share,
                                       disposition, options, ea, ea_length);
  if (status < 0 || !hosts) return status;
  if (model->oplock_breaks > 0) {
    // Documented for FILE_COMPLETE_IF_OPLOCKED: the open succeeds at once
    // while the break it started goes on.
    --model->oplock_breaks;
    return kOplockBreakInProgress;
  }
  if (access & (GENERIC_READ | GENERIC_WRITE)) model->hosts_handles.insert(*file);
  return status;
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

BOOL WINAPI ModelGetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info) {
  ++model->calls;
  const BOOL ok = ::GetFileInformationByHandle(file, info);
  if (!ok) return ok;
  const std::string path = PathOfHandle(file);
  if (model->links != 0 && Is(path, model->hosts)) info->nNumberOfLinks = model->links;
  if (model->path_links.count(path)) info->nNumberOfLinks = model->path_links[path];
  if (model->attributes.count(path)) info->dwFileAttributes |= model->attributes[path];
  return ok;
}

DWORD WINAPI ModelGetFileAttributesA(LPCSTR name) {
  ++model->calls;
  const DWORD attributes = ::GetFileAttributesA(name);
  if (model->symlinks.count(Lower(name)) || model->other_reparse.count(Lower(name))) {
    return attributes | FILE_ATTRIBUTE_REPARSE_POINT;
  }
  return attributes;
}

// A symbolic link's reparse data: its tag, the lengths and offsets of its
// two names, its flags (absolute), and the names, in UTF-16.
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
  const std::string target = "\\??\\" + link->second;
  const std::wstring name(target.begin(), target.end());
  const WORD bytes = static_cast<WORD>(name.size() * sizeof(wchar_t));
  const WORD header[8] = {0x000C, 0xA000, static_cast<WORD>(12 + 2 * bytes), 0, 0, bytes,
                          bytes,  bytes};
  const DWORD flags = 0;
  char* at = static_cast<char*>(out);
  std::memcpy(at, header, sizeof header);
  std::memcpy(at + sizeof header, &flags, sizeof flags);
  std::memcpy(at + sizeof header + sizeof flags, name.data(), bytes);
  std::memcpy(at + sizeof header + sizeof flags + bytes, name.data(), bytes);
  *returned = static_cast<DWORD>(sizeof header + sizeof flags + 2 * bytes);
  return TRUE;
}

DWORD WINAPI ModelGetFinalPathNameByHandleA(HANDLE file, LPSTR buffer, DWORD size, DWORD flags) {
  ++model->calls;
  const bool hosts = Is(PathOfHandle(file), model->hosts);
  if (hosts && (flags & FILE_NAME_OPENED) && model->opened_path_error != 0) {
    SetLastError(model->opened_path_error);
    return 0;
  }
  if (model->through_links.count(file) && model->final_path_error != 0) {
    SetLastError(model->final_path_error);
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

LONG NTAPI ModelNtSetInformationFile(HANDLE file, PIO_STATUS_BLOCK io, PVOID info, ULONG size,
                                     ULONG kind) {
  ++model->calls;
  LONG status = 0;
  if (kind == 65) {  // FileRenameInformationEx
    if (model->posix_rename_refusals > 0) {
      --model->posix_rename_refusals;
      return model->posix_rename_status;
    }
    // A Windows before 10 1607 does not know the class.
    if (!model->posix_renames) return kInvalidInfoClass;
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
  if (kind_number == 22 || kind == FileRenameInfo) {
    // Windows refuses a rename relative to a folder's handle here.
    if (static_cast<FILE_RENAME_INFO*>(info)->RootDirectory != nullptr ||
        (kind_number == 22 && !model->posix_renames) ||
        (kind == FileRenameInfo && !model->hosts_handles.empty())) {
      SetLastError(kind == FileRenameInfo && !model->hosts_handles.empty()
                       ? ERROR_ACCESS_DENIED
                       : ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    const auto rename = [&] {
      return ::SetFileInformationByHandle(file, FileRenameInfo, info, size) != 0;
    };
    const BOOL ok = kind_number == 22 ? PosixRename(rename) : rename();
    if (ok) model->committed = file;
    return ok;
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

HANDLE WINAPI ModelFindFirstFileA(LPCSTR name, LPWIN32_FIND_DATAA found) {
  ++model->calls;
  if (model->pending_delete_temp0 && Is(name, model->etc + "\\" + kTemp0)) {
    // The entry stays listed until the last handle to it is closed.
    const HANDLE search = ::FindFirstFileA(model->hosts.c_str(), found);
    std::strcpy(found->cFileName, kTemp0);
    return search;
  }
  return ::FindFirstFileA(name, found);
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

DWORD WINAPI ModelGetSecurityInfo(HANDLE object, SE_OBJECT_TYPE type, SECURITY_INFORMATION what,
                                  PSID* owner, PSID* group, PACL* dacl, PACL* sacl,
                                  PSECURITY_DESCRIPTOR* descriptor) {
  ++model->calls;
  const auto found = model->descriptors.find(PathOfHandle(object));
  std::string sddl;
  if (found != model->descriptors.end()) {
    sddl = found->second;
  } else if (what & DACL_SECURITY_INFORMATION) {
    if (model->security_unreadable) return ERROR_ACCESS_DENIED;
    sddl = model->security;
  }
  if (sddl.empty()) {
    return ::GetSecurityInfo(object, type, what, owner, group, dacl, sacl, descriptor);
  }
  *descriptor = FromSddl(sddl);
  BOOL defaulted = FALSE;
  BOOL present = FALSE;
  if (owner != nullptr) ::GetSecurityDescriptorOwner(*descriptor, owner, &defaulted);
  if (group != nullptr) ::GetSecurityDescriptorGroup(*descriptor, group, &defaulted);
  if (dacl != nullptr) ::GetSecurityDescriptorDacl(*descriptor, &present, dacl, &defaulted);
  return ERROR_SUCCESS;
}

DWORD WINAPI ModelSetSecurityInfo(HANDLE object, SE_OBJECT_TYPE type, SECURITY_INFORMATION what,
                                  PSID owner, PSID group, PACL dacl, PACL sacl) {
  ++model->calls;
  if (model->set_security_error != 0) return model->set_security_error;
  if (model->owner_refused && (what & OWNER_SECURITY_INFORMATION) && !model->privilege_on) {
    return ERROR_INVALID_OWNER;
  }
  SECURITY_DESCRIPTOR descriptor;
  ::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
  ::SetSecurityDescriptorOwner(&descriptor, owner, FALSE);
  ::SetSecurityDescriptorGroup(&descriptor, group, FALSE);
  ::SetSecurityDescriptorDacl(&descriptor, TRUE, dacl, FALSE);
  model->copied = ToSddl(&descriptor);
  model->copied_what = what;
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
  api.GetFileAttributesA = ModelGetFileAttributesA;
  api.GetFinalPathNameByHandleA = ModelGetFinalPathNameByHandleA;
  api.SetFileInformationByHandle = ModelSetFileInformationByHandle;
  api.DeviceIoControl = ModelDeviceIoControl;
  api.FindFirstFileA = ModelFindFirstFileA;
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
  api.NtCreateFile = m.no_nt_create ? nullptr : ModelNtCreateFile;
  api.NtSetInformationFile = m.no_nt_set_information ? nullptr : ModelNtSetInformationFile;
  api.Sleep = ModelSleep;
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
constexpr char kStale[] = "hosts.hosts_entry_tool-7.tmp";
const std::string kAdded = "10.0.0.1 added.meanwhile\r\n";
// A folder or link only the system's accounts may change, and one users may add to.
constexpr char kSystemOnly[] = "O:SYD:(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)";
constexpr char kUsersMayAdd[] = "O:BAD:(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1201bf;;;BU)";

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
  }
  void TearDown() override {
    for (const std::string& name : Leftovers(Etc())) ::DeleteFileA((Etc() + "\\" + name).c_str());
    for (const std::string& file :
         {Etc() + "\\hosts", Etc() + "\\hosts.other-name", base_ + kStoreFolder + "\\hosts",
          base_ + "\\linked_hosts", base_ + "\\middle", base_ + "\\COM1", base_ + "\\a_file"}) {
      ::DeleteFileA(file.c_str());
    }
    for (const char* part : {"\\elsewhere", kStoreFolder, "\\WinSxS", "\\System32\\drivers\\etc",
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
    model = &m;
    const std::unique_ptr<FileSystem> fs = MakeWin32FileSystem(ModelApi(m));
    testing::internal::CaptureStderr();
    const int status = UpdateHostsFile(install, *fs);
    *err = testing::internal::GetCapturedStderr();
    model = nullptr;
    return status;
  }

  std::string base_;
};

TEST_F(Win32ModelTest, EveryDocumentedOutcomeKeepsThePromise) {
  struct Row {
    const char* outcome;  // the documented behaviour the row plays
    const char* fact;     // the fact that shows it, where only Windows does
    std::function<void(Model&)> set;
    int status;
    const char* says;          // what the error line names
    bool in_place;             // whether the file is rewritten in place
    bool stale_stays = false;  // whether a leftover of a killed run stays
    std::function<void(const Model&)> check = nullptr;
    std::string before = kOriginal;  // what the new content is computed from
  };
  const std::string store = base_ + kStoreFolder + "\\hosts";
  // The hosts file's names as FindFirstFileNameW lists them, without the
  // drive; a store name longer than MAX_PATH needs a second call.
  const std::wstring root_name(base_.begin() + 2, base_.end());
  const std::wstring hosts_name = root_name + L"\\System32\\drivers\\etc\\hosts";
  const std::wstring store_name =
      root_name + std::wstring(kStoreFolder, kStoreFolder + sizeof kStoreFolder - 1) + L"\\hosts";
  const std::wstring long_store_name =
      root_name + L"\\WinSxS\\" + std::wstring(MAX_PATH, L'x') + L"\\hosts";
  const std::string linked = base_ + "\\linked_hosts";
  const auto privilege_off_after_use = [](const Model& m) {
    EXPECT_TRUE(m.privilege_used);
    EXPECT_FALSE(m.privilege_on);
  };
  // A symbolic link at the hosts name into the test's base folder, the
  // link and the folder with the given security.
  const auto link = [&](Model& m, const char* link_security, const char* folder_security) {
    m.symlinks[Lower(m.hosts)] = linked;
    m.descriptors[Lower(m.hosts)] = link_security;
    m.descriptors[Lower(base_)] = folder_security;
  };
  const std::vector<Row> rows = {
      {"nothing in the way", "", [](Model&) {}, 0, "", false, false,
       [](const Model& m) {
         // The lock: no sharing, open to the system alone.
         EXPECT_EQ(m.lock_share, 0u);
         EXPECT_EQ(m.lock_security, "D:P(A;;FA;;;SY)(A;;FA;;;BA)");
       }},
      {"NtCreateFile: STATUS_SHARING_VIOLATION while a writer holds the file, 3 times", "",
       [](Model& m) { m.writer_holds = 3; }, 0, "", false},
      {"NtCreateFile: STATUS_SHARING_VIOLATION, the writer never lets go", "",
       [](Model& m) { m.writer_holds = 1000; }, -1,
       "read: another program keeps the hosts file open (waited 2.6 s", false},
      {"NtCreateFile FILE_COMPLETE_IF_OPLOCKED: STATUS_OPLOCK_BREAK_IN_PROGRESS, 3 times",
       "an open that meets an oplock completes at once", [](Model& m) { m.oplock_breaks = 3; }, 0,
       "", false},
      {"NtCreateFile FILE_COMPLETE_IF_OPLOCKED: STATUS_OPLOCK_BREAK_IN_PROGRESS, never "
       "acknowledged",
       "an open that meets an oplock completes at once", [](Model& m) { m.oplock_breaks = 1000; },
       -1, "opportunistic lock", false},
      {"no NtCreateFile: the hosts file is opened by its path", "",
       [](Model& m) { m.no_nt_create = true; }, 0, "", false},
      {"CreateFile CREATE_NEW: ERROR_ACCESS_DENIED on a name whose delete is pending",
       "CREATE_NEW on a name whose delete is pending",
       [](Model& m) { m.pending_delete_temp0 = true; }, 0, "", false},
      {"CreateFile CREATE_NEW: ERROR_ACCESS_DENIED, the folder takes no new file", "",
       [](Model& m) { m.create_error = ERROR_ACCESS_DENIED; }, 0, "", true},
      {"CreateFile CREATE_NEW: ERROR_IO_DEVICE: no rewrite in place", "",
       [](Model& m) { m.create_error = ERROR_IO_DEVICE; }, -1, "create temporary file", false},
      // Windows 10 1607 and later on NTFS: the rename replaces the file this
      // process holds.
      {"NtSetInformationFile FileRenameInformationEx: replaces the file held open",
       "posix rename replaces a file held open sharing delete",
       [](Model& m) { m.posix_renames = true; }, 0, "", false, false,
       [](const Model& m) { EXPECT_TRUE(m.renamed_while_held); }},
      {"FileRenameInformationEx: STATUS_SHARING_VIOLATION, a reader that does not share "
       "delete, 3 times",
       "posix rename refused while a holder does not share delete",
       [](Model& m) {
         m.posix_renames = true;
         m.posix_rename_refusals = 3;
       },
       0, "", false},
      {"FileRenameInformationEx: STATUS_ACCESS_DENIED, 3 times",
       "posix rename refused while a holder does not share delete",
       [](Model& m) {
         m.posix_renames = true;
         m.posix_rename_refusals = 3;
         m.posix_rename_status = kAccessDenied;
       },
       0, "", false},
      {"FileRenameInformationEx: STATUS_SHARING_VIOLATION for half a minute",
       "posix rename refused while a holder does not share delete",
       [](Model& m) {
         m.posix_renames = true;
         m.posix_rename_refusals = 1000;
       },
       -1, "replace: another program keeps the hosts file open (waited 30 s", false, false,
       [](const Model& m) { EXPECT_EQ(m.slept_ms, 30000); }},
      {"FileRenameInformationEx: STATUS_NOT_SUPPORTED", "",
       [](Model& m) {
         m.posix_rename_refusals = 1;
         m.posix_rename_status = kNotSupported;
       },
       0, "", false},
      {"FileRenameInformationEx: STATUS_NOT_IMPLEMENTED (Wine 8)", "",
       [](Model& m) {
         m.posix_rename_refusals = 1;
         m.posix_rename_status = kNotImplemented;
       },
       0, "", false},
      {"FileRenameInformationEx: STATUS_FILE_SYSTEM_LIMITATION", "",
       [](Model& m) {
         m.posix_rename_refusals = 1;
         m.posix_rename_status = kFileSystemLimitation;
       },
       0, "", false},
      {"FileRenameInformationEx: STATUS_NOT_SAME_DEVICE, the name takes no replacement", "",
       [](Model& m) {
         m.posix_renames = true;
         m.posix_rename_refusals = 1;
         m.posix_rename_status = kNotSameDevice;
       },
       0, "", true},
      // Before Windows 10 1607, and on FAT: the file is let go before each rename.
      {"FileRenameInformationEx: STATUS_INVALID_INFO_CLASS; the file changes during pass 1", "",
       [](Model& m) {
         m.on_identify = [&m] {
           if (m.hosts_handles.empty() && ReadFileText(m.hosts) == kOriginal) {
             WriteFileText(m.hosts, kOriginal + kAdded);
           }
         };
       },
       0, "", false, false, nullptr, kOriginal + kAdded},
      {"NtSetInformationFile FileRenameInformation: STATUS_ACCESS_DENIED, the target is open, "
       "4 times",
       "classic rename refused over an open target",
       [](Model& m) {
         m.rename_refusals = 4;
         m.rename_status = kAccessDenied;
       },
       0, "", false},
      {"NtSetInformationFile FileRenameInformation: STATUS_SHARING_VIOLATION for half a minute", "",
       [](Model& m) { m.rename_refusals = 1000; }, -1,
       "replace: another program keeps the hosts file open (waited 30 s", false, false,
       [](const Model& m) { EXPECT_EQ(m.slept_ms, 30000); }},
      {"NtSetInformationFile FileRenameInformation: STATUS_NOT_SAME_DEVICE, the name takes no "
       "replacement",
       "",
       [](Model& m) {
         m.rename_refusals = 1;
         m.rename_status = kNotSameDevice;
       },
       0, "", true},
      {"NtSetInformationFile FileRenameInformation: STATUS_IO_DEVICE_ERROR: no rewrite in place",
       "",
       [](Model& m) {
         m.rename_refusals = 1;
         m.rename_status = kIoDeviceError;
       },
       -1, "replace: ", false},
      // SetFileInformationByHandle refuses a RootDirectory: the path is named.
      {"no NtSetInformationFile: SetFileInformationByHandle with the folder's path",
       "SetFileInformationByHandle refuses a RootDirectory",
       [](Model& m) {
         m.no_nt_set_information = true;
         m.posix_renames = true;
       },
       0, "", false},
      {"FlushFileBuffers: ERROR_IO_DEVICE", "", [](Model& m) { m.flush_error = ERROR_IO_DEVICE; },
       -1, "flush temporary file", false},
      {"FlushFileBuffers after the rename: ERROR_IO_DEVICE, the new content already in place",
       "FlushFileBuffers after a rename",
       [](Model& m) { m.committed_flush_error = ERROR_IO_DEVICE; }, 0, "", false},
      {"WriteFile: ERROR_DISK_FULL", "", [](Model& m) { m.write_error = ERROR_DISK_FULL; }, -1,
       "write temporary file", false},
      {"SetSecurityInfo: ERROR_INVALID_OWNER, and SeRestorePrivilege not held",
       "setting another account as owner needs the restore privilege",
       [](Model& m) { m.owner_refused = true; }, 0, "", true},
      {"SetSecurityInfo: ERROR_INVALID_OWNER until SeRestorePrivilege is on",
       "setting another account as owner needs the restore privilege",
       [](Model& m) {
         m.owner_refused = true;
         m.privilege_held = true;
       },
       0, "", false, false, privilege_off_after_use},
      {"SetSecurityInfo: ERROR_ACCESS_DENIED", "", [](Model& m) { m.set_security_error = 5; }, 0,
       "", true},
      {"SetSecurityInfo: ERROR_IO_DEVICE: no rewrite in place", "",
       [](Model& m) { m.set_security_error = ERROR_IO_DEVICE; }, -1, "create temporary file",
       false},
      {"GetSecurityInfo: ERROR_ACCESS_DENIED", "", [](Model& m) { m.security_unreadable = true; },
       0, "", true},
      {"the hosts file belongs to a user: its owner is not handed on", "",
       [](Model& m) { m.security = "O:BUG:SYD:(A;;FA;;;SY)"; }, 0, "", true},
      {"a protected DACL stays protected", "",
       [](Model& m) { m.security = "O:SYG:SYD:PAI(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)"; }, 0,
       "", false, false,
       [](const Model& m) {
         EXPECT_EQ(m.copied, Sddl("O:SYG:SYD:(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)"));
         EXPECT_TRUE(m.copied_what & PROTECTED_DACL_SECURITY_INFORMATION);
       }},
      {"an inherited DACL stays inherited", "",
       [](Model& m) { m.security = "O:BAG:SYD:AI(A;ID;FA;;;SY)(A;ID;FA;;;BA)"; }, 0, "", false,
       false,
       [](const Model& m) {
         EXPECT_EQ(m.copied, Sddl("O:BAG:SYD:(A;ID;FA;;;SY)(A;ID;FA;;;BA)"));
         EXPECT_TRUE(m.copied_what & UNPROTECTED_DACL_SECURITY_INFORMATION);
       }},
      {"the lock: ERROR_SHARING_VIOLATION while another run holds it, 3 times", "",
       [](Model& m) { m.lock_busy = 3; }, 0, "", false},
      {"the lock: ERROR_SHARING_VIOLATION for longer than a run waits: on without it", "",
       [](Model& m) { m.lock_busy = 1000; }, 0, "", false, true},
      {"the lock: ERROR_INVALID_OWNER, a run that is not elevated: on at once, no cleanup", "",
       [](Model& m) { m.lock_error = ERROR_INVALID_OWNER; }, 0, "", false, true,
       [](const Model& m) { EXPECT_EQ(m.slept_ms, 0); }},
      {"the lock: ERROR_ACCESS_DENIED, a folder this account may not add to", "",
       [](Model& m) { m.lock_error = ERROR_ACCESS_DENIED; }, 0, "", false, true,
       [](const Model& m) { EXPECT_EQ(m.slept_ms, 0); }},
      {"the lock's name left by a run that was killed: taken, and gone after", "",
       [&](Model&) { WriteFileText(Etc() + "\\" + kLockName, ""); }, 0, "", false},
      {"FileDispositionInfoEx: ERROR_INVALID_PARAMETER (before Windows 10 1709): the lock stays",
       "POSIX delete frees the name while held", [](Model& m) { m.posix_deletes = false; }, 0, "",
       false, false,
       [&](const Model&) { EXPECT_EQ(::DeleteFileA((Etc() + "\\" + kLockName).c_str()), TRUE); }},
      {"the lock's name is a link: not taken, no cleanup", "",
       [&](Model& m) {
         WriteFileText(Etc() + "\\" + kLockName, "");
         m.attributes[Lower(Etc() + "\\" + kLockName)] = FILE_ATTRIBUTE_REPARSE_POINT;
       },
       0, "", false, true,
       [&](const Model&) { ::DeleteFileA((Etc() + "\\" + kLockName).c_str()); }},
      {"a leftover with a second name stays", "",
       [&](Model& m) { m.path_links[Lower(Etc() + "\\" + kStale)] = 2; }, 0, "", false, true},
      {"a leftover that belongs to a user stays", "",
       [&](Model& m) { m.descriptors[Lower(Etc() + "\\" + kStale)] = "O:BU"; }, 0, "", false, true},
      {"a leftover that is a link stays", "",
       [&](Model& m) { m.attributes[Lower(Etc() + "\\" + kStale)] = FILE_ATTRIBUTE_REPARSE_POINT; },
       0, "", false, true},
      {"GetFileInformationByHandle: nNumberOfLinks 2", "", [](Model& m) { m.links = 2; }, -1,
       "hard links", false},
      {"FindFirstFileNameW: the other name is the component store's",
       "FindFirstFileNameW lists every name",
       [&](Model& m) {
         m.links = 2;
         m.names = {hosts_name, store_name};
       },
       0, "", false},
      {"FindFirstFileNameW: ERROR_MORE_DATA, then the names", "FindFirstFileNameW lists every name",
       [&](Model& m) {
         m.links = 2;
         m.names = {long_store_name, hosts_name};
       },
       0, "", false},
      {"FindNextFileNameW: ERROR_MORE_DATA, then the name", "FindFirstFileNameW lists every name",
       [&](Model& m) {
         m.links = 2;
         m.names = {hosts_name, long_store_name};
       },
       0, "", false},
      {"FindFirstFileNameW: ERROR_ACCESS_DENIED: the names cannot be told", "",
       [&](Model& m) {
         m.links = 2;
         m.names_error = ERROR_ACCESS_DENIED;
       },
       -1, "hard links", false},
      {"FindFirstFileNameW: the other name is elsewhere", "FindFirstFileNameW lists every name",
       [&](Model& m) {
         m.links = 2;
         m.names = {hosts_name, L"\\Users\\x\\hosts"};
       },
       -1, "hard links", false},
      {"no FindFirstFileNameW (Wine): the store's copy is found by its file ID", "",
       [&](Model&) { ::CreateHardLinkA(store.c_str(), Etc().append("\\hosts").c_str(), nullptr); },
       0, "", false, false, [&](const Model&) { EXPECT_EQ(ReadFileText(store), kOriginal); }},
      {"no FindFirstFileNameW (Wine): two names, and an unrelated file in the store's folder", "",
       [&](Model& m) {
         m.links = 2;
         WriteFileText(store, kOriginal);
       },
       -1, "2 names", false},
      {"no FindFirstFileNameW (Wine): a second name outside the store", "",
       [&](Model&) {
         ::CreateHardLinkA((Etc() + "\\hosts.other-name").c_str(), (Etc() + "\\hosts").c_str(),
                           nullptr);
       },
       -1, "2 names", false},
      {"ReadFile: ERROR_IO_DEVICE", "", [](Model& m) { m.read_error = ERROR_IO_DEVICE; }, -1,
       "read: ", false},
      {"SetFilePointerEx: ERROR_INVALID_PARAMETER while rewriting in place, once", "",
       [](Model& m) {
         m.create_error = ERROR_ACCESS_DENIED;
         m.seek_refusals = 1;
       },
       -1, "the original content was written back", true},
      {"CreateFile of the name without access: ERROR_ACCESS_DENIED, its delete is pending", "",
       [](Model& m) { m.identify_refusals = 1; }, -1, "check for changes", false},
      {"SetEndOfFile: ERROR_USER_MAPPED_FILE while rewriting in place, once", "",
       [](Model& m) {
         m.create_error = ERROR_ACCESS_DENIED;
         m.end_of_file_refusals = 1;
       },
       -1, "the original content was written back", true},
      {"GetFinalPathNameByHandleA: ERROR_NOT_ENOUGH_MEMORY for the hosts file as opened", "",
       [](Model& m) { m.opened_path_error = ERROR_NOT_ENOUGH_MEMORY; }, -1,
       "cannot tell where the file is", false},
      {"GetFinalPathNameByHandleA: ERROR_PATH_NOT_FOUND, a volume without a drive letter", "",
       [](Model& m) { m.opened_path_error = ERROR_PATH_NOT_FOUND; }, -1,
       "cannot tell where the file is", false},
      {"a junction on the way leads the hosts name out of its folder",
       "FILE_NAME_OPENED names the hard link opened",
       [&](Model& m) { m.opened_as = base_ + "\\elsewhere\\hosts"; }, -1, "leads out of its folder",
       false},
      {"the hosts folder is a reparse point", "",
       [&](Model& m) { m.attributes[Lower(Etc())] = FILE_ATTRIBUTE_REPARSE_POINT; }, -1,
       "open the folder", false, true},
      {"a symbolic link of the system's into a folder only the system may change", "",
       [&](Model& m) { link(m, kSystemOnly, kSystemOnly); }, 0, "", false, true},
      {"a symbolic link that belongs to a user", "",
       [&](Model& m) { link(m, "O:BUD:(A;;FA;;;BU)", kSystemOnly); }, -1, "the link ", false, true},
      {"a symbolic link of Administrators' whose DACL lets users change it", "",
       [&](Model& m) { link(m, "O:BAD:(A;;FA;;;BA)(A;;FA;;;BU)", kSystemOnly); }, -1,
       "its DACL lets S-1-5-32-545 change it", false, true},
      {"a symbolic link into a folder that belongs to a user", "",
       [&](Model& m) { link(m, kSystemOnly, "O:BUD:(A;;FA;;;BU)"); }, -1, "the folder it leads to",
       false, true},
      {"a symbolic link into a folder of Administrators' that users may add to", "",
       [&](Model& m) { link(m, kSystemOnly, kUsersMayAdd); }, -1,
       "its DACL lets S-1-5-32-545 change it", false, true},
      {"a second link in a chain, which belongs to a user", "",
       [&](Model& m) {
         WriteFileText(base_ + "\\middle", "");
         m.symlinks[Lower(m.hosts)] = base_ + "\\middle";
         m.symlinks[Lower(base_ + "\\middle")] = linked;
         m.descriptors[Lower(m.hosts)] = kSystemOnly;
         m.descriptors[Lower(base_ + "\\middle")] = "O:BUD:(A;;FA;;;BU)";
         m.descriptors[Lower(base_)] = kSystemOnly;
       },
       -1, "\\middle: it belongs to S-1-5-32-545", false, true},
      {"a reparse point that is not a link (a compressed system file): the file itself", "",
       [&](Model& m) { m.other_reparse.insert(Lower(m.hosts)); }, 0, "", false},
      {"FSCTL_GET_REPARSE_POINT: ERROR_NOT_A_REPARSE_POINT, the link went meanwhile", "",
       [&](Model& m) {
         link(m, kSystemOnly, kSystemOnly);
         m.reparse_error = ERROR_NOT_A_REPARSE_POINT;
       },
       -1, "the link ", false, true},
      {"links that lead to each other without end", "",
       [&](Model& m) {
         m.symlinks[Lower(m.hosts)] = m.hosts;
         m.descriptors[Lower(m.hosts)] = kSystemOnly;
       },
       -1, "too many levels of symbolic links", false, true},
      {"GetFinalPathNameByHandleA: ERROR_PATH_NOT_FOUND for a symbolic link", "",
       [&](Model& m) {
         link(m, kSystemOnly, kSystemOnly);
         m.final_path_error = ERROR_PATH_NOT_FOUND;
       },
       -1, "follow the symbolic link", false, true},
      {"SystemRoot empty", "", [](Model& m) { m.root = ""; }, -1, "SystemRoot", false, true},
      {"SystemRoot relative", "", [](Model& m) { m.root = "Windows"; }, -1, "not an absolute path",
       false, true},
      {"SystemRoot relative to a drive", "", [](Model& m) { m.root = "C:Windows"; }, -1,
       "relative to a drive", false, true},
      {"SystemRoot a network path", "", [](Model& m) { m.root = "\\\\host\\share"; }, -1,
       "network or device path", false, true},
      {"SystemRoot a device path", "", [&](Model& m) { m.root = "\\\\?\\" + base_; }, -1,
       "network or device path", false, true},
      {"SystemRoot a device's name under a folder: GetFullPathNameA names the device",
       "a device name under a folder",
       [&](Model& m) {
         m.root = base_ + "\\COM1";
         m.full_path = "\\\\.\\COM1";
       },
       -1, "names the device \\\\.\\COM1", false, true},
      {"SystemRoot another folder", "", [&](Model& m) { m.root = base_ + "\\elsewhere"; }, -1,
       "is not the Windows directory", false, true},
      {"SystemRoot a file", "",
       [&](Model& m) {
         WriteFileText(base_ + "\\a_file", "");
         m.root = base_ + "\\a_file";
       },
       -1, "is not a folder", false, true},
      {"SystemRoot a junction to the Windows directory: not followed", "",
       [&](Model& m) { m.attributes[Lower(base_)] = FILE_ATTRIBUTE_REPARSE_POINT; }, -1,
       "is a junction", false, true},
      // The files are then opened through the system's own spelling of it.
      {"SystemRoot the same folder in capitals", "", [&](Model& m) { m.root = Upper(base_); }, 0,
       "", false, false, [](const Model& m) { EXPECT_GT(m.etc_opens, 0); }},
      {"SystemRoot the same folder with a trailing backslash", "",
       [&](Model& m) { m.root = base_ + "\\"; }, 0, "", false, false,
       [](const Model& m) { EXPECT_GT(m.etc_opens, 0); }},
      {"GetSystemWindowsDirectoryA: 0", "", [](Model& m) { m.windows_unreadable = true; }, -1,
       "the Windows directory cannot be read", false, true},
      {"SetProcessMitigationPolicy: ERROR_INVALID_PARAMETER, a Windows without RedirectionGuard",
       "SetProcessMitigationPolicy takes RedirectionGuard",
       [](Model& m) { m.mitigation_fails = true; }, 0, "", false},
      {"no SetProcessMitigationPolicy (before Windows 8)", "",
       [](Model& m) { m.no_mitigation = true; }, 0, "", false},
      {"no SetDefaultDllDirectories (Windows 7 without KB2533623)", "",
       [](Model& m) { m.no_dll_directories = true; }, 0, "", false},
  };
  for (const Row& row : rows) {
    if (*row.fact != '\0') {
      EXPECT_TRUE(IsWindowsFact(row.fact)) << row.outcome << ": " << row.fact;
    }
    for (const bool install : {true, false}) {
      const std::string label = std::string(row.outcome) + (install ? " (install)" : "");
      WriteFileText(Etc() + "\\hosts", kOriginal);
      WriteFileText(Etc() + "\\" + kStale, "a killed run's");
      Model m;
      m.hosts = Etc() + "\\hosts";
      m.security = "O:" + SidOfThisProcess() + "G:SYD:(A;;FA;;;SY)";
      row.set(m);
      // A link's target is rewritten, and the link stays as it is.
      const std::string file = m.symlinks.empty() ? Etc() + "\\hosts" : linked;
      if (!m.symlinks.empty()) WriteFileText(linked, kOriginal);
      std::string err;
      const int status = Run(m, install, &err);
      EXPECT_EQ(status, row.status) << label << err;
      // A row names what the error line says exactly when it fails.
      EXPECT_EQ(*row.says == '\0', row.status == 0) << label;
      if (status == 0) {
        EXPECT_EQ(ReadFileText(file), RewrittenHostsText(row.before, install)) << label;
        EXPECT_EQ(err, "") << label;
        // Durable before exit 0: the file renamed into place was flushed.
        EXPECT_EQ(m.flushed_after_commit, !row.in_place) << label;
      } else {
        EXPECT_EQ(ReadFileText(file), row.before) << label;
        EXPECT_EQ(err.find("hosts_entry_tool: "), 0u) << label << err;
        EXPECT_EQ(err.find('\n'), err.size() - 1) << label << err;
        EXPECT_NE(err.find(row.says), std::string::npos) << label << err;
      }
      if (!m.symlinks.empty()) {
        EXPECT_EQ(ReadFileText(Etc() + "\\hosts"), kOriginal) << label;
      }
      EXPECT_EQ(m.in_place_opens > 0, row.in_place) << label;
      EXPECT_LE(m.slept_ms, 30000) << label;
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
      ::DeleteFileA(store.c_str());
    }
  }
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
    Folder folder{kNoFile, Etc()};
    removal = other->OpenFolder(Etc(), &folder.handle);
    if (removal.ok()) removal = other->RemoveStale(folder, kTemp0);
    other->Close(folder.handle);
  };
  std::string err;
  EXPECT_EQ(Run(live, true, &err), 0) << err;
  EXPECT_EQ(removal.code(), Code::kBusy) << removal.message();
  EXPECT_EQ(ReadFileText(Etc() + "\\hosts"), RewrittenHostsText(kOriginal, true));
  EXPECT_EQ(Leftovers(Etc()), std::vector<std::string>());

  Model failing;
  failing.flush_error = ERROR_IO_DEVICE;
  failing.disposition_refused = true;
  EXPECT_EQ(Run(failing, false, &err), -1);
  EXPECT_NE(err.find(std::string(kTemp0) + " could not be removed"), std::string::npos) << err;
  EXPECT_EQ(ReadFileText(Etc() + "\\hosts"), RewrittenHostsText(kOriginal, true));
  // The lock, which could not be deleted either, is taken over as it is.
  EXPECT_EQ(Leftovers(Etc()), (std::vector<std::string>{kTemp0, kLockName}));
  Model next;
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

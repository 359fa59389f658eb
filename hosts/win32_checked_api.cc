// The call table checked as Windows' I/O manager checks it (see
// win32_checked_api.h).

#include "hosts/win32_checked_api.h"

#include <cstdio>
#include <map>
#include <mutex>
#include <string_view>

namespace hosts {
namespace {

// What a call, or one class of a call, needs of the handle it is made on.
// `call` names the call, or for the information classes the kind of call
// that carries them: "query" (NtQueryInformationFile,
// GetFileInformationByHandleEx), "list" (a folder's entries, through
// GetFileInformationByHandleEx) and "set" (NtSetInformationFile,
// SetFileInformationByHandle, and the calls made of them). `nt` is ntdll's
// FILE_INFORMATION_CLASS of the class, the control code, or the part of a
// descriptor (SECURITY_INFORMATION); `win32` the FILE_INFO_BY_HANDLE_CLASS
// of the same class. `access`: every one of these rights, or with `any`, one.
struct Need {
  const char* call;
  long nt;
  int win32;
  ACCESS_MASK access;
  bool any;
  const char* page;  // where learn.microsoft.com says so
};

constexpr long kNone = -1;

// The access table: every row with the page it rests on. A class or call
// the table does not name is let through, with a line saying so.
constexpr Need kNeeds[] = {
    {"query", 4, FileBasicInfo, FILE_READ_ATTRIBUTES, false,
     "NtQueryInformationFile, FileBasicInformation"},
    {"query", 5, FileStandardInfo, 0, false,
     "NtQueryInformationFile, FileStandardInformation: no particular DesiredAccess"},
    {"query", 9, FileNameInfo, 0, false,
     "NtQueryInformationFile, FileNameInformation: no particular DesiredAccess"},
    {"query", 18, kNone, FILE_READ_ATTRIBUTES, false,
     "FILE_ALL_INFORMATION, which holds FILE_BASIC_INFORMATION (NtQueryInformationFile)"},
    {"query", 34, kNone, FILE_READ_ATTRIBUTES, false,
     "NtQueryInformationFile, FileNetworkOpenInformation"},
    {"query", 35, FileAttributeTagInfo, FILE_READ_ATTRIBUTES, false,
     "NtQueryInformationFile, FileAttributeTagInformation; FILE_ATTRIBUTE_TAG_INFORMATION"},
    {"query", 68, kNone, FILE_READ_ATTRIBUTES, false,
     "FILE_STAT_INFORMATION, the times and attributes of FILE_BASIC_INFORMATION"},
    {"list", 2, FileFullDirectoryInfo, FILE_LIST_DIRECTORY, false,
     "File Access Rights Constants, FILE_LIST_DIRECTORY; MS-FSA 2.1.5.6, a query of directory "
     "information"},
    {"list", 37, FileIdBothDirectoryInfo, FILE_LIST_DIRECTORY, false,
     "File Access Rights Constants, FILE_LIST_DIRECTORY; MS-FSA 2.1.5.6, a query of directory "
     "information"},
    {"set", 4, FileBasicInfo, FILE_WRITE_ATTRIBUTES, false,
     "NtSetInformationFile, FileBasicInformation"},
    {"set", 10, FileRenameInfo, DELETE, false,
     "NtSetInformationFile, FileRenameInformation: the caller must have DELETE access"},
    {"set", 65, 22, DELETE, false,
     "FILE_RENAME_INFORMATION: FileRenameInformationEx, a rename as FileRenameInformation"},
    {"set", 13, FileDispositionInfo, DELETE, false,
     "NtSetInformationFile, FileDispositionInformation; SetFileInformationByHandle, Remarks"},
    {"set", 64, 21, DELETE, false,
     "NtSetInformationFile, FileDispositionInformationEx; FILE_DISPOSITION_INFORMATION_EX"},
    {"set", 19, FileAllocationInfo, FILE_WRITE_DATA, false, "FILE_ALLOCATION_INFORMATION"},
    {"set", 20, FileEndOfFileInfo, FILE_WRITE_DATA, false,
     "NtSetInformationFile, FileEndOfFileInformation; SetEndOfFile (GENERIC_WRITE)"},
    {"set", 14, kNone, 0, false, "NtSetInformationFile, FilePositionInformation: none named"},
    {"ReadFile", kNone, kNone, FILE_READ_DATA, false, "ReadFile: created with read access"},
    {"WriteFile", kNone, kNone, FILE_WRITE_DATA | FILE_APPEND_DATA, true,
     "WriteFile: created with write access; File Security and Access Rights"},
    {"FlushFileBuffers", kNone, kNone, FILE_WRITE_DATA | FILE_APPEND_DATA, true,
     "FlushFileBuffers (GENERIC_WRITE); NtFlushBuffersFile: neither write nor append access, "
     "STATUS_ACCESS_DENIED"},
    {"LockFileEx", kNone, kNone, FILE_READ_DATA | FILE_WRITE_DATA, true,
     "LockFileEx: created with the GENERIC_READ or GENERIC_WRITE access right"},
    {"GetFileInformationByHandle", kNone, kNone, 0, false,
     "GetFileInformationByHandle names no access; CreateFile: a handle opened for no access may "
     "query attributes"},
    {"GetFileType", kNone, kNone, 0, false, "GetFileType names no access"},
    {"GetFinalPathNameByHandle", kNone, kNone, 0, false,
     "GetFinalPathNameByHandleA names no access; FileNameInformation needs none"},
    {"DeviceIoControl", FSCTL_GET_REPARSE_POINT, kNone, 0, false,
     "FSCTL_GET_REPARSE_POINT, whose RequiredAccess is FILE_ANY_ACCESS (Defining I/O Control "
     "Codes)"},
    {"GetSecurityInfo", OWNER_SECURITY_INFORMATION, kNone, READ_CONTROL, false,
     "GetSecurityInfo, Remarks: owner, group or DACL, READ_CONTROL"},
    {"GetSecurityInfo", GROUP_SECURITY_INFORMATION, kNone, READ_CONTROL, false,
     "GetSecurityInfo, Remarks: owner, group or DACL, READ_CONTROL"},
    {"GetSecurityInfo", DACL_SECURITY_INFORMATION, kNone, READ_CONTROL, false,
     "GetSecurityInfo, Remarks: owner, group or DACL, READ_CONTROL"},
    {"GetSecurityInfo", SACL_SECURITY_INFORMATION, kNone, ACCESS_SYSTEM_SECURITY, false,
     "GetSecurityInfo, Remarks: the SACL, ACCESS_SYSTEM_SECURITY"},
    {"SetSecurityInfo", OWNER_SECURITY_INFORMATION, kNone, WRITE_OWNER, false,
     "NtSetSecurityObject: OWNER_SECURITY_INFORMATION requires WRITE_OWNER"},
    {"SetSecurityInfo", GROUP_SECURITY_INFORMATION, kNone, WRITE_OWNER, false,
     "NtSetSecurityObject: GROUP_SECURITY_INFORMATION requires WRITE_OWNER"},
    {"SetSecurityInfo", DACL_SECURITY_INFORMATION, kNone, WRITE_DAC, false,
     "NtSetSecurityObject: DACL_SECURITY_INFORMATION requires WRITE_DAC"},
    {"SetSecurityInfo", SACL_SECURITY_INFORMATION, kNone, ACCESS_SYSTEM_SECURITY, false,
     "NtSetSecurityObject: SACL_SECURITY_INFORMATION requires ACCESS_SYSTEM_SECURITY"},
};

// The parts of a descriptor the table names (the rest of SECURITY_INFORMATION
// says how a DACL or SACL is inherited, which needs nothing more).
constexpr SECURITY_INFORMATION kDescriptorParts[] = {
    OWNER_SECURITY_INFORMATION, GROUP_SECURITY_INFORMATION, DACL_SECURITY_INFORMATION,
    SACL_SECURITY_INFORMATION};

// NtCreateFile's synchronous options, and their documented condition: "If
// this flag is set, the SYNCHRONIZE flag must be set in the DesiredAccess
// parameter" (NtCreateFile, CreateOptions).
constexpr ULONG kSynchronousIo = 0x10 | 0x20;
constexpr LONG kStatusAccessDenied = static_cast<LONG>(0xC0000022);
constexpr LONG kStatusInvalidParameter = static_cast<LONG>(0xC000000D);

// An open handle: what it was granted, and with what sharing.
struct Held {
  ACCESS_MASK access;
  ULONG share;
  bool maximum;  // MAXIMUM_ALLOWED: what it holds is not known here
};

std::mutex mutex;
std::map<HANDLE, Held> held;

Win32Api& Inner() {
  static Win32Api inner;
  return inner;
}

// The rights a handle opened for `desired` holds: generic rights mapped to
// the file rights CreateFile and NtCreateFile map them to (File Security and
// Access Rights: FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE).
ACCESS_MASK Granted(ACCESS_MASK desired) {
  ACCESS_MASK granted =
      desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
  if (desired & GENERIC_READ) granted |= FILE_GENERIC_READ;
  if (desired & GENERIC_WRITE) granted |= FILE_GENERIC_WRITE;
  if (desired & GENERIC_EXECUTE) granted |= FILE_GENERIC_EXECUTE;
  if (desired & GENERIC_ALL) granted |= FILE_ALL_ACCESS;
  return granted;
}

void Record(HANDLE handle, ACCESS_MASK desired, ULONG share) {
  const std::lock_guard<std::mutex> lock(mutex);
  held[handle] = Held{Granted(desired), share, (desired & MAXIMUM_ALLOWED) != 0};
}

// Whether `handle` may make the call `need` describes; a line on standard
// error where it may not, or where the table has no row for it (`need`
// nullptr; `call` and `kind` say which).
bool Allows(HANDLE handle, const Need* need, const char* call, long kind) {
  Held handle_held{};
  {
    const std::lock_guard<std::mutex> lock(mutex);
    const auto found = held.find(handle);
    // A handle this table did not open (a thread's, a token's) is not a file's.
    if (found == held.end()) return true;
    handle_held = found->second;
  }
  if (need == nullptr) {
    std::fprintf(stderr, "access check: %s of class %ld: not in the access table\n", call, kind);
    return true;
  }
  const ACCESS_MASK has = handle_held.access & need->access;
  if (handle_held.maximum || (need->any ? has != 0 : has == need->access)) return true;
  std::fprintf(stderr,
               "access check: %s (%ld) refused: the handle was opened for 0x%08lx, sharing 0x%lx, "
               "and needs 0x%08lx (%s)\n",
               call, kind, static_cast<unsigned long>(handle_held.access),
               static_cast<unsigned long>(handle_held.share),
               static_cast<unsigned long>(need->access), need->page);
  return false;
}

// The row for `call` (one of the kinds of information call, by ntdll's
// class or, `by_win32`, FILE_INFO_BY_HANDLE_CLASS; or a call by its name and
// `kind`), or nullptr.
const Need* Find(const char* call, long kind, bool by_win32 = false) {
  for (const Need& need : kNeeds) {
    if (std::string_view(need.call) == call && (by_win32 ? need.win32 : need.nt) == kind) {
      return &need;
    }
  }
  return nullptr;
}

bool AllowsCall(HANDLE handle, const char* call, long kind = kNone) {
  return Allows(handle, Find(call, kind), call, kind);
}

// A query by FILE_INFO_BY_HANDLE_CLASS: of the file, or of a folder's entries.
bool AllowsQuery(HANDLE handle, FILE_INFO_BY_HANDLE_CLASS kind) {
  const Need* need = Find("query", kind, true);
  return Allows(handle, need != nullptr ? need : Find("list", kind, true),
                "GetFileInformationByHandleEx", kind);
}

// Every part of a descriptor `what` names.
bool AllowsSecurity(HANDLE handle, SE_OBJECT_TYPE type, const char* call,
                    SECURITY_INFORMATION what) {
  if (type != SE_FILE_OBJECT) return true;
  for (const SECURITY_INFORMATION part : kDescriptorParts) {
    if ((what & part) != 0 && !AllowsCall(handle, call, part)) return false;
  }
  return true;
}

BOOL Refused() {
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}

LONG NTAPI CheckedNtCreateFile(PHANDLE file, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                               PIO_STATUS_BLOCK io, PLARGE_INTEGER size, ULONG file_attributes,
                               ULONG share, ULONG disposition, ULONG options, PVOID ea,
                               ULONG ea_length) {
  if ((options & kSynchronousIo) != 0 && (access & SYNCHRONIZE) == 0) {
    std::fprintf(stderr,
                 "access check: NtCreateFile refused: synchronous I/O without "
                 "SYNCHRONIZE (NtCreateFile, CreateOptions)\n");
    return kStatusInvalidParameter;
  }
  const LONG status = Inner().NtCreateFile(file, access, attributes, io, size, file_attributes,
                                           share, disposition, options, ea, ea_length);
  if (status >= 0) Record(*file, access, share);
  return status;
}

// CreateFile opens for a file's attributes whatever else it asks for (its
// page: with no access a handle "can query certain metadata such as file,
// directory, or device attributes"; the fact "CreateFile for no access may
// still read attributes"), and for SYNCHRONIZE.
HANDLE WINAPI CheckedCreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                                 DWORD disposition, DWORD flags, HANDLE templ) {
  const HANDLE handle = Inner().CreateFileA(name, access, share, sa, disposition, flags, templ);
  if (handle != INVALID_HANDLE_VALUE) {
    Record(handle, access | SYNCHRONIZE | FILE_READ_ATTRIBUTES, share);
  }
  return handle;
}

BOOL WINAPI CheckedCloseHandle(HANDLE handle) {
  {
    const std::lock_guard<std::mutex> lock(mutex);
    held.erase(handle);
  }
  return Inner().CloseHandle(handle);
}

// Each call: its check, then the inner table's call.
BOOL WINAPI CheckedReadFile(HANDLE file, LPVOID data, DWORD size, LPDWORD done, LPOVERLAPPED o) {
  return AllowsCall(file, "ReadFile") ? Inner().ReadFile(file, data, size, done, o) : Refused();
}

BOOL WINAPI CheckedWriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD done, LPOVERLAPPED o) {
  return AllowsCall(file, "WriteFile") ? Inner().WriteFile(file, data, size, done, o) : Refused();
}

BOOL WINAPI CheckedFlushFileBuffers(HANDLE file) {
  return AllowsCall(file, "FlushFileBuffers") ? Inner().FlushFileBuffers(file) : Refused();
}

BOOL WINAPI CheckedLockFileEx(HANDLE file, DWORD flags, DWORD reserved, DWORD low, DWORD high,
                              LPOVERLAPPED o) {
  return AllowsCall(file, "LockFileEx") ? Inner().LockFileEx(file, flags, reserved, low, high, o)
                                        : Refused();
}

BOOL WINAPI CheckedSetEndOfFile(HANDLE file) {
  return Allows(file, Find("set", 20), "SetEndOfFile", 20) ? Inner().SetEndOfFile(file) : Refused();
}

BOOL WINAPI CheckedSetFilePointerEx(HANDLE file, LARGE_INTEGER to, PLARGE_INTEGER now, DWORD from) {
  return Allows(file, Find("set", 14), "SetFilePointerEx", 14)
             ? Inner().SetFilePointerEx(file, to, now, from)
             : Refused();
}

BOOL WINAPI CheckedGetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info) {
  return AllowsCall(file, "GetFileInformationByHandle")
             ? Inner().GetFileInformationByHandle(file, info)
             : Refused();
}

DWORD WINAPI CheckedGetFileType(HANDLE file) {
  if (AllowsCall(file, "GetFileType")) return Inner().GetFileType(file);
  Refused();
  return FILE_TYPE_UNKNOWN;
}

DWORD WINAPI CheckedGetFinalPathNameByHandleA(HANDLE file, LPSTR path, DWORD size, DWORD flags) {
  if (AllowsCall(file, "GetFinalPathNameByHandle")) {
    return Inner().GetFinalPathNameByHandleA(file, path, size, flags);
  }
  Refused();
  return 0;
}

BOOL WINAPI CheckedGetFileInformationByHandleEx(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind,
                                                LPVOID info, DWORD size) {
  return AllowsQuery(file, kind) ? Inner().GetFileInformationByHandleEx(file, kind, info, size)
                                 : Refused();
}

BOOL WINAPI CheckedSetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind,
                                              LPVOID info, DWORD size) {
  return Allows(file, Find("set", kind, true), "SetFileInformationByHandle", kind)
             ? Inner().SetFileInformationByHandle(file, kind, info, size)
             : Refused();
}

LONG NTAPI CheckedNtSetInformationFile(HANDLE file, PIO_STATUS_BLOCK io, PVOID info, ULONG size,
                                       ULONG kind) {
  return Allows(file, Find("set", kind), "NtSetInformationFile", kind)
             ? Inner().NtSetInformationFile(file, io, info, size, kind)
             : kStatusAccessDenied;
}

BOOL WINAPI CheckedDeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD in_size, LPVOID out,
                                   DWORD out_size, LPDWORD returned, LPOVERLAPPED o) {
  return AllowsCall(device, "DeviceIoControl", code)
             ? Inner().DeviceIoControl(device, code, in, in_size, out, out_size, returned, o)
             : Refused();
}

DWORD WINAPI CheckedGetSecurityInfo(HANDLE object, SE_OBJECT_TYPE type, SECURITY_INFORMATION what,
                                    PSID* owner, PSID* group, PACL* dacl, PACL* sacl,
                                    PSECURITY_DESCRIPTOR* descriptor) {
  if (!AllowsSecurity(object, type, "GetSecurityInfo", what)) return ERROR_ACCESS_DENIED;
  return Inner().GetSecurityInfo(object, type, what, owner, group, dacl, sacl, descriptor);
}

DWORD WINAPI CheckedSetSecurityInfo(HANDLE object, SE_OBJECT_TYPE type, SECURITY_INFORMATION what,
                                    PSID owner, PSID group, PACL dacl, PACL sacl) {
  if (!AllowsSecurity(object, type, "SetSecurityInfo", what)) return ERROR_ACCESS_DENIED;
  return Inner().SetSecurityInfo(object, type, what, owner, group, dacl, sacl);
}

}  // namespace

Win32Api CheckedApi(const Win32Api& inner) {
  Inner() = inner;
  Win32Api api = inner;
  api.NtCreateFile = inner.NtCreateFile != nullptr ? CheckedNtCreateFile : nullptr;
  api.NtSetInformationFile =
      inner.NtSetInformationFile != nullptr ? CheckedNtSetInformationFile : nullptr;
  api.CreateFileA = CheckedCreateFileA;
  api.CloseHandle = CheckedCloseHandle;
  api.ReadFile = CheckedReadFile;
  api.WriteFile = CheckedWriteFile;
  api.FlushFileBuffers = CheckedFlushFileBuffers;
  api.LockFileEx = CheckedLockFileEx;
  api.SetEndOfFile = CheckedSetEndOfFile;
  api.SetFilePointerEx = CheckedSetFilePointerEx;
  api.GetFileInformationByHandle = CheckedGetFileInformationByHandle;
  api.GetFileType = CheckedGetFileType;
  api.GetFinalPathNameByHandleA = CheckedGetFinalPathNameByHandleA;
  api.GetFileInformationByHandleEx = CheckedGetFileInformationByHandleEx;
  api.SetFileInformationByHandle = CheckedSetFileInformationByHandle;
  api.DeviceIoControl = CheckedDeviceIoControl;
  api.GetSecurityInfo = CheckedGetSecurityInfo;
  api.SetSecurityInfo = CheckedSetSecurityInfo;
  return api;
}

}  // namespace hosts

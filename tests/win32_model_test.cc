// The Windows file system layer against a model of Windows' documented
// behaviour. Each row puts one documented outcome of a Win32 call in front of
// the real call (Wine's, here) and checks the promise: exit status 0 and the
// new content, or -1, the file as it stood and one line on standard error.

#include <gtest/gtest.h>
#include <windows.h>
// windows.h first
#include <sddl.h>

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

namespace hosts {
namespace {

constexpr char kTemp0[] = "hosts.hosts_entry_tool-0.tmp";
const std::string kOriginal = "# hosts\r\n127.0.0.1 localhost\r\n127.0.0.1 " +
                              std::string(LocalAliasHost) + "\n0.0.0.0 ads.example\r\n";

// What the model makes the calls answer. Counters count down to zero.
struct Model {
  std::string root = "*";           // SystemRoot; "*" for the test's own Windows directory
  std::string windows;              // the system's Windows directory
  bool windows_unreadable = false;  // GetSystemWindowsDirectoryA: 0
  std::string etc;
  std::string hosts;
  int writer_holds = 0;               // opens of the hosts file: ERROR_SHARING_VIOLATION
  bool pending_delete_temp0 = false;  // CREATE_NEW on name 0: ERROR_ACCESS_DENIED, still listed
  DWORD create_error = 0;             // CREATE_NEW: this error
  bool posix_renames = false;  // FileRenameInfoEx replaces a file that is open (Windows 10 1607+)
  int posix_rename_refusals = 0;  // FileRenameInfoEx: posix_rename_error
  DWORD posix_rename_error = ERROR_SHARING_VIOLATION;
  int rename_refusals = 0;  // FileRenameInfo: rename_error
  DWORD rename_error = ERROR_SHARING_VIOLATION;
  DWORD flush_error = 0;             // FlushFileBuffers on the temporary file
  DWORD write_error = 0;             // WriteFile on the temporary file
  bool disposition_refused = false;  // FileDispositionInfo: ERROR_ACCESS_DENIED
  DWORD set_security_error = 0;      // SetSecurityInfo: this error
  bool owner_refused = false;        // SetSecurityInfo of an owner: ERROR_INVALID_OWNER ...
  bool privilege_held = false;       // ... unless SeRestorePrivilege, if held, is on
  int mutex_timeouts = 0;            // WaitForSingleObject: WAIT_TIMEOUT
  bool mutex_abandoned = false;      // WaitForSingleObject: WAIT_ABANDONED
  bool mutex_refused = false;        // CreateMutexExA: ERROR_ACCESS_DENIED
  DWORD links = 0;                   // nNumberOfLinks of the hosts file
  std::vector<std::wstring> names;   // FindFirstFileNameW's names for it; none: no such call
  std::string link_target;           // the hosts name is a symbolic link to this file
  std::string opened_as;             // the hosts file's path as opened, if not its own
  DWORD opened_path_error = 0;       // GetFinalPathNameByHandleA of it as opened
  DWORD final_path_error = 0;        // GetFinalPathNameByHandleA, for that link
  DWORD read_error = 0;              // ReadFile
  int identify_refusals = 0;         // opening the hosts name without access
  bool security_unreadable = false;  // GetSecurityInfo of the DACL: ERROR_ACCESS_DENIED
  std::string security;              // the hosts file's owner, group and DACL, as SDDL
  std::map<std::string, std::string> owners;  // owner SID of a path, where not the real one
  std::map<std::string, DWORD> attributes;    // attributes added to a path's
  std::map<std::string, DWORD> path_links;    // nNumberOfLinks of a path
  int end_of_file_refusals = 0;               // SetEndOfFile: ERROR_USER_MAPPED_FILE
  std::function<void()> on_identify;          // another program, when the name is identified
  HANDLE squatter = nullptr;                  // another program's mutex of the lock's name
  // What happened.
  int in_place_opens = 0;
  int hosts_opens = 0;  // opens by the hosts file's own path, as the test spells it
  int slept_ms = 0;
  std::set<HANDLE> hosts_handles;  // open handles to the hosts file
  bool privilege_on = false;
  bool privilege_used = false;
  std::string copied;  // the security set on the temporary file, as SDDL
  SECURITY_INFORMATION copied_what = 0;
  DWORD mitigation = 0;        // the RedirectionGuard flags set
  HANDLE committed = nullptr;  // the file renamed into place
  bool flushed_after_commit = false;
  bool renamed_while_held = false;
};

Model* model = nullptr;

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The path an open handle leads to, as the model's maps key it.
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

DWORD WINAPI ModelGetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size) {
  if (std::strcmp(name, "SystemRoot") != 0) return ::GetEnvironmentVariableA(name, buffer, size);
  const DWORD length = static_cast<DWORD>(model->root.size());
  if (size <= length) return length + 1;
  std::memcpy(buffer, model->root.c_str(), length + 1);
  return length;
}

UINT WINAPI ModelGetSystemWindowsDirectoryA(LPSTR buffer, UINT size) {
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
  const std::string path = name;
  if (disposition == CREATE_NEW) {
    if (model->create_error != 0) return Fail(model->create_error);
    if (model->pending_delete_temp0 && EndsWith(path, kTemp0)) return Fail(ERROR_ACCESS_DENIED);
  }
  if (path == model->hosts) ++model->hosts_opens;
  if (path == model->hosts && (access & GENERIC_WRITE)) ++model->in_place_opens;
  if (path == model->hosts && access == 0) {
    if (model->on_identify) model->on_identify();
    if (model->identify_refusals > 0) {
      --model->identify_refusals;
      return Fail(ERROR_ACCESS_DENIED);  // as for a file whose delete is pending
    }
  }
  if (path == model->hosts && (access & (GENERIC_READ | GENERIC_WRITE)) &&
      model->writer_holds > 0) {
    --model->writer_holds;
    return Fail(ERROR_SHARING_VIOLATION);
  }
  const HANDLE handle = ::CreateFileA(name, access, share, sa, disposition, flags, templ);
  if (handle != INVALID_HANDLE_VALUE && path == model->hosts && access != 0) {
    model->hosts_handles.insert(handle);
  }
  return handle;
}

BOOL WINAPI ModelCloseHandle(HANDLE handle) {
  model->hosts_handles.erase(handle);
  return ::CloseHandle(handle);
}

BOOL WINAPI ModelWriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written,
                           LPOVERLAPPED overlapped) {
  if (model->write_error != 0) {
    SetLastError(model->write_error);
    return FALSE;
  }
  return ::WriteFile(file, data, size, written, overlapped);
}

BOOL WINAPI ModelReadFile(HANDLE file, LPVOID data, DWORD size, LPDWORD read,
                          LPOVERLAPPED overlapped) {
  if (model->read_error != 0) {
    SetLastError(model->read_error);
    return FALSE;
  }
  return ::ReadFile(file, data, size, read, overlapped);
}

BOOL WINAPI ModelSetEndOfFile(HANDLE file) {
  if (model->end_of_file_refusals > 0) {
    --model->end_of_file_refusals;
    SetLastError(ERROR_USER_MAPPED_FILE);
    return FALSE;
  }
  return ::SetEndOfFile(file);
}

HANDLE WINAPI ModelCreateMutexExA(LPSECURITY_ATTRIBUTES sa, LPCSTR name, DWORD flags,
                                  DWORD access) {
  if (model->mutex_refused) {
    SetLastError(ERROR_ACCESS_DENIED);  // another account's mutex of that name
    return nullptr;
  }
  return ::CreateMutexExA(sa, name, flags, access);
}

BOOL WINAPI ModelFlushFileBuffers(HANDLE file) {
  if (file == model->committed) model->flushed_after_commit = true;
  if (model->flush_error != 0) {
    SetLastError(model->flush_error);
    return FALSE;
  }
  return ::FlushFileBuffers(file);
}

BOOL WINAPI ModelGetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info) {
  const BOOL ok = ::GetFileInformationByHandle(file, info);
  if (!ok) return ok;
  const std::string path = PathOfHandle(file);
  if (model->links != 0 && path == Lower(model->hosts)) info->nNumberOfLinks = model->links;
  if (model->path_links.count(path)) info->nNumberOfLinks = model->path_links[path];
  if (model->attributes.count(path)) info->dwFileAttributes |= model->attributes[path];
  return ok;
}

DWORD WINAPI ModelGetFileAttributesA(LPCSTR name) {
  const DWORD attributes = ::GetFileAttributesA(name);
  if (!model->link_target.empty() && name == model->hosts) {
    return attributes | FILE_ATTRIBUTE_REPARSE_POINT;
  }
  return attributes;
}

DWORD WINAPI ModelGetFinalPathNameByHandleA(HANDLE file, LPSTR buffer, DWORD size, DWORD flags) {
  // The link at the hosts name: opening it through the link leads to its
  // target; a junction on the way, to where it points.
  const bool hosts = PathOfHandle(file) == Lower(model->hosts);
  const bool through_link = !model->link_target.empty() && hosts;
  const bool elsewhere = !model->opened_as.empty() && hosts && (flags & FILE_NAME_OPENED);
  if (hosts && (flags & FILE_NAME_OPENED) && model->opened_path_error != 0) {
    SetLastError(model->opened_path_error);
    return 0;
  }
  if (!through_link && !elsewhere) return ::GetFinalPathNameByHandleA(file, buffer, size, flags);
  if (model->final_path_error != 0) {
    SetLastError(model->final_path_error);
    return 0;
  }
  const std::string final_path = "\\\\?\\" + (elsewhere ? model->opened_as : model->link_target);
  if (size <= final_path.size()) return static_cast<DWORD>(final_path.size() + 1);
  std::memcpy(buffer, final_path.c_str(), final_path.size() + 1);
  return static_cast<DWORD>(final_path.size());
}

// A POSIX-semantics rename over a file this process holds: the held file is
// moved aside, so that its handles stay valid, and the new one takes the name.
BOOL PosixRename(HANDLE file, LPVOID info, DWORD size) {
  const std::string aside = model->hosts + ".held";
  const bool held = !model->hosts_handles.empty();
  if (held && !::MoveFileExA(model->hosts.c_str(), aside.c_str(), 0)) return FALSE;
  std::vector<char> classic(static_cast<const char*>(info), static_cast<const char*>(info) + size);
  const std::wstring target(model->hosts.begin(), model->hosts.end());
  classic.resize(sizeof(FILE_RENAME_INFO) + sizeof(WCHAR) * (target.size() + 1));
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(classic.data());
  rename->RootDirectory = nullptr;
  rename->FileNameLength = static_cast<DWORD>(sizeof(WCHAR) * target.size());
  std::memcpy(rename->FileName, target.c_str(), sizeof(WCHAR) * (target.size() + 1));
  const BOOL ok = ::SetFileInformationByHandle(file, FileRenameInfo, rename,
                                               static_cast<DWORD>(classic.size()));
  if (held) ::DeleteFileA(aside.c_str());
  model->renamed_while_held |= ok && held;
  return ok;
}

BOOL WINAPI ModelSetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind,
                                            LPVOID info, DWORD size) {
  const int kind_number = static_cast<int>(kind);
  BOOL ok = FALSE;
  if (kind_number == 22) {  // FileRenameInfoEx
    if (model->posix_rename_refusals > 0) {
      --model->posix_rename_refusals;
      SetLastError(model->posix_rename_error);
      return FALSE;
    }
    if (!model->posix_renames) {  // as on a Windows or volume without POSIX renames
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    ok = PosixRename(file, info, size);
  } else if (kind == FileRenameInfo) {
    if (model->rename_refusals > 0) {
      --model->rename_refusals;
      SetLastError(model->rename_error);
      return FALSE;
    }
    // Documented: a file that has open handles cannot be replaced.
    if (!model->hosts_handles.empty()) {
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
    ok = ::SetFileInformationByHandle(file, kind, info, size);
  } else {
    if (kind == FileDispositionInfo && model->disposition_refused) {
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
    return ::SetFileInformationByHandle(file, kind, info, size);
  }
  if (ok) model->committed = file;
  return ok;
}

HANDLE WINAPI ModelFindFirstFileA(LPCSTR name, LPWIN32_FIND_DATAA found) {
  if (model->pending_delete_temp0 && EndsWith(name, kTemp0)) {
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
  const std::wstring& each = model->names[next_name++];
  std::memcpy(name, each.c_str(), sizeof(WCHAR) * (each.size() + 1));
  *size = static_cast<DWORD>(each.size() + 1);
  return TRUE;
}

const HANDLE kNameSearch = reinterpret_cast<HANDLE>(0x4e414d45);

HANDLE WINAPI ModelFindFirstFileNameW(LPCWSTR, DWORD, LPDWORD size, PWSTR name) {
  next_name = 0;
  NextName(size, name);
  return kNameSearch;
}

BOOL WINAPI ModelFindNextFileNameW(HANDLE, LPDWORD size, PWSTR name) {
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
std::string ToSddl(PSECURITY_DESCRIPTOR descriptor) {
  char* sddl = nullptr;
  ::ConvertSecurityDescriptorToStringSecurityDescriptorA(
      descriptor, SDDL_REVISION_1,
      OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &sddl,
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
  std::string sddl;
  if (what & DACL_SECURITY_INFORMATION) {
    if (model->security_unreadable) return ERROR_ACCESS_DENIED;
    sddl = model->security;
  } else if (model->owners.count(PathOfHandle(object))) {
    sddl = "O:" + model->owners[PathOfHandle(object)];
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

DWORD WINAPI ModelWaitForSingleObject(HANDLE object, DWORD milliseconds) {
  if (model->mutex_timeouts > 0) {
    --model->mutex_timeouts;
    return WAIT_TIMEOUT;
  }
  const DWORD waited = ::WaitForSingleObject(object, milliseconds);
  return model->mutex_abandoned && waited == WAIT_OBJECT_0 ? WAIT_ABANDONED : waited;
}

BOOL WINAPI ModelSetProcessMitigationPolicy(PROCESS_MITIGATION_POLICY policy, PVOID flags, SIZE_T) {
  if (policy == 16) model->mitigation = *static_cast<DWORD*>(flags);
  return TRUE;
}

void WINAPI ModelSleep(DWORD milliseconds) { model->slept_ms += static_cast<int>(milliseconds); }

Win32Api ModelApi(const Model& m) {
  Win32Api api;
  api.GetEnvironmentVariableA = ModelGetEnvironmentVariableA;
  api.GetSystemWindowsDirectoryA = ModelGetSystemWindowsDirectoryA;
  api.CreateFileA = ModelCreateFileA;
  api.CloseHandle = ModelCloseHandle;
  api.ReadFile = ModelReadFile;
  api.WriteFile = ModelWriteFile;
  api.SetEndOfFile = ModelSetEndOfFile;
  api.CreateMutexExA = ModelCreateMutexExA;
  api.FlushFileBuffers = ModelFlushFileBuffers;
  api.GetFileInformationByHandle = ModelGetFileInformationByHandle;
  api.GetFileAttributesA = ModelGetFileAttributesA;
  api.GetFinalPathNameByHandleA = ModelGetFinalPathNameByHandleA;
  api.SetFileInformationByHandle = ModelSetFileInformationByHandle;
  api.FindFirstFileA = ModelFindFirstFileA;
  api.FindClose = ModelFindClose;
  // Wine has no FindFirstFileNameW; the model has it only where a row gives names.
  api.FindFirstFileNameW = m.names.empty() ? nullptr : ModelFindFirstFileNameW;
  api.FindNextFileNameW = m.names.empty() ? nullptr : ModelFindNextFileNameW;
  api.GetSecurityInfo = ModelGetSecurityInfo;
  api.SetSecurityInfo = ModelSetSecurityInfo;
  api.AdjustTokenPrivileges = ModelAdjustTokenPrivileges;
  api.WaitForSingleObject = ModelWaitForSingleObject;
  api.SetProcessMitigationPolicy = ModelSetProcessMitigationPolicy;
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

std::vector<std::string> Leftovers(const std::string& etc) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA found;
  const HANDLE search = ::FindFirstFileA((etc + "\\hosts.hosts_entry_tool-*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    names.push_back(found.cFileName);
  } while (::FindNextFileA(search, &found));
  ::FindClose(search);
  return names;
}

// The store's folder for the hosts file's component, as Windows 10 and 11 name it.
constexpr char kStoreFolder[] =
    "\\WinSxS\\amd64_microsoft-windows-w..ucture-other-minwin_31bf3856ad364e35_10.0.22621.1_none_"
    "0123456789abcdef";
constexpr char kStale[] = "hosts.hosts_entry_tool-7.tmp";
const std::string kAdded = "10.0.0.1 added.meanwhile\r\n";

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
    for (const std::string& file : {Etc() + "\\hosts", Etc() + "\\hosts.other-name",
                                    base_ + kStoreFolder + "\\hosts", base_ + "\\linked_hosts"}) {
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
    model = &m;
    const std::unique_ptr<FileSystem> fs = MakeWin32FileSystem(ModelApi(m));
    testing::internal::CaptureStderr();
    const int status = UpdateHostsFile(install, *fs);
    *err = testing::internal::GetCapturedStderr();
    model = nullptr;
    return status;
  }

  // The name of the lock for the hosts folder, as the tool forms it.
  std::string LockName() const {
    const HANDLE folder = ::CreateFileA(Etc().c_str(), 0, 7, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    BY_HANDLE_FILE_INFORMATION data;
    ::GetFileInformationByHandle(folder, &data);
    ::CloseHandle(folder);
    char name[80];
    std::snprintf(name, sizeof name, "Global\\hosts_entry_tool-%08lx-%08lx%08lx",
                  data.dwVolumeSerialNumber, data.nFileIndexHigh, data.nFileIndexLow);
    return name;
  }

  std::string base_;
};

TEST_F(Win32ModelTest, EveryDocumentedOutcomeKeepsThePromise) {
  struct Row {
    const char* outcome;  // the documented behaviour the row plays
    std::function<void(Model&)> set;
    int status;
    const char* says;          // what the error line names
    bool in_place;             // whether the file is rewritten in place
    bool stale_stays = false;  // whether a leftover of a killed run stays
    std::function<void(const Model&)> check = nullptr;
    std::string before = kOriginal;  // what the new content is computed from
  };
  const std::string store = base_ + kStoreFolder + "\\hosts";
  const std::wstring root_name(base_.begin() + 2, base_.end());  // without the drive
  const auto lock_squatted = [&](Model& m) {
    m.squatter = ::CreateMutexA(nullptr, TRUE, LockName().c_str());  // no owner of the system's
  };
  const auto privilege_off_after_use = [](const Model& m) {
    EXPECT_TRUE(m.privilege_used);
    EXPECT_FALSE(m.privilege_on);
  };
  const std::vector<Row> rows = {
      {"nothing in the way", [](Model&) {}, 0, "", false},
      {"CreateFile: ERROR_SHARING_VIOLATION while a writer holds the file, 3 times",
       [](Model& m) { m.writer_holds = 3; }, 0, "", false},
      {"CreateFile: ERROR_SHARING_VIOLATION, the writer never lets go",
       [](Model& m) { m.writer_holds = 1000; }, -1, "read: ", false},
      {"CreateFile CREATE_NEW: ERROR_ACCESS_DENIED on a name whose delete is pending",
       [](Model& m) { m.pending_delete_temp0 = true; }, 0, "", false},
      {"CreateFile CREATE_NEW: ERROR_ACCESS_DENIED, the folder takes no new file",
       [](Model& m) { m.create_error = ERROR_ACCESS_DENIED; }, 0, "", true},
      {"CreateFile CREATE_NEW: ERROR_IO_DEVICE: no rewrite in place",
       [](Model& m) { m.create_error = ERROR_IO_DEVICE; }, -1, "create temporary file", false},
      // Windows 10 1607 and later on NTFS: the rename replaces the file this
      // process holds.
      {"SetFileInformationByHandle FileRenameInfoEx: replaces the file held open",
       [](Model& m) { m.posix_renames = true; }, 0, "", false, false,
       [](const Model& m) { EXPECT_TRUE(m.renamed_while_held); }},
      {"FileRenameInfoEx: ERROR_SHARING_VIOLATION, a reader that does not share delete, 3 times",
       [](Model& m) {
         m.posix_renames = true;
         m.posix_rename_refusals = 3;
       },
       0, "", false},
      {"FileRenameInfoEx: ERROR_ACCESS_DENIED, 3 times",
       [](Model& m) {
         m.posix_renames = true;
         m.posix_rename_refusals = 3;
         m.posix_rename_error = ERROR_ACCESS_DENIED;
       },
       0, "", false},
      {"FileRenameInfoEx: ERROR_NOT_SUPPORTED",
       [](Model& m) {
         m.posix_rename_refusals = 1;
         m.posix_rename_error = ERROR_NOT_SUPPORTED;
       },
       0, "", false},
      {"FileRenameInfoEx: ERROR_INVALID_FUNCTION",
       [](Model& m) {
         m.posix_rename_refusals = 1;
         m.posix_rename_error = ERROR_INVALID_FUNCTION;
       },
       0, "", false},
      {"FileRenameInfoEx: ERROR_FILE_SYSTEM_LIMITATION (665)",
       [](Model& m) {
         m.posix_rename_refusals = 1;
         m.posix_rename_error = 665;
       },
       0, "", false},
      // Before Windows 10 1607, and on FAT: the file is let go before each rename.
      {"FileRenameInfoEx: ERROR_INVALID_PARAMETER; the file changes during pass 1",
       [](Model& m) {
         m.on_identify = [&m] {
           if (m.hosts_handles.empty() && ReadFileText(m.hosts) == kOriginal) {
             WriteFileText(m.hosts, kOriginal + kAdded);
           }
         };
       },
       0, "", false, false, nullptr, kOriginal + kAdded},
      {"SetFileInformationByHandle FileRenameInfo: ERROR_ACCESS_DENIED, the target is open, "
       "4 times",
       [](Model& m) {
         m.rename_refusals = 4;
         m.rename_error = ERROR_ACCESS_DENIED;
       },
       0, "", false},
      {"SetFileInformationByHandle FileRenameInfo: ERROR_SHARING_VIOLATION for half a minute",
       [](Model& m) { m.rename_refusals = 1000; }, -1, "replace: ", false, false,
       [](const Model& m) { EXPECT_EQ(m.slept_ms, 30000); }},
      {"SetFileInformationByHandle FileRenameInfo: ERROR_NOT_SAME_DEVICE, the name takes no "
       "replacement",
       [](Model& m) {
         m.rename_refusals = 1;
         m.rename_error = ERROR_NOT_SAME_DEVICE;
       },
       0, "", true},
      {"SetFileInformationByHandle FileRenameInfo: ERROR_IO_DEVICE: no rewrite in place",
       [](Model& m) {
         m.rename_refusals = 1;
         m.rename_error = ERROR_IO_DEVICE;
       },
       -1, "replace: ", false},
      {"FlushFileBuffers: ERROR_IO_DEVICE", [](Model& m) { m.flush_error = ERROR_IO_DEVICE; }, -1,
       "flush temporary file", false},
      {"WriteFile: ERROR_DISK_FULL", [](Model& m) { m.write_error = ERROR_DISK_FULL; }, -1,
       "write temporary file", false},
      {"SetSecurityInfo: ERROR_INVALID_OWNER, and SeRestorePrivilege not held",
       [](Model& m) { m.owner_refused = true; }, 0, "", true},
      {"SetSecurityInfo: ERROR_INVALID_OWNER until SeRestorePrivilege is on",
       [](Model& m) {
         m.owner_refused = true;
         m.privilege_held = true;
       },
       0, "", false, false, privilege_off_after_use},
      {"SetSecurityInfo: ERROR_ACCESS_DENIED", [](Model& m) { m.set_security_error = 5; }, 0, "",
       true},
      {"SetSecurityInfo: ERROR_IO_DEVICE: no rewrite in place",
       [](Model& m) { m.set_security_error = ERROR_IO_DEVICE; }, -1, "create temporary file",
       false},
      {"GetSecurityInfo: ERROR_ACCESS_DENIED", [](Model& m) { m.security_unreadable = true; }, 0,
       "", true},
      {"the hosts file belongs to a user: its owner is not handed on",
       [](Model& m) { m.security = "O:BUG:SYD:(A;;FA;;;SY)"; }, 0, "", true},
      {"a protected DACL stays protected",
       [](Model& m) { m.security = "O:SYG:SYD:PAI(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)"; }, 0,
       "", false, false,
       [](const Model& m) {
         EXPECT_EQ(m.copied, Sddl("O:SYG:SYD:(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)"));
         EXPECT_TRUE(m.copied_what & PROTECTED_DACL_SECURITY_INFORMATION);
       }},
      {"an inherited DACL stays inherited",
       [](Model& m) { m.security = "O:BAG:SYD:AI(A;ID;FA;;;SY)(A;ID;FA;;;BA)"; }, 0, "", false,
       false,
       [](const Model& m) {
         EXPECT_EQ(m.copied, Sddl("O:BAG:SYD:(A;ID;FA;;;SY)(A;ID;FA;;;BA)"));
         EXPECT_TRUE(m.copied_what & UNPROTECTED_DACL_SECURITY_INFORMATION);
       }},
      {"WaitForSingleObject: WAIT_TIMEOUT while another run updates, 3 times",
       [](Model& m) { m.mutex_timeouts = 3; }, 0, "", false},
      {"WaitForSingleObject: WAIT_ABANDONED, a killed run held the lock: its leftover goes",
       [](Model& m) { m.mutex_abandoned = true; }, 0, "", false},
      {"CreateMutexExA: ERROR_ACCESS_DENIED, another account's lock: on at once, no cleanup",
       [](Model& m) { m.mutex_refused = true; }, 0, "", false, true},
      {"the lock's name made first by a program that is not the system's: on at once, no cleanup",
       lock_squatted, 0, "", false, true},
      {"a leftover with a second name stays",
       [&](Model& m) { m.path_links[Lower(Etc() + "\\" + kStale)] = 2; }, 0, "", false, true},
      {"a leftover that belongs to a user stays",
       [&](Model& m) { m.owners[Lower(Etc() + "\\" + kStale)] = "BU"; }, 0, "", false, true},
      {"a leftover that is a link stays",
       [&](Model& m) { m.attributes[Lower(Etc() + "\\" + kStale)] = FILE_ATTRIBUTE_REPARSE_POINT; },
       0, "", false, true},
      {"GetFileInformationByHandle: nNumberOfLinks 2", [](Model& m) { m.links = 2; }, -1,
       "hard links", false},
      {"FindFirstFileNameW: the other name is the component store's",
       [&](Model& m) {
         m.links = 2;
         m.names = {root_name + L"\\System32\\drivers\\etc\\hosts",
                    root_name + std::wstring(kStoreFolder, kStoreFolder + sizeof kStoreFolder - 1) +
                        L"\\hosts"};
       },
       0, "", false},
      {"FindFirstFileNameW: the other name is elsewhere",
       [&](Model& m) {
         m.links = 2;
         m.names = {root_name + L"\\System32\\drivers\\etc\\hosts", L"\\Users\\x\\hosts"};
       },
       -1, "hard links", false},
      {"no FindFirstFileNameW (Wine): the store's copy is found by its file ID",
       [&](Model&) { ::CreateHardLinkA(store.c_str(), Etc().append("\\hosts").c_str(), nullptr); },
       0, "", false, false, [&](const Model&) { EXPECT_EQ(ReadFileText(store), kOriginal); }},
      {"no FindFirstFileNameW (Wine): two names, and an unrelated file in the store's folder",
       [&](Model& m) {
         m.links = 2;
         WriteFileText(store, kOriginal);
       },
       -1, "2 names", false},
      {"no FindFirstFileNameW (Wine): a second name outside the store",
       [&](Model&) {
         ::CreateHardLinkA((Etc() + "\\hosts.other-name").c_str(), (Etc() + "\\hosts").c_str(),
                           nullptr);
       },
       -1, "2 names", false},
      {"ReadFile: ERROR_IO_DEVICE", [](Model& m) { m.read_error = ERROR_IO_DEVICE; }, -1,
       "read: ", false},
      {"CreateFile of the name without access: ERROR_ACCESS_DENIED, its delete is pending",
       [](Model& m) { m.identify_refusals = 1; }, -1, "check for changes", false},
      {"SetEndOfFile: ERROR_USER_MAPPED_FILE while rewriting in place, once",
       [](Model& m) {
         m.create_error = ERROR_ACCESS_DENIED;
         m.end_of_file_refusals = 1;
       },
       -1, "the original content was written back", true},
      {"GetFinalPathNameByHandleA: ERROR_NOT_ENOUGH_MEMORY for the hosts file as opened",
       [](Model& m) { m.opened_path_error = ERROR_NOT_ENOUGH_MEMORY; }, -1,
       "cannot tell where the file is", false},
      {"a junction on the way leads the hosts name out of its folder",
       [&](Model& m) { m.opened_as = base_ + "\\elsewhere\\hosts"; }, -1, "leads out of its folder",
       false},
      {"the hosts folder is a reparse point",
       [&](Model& m) { m.attributes[Lower(Etc())] = FILE_ATTRIBUTE_REPARSE_POINT; }, -1,
       "open the folder", false, true},
      {"a symbolic link of the system's into a folder of the system's",
       [&](Model& m) {
         m.link_target = base_ + "\\linked_hosts";
         m.owners[Lower(Etc() + "\\hosts")] = "SY";
         m.owners[Lower(base_)] = "BA";
       },
       0, "", false, true},
      {"a symbolic link that belongs to a user",
       [&](Model& m) {
         m.link_target = base_ + "\\linked_hosts";
         m.owners[Lower(Etc() + "\\hosts")] = "BU";
         m.owners[Lower(base_)] = "SY";
       },
       -1, "the link: it belongs to S-1-5-32-545", false, true},
      {"a symbolic link into a folder that belongs to a user",
       [&](Model& m) {
         m.link_target = base_ + "\\linked_hosts";
         m.owners[Lower(Etc() + "\\hosts")] = "SY";
       },
       -1, "the folder it leads to", false, true},
      {"GetFinalPathNameByHandleA: ERROR_PATH_NOT_FOUND for a symbolic link",
       [&](Model& m) {
         m.link_target = base_ + "\\linked_hosts";
         m.final_path_error = ERROR_PATH_NOT_FOUND;
       },
       -1, "follow the symbolic link", false, true},
      {"SystemRoot empty", [](Model& m) { m.root = ""; }, -1, "SystemRoot", false, true},
      {"SystemRoot relative", [](Model& m) { m.root = "Windows"; }, -1, "not an absolute path",
       false, true},
      {"SystemRoot relative to a drive", [](Model& m) { m.root = "C:Windows"; }, -1,
       "relative to a drive", false, true},
      {"SystemRoot a network path", [](Model& m) { m.root = "\\\\host\\share"; }, -1,
       "network or device path", false, true},
      {"SystemRoot a device path", [&](Model& m) { m.root = "\\\\?\\" + base_; }, -1,
       "network or device path", false, true},
      {"SystemRoot another folder", [&](Model& m) { m.root = base_ + "\\elsewhere"; }, -1,
       "is not the Windows directory", false, true},
      // The files are then opened through the system's own spelling of it.
      {"SystemRoot the same folder in capitals", [&](Model& m) { m.root = Upper(base_); }, 0, "",
       false, false, [](const Model& m) { EXPECT_GT(m.hosts_opens, 0); }},
      {"SystemRoot the same folder with a trailing backslash",
       [&](Model& m) { m.root = base_ + "\\"; }, 0, "", false, false,
       [](const Model& m) { EXPECT_GT(m.hosts_opens, 0); }},
      {"GetSystemWindowsDirectoryA: 0", [](Model& m) { m.windows_unreadable = true; }, -1,
       "the Windows directory cannot be read", false, true},
  };
  for (const Row& row : rows) {
    for (const bool install : {true, false}) {
      const std::string label = std::string(row.outcome) + (install ? " (install)" : "");
      WriteFileText(Etc() + "\\hosts", kOriginal);
      WriteFileText(Etc() + "\\" + kStale, "a killed run's");
      Model m;
      m.security = "O:" + SidOfThisProcess() + "G:SYD:(A;;FA;;;SY)";
      row.set(m);
      // A link's target is rewritten, and the link stays as it is.
      const std::string file = m.link_target.empty() ? Etc() + "\\hosts" : m.link_target;
      if (!m.link_target.empty()) WriteFileText(file, kOriginal);
      std::string err;
      const int status = Run(m, install, &err);
      if (m.squatter != nullptr) ::CloseHandle(m.squatter);
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
      if (!m.link_target.empty()) {
        EXPECT_EQ(ReadFileText(Etc() + "\\hosts"), kOriginal) << label;
      }
      EXPECT_EQ(m.in_place_opens > 0, row.in_place) << label;
      EXPECT_LE(m.slept_ms, 30000) << label;
      EXPECT_EQ(m.mitigation, 1u) << label;  // RedirectionGuard on
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
  EXPECT_EQ(Run(failing, true, &err), -1);
  EXPECT_NE(err.find(std::string(kTemp0) + " could not be removed"), std::string::npos) << err;
  EXPECT_EQ(ReadFileText(Etc() + "\\hosts"), RewrittenHostsText(kOriginal, true));
  EXPECT_EQ(Leftovers(Etc()), std::vector<std::string>{kTemp0});
  Model next;
  EXPECT_EQ(Run(next, true, &err), 0) << err;
  EXPECT_EQ(Leftovers(Etc()), std::vector<std::string>());
}

// No file yet, and another program creates one just before the rename: the
// rename does not replace it (ERROR_ALREADY_EXISTS), and the update starts
// over on that file.
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

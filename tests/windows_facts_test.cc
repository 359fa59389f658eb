// Facts about Windows that the Windows layer and its model rely on, each
// checked by calling Win32 or ntdll directly on files in a temporary folder,
// not through the tool, and each naming the page or public report it rests
// on. Under Wine the answers in kWineDifferences are expected instead, each
// with its reason; a difference that appears or goes away fails the test, so
// that a Wine upgrade that changes a fact is noticed. The report (the
// Windows build, the temporary and current folders, each fact and its
// answer, the machine's hosts file's names) goes to standard output, and to
// the file HOSTS_FACTS_REPORT names, a line at a time as each fact ends.

#include <gtest/gtest.h>
#include <windows.h>
// windows.h first
#include <aclapi.h>
#include <sddl.h>
#include <winternl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "hosts/win32_api.h"
#include "hosts/win32_support.h"
#include "hosts/win32_trust.h"
#include "tests/windows_facts.h"

namespace hosts {
namespace {

const auto NtSetInfo =
    SystemFunction<NtSetInformationFileFunction>("ntdll.dll", "NtSetInformationFile");
const auto NtCreate = SystemFunction<NtCreateFileFunction>("ntdll.dll", "NtCreateFile");
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// A folder of the fact's own, and the calls the facts share.
struct Scratch {
  std::string dir;
  HANDLE folder = INVALID_HANDLE_VALUE;
  std::vector<HANDLE> open;

  std::string Path(const std::string& name) const { return dir + "\\" + name; }
  HANDLE Open(const std::string& name, DWORD access, DWORD share, DWORD flags = 0) {
    const HANDLE h = ::CreateFileA(Path(name).c_str(), access, share, nullptr, OPEN_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL | flags, nullptr);
    open.push_back(h);
    return h;
  }
  // Renames `file` to `name` in the folder, named relative to its handle,
  // with the buffer the layer builds.
  LONG Rename(HANDLE file, const std::string& name, ULONG flags, ULONG kind) const {
    std::vector<char> buffer = RenameInfo(flags, folder, name);
    IO_STATUS_BLOCK io{};
    return NtSetInfo(file, &io, buffer.data(), static_cast<ULONG>(buffer.size()), kind);
  }
};

std::string Answer(BOOL ok) { return ok ? "ok" : "error " + std::to_string(GetLastError()); }
std::string Answer(HANDLE h) { return Answer(h != INVALID_HANDLE_VALUE); }
std::string NtAnswer(LONG status) {
  char text[32];
  std::snprintf(text, sizeof text, "status 0x%08lx", static_cast<unsigned long>(status));
  return status == 0 ? "ok" : text;
}

const auto kFindFirstFileName =
    SystemFunction<FindFirstFileNameWFunction>("kernel32.dll", "FindFirstFileNameW");
const auto kFindNextFileName =
    SystemFunction<FindNextFileNameWFunction>("kernel32.dll", "FindNextFileNameW");

// Every name of the file `path`, as FindFirstFileNameW lists them; none
// where there is no such call.
std::vector<std::string> NamesOf(const std::string& path) {
  std::vector<std::string> names;
  WCHAR name[MAX_PATH];
  DWORD size = MAX_PATH;
  const std::wstring wide(path.begin(), path.end());
  const HANDLE search = kFindFirstFileName == nullptr
                            ? INVALID_HANDLE_VALUE
                            : kFindFirstFileName(wide.c_str(), 0, &size, name);
  for (bool more = search != INVALID_HANDLE_VALUE; more;) {
    names.emplace_back();
    for (const WCHAR* c = name; *c != L'\0'; ++c) names.back() += static_cast<char>(*c);
    size = MAX_PATH;
    more = kFindNextFileName(search, &size, name) != 0;
  }
  if (search != INVALID_HANDLE_VALUE) ::FindClose(search);
  return names;
}

// Whether the handle `h` answers a query of the file's attributes
// (FileAttributeTagInfo, which needs FILE_READ_ATTRIBUTES).
std::string AttributesAnswer(HANDLE h) {
  FILE_ATTRIBUTE_TAG_INFO data{};
  return Answer(::GetFileInformationByHandleEx(h, FileAttributeTagInfo, &data, sizeof data));
}

// Has another program hold the fact's folder as any user who may list it
// could: for listing, sharing nothing. The fact's own handle to the folder
// is first opened again for its attributes alone, as the layer's is, which
// no sharing conflicts with (its listing handle would refuse the holder).
// False where the holder could not open it.
bool HoldFolderSharingNothing(Scratch& s) {
  ::CloseHandle(s.folder);
  s.folder = ::CreateFileA(s.dir.c_str(), FILE_READ_ATTRIBUTES | SYNCHRONIZE, kShareAll, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  const HANDLE holder = ::CreateFileA(s.dir.c_str(), FILE_LIST_DIRECTORY, 0, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (holder == INVALID_HANDLE_VALUE) return false;
  s.open.push_back(holder);
  return true;
}

// Renames a new file over one held open with `share`: the rename's answer.
std::string RenameOverHeld(Scratch& s, DWORD share, ULONG flags, ULONG kind) {
  s.Open("target", GENERIC_READ, share);
  return NtAnswer(s.Rename(s.Open("source", GENERIC_WRITE | DELETE, 0), "target", flags, kind));
}

// An oplock of `level` (0 for a batch oplock) on `name` in the fact's
// folder, held through an overlapped FSCTL that stays pending while the
// oplock is granted and completes when it breaks. The I/O manager writes the
// request's OVERLAPPED and output buffer when it completes, whenever that is,
// so they live on the heap and are freed only after it has; the handle and
// event are this object's alone, closed once.
class Oplock {
 public:
  Oplock(Scratch& s, const std::string& name, DWORD level) : request_(new Request) {
    Request& r = *request_;
    r.file = ::CreateFileA(s.Path(name).c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (r.file == INVALID_HANDLE_VALUE) {
      refused_ = "no oplock: open: " + Answer(FALSE);
      return;
    }
    r.overlapped.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (r.overlapped.hEvent == nullptr) {
      refused_ = "no oplock: event: " + Answer(FALSE);
      return;
    }
    r.in = {REQUEST_OPLOCK_CURRENT_VERSION, sizeof r.in, level, REQUEST_OPLOCK_INPUT_FLAG_REQUEST};
    r.out.StructureVersion = REQUEST_OPLOCK_CURRENT_VERSION;
    r.out.StructureLength = static_cast<WORD>(sizeof r.out);
    const BOOL ok = level == 0 ? ::DeviceIoControl(r.file, FSCTL_REQUEST_BATCH_OPLOCK, nullptr, 0,
                                                   nullptr, 0, nullptr, &r.overlapped)
                               : ::DeviceIoControl(r.file, FSCTL_REQUEST_OPLOCK, &r.in, sizeof r.in,
                                                   &r.out, sizeof r.out, nullptr, &r.overlapped);
    if (ok || GetLastError() != ERROR_IO_PENDING) {
      refused_ = "no oplock: error " + std::to_string(ok ? 0 : GetLastError());
      return;
    }
    pending_ = true;
  }
  Oplock(const Oplock&) = delete;
  Oplock& operator=(const Oplock&) = delete;
  ~Oplock() { Release(); }

  // Empty while the oplock is held; otherwise why there is none.
  const std::string& refused() const { return refused_; }

  // Lets go of the oplock: cancels its request if it is still pending
  // (ERROR_NOT_FOUND: it completed, with a break), waits until the request
  // has completed, then closes the handle, which acknowledges a break, and
  // the event. A request that does not complete within ten seconds keeps its
  // memory and handles for the rest of the process.
  void Release() {
    if (request_ == nullptr) return;
    if (pending_) {
      ::CancelIoEx(request_->file, &request_->overlapped);
      if (::WaitForSingleObject(request_->overlapped.hEvent, 10000) != WAIT_OBJECT_0) {
        static_cast<void>(request_.release());  // still the I/O manager's to write
        return;
      }
    }
    if (request_->file != INVALID_HANDLE_VALUE) ::CloseHandle(request_->file);
    if (request_->overlapped.hEvent != nullptr) ::CloseHandle(request_->overlapped.hEvent);
    request_.reset();
  }

 private:
  struct Request {
    HANDLE file = INVALID_HANDLE_VALUE;
    OVERLAPPED overlapped{};
    REQUEST_OPLOCK_INPUT_BUFFER in{};
    REQUEST_OPLOCK_OUTPUT_BUFFER out{};
  };
  std::unique_ptr<Request> request_;
  bool pending_ = false;
  std::string refused_;
};

// What a call that waits for an oplock's holder answers when its thread's
// waiting I/O is cancelled: `wait` runs on a thread of its own while a
// Read-Handle oplock on "target" goes unacknowledged, and is cancelled after
// a second.
std::string CancelWaiting(Scratch& s, LONG (*wait)(Scratch&)) {
  Oplock oplock(s, "target", OPLOCK_LEVEL_CACHE_READ | OPLOCK_LEVEL_CACHE_HANDLE);
  if (!oplock.refused().empty()) return oplock.refused();
  struct Call {
    Scratch* s;
    LONG (*wait)(Scratch&);
    LONG status;
  } call{&s, wait, 1};
  const HANDLE thread = ::CreateThread(
      nullptr, 0,
      [](void* argument) -> DWORD {
        auto* c = static_cast<Call*>(argument);
        c->status = c->wait(*c->s);
        return 0;
      },
      &call, 0, nullptr);
  const bool waited = ::WaitForSingleObject(thread, 1000) == WAIT_TIMEOUT;
  ::CancelSynchronousIo(thread);
  const bool ended = ::WaitForSingleObject(thread, 5000) == WAIT_OBJECT_0;
  oplock.Release();  // lets anything still waiting go on
  ::WaitForSingleObject(thread, INFINITE);
  ::CloseHandle(thread);
  if (!waited) return "did not wait: " + NtAnswer(call.status);
  return ended ? NtAnswer(call.status) : std::string("still waiting when cancelled");
}

bool Elevated() {
  HANDLE token = nullptr;
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  const bool known =
      ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token) &&
      ::GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size);
  if (token != nullptr) ::CloseHandle(token);
  return known && elevation.TokenIsElevated != 0;
}

struct Fact {
  const char* name;
  const char* source;   // the page or public report it rests on
  const char* windows;  // Windows' answer; "a|b" where it depends on the build
  std::function<std::string(Scratch&)> observe;
};

const std::vector<Fact>& Facts() {
  static const std::vector<Fact> facts = {
      {"posix rename replaces a file held open sharing delete",
       "learn.microsoft.com: FILE_RENAME_INFORMATION (ntifs.h), FILE_RENAME_POSIX_SEMANTICS", "ok",
       [](Scratch& s) { return RenameOverHeld(s, kShareAll, 3, 65); }},
      {"posix rename refused while a holder does not share delete",
       "learn.microsoft.com: FILE_RENAME_INFORMATION; the target is opened for delete",
       "status 0xc0000043|status 0xc0000022",
       [](Scratch& s) { return RenameOverHeld(s, FILE_SHARE_READ, 3, 65); }},
      {"classic rename refused over an open target",
       "learn.microsoft.com: MS-FSA 2.1.5.15.12 FileRenameInformation (ReplaceIfExists)",
       "status 0xc0000022", [](Scratch& s) { return RenameOverHeld(s, kShareAll, 1, 10); }},
      {"SetFileInformationByHandle with a RootDirectory",
       "learn.microsoft.com: FILE_RENAME_INFO, RootDirectory (one revision: the folder the file is "
       "in; another: the folder it is renamed into); reports of kernelbase answering 87. Left "
       "open: the layer renames through NtSetInformationFile",
       "error 87|ok",
       [](Scratch& s) {
         std::vector<char> b(sizeof(FILE_RENAME_INFO) + 16);
         auto* info = reinterpret_cast<FILE_RENAME_INFO*>(b.data());
         info->RootDirectory = s.folder;
         info->FileNameLength = 2 * sizeof(WCHAR);
         std::memcpy(info->FileName, L"rr", 3 * sizeof(WCHAR));
         return Answer(::SetFileInformationByHandle(s.Open("source", DELETE, 0), FileRenameInfo,
                                                    info, static_cast<DWORD>(b.size())));
       }},
      {"NtSetInformationFile renames relative to a RootDirectory",
       "learn.microsoft.com: FILE_RENAME_INFORMATION, RootDirectory", "ok",
       [](Scratch& s) {
         return NtAnswer(s.Rename(s.Open("source", GENERIC_WRITE | DELETE, 0), "renamed", 0, 10));
       }},
      {"FindFirstFileNameW lists every name", "learn.microsoft.com: FindFirstFileNameW", "2 names",
       [](Scratch& s) {
         if (kFindFirstFileName == nullptr) return std::string("no such call");
         ::CloseHandle(s.Open("one", GENERIC_WRITE, kShareAll));
         ::CreateHardLinkA(s.Path("two").c_str(), s.Path("one").c_str(), nullptr);
         return std::to_string(NamesOf(s.Path("one")).size()) + " names";
       }},
      {"FILE_NAME_OPENED names the hard link opened",
       "learn.microsoft.com: GetFinalPathNameByHandleA, FILE_NAME_OPENED", "the name opened",
       [](Scratch& s) {
         ::CloseHandle(s.Open("one", GENERIC_WRITE, kShareAll));
         ::CreateHardLinkA(s.Path("two").c_str(), s.Path("one").c_str(), nullptr);
         char path[MAX_PATH];
         const DWORD n = ::GetFinalPathNameByHandleA(s.Open("two", GENERIC_READ, kShareAll), path,
                                                     MAX_PATH, FILE_NAME_OPENED);
         if (n == 0 || n >= MAX_PATH) return Answer(FALSE);
         return std::string(path).substr(n - 4) == "\\two" ? std::string("the name opened") : path;
       }},
      {"SetProcessMitigationPolicy takes RedirectionGuard",
       "learn.microsoft.com: PROCESS_MITIGATION_REDIRECTION_TRUST_POLICY", "ok|error 87",
       [](Scratch&) {
         const auto set = SystemFunction<SetProcessMitigationPolicyFunction>(
             "kernel32.dll", "SetProcessMitigationPolicy");
         DWORD flags = 1;
         return set == nullptr
                    ? std::string("no such call")
                    : Answer(set(static_cast<PROCESS_MITIGATION_POLICY>(16), &flags, sizeof flags));
       }},
      {"the lock's descriptor keeps a standard user out",
       "learn.microsoft.com: CreateRestrictedToken, SidsToDisable (deny-only Administrators)",
       "error 5",
       [](Scratch& s) {
         const LocalMemory security = LockSecurity();
         SECURITY_ATTRIBUTES sa{sizeof sa, security.get(), FALSE};
         ::CloseHandle(::CreateFileA(s.Path("lock").c_str(), GENERIC_READ, 0, &sa, CREATE_NEW,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
         HANDLE token = nullptr;
         HANDLE restricted = nullptr;
         PSID admins = nullptr;
         ::ConvertStringSidToSidA("S-1-5-32-544", &admins);
         SID_AND_ATTRIBUTES disabled{admins, 0};
         ::OpenProcessToken(::GetCurrentProcess(), TOKEN_ALL_ACCESS, &token);
         if (!::CreateRestrictedToken(token, DISABLE_MAX_PRIVILEGE, 1, &disabled, 0, nullptr, 0,
                                      nullptr, &restricted) ||
             !::ImpersonateLoggedOnUser(restricted)) {
           return std::string("cannot be checked here: ") + Answer(FALSE);
         }
         const HANDLE h = ::CreateFileA(s.Path("lock").c_str(), GENERIC_READ, kShareAll, nullptr,
                                        OPEN_EXISTING, 0, nullptr);
         const std::string answer = Answer(h);
         ::RevertToSelf();
         ::CloseHandle(h);
         ::CloseHandle(restricted);
         ::CloseHandle(token);
         ::LocalFree(admins);
         return answer;
       }},
      {"an administrator opens a file with the lock's descriptor",
       "learn.microsoft.com: Security Descriptor String Format; the process runs elevated", "ok",
       [](Scratch& s) {
         if (!Elevated()) return std::string("cannot be checked here: not elevated");
         const LocalMemory security = LockSecurity();
         SECURITY_ATTRIBUTES sa{sizeof sa, security.get(), FALSE};
         ::CloseHandle(::CreateFileA(s.Path("lock").c_str(), GENERIC_READ, 0, &sa, CREATE_NEW,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
         return Answer(s.Open("lock", GENERIC_READ | DELETE, 0));
       }},
      {"setting another account as owner needs the restore privilege",
       "learn.microsoft.com: SetSecurityInfo, ERROR_INVALID_OWNER; SeRestorePrivilege",
       "error 1307",
       [](Scratch& s) {
         PSID system = nullptr;
         ::ConvertStringSidToSidA("S-1-5-18", &system);
         const DWORD error =
             ::SetSecurityInfo(s.Open("owned", WRITE_OWNER, kShareAll), SE_FILE_OBJECT,
                               OWNER_SECURITY_INFORMATION, system, nullptr, nullptr, nullptr);
         ::LocalFree(system);
         return error == 0 ? std::string("ok") : "error " + std::to_string(error);
       }},
      {"FlushFileBuffers after a rename", "learn.microsoft.com: FlushFileBuffers", "ok",
       [](Scratch& s) {
         const HANDLE h = s.Open("source", GENERIC_WRITE | DELETE, 0);
         s.Rename(h, "renamed", 0, 10);
         return Answer(::FlushFileBuffers(h));
       }},
      {"FILE_CREATE on a name whose delete is pending",
       "learn.microsoft.com: NtCreateFile; STATUS_DELETE_PENDING, a file marked for deletion",
       "status 0xc0000056",
       [](Scratch& s) {
         s.Open("pending", GENERIC_READ, kShareAll);
         FILE_DISPOSITION_INFO delete_it{TRUE};
         const HANDLE h = s.Open("pending", DELETE, kShareAll);
         ::SetFileInformationByHandle(h, FileDispositionInfo, &delete_it, sizeof delete_it);
         ::CloseHandle(h);
         s.open.pop_back();
         HANDLE created = INVALID_HANDLE_VALUE;
         const LONG status =
             OpenRelative(Win32Api(), s.folder, L"pending", GENERIC_WRITE, 0, 2, 0x40, &created);
         s.open.push_back(created);
         return NtAnswer(status);
       }},
      {"POSIX delete frees the name while held",
       "learn.microsoft.com: FILE_DISPOSITION_INFORMATION_EX, FILE_DISPOSITION_POSIX_SEMANTICS: "
       "the name goes when the deleting handle is closed, while other handles still hold the file",
       "ok",
       [](Scratch& s) {
         s.Open("posix", GENERIC_READ, kShareAll);  // another program's, held throughout
         const HANDLE deleting = ::CreateFileA(s.Path("posix").c_str(), DELETE, kShareAll, nullptr,
                                               OPEN_EXISTING, 0, nullptr);
         DWORD flags = 3;  // delete, with POSIX semantics
         const bool deleted = ::SetFileInformationByHandle(
             deleting, static_cast<FILE_INFO_BY_HANDLE_CLASS>(21), &flags, sizeof flags);
         const std::string refused = "delete: " + Answer(FALSE);
         ::CloseHandle(deleting);
         if (!deleted) return refused;
         // A new file at the name, while the first is still held.
         const HANDLE made = ::CreateFileA(s.Path("posix").c_str(), GENERIC_WRITE, 0, nullptr,
                                           CREATE_NEW, 0, nullptr);
         s.open.push_back(made);
         return Answer(made);
       }},
      {"an open that meets an oplock completes at once",
       "learn.microsoft.com: NtCreateFile, FILE_COMPLETE_IF_OPLOCKED; Breaking Opportunistic Locks",
       "status 0x00000108",
       [](Scratch& s) {
         const Oplock oplock(s, "oplocked", 0);
         if (!oplock.refused().empty()) return oplock.refused();
         UNICODE_STRING name{2 * 8, 2 * 8, const_cast<PWSTR>(L"oplocked")};
         OBJECT_ATTRIBUTES attributes{};
         attributes.Length = sizeof attributes;
         attributes.RootDirectory = s.folder;
         attributes.ObjectName = &name;
         IO_STATUS_BLOCK io{};
         HANDLE h = nullptr;
         const LONG status = NtCreate(&h, GENERIC_READ | SYNCHRONIZE, &attributes, &io, nullptr, 0,
                                      kShareAll, 1, 0x120, nullptr, 0);
         s.open.push_back(h);
         return NtAnswer(status);
       }},
      {"a POSIX replace of a file a Read-Handle oplock is on",
       "learn.microsoft.com: Checking the Oplock State of an IRP_MJ_SET_INFORMATION operation "
       "names the file renamed, not the one it replaces. Left open: where it waits, the run's "
       "deadline ends it",
       "waits|answered ok",
       [](Scratch& s) {
         Oplock oplock(s, "target", OPLOCK_LEVEL_CACHE_READ | OPLOCK_LEVEL_CACHE_HANDLE);
         if (!oplock.refused().empty()) return oplock.refused();
         const HANDLE source = s.Open("source", GENERIC_WRITE | DELETE, 0);
         std::atomic<LONG> status{1};
         std::thread rename([&] { status = s.Rename(source, "target", 3, 65); });
         std::this_thread::sleep_for(std::chrono::seconds(1));
         const bool waited = status == 1;
         oplock.Release();  // lets the rename go on
         rename.join();
         return waited ? std::string("waits") : "answered " + NtAnswer(status);
       }},
      {"a rename waiting for a Read-Handle oplock's holder ends when cancelled",
       "learn.microsoft.com: Checking the Oplock State of an IRP_MJ_SET_INFORMATION operation (a "
       "rename of the file a Read-Handle oplock is on waits for the break's acknowledgment); "
       "CancelSynchronousIo; MS-FSA 2.1.4.12",
       "status 0xc0000120",
       [](Scratch& s) {
         return CancelWaiting(s, [](Scratch& scratch) {
           return scratch.Rename(scratch.Open("target", DELETE, kShareAll), "renamed", 0, 10);
         });
       }},
      {"a delete waiting for a Read-Handle oplock's holder ends when cancelled",
       "learn.microsoft.com: Checking the Oplock State of an IRP_MJ_SET_INFORMATION operation "
       "(FileDispositionInformation, DeleteFile TRUE, waits for the break's acknowledgment); "
       "CancelSynchronousIo",
       "status 0xc0000120",
       [](Scratch& s) {
         return CancelWaiting(s, [](Scratch& scratch) {
           BOOLEAN delete_it = TRUE;  // FILE_DISPOSITION_INFORMATION
           IO_STATUS_BLOCK io{};
           return NtSetInfo(scratch.Open("target", DELETE, kShareAll), &io, &delete_it,
                            sizeof delete_it, 13);  // FileDispositionInformation
         });
       }},
      {"a relative open through a folder held for its attributes alone",
       "learn.microsoft.com: NtCreateFile, OBJECT_ATTRIBUTES RootDirectory", "ok",
       [](Scratch& s) {
         ::CloseHandle(s.Open("inside", GENERIC_WRITE, kShareAll));
         HANDLE folder = INVALID_HANDLE_VALUE;
         HANDLE inside = INVALID_HANDLE_VALUE;
         LONG status =
             OpenRelative(Win32Api(), nullptr, L"\\??\\" + Wide(s.dir),
                          FILE_READ_ATTRIBUTES | READ_CONTROL, kShareAll, 1, 0x1, &folder);
         if (status >= 0) {
           s.open.push_back(folder);
           status = OpenRelative(Win32Api(), folder, L"inside", GENERIC_READ, kShareAll, 1, 0x40,
                                 &inside);
           s.open.push_back(inside);
         }
         return NtAnswer(status);
       }},
      {"a rename into a folder held without sharing writes is refused",
       "learn.microsoft.com: Set File Information Processing (the open of the target's folder); "
       "CreateFile, dwShareMode",
       "status 0xc0000043",
       [](Scratch& s) {
         // The rename names its target relative to a handle held for the
         // folder's attributes alone, as the layer's is.
         const HANDLE source = s.Open("source", GENERIC_WRITE | DELETE, 0);
         if (!HoldFolderSharingNothing(s)) return "no holder: " + Answer(FALSE);
         return NtAnswer(s.Rename(source, "renamed", 0, 10));
       }},
      {"a rename within its folder, by a name alone, goes while the folder is held without "
       "sharing",
       "learn.microsoft.com: FILE_RENAME_INFORMATION (RootDirectory NULL and a simple name: "
       "renamed within the same directory)",
       "ok",
       [](Scratch& s) {
         const HANDLE source = s.Open("source", GENERIC_WRITE | DELETE, 0);
         if (!HoldFolderSharingNothing(s)) return "no holder: " + Answer(FALSE);
         std::vector<char> buffer = RenameInfo(0, nullptr, "renamed");
         IO_STATUS_BLOCK io{};
         return NtAnswer(
             NtSetInfo(source, &io, buffer.data(), static_cast<ULONG>(buffer.size()), 10));
       }},
      {"a read of a part another program has locked",
       "learn.microsoft.com: LockFileEx (an exclusive lock denies other handles read access)",
       "error 33",
       [](Scratch& s) {
         DWORD done = 0;
         ::WriteFile(s.Open("locked", GENERIC_WRITE, kShareAll), "x", 1, &done, nullptr);
         OVERLAPPED part{};
         ::LockFileEx(s.Open("locked", GENERIC_READ, kShareAll), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0,
                      &part);
         char byte;
         return Answer(
             ::ReadFile(s.Open("locked", GENERIC_READ, kShareAll), &byte, 1, &done, nullptr));
       }},
      {"a lock on all of a file a reader has locked a part of",
       "learn.microsoft.com: LockFileEx, LOCKFILE_FAIL_IMMEDIATELY", "error 33",
       [](Scratch& s) {
         OVERLAPPED part{};
         OVERLAPPED whole{};
         ::LockFileEx(s.Open("locked", GENERIC_READ, kShareAll), 0, 0, 1, 0, &part);
         return Answer(::LockFileEx(s.Open("locked", GENERIC_READ | GENERIC_WRITE, kShareAll),
                                    LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0,
                                    MAXDWORD, MAXDWORD, &whole));
       }},
      {"a device name under a folder", "learn.microsoft.com: Naming Files, reserved names",
       "\\\\.\\COM1|C:\\folder\\COM1",
       [](Scratch&) {
         char full[MAX_PATH];
         ::GetFullPathNameA("C:\\folder\\COM1", MAX_PATH, full, nullptr);
         return std::string(full);
       }},
      {"SetDefaultDllDirectories skips the program's folder",
       "learn.microsoft.com: SetDefaultDllDirectories, LOAD_LIBRARY_SEARCH_SYSTEM32", "error 126",
       [](Scratch&) {
         ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
         const HMODULE planted = ::LoadLibraryA("hosts_facts_planted.dll");
         const std::string answer = Answer(planted != nullptr);
         if (planted != nullptr) ::FreeLibrary(planted);
         // The control: the DLL is there and loads when the program's folder
         // is asked for by name, so a missing DLL cannot pass as error 126.
         const HMODULE beside = ::LoadLibraryExA("hosts_facts_planted.dll", nullptr,
                                                 LOAD_LIBRARY_SEARCH_APPLICATION_DIR);
         const std::string control = beside == nullptr ? "the program's folder: " + Answer(FALSE)
                                     : ::GetProcAddress(beside, "HostsFactsPlanted") == nullptr
                                         ? "not the planted DLL"
                                         : "";
         if (beside != nullptr) ::FreeLibrary(beside);
         return control.empty() ? answer : "no control: " + control;
       }},
      {"the machine's hosts file has one name, or a second in the component store",
       "public reports: the hosts file hard-linked into WinSxS on Windows 10 and 11",
       "1 name|2 names, the other in the component store",
       [](Scratch&) {
         char windows[MAX_PATH];
         ::GetSystemWindowsDirectoryA(windows, MAX_PATH);
         const std::string hosts = std::string(windows) + "\\System32\\drivers\\etc\\hosts";
         BY_HANDLE_FILE_INFORMATION data{};
         const HANDLE h =
             ::CreateFileA(hosts.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr);
         ::GetFileInformationByHandle(h, &data);
         ::CloseHandle(h);
         if (data.nNumberOfLinks == 1) return std::string("1 name");
         std::string names = std::to_string(data.nNumberOfLinks) + " names:";
         bool store = false;
         for (const std::string& name : NamesOf(hosts)) {
           store |= name.find("\\WinSxS\\") != std::string::npos;
           names += " " + name;
         }
         return data.nNumberOfLinks == 2 && store ? "2 names, the other in the component store"
                                                  : names;
       }},
      {"a handle opened for DELETE and READ_CONTROL alone is refused FileAttributeTagInformation",
       "learn.microsoft.com: NtQueryInformationFile, FileAttributeTagInformation: the caller must "
       "have opened the file with FILE_READ_ATTRIBUTES; FILE_ATTRIBUTE_TAG_INFORMATION",
       "error 5",
       [](Scratch& s) {
         ::CloseHandle(s.Open("tagged", GENERIC_WRITE, kShareAll));
         // Through NtCreateFile, as the layer opens a leftover: CreateFile
         // would add FILE_READ_ATTRIBUTES.
         const auto tag = [&](ACCESS_MASK access) {
           HANDLE h = INVALID_HANDLE_VALUE;
           const LONG status = OpenRelative(Win32Api(), s.folder, L"tagged", access, kShareAll, 1,
                                            0x40 | 0x200000, &h);
           if (status < 0) return "open: " + NtAnswer(status);
           s.open.push_back(h);
           return AttributesAnswer(h);
         };
         // The control: with FILE_READ_ATTRIBUTES as well, the same query answers.
         const std::string control = tag(DELETE | READ_CONTROL | FILE_READ_ATTRIBUTES);
         return control == "ok" ? tag(DELETE | READ_CONTROL) : "no control: " + control;
       }},
      {"CreateFile for no access may still read attributes",
       "learn.microsoft.com: CreateFileA, dwDesiredAccess: with zero, a handle can query file "
       "attributes; FILE_ATTRIBUTE_TAG_INFORMATION needs FILE_READ_ATTRIBUTES",
       "ok",
       [](Scratch& s) {
         ::CloseHandle(s.Open("tagged", GENERIC_WRITE, kShareAll));
         return AttributesAnswer(s.Open("tagged", 0, kShareAll));
       }},
  };
  return facts;
}

// Where Wine 8 answers otherwise, and why.
struct WineDifference {
  const char* fact;
  const char* answer;
  const char* reason;
};
const WineDifference kWineDifferences[] = {
    {"posix rename replaces a file held open sharing delete", "status 0xc0000002",
     "Wine's NtSetInformationFile has no FileRenameInformationEx"},
    {"posix rename refused while a holder does not share delete", "status 0xc0000002",
     "Wine's NtSetInformationFile has no FileRenameInformationEx"},
    {"FindFirstFileNameW lists every name", "no such call", "Wine's kernel32 has no such export"},
    {"the lock's descriptor keeps a standard user out", "ok",
     "Wine does not check a file's DACL when it is opened"},
    {"setting another account as owner needs the restore privilege", "ok",
     "Wine lets a program give a file any owner"},
    {"FILE_CREATE on a name whose delete is pending", "status 0xc0000035",
     "Wine shows a file whose delete is pending as an ordinary file"},
    {"a rename waiting for a Read-Handle oplock's holder ends when cancelled",
     "no oplock: error 50", "Wine grants no opportunistic locks"},
    {"a delete waiting for a Read-Handle oplock's holder ends when cancelled",
     "no oplock: error 50", "Wine grants no opportunistic locks"},
    {"a read of a part another program has locked", "ok",
     "Wine does not enforce byte-range locks on reads"},
    {"a rename into a folder held without sharing writes is refused", "ok",
     "Wine's rename does not open the folder it renames into"},
    {"a rename within its folder, by a name alone, goes while the folder is held without sharing",
     "status 0xc000003b", "Wine 8 takes no rename target without a RootDirectory or a path"},
    {"POSIX delete frees the name while held", "delete: error 87",
     "Wine has no FileDispositionInfoEx"},
    {"an open that meets an oplock completes at once", "no oplock: error 50",
     "Wine grants no opportunistic locks"},
    {"a POSIX replace of a file a Read-Handle oplock is on", "no oplock: error 50",
     "Wine grants no opportunistic locks"},
    {"a handle opened for DELETE and READ_CONTROL alone is refused FileAttributeTagInformation",
     "ok", "Wine answers a query whatever access the handle was opened with"},
};

bool UnderWine() {
  return ::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}

std::string Build() {
  using RtlGetVersion = LONG(NTAPI*)(OSVERSIONINFOW*);
  OSVERSIONINFOW version{};
  version.dwOSVersionInfoSize = sizeof version;
  SystemFunction<RtlGetVersion>("ntdll.dll", "RtlGetVersion")(&version);
  std::string build = "Windows " + std::to_string(version.dwMajorVersion) + "." +
                      std::to_string(version.dwMinorVersion) + "." +
                      std::to_string(version.dwBuildNumber);
  using WineVersion = const char*(CDECL*)();
  if (const auto wine = SystemFunction<WineVersion>("ntdll.dll", "wine_get_version")) {
    build += " (Wine " + std::string(wine()) + ")";
  }
  return build;
}

bool Matches(const std::string& answer, const std::string& expected) {
  std::istringstream choices(expected);
  for (std::string choice; std::getline(choices, choice, '|');) {
    if (choice == answer) return true;
  }
  return false;
}

// The report, a line at a time: to standard output and, where
// HOSTS_FACTS_REPORT names a file, appended to it and flushed as each fact
// ends, so that a run that crashes still brings back every fact before.
class Report {
 public:
  Report() : path_(std::getenv("HOSTS_FACTS_REPORT")) {
    if (path_ != nullptr && !std::ofstream(path_, std::ios::trunc)) {
      ADD_FAILURE() << "cannot write the report " << path_;
    }
  }
  void Line(const std::string& line) {
    std::cout << line << std::endl;
    if (path_ == nullptr) return;
    std::ofstream file(path_, std::ios::app);
    if (!(file << line << '\n' << std::flush)) ADD_FAILURE() << "cannot write the report " << path_;
  }

 private:
  const char* path_;
};

TEST(WindowsFactsTest, EachFactAnswersAsWindowsDoes) {
  const bool wine = UnderWine();
  Report report;
  report.Line(Build());
  char temp[MAX_PATH];
  ::GetTempPathA(MAX_PATH, temp);
  char current[MAX_PATH];
  ::GetCurrentDirectoryA(MAX_PATH, current);
  report.Line(std::string("temporary folder: ") + temp);
  report.Line(std::string("current folder: ") + current);
  int number = 0;
  for (const Fact& fact : Facts()) {
    Scratch s;
    s.dir = std::string(temp) + "hosts_facts_" + std::to_string(::GetCurrentProcessId()) + "_" +
            std::to_string(++number);
    ::CreateDirectoryA(s.dir.c_str(), nullptr);
    s.folder = ::CreateFileA(s.dir.c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE | SYNCHRONIZE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    const std::string answer = fact.observe(s);
    std::string expected = fact.windows;
    const char* reason = nullptr;
    for (const WineDifference& difference : kWineDifferences) {
      if (wine && fact.name == std::string(difference.fact)) {
        expected = difference.answer;
        reason = difference.reason;
      }
    }
    // Only a Windows that cannot make a standard user here leaves a fact
    // unchecked; under Wine every fact answers.
    const bool unchecked = !wine && answer.rfind("cannot be checked here", 0) == 0;
    EXPECT_TRUE(unchecked || Matches(answer, expected))
        << fact.name << ": " << answer << ", expected " << expected;
    report.Line((unchecked                   ? "UNCHECKED "
                 : Matches(answer, expected) ? "as expected "
                                             : "DIFFERS ") +
                std::string(fact.name) + ": " + answer + " (Windows: " + fact.windows +
                (reason ? std::string("; Wine: ") + reason : std::string()) + "; " + fact.source +
                ")");
    for (HANDLE h : s.open) ::CloseHandle(h);
    ::CloseHandle(s.folder);
    for (const char* name : {"target", "source", "renamed", "one", "two", "lock", "owned",
                             "pending", "posix", "oplocked", "rr", "inside", "locked", "tagged"}) {
      ::DeleteFileA(s.Path(name).c_str());
    }
    ::RemoveDirectoryA(s.dir.c_str());
  }
  // Every listed difference is a fact of the table.
  for (const WineDifference& difference : kWineDifferences) {
    EXPECT_TRUE(IsWindowsFact(difference.fact)) << difference.fact;
  }
  report.Line("all " + std::to_string(number) + " facts ran");
}

}  // namespace

bool IsWindowsFact(const std::string& name) {
  for (const Fact& fact : Facts()) {
    if (name == fact.name) return true;
  }
  return false;
}

}  // namespace hosts

// Test helper for Windows: plays another program that touches the hosts file
// while the tool runs.
//   peer hold PATH read|write|all|folder MILLISECONDS
//       holds PATH open: "read" reads sharing reading only, "write" writes
//       sharing reading and writing, "all" reads sharing everything;
//       "folder" holds the folder PATH for listing, sharing nothing, as any
//       user who may list it can.
//   peer scan DIRECTORY MILLISECONDS MICROSECONDS
//       a virus scanner or indexer: opens every file in DIRECTORY, again and
//       again, for reading, sharing reading and writing but not deleting,
//       for MICROSECONDS at a time.
//   peer append PATH MILLISECONDS
//       an editor: opens PATH for writing (sharing reading and writing),
//       waits, appends a line and closes.
//   peer squat FOLDER MILLISECONDS
//       what any user can do to the tool's locks: hold the mutex name earlier
//       builds locked on (made first, with a descriptor of its own), and open
//       the lock file in FOLDER again and again for its attributes only,
//       which needs no right to the file itself.
// Prints "ready" once it holds the file or has started.
//   peer security PATH [SDDL]
//       prints the owner, group and DACL of PATH as SDDL; or sets them to
//       SDDL, the DACL protected from inheritance or not as SDDL says, with
//       the privileges that let an administrator give any owner.
//   peer identity PATH
//       prints the file's identity as Windows gives it, "VOLUME:INDEX links N
//       attributes 0xA", then each of its names as FindFirstFileNameW lists
//       them, one a line ("name \Windows\System32\..."), where Windows has that
//       call ("names: error N" and status 1 where it fails).
//   peer systemroot VALUE|-unset PROGRAM ARGS...
//       starts PROGRAM with SystemRoot set to VALUE (or unset) and passes its
//       exit status on. Wine sets SystemRoot in every new process, so the
//       program is started suspended and given another environment block
//       before it runs.

#include <windows.h>
// windows.h first
#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr char kAppendedLine[] = "10.9.8.7\tappended.by.an.editor\r\n";

void Ready() {
  std::printf("ready\n");
  std::fflush(stdout);
}

void BusyWaitMicroseconds(long long microseconds) {
  LARGE_INTEGER frequency;
  LARGE_INTEGER start;
  LARGE_INTEGER now;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  do {
    QueryPerformanceCounter(&now);
  } while ((now.QuadPart - start.QuadPart) * 1000000 / frequency.QuadPart < microseconds);
}

int Hold(const char* path, const std::string& mode, DWORD milliseconds) {
  const bool folder = mode == "folder";
  const DWORD access = folder            ? FILE_LIST_DIRECTORY
                       : mode == "write" ? GENERIC_WRITE
                                         : GENERIC_READ;
  const DWORD share = mode == "all"     ? FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE
                      : mode == "write" ? FILE_SHARE_READ | FILE_SHARE_WRITE
                      : folder          ? 0
                                        : FILE_SHARE_READ;
  const HANDLE file =
      CreateFileA(path, access, share, nullptr, OPEN_EXISTING,
                  folder ? FILE_FLAG_BACKUP_SEMANTICS : FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "peer: cannot open %s: error %lu\n", path, GetLastError());
    return 1;
  }
  Ready();
  Sleep(milliseconds);
  CloseHandle(file);
  return 0;
}

int Scan(const std::string& directory, DWORD milliseconds, long long hold_us) {
  Ready();
  const ULONGLONG end = GetTickCount64() + milliseconds;
  while (GetTickCount64() < end) {
    WIN32_FIND_DATAA found;
    const HANDLE search = FindFirstFileA((directory + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) continue;
    do {
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
      const HANDLE file = CreateFileA((directory + "\\" + found.cFileName).c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
      if (file == INVALID_HANDLE_VALUE) continue;
      BusyWaitMicroseconds(hold_us);
      CloseHandle(file);
    } while (FindNextFileA(search, &found));
    FindClose(search);
  }
  return 0;
}

int Append(const char* path, DWORD milliseconds) {
  const HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "peer: cannot open %s: error %lu\n", path, GetLastError());
    return 1;
  }
  Ready();
  Sleep(milliseconds);
  DWORD written = 0;
  const bool ok = SetFilePointer(file, 0, nullptr, FILE_END) != INVALID_SET_FILE_POINTER &&
                  WriteFile(file, kAppendedLine, sizeof kAppendedLine - 1, &written, nullptr);
  CloseHandle(file);
  return ok ? 0 : 1;
}

int Squat(const std::string& folder, DWORD milliseconds) {
  const HANDLE directory = CreateFileA(folder.c_str(), 0, 7, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  BY_HANDLE_FILE_INFORMATION data;
  if (directory == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(directory, &data)) {
    std::fprintf(stderr, "peer: cannot open %s: error %lu\n", folder.c_str(), GetLastError());
    return 1;
  }
  CloseHandle(directory);
  char name[80];
  std::snprintf(name, sizeof name, "Global\\hosts_entry_tool-%08lx-%08lx%08lx",
                data.dwVolumeSerialNumber, data.nFileIndexHigh, data.nFileIndexLow);
  const HANDLE mutex = CreateMutexA(nullptr, TRUE, name);
  if (mutex == nullptr) return 1;
  Ready();
  const std::string lock = folder + "\\hosts_entry_tool.lock";
  const ULONGLONG end = GetTickCount64() + milliseconds;
  while (GetTickCount64() < end) {
    const HANDLE held = CreateFileA(lock.c_str(), FILE_READ_ATTRIBUTES, 7, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    Sleep(20);
    if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
  }
  CloseHandle(mutex);
  return 0;
}

constexpr SECURITY_INFORMATION kSecurity =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

void EnablePrivilege(const char* name) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token)) return;
  TOKEN_PRIVILEGES wanted{};
  wanted.PrivilegeCount = 1;
  wanted.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  if (LookupPrivilegeValueA(nullptr, name, &wanted.Privileges[0].Luid)) {
    AdjustTokenPrivileges(token, FALSE, &wanted, 0, nullptr, nullptr);
  }
  CloseHandle(token);
}

int Security(const char* path, const char* sddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (sddl == nullptr) {
    PSID owner = nullptr;
    PSID group = nullptr;
    PACL dacl = nullptr;
    DWORD error = GetNamedSecurityInfoA(path, SE_FILE_OBJECT, kSecurity, &owner, &group, &dacl,
                                        nullptr, &descriptor);
    char* text = nullptr;
    if (error == ERROR_SUCCESS && !ConvertSecurityDescriptorToStringSecurityDescriptorA(
                                      descriptor, SDDL_REVISION_1, kSecurity, &text, nullptr)) {
      error = GetLastError();
    }
    if (error != ERROR_SUCCESS) {
      std::fprintf(stderr, "peer: cannot read the security of %s: error %lu\n", path, error);
      return 1;
    }
    std::printf("%s\n", text);
    LocalFree(text);
    LocalFree(descriptor);
    return 0;
  }
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &descriptor,
                                                            nullptr)) {
    std::fprintf(stderr, "peer: not a security descriptor: %s\n", sddl);
    return 1;
  }
  PSID owner = nullptr;
  PSID group = nullptr;
  PACL dacl = nullptr;
  BOOL defaulted = FALSE;
  BOOL present = FALSE;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  GetSecurityDescriptorOwner(descriptor, &owner, &defaulted);
  GetSecurityDescriptorGroup(descriptor, &group, &defaulted);
  GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
  GetSecurityDescriptorControl(descriptor, &control, &revision);
  EnablePrivilege("SeRestorePrivilege");
  EnablePrivilege("SeTakeOwnershipPrivilege");
  const SECURITY_INFORMATION what =
      kSecurity | ((control & SE_DACL_PROTECTED) != 0 ? PROTECTED_DACL_SECURITY_INFORMATION
                                                      : UNPROTECTED_DACL_SECURITY_INFORMATION);
  const DWORD error = SetNamedSecurityInfoA(const_cast<char*>(path), SE_FILE_OBJECT, what, owner,
                                            group, dacl, nullptr);
  LocalFree(descriptor);
  if (error != ERROR_SUCCESS) {
    std::fprintf(stderr, "peer: cannot set the security of %s: error %lu\n", path, error);
    return 1;
  }
  return 0;
}

int Identity(const char* path) {
  const HANDLE file = CreateFileA(
      path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  BY_HANDLE_FILE_INFORMATION data;
  if (file == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(file, &data)) {
    std::fprintf(stderr, "peer: cannot open %s: error %lu\n", path, GetLastError());
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    return 1;
  }
  CloseHandle(file);
  std::printf("%08lx:%08lx%08lx links %lu attributes 0x%lx\n", data.dwVolumeSerialNumber,
              data.nFileIndexHigh, data.nFileIndexLow, data.nNumberOfLinks, data.dwFileAttributes);
  using FindFirst = HANDLE(WINAPI*)(LPCWSTR, DWORD, LPDWORD, PWSTR);
  using FindNext = BOOL(WINAPI*)(HANDLE, LPDWORD, PWSTR);
  const HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
  const auto find_first = reinterpret_cast<FindFirst>(
      reinterpret_cast<void*>(GetProcAddress(kernel32, "FindFirstFileNameW")));
  const auto find_next = reinterpret_cast<FindNext>(
      reinterpret_cast<void*>(GetProcAddress(kernel32, "FindNextFileNameW")));
  if (find_first == nullptr || find_next == nullptr) return 0;
  std::wstring wide;
  for (const char* c = path; *c != '\0'; ++c) wide.push_back(static_cast<wchar_t>(*c));
  WCHAR name[32768];
  DWORD size = 32768;
  const HANDLE search = find_first(wide.c_str(), 0, &size, name);
  for (bool more = search != INVALID_HANDLE_VALUE; more; size = 32768) {
    std::string narrow;  // the names of the hosts file and its twin are ASCII
    for (const WCHAR* c = name; *c != L'\0'; ++c) narrow.push_back(static_cast<char>(*c));
    std::printf("name %s\n", narrow.c_str());
    more = find_next(search, &size, name) != 0;
  }
  if (search == INVALID_HANDLE_VALUE) {
    std::printf("names: error %lu\n", GetLastError());
    return 1;
  }
  FindClose(search);
  return 0;
}

// The environment block of this process with SystemRoot set to `value`, or
// removed when `value` is null.
std::wstring EnvironmentWith(const wchar_t* value) {
  std::wstring block;
  const wchar_t* strings = GetEnvironmentStringsW();
  for (const wchar_t* each = strings; *each != L'\0'; each += wcslen(each) + 1) {
    if (_wcsnicmp(each, L"SystemRoot=", 11) != 0) block.append(each).push_back(L'\0');
  }
  if (value != nullptr) block.append(L"SystemRoot=").append(value).push_back(L'\0');
  block.push_back(L'\0');
  return block;
}

int RunWithSystemRoot(const char* value, int argc, char** argv) {
  std::string command;
  for (int i = 0; i < argc; ++i) command += std::string(i ? " \"" : "\"") + argv[i] + "\"";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr,
                      nullptr, &startup, &process)) {
    std::fprintf(stderr, "peer: cannot start %s: error %lu\n", argv[0], GetLastError());
    return 1;
  }
  std::wstring wide_value;
  for (const char* c = value; *c != '\0'; ++c) wide_value.push_back(static_cast<wchar_t>(*c));
  const std::wstring block =
      EnvironmentWith(std::strcmp(value, "-unset") == 0 ? nullptr : wide_value.c_str());
  // Point the process parameters (their Environment and EnvironmentSize
  // fields, at the offsets of 64-bit Windows) at a copy of the new block.
  using Query = LONG(WINAPI*)(HANDLE, int, PVOID, ULONG, PULONG);
  const auto query = reinterpret_cast<Query>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryInformationProcess")));
  struct {
    PVOID reserved1;
    PVOID peb;
    PVOID reserved2[4];
  } basic{};
  ULONG_PTR parameters = 0;
  const SIZE_T size = block.size() * sizeof(wchar_t);
  void* copy = VirtualAllocEx(process.hProcess, nullptr, size, MEM_COMMIT, PAGE_READWRITE);
  const bool moved =
      query != nullptr && query(process.hProcess, 0, &basic, sizeof basic, nullptr) == 0 &&
      ReadProcessMemory(process.hProcess, static_cast<char*>(basic.peb) + 0x20, &parameters,
                        sizeof parameters, nullptr) &&
      copy != nullptr && WriteProcessMemory(process.hProcess, copy, block.data(), size, nullptr) &&
      WriteProcessMemory(process.hProcess, reinterpret_cast<void*>(parameters + 0x80), &copy,
                         sizeof copy, nullptr) &&
      WriteProcessMemory(process.hProcess, reinterpret_cast<void*>(parameters + 0x3f0), &size,
                         sizeof size, nullptr);
  if (!moved) {
    std::fprintf(stderr, "peer: cannot set the environment: error %lu\n", GetLastError());
    TerminateProcess(process.hProcess, 1);
    return 1;
  }
  ResumeThread(process.hThread);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD status = 1;
  GetExitCodeProcess(process.hProcess, &status);
  return static_cast<int>(status);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "hold" && argc == 5)
    return Hold(argv[2], argv[3], std::strtoul(argv[4], nullptr, 10));
  if (mode == "scan" && argc == 5) {
    return Scan(argv[2], std::strtoul(argv[3], nullptr, 10), std::strtoll(argv[4], nullptr, 10));
  }
  if (mode == "append" && argc == 4) return Append(argv[2], std::strtoul(argv[3], nullptr, 10));
  if (mode == "squat" && argc == 4) return Squat(argv[2], std::strtoul(argv[3], nullptr, 10));
  if (mode == "security" && (argc == 3 || argc == 4)) {
    return Security(argv[2], argc == 4 ? argv[3] : nullptr);
  }
  if (mode == "identity" && argc == 3) return Identity(argv[2]);
  if (mode == "systemroot" && argc >= 4) return RunWithSystemRoot(argv[2], argc - 3, argv + 3);
  std::fprintf(stderr,
               "usage: peer hold PATH read|write|all MS | scan DIR MS US | append PATH MS | "
               "squat DIR MS | security PATH [SDDL] | identity PATH | "
               "systemroot VALUE|-unset PROGRAM ARGS...\n");
  return 2;
}

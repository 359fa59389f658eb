// The Win32 calls the Windows file system layer makes, gathered in one table
// so that a test can put a model of Windows' documented behaviour in place of
// any of them: the outcomes Wine does not show, such as a pending delete or a
// replace refused for a file another program has open.

#ifndef HOSTS_WIN32_API_H_
#define HOSTS_WIN32_API_H_

#include <windows.h>
// windows.h first
#include <aclapi.h>
#include <winternl.h>

#include <memory>

#include "hosts/file_system.h"
#include "hosts/limits.h"

namespace hosts {

// Calls that not every Windows (or Wine) has are looked up at run time; the
// table holds nullptr where they are missing.
using FindFirstFileNameWFunction = HANDLE(WINAPI*)(LPCWSTR, DWORD, LPDWORD, PWSTR);
using FindNextFileNameWFunction = BOOL(WINAPI*)(HANDLE, LPDWORD, PWSTR);
using SetProcessMitigationPolicyFunction = BOOL(WINAPI*)(PROCESS_MITIGATION_POLICY, PVOID, SIZE_T);
using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
// ntdll's, for what Win32 cannot ask for: an open relative to a folder's
// handle that does not wait for another program's opportunistic lock, and a
// rename that names its target relative to a folder's handle.
using NtCreateFileFunction = LONG(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES,
                                          PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG, ULONG, ULONG,
                                          ULONG, PVOID, ULONG);
using NtSetInformationFileFunction = LONG(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG);
using RtlNtStatusToDosErrorFunction = ULONG(NTAPI*)(LONG);

template <typename Function>
Function SystemFunction(const char* module, const char* name) {
  return reinterpret_cast<Function>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA(module), name)));
}

struct Win32Api {
  decltype(&::GetEnvironmentVariableA) GetEnvironmentVariableA = ::GetEnvironmentVariableA;
  decltype(&::GetSystemWindowsDirectoryA) GetSystemWindowsDirectoryA = ::GetSystemWindowsDirectoryA;
  decltype(&::GetFullPathNameA) GetFullPathNameA = ::GetFullPathNameA;
  decltype(&::CreateFileA) CreateFileA = ::CreateFileA;
  decltype(&::ReadFile) ReadFile = ::ReadFile;
  decltype(&::WriteFile) WriteFile = ::WriteFile;
  decltype(&::FlushFileBuffers) FlushFileBuffers = ::FlushFileBuffers;
  decltype(&::CloseHandle) CloseHandle = ::CloseHandle;
  decltype(&::GetFileInformationByHandle) GetFileInformationByHandle = ::GetFileInformationByHandle;
  decltype(&::GetFileType) GetFileType = ::GetFileType;
  decltype(&::GetFinalPathNameByHandleA) GetFinalPathNameByHandleA = ::GetFinalPathNameByHandleA;
  decltype(&::SetFileInformationByHandle) SetFileInformationByHandle = ::SetFileInformationByHandle;
  decltype(&::GetFileInformationByHandleEx) GetFileInformationByHandleEx =
      ::GetFileInformationByHandleEx;
  decltype(&::LockFileEx) LockFileEx = ::LockFileEx;
  decltype(&::SetFilePointerEx) SetFilePointerEx = ::SetFilePointerEx;
  decltype(&::SetEndOfFile) SetEndOfFile = ::SetEndOfFile;
  decltype(&::DeviceIoControl) DeviceIoControl = ::DeviceIoControl;
  decltype(&::FindFirstFileA) FindFirstFileA = ::FindFirstFileA;
  decltype(&::FindNextFileA) FindNextFileA = ::FindNextFileA;
  decltype(&::FindClose) FindClose = ::FindClose;
  FindFirstFileNameWFunction FindFirstFileNameW =
      SystemFunction<FindFirstFileNameWFunction>("kernel32.dll", "FindFirstFileNameW");
  FindNextFileNameWFunction FindNextFileNameW =
      SystemFunction<FindNextFileNameWFunction>("kernel32.dll", "FindNextFileNameW");
  decltype(&::GetSecurityInfo) GetSecurityInfo = ::GetSecurityInfo;
  decltype(&::SetSecurityInfo) SetSecurityInfo = ::SetSecurityInfo;
  decltype(&::OpenProcessToken) OpenProcessToken = ::OpenProcessToken;
  decltype(&::LookupPrivilegeValueA) LookupPrivilegeValueA = ::LookupPrivilegeValueA;
  decltype(&::AdjustTokenPrivileges) AdjustTokenPrivileges = ::AdjustTokenPrivileges;
  SetProcessMitigationPolicyFunction SetProcessMitigationPolicy =
      SystemFunction<SetProcessMitigationPolicyFunction>("kernel32.dll",
                                                         "SetProcessMitigationPolicy");
  SetDefaultDllDirectoriesFunction SetDefaultDllDirectories =
      SystemFunction<SetDefaultDllDirectoriesFunction>("kernel32.dll", "SetDefaultDllDirectories");
  NtCreateFileFunction NtCreateFile =
      SystemFunction<NtCreateFileFunction>("ntdll.dll", "NtCreateFile");
  NtSetInformationFileFunction NtSetInformationFile =
      SystemFunction<NtSetInformationFileFunction>("ntdll.dll", "NtSetInformationFile");
  RtlNtStatusToDosErrorFunction RtlNtStatusToDosError =
      SystemFunction<RtlNtStatusToDosErrorFunction>("ntdll.dll", "RtlNtStatusToDosError");
  decltype(&::Sleep) Sleep = ::Sleep;
  decltype(&::CreateThread) CreateThread = ::CreateThread;
  decltype(&::CancelSynchronousIo) CancelSynchronousIo = ::CancelSynchronousIo;
  decltype(&::TerminateProcess) TerminateProcess = ::TerminateProcess;
};

// The Windows file system, making its calls through `api`, within the run's
// deadline: a run may take `deadline_ms`, and a call cancelled then
// `grace_ms` more to end.
std::unique_ptr<FileSystem> MakeWin32FileSystem(const Win32Api& api,
                                                int deadline_ms = kRunDeadlineMs,
                                                int grace_ms = kCancelGraceMs);

// HardenProcess, through `api`.
void HardenProcess(const Win32Api& api);

}  // namespace hosts

#endif  // HOSTS_WIN32_API_H_

// The Win32 calls the Windows file system layer makes, gathered in one table
// so that a test can put a model of Windows' documented behaviour in place of
// any of them: the outcomes Wine does not show, such as a pending delete or a
// replace refused for a file another program has open.

#ifndef HOSTS_WIN32_API_H_
#define HOSTS_WIN32_API_H_

#include <windows.h>
// windows.h first
#include <aclapi.h>

#include <memory>

#include "hosts/file_system.h"

namespace hosts {

// Calls that not every Windows (or Wine) has are looked up at run time; the
// table holds nullptr where they are missing.
using FindFirstFileNameWFunction = HANDLE(WINAPI*)(LPCWSTR, DWORD, LPDWORD, PWSTR);
using FindNextFileNameWFunction = BOOL(WINAPI*)(HANDLE, LPDWORD, PWSTR);
using SetProcessMitigationPolicyFunction = BOOL(WINAPI*)(PROCESS_MITIGATION_POLICY, PVOID, SIZE_T);

template <typename Function>
Function Kernel32Function(const char* name) {
  return reinterpret_cast<Function>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA("kernel32.dll"), name)));
}

struct Win32Api {
  decltype(&::GetEnvironmentVariableA) GetEnvironmentVariableA = ::GetEnvironmentVariableA;
  decltype(&::GetSystemWindowsDirectoryA) GetSystemWindowsDirectoryA = ::GetSystemWindowsDirectoryA;
  decltype(&::CreateFileA) CreateFileA = ::CreateFileA;
  decltype(&::ReadFile) ReadFile = ::ReadFile;
  decltype(&::WriteFile) WriteFile = ::WriteFile;
  decltype(&::FlushFileBuffers) FlushFileBuffers = ::FlushFileBuffers;
  decltype(&::CloseHandle) CloseHandle = ::CloseHandle;
  decltype(&::GetFileInformationByHandle) GetFileInformationByHandle = ::GetFileInformationByHandle;
  decltype(&::GetFileType) GetFileType = ::GetFileType;
  decltype(&::GetFileAttributesA) GetFileAttributesA = ::GetFileAttributesA;
  decltype(&::GetFinalPathNameByHandleA) GetFinalPathNameByHandleA = ::GetFinalPathNameByHandleA;
  decltype(&::SetFileInformationByHandle) SetFileInformationByHandle = ::SetFileInformationByHandle;
  decltype(&::SetFilePointerEx) SetFilePointerEx = ::SetFilePointerEx;
  decltype(&::SetEndOfFile) SetEndOfFile = ::SetEndOfFile;
  decltype(&::FindFirstFileA) FindFirstFileA = ::FindFirstFileA;
  decltype(&::FindNextFileA) FindNextFileA = ::FindNextFileA;
  decltype(&::FindClose) FindClose = ::FindClose;
  FindFirstFileNameWFunction FindFirstFileNameW =
      Kernel32Function<FindFirstFileNameWFunction>("FindFirstFileNameW");
  FindNextFileNameWFunction FindNextFileNameW =
      Kernel32Function<FindNextFileNameWFunction>("FindNextFileNameW");
  decltype(&::GetSecurityInfo) GetSecurityInfo = ::GetSecurityInfo;
  decltype(&::SetSecurityInfo) SetSecurityInfo = ::SetSecurityInfo;
  decltype(&::OpenProcessToken) OpenProcessToken = ::OpenProcessToken;
  decltype(&::LookupPrivilegeValueA) LookupPrivilegeValueA = ::LookupPrivilegeValueA;
  decltype(&::AdjustTokenPrivileges) AdjustTokenPrivileges = ::AdjustTokenPrivileges;
  decltype(&::CreateMutexExA) CreateMutexExA = ::CreateMutexExA;
  decltype(&::WaitForSingleObject) WaitForSingleObject = ::WaitForSingleObject;
  decltype(&::ReleaseMutex) ReleaseMutex = ::ReleaseMutex;
  SetProcessMitigationPolicyFunction SetProcessMitigationPolicy =
      Kernel32Function<SetProcessMitigationPolicyFunction>("SetProcessMitigationPolicy");
  decltype(&::Sleep) Sleep = ::Sleep;
};

// The Windows file system, making its calls through `api`.
std::unique_ptr<FileSystem> MakeWin32FileSystem(const Win32Api& api);

}  // namespace hosts

#endif  // HOSTS_WIN32_API_H_

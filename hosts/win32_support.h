// What every part of the Windows layer shares: the system's reasons as
// Status values, handles that close themselves, and text conversions.

#ifndef HOSTS_WIN32_SUPPORT_H_
#define HOSTS_WIN32_SUPPORT_H_

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "hosts/status.h"
#include "hosts/win32_api.h"

namespace hosts {

// NTSTATUS values the layer tells apart.
inline constexpr LONG kStatusOplockBreakInProgress = 0x00000108;
inline constexpr LONG kStatusAccessDenied = static_cast<LONG>(0xC0000022);
inline constexpr LONG kStatusObjectNameNotFound = static_cast<LONG>(0xC0000034);
inline constexpr LONG kStatusObjectNameCollision = static_cast<LONG>(0xC0000035);
inline constexpr LONG kStatusSharingViolation = static_cast<LONG>(0xC0000043);
inline constexpr LONG kStatusDeletePending = static_cast<LONG>(0xC0000056);
inline constexpr LONG kStatusMediaWriteProtected = static_cast<LONG>(0xC00000A2);
inline constexpr LONG kStatusFileIsADirectory = static_cast<LONG>(0xC00000BA);

// NtCreateFile's dispositions and options.
inline constexpr ULONG kFileOpen = 1;
inline constexpr ULONG kFileCreate = 2;
inline constexpr ULONG kFileOpenIf = 3;
inline constexpr ULONG kDirectoryFile = 0x1;      // FILE_DIRECTORY_FILE
inline constexpr ULONG kNonDirectoryFile = 0x40;  // FILE_NON_DIRECTORY_FILE
inline constexpr ULONG kCompleteIfOplocked = 0x100;
inline constexpr ULONG kOpenReparsePoint = 0x200000;

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// "The requested operation could not be completed due to a file system
// limitation"; not all SDK headers declare it.
inline constexpr DWORD kErrorFileSystemLimitation = 665;

// The system's text for an error code, on one line, with its number.
std::string ErrorText(DWORD code);

// The Win32 error an NTSTATUS stands for.
DWORD NtError(const Win32Api& api, LONG status);

// What the layer was doing when the system answered.
enum class Call {
  kOpen,          // opening a file or folder that should be there
  kCreate,        // creating a file that should not be there yet
  kIdentify,      // opening a name for a look at what it is now
  kTakeLock,      // opening the update lock
  kRename,        // putting a file in another's place
  kLockRange,     // locking all of a file before rewriting it in place
  kReadSecurity,  // reading a file's owner, group and DACL to hand them on
  kSetSecurity,   // handing them on
  kOther,         // anything else: reading, writing, flushing, querying
};

// An answer of the system: the NTSTATUS of an ntdll call (0 for a Win32
// call) and the Win32 error it stands for.
struct Answer {
  LONG nt = 0;
  DWORD error = ERROR_SUCCESS;
};
inline Answer FromError(DWORD error) { return Answer{0, error}; }
Answer FromNt(const Win32Api& api, LONG status);

// The one place the Windows layer turns the system's answers into Codes:
// what the update does next, with the system's reason as the message.
// kOk for an answer that is a success (an NTSTATUS of 0 or more), but for
// an open that met another program's opportunistic lock: kBusy.
Status SystemStatus(Call call, const Answer& answer);

// Another program has the file open in a way that conflicts, for now.
inline bool IsSharingConflict(DWORD code) {
  return code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION;
}

// A handle closed when it goes out of scope.
struct HandleCloser {
  const Win32Api* api;
  void operator()(HANDLE handle) const {
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) api->CloseHandle(handle);
  }
};
using ScopedHandle = std::unique_ptr<void, HandleCloser>;

// Memory the system allocated with LocalAlloc.
struct LocalFreer {
  void operator()(void* memory) const { LocalFree(memory); }
};
using LocalMemory = std::unique_ptr<void, LocalFreer>;

// ASCII letters in lower case: Windows compares names without case.
std::string Lower(std::string text);

// Text in the ANSI code page to UTF-16 and back.
std::wstring Wide(const std::string& text);
std::string Narrow(const std::wstring& text);

// Opens `name` with NtCreateFile relative to the folder `root`, or, where
// `root` is nullptr, the object manager's path `name` (\\??\\C:\\...). The
// open never waits for another program's opportunistic lock
// (FILE_COMPLETE_IF_OPLOCKED): STATUS_OPLOCK_BREAK_IN_PROGRESS answers at
// once, with the file open. `security`, if any, is the descriptor of a file
// the call creates. The NTSTATUS; *file is INVALID_HANDLE_VALUE on failure.
LONG OpenRelative(const Win32Api& api, HANDLE root, const std::wstring& name, ACCESS_MASK access,
                  ULONG share, ULONG disposition, ULONG options, HANDLE* file,
                  ULONG attributes = FILE_ATTRIBUTE_NORMAL,
                  PSECURITY_DESCRIPTOR security = nullptr);

// FILE_RENAME_INFO (the same as ntdll's FILE_RENAME_INFORMATION) for a
// rename to `target`: the flags (ReplaceIfExists in its first byte for the
// classic rename), the folder the name is relative to, and the name in UTF-16.
std::vector<char> RenameInfo(DWORD flags, HANDLE root, const std::string& target);

// Whether two descriptions are of the same file (volume and file ID).
bool SameFile(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b);

}  // namespace hosts

#endif  // HOSTS_WIN32_SUPPORT_H_

// The call table with every call on a file handle checked first, as
// Windows' I/O manager checks it, against the access the handle was opened
// with: what Wine does not check and the model would otherwise not play.
// The tests put it around the model's table, and the test build of the
// tool, hosts_entry_tool_checked.exe, around the real one; the shipped tool
// has no such layer.

#ifndef HOSTS_WIN32_CHECKED_API_H_
#define HOSTS_WIN32_CHECKED_API_H_

#include "hosts/win32_api.h"

namespace hosts {

// `inner` with every handle NtCreateFile and CreateFileA open recorded (the
// access granted, generic rights mapped to the file rights they stand for,
// and the sharing), forgotten when CloseHandle closes it, and every call on
// it checked against the access table in win32_checked_api.cc. A call the
// handle lacks the access for is refused as Windows refuses it
// (STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED), and a call or class the table
// does not name goes on; either writes a line on standard error beginning
// "access check: ". The handles and the inner table are the process's: one
// checked table at a time.
Win32Api CheckedApi(const Win32Api& inner);

}  // namespace hosts

#endif  // HOSTS_WIN32_CHECKED_API_H_

// How the Windows layer names files and tells where they are: final paths,
// the check that a file is in its folder, the component store's name for the
// hosts file, and SystemRoot's identity.

#ifndef HOSTS_WIN32_NAMES_H_
#define HOSTS_WIN32_NAMES_H_

#include <windows.h>

#include <string>

#include "hosts/status.h"
#include "hosts/win32_api.h"

namespace hosts {

// The final path of an open file, without the "\\?\" prefix: normalized, or
// as it was opened (FILE_NAME_OPENED).
Status FinalPath(const Win32Api& api, HANDLE file, std::string* path,
                 DWORD name = FILE_NAME_NORMALIZED);

// Whether an open file is `name` in `folder`, and not something a link on
// the way put elsewhere.
Status CheckInFolder(const Win32Api& api, HANDLE file, HANDLE folder, const std::string& name);

// Whether the only other name of a file with two, opened as `path`, is the
// component store's. False where that cannot be told.
bool HasStoreTwin(const Win32Api& api, const std::string& path,
                  const BY_HANDLE_FILE_INFORMATION& data);

// Checks that `root` names the system's own Windows directory, without
// following a link on it or opening a device, and sets `*checked` to the
// system's own spelling of it.
Status CheckWindowsDirectory(const Win32Api& api, const std::string& root, std::string* checked);

}  // namespace hosts

#endif  // HOSTS_WIN32_NAMES_H_

// How the Windows layer finds the hosts file's folder: the walk of walk.h
// over NtCreateFile, symbolic links and junctions followed only where no
// account but the system's could have made or changed them.

#ifndef HOSTS_WIN32_WALK_H_
#define HOSTS_WIN32_WALK_H_

#include <windows.h>

#include <string>

#include "hosts/status.h"
#include "hosts/win32_api.h"

namespace hosts {

// Walks `path` to its last name's folder. Every name is opened with
// NtCreateFile relative to the folder before it, without following it
// (FILE_OPEN_REPARSE_POINT), and a link's target is read from that same
// handle. The folder is held for its attributes and security alone, which
// no sharing mode covers: no other program can refuse the walk that handle,
// and the handle keeps no other program from anything. `*folder` is that
// handle, `*folder_path` its path as walked and `*name` the last name.
Status WalkToFolder(const Win32Api& api, const std::string& path, HANDLE* folder,
                    std::string* folder_path, std::string* name);

// What the symbolic link or junction `link` (open, not followed) names, as
// its reparse data says: `*relative` for a symbolic link relative to its
// folder (or, beginning with a separator, to its volume's root). kNotFound
// for any other kind of reparse point.
Status ReadLink(const Win32Api& api, HANDLE link, std::wstring* target, bool* relative);

}  // namespace hosts

#endif  // HOSTS_WIN32_WALK_H_

// How the POSIX layer finds the hosts file's folder: the path walked a name
// at a time on descriptors the run holds, links followed only where no
// other account could have made or changed them.

#ifndef HOSTS_POSIX_WALK_H_
#define HOSTS_POSIX_WALK_H_

#include <sys/types.h>

#include <string>

#include "hosts/file_system.h"
#include "hosts/status.h"

namespace hosts {

// Files, links and folders that belong to root or to the user this tool
// runs as are trusted: no other, less privileged account can have made them.
bool IsTrustedOwner(uid_t owner);

// FileSystem::OpenFolderOf on POSIX: `*folder` holds a descriptor opened for
// reading the folder's entries.
Status WalkToFolder(const std::string& path, Folder* folder, std::string* name);

}  // namespace hosts

#endif  // HOSTS_POSIX_WALK_H_

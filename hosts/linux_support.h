// What the Linux layer's parts share: who is trusted, the system's errors as
// Status values, and how the walk hands over the folder it reached. The
// layer uses Linux's own calls (O_PATH, AT_EMPTY_PATH, renameat2, flock),
// so it is Linux's, not every POSIX system's.

#ifndef HOSTS_LINUX_SUPPORT_H_
#define HOSTS_LINUX_SUPPORT_H_

#include <sys/types.h>

#include <memory>
#include <string>

#include "hosts/file_system.h"
#include "hosts/status.h"

namespace hosts {

// Files, links and folders that belong to root or to the user this tool
// runs as are trusted: no other, less privileged account can have made them.
bool IsTrustedOwner(uid_t owner);

// What the layer was doing when the system refused.
enum class Call {
  kOpen,         // opening a file or folder that should be there
  kCreate,       // creating a file that should not be there yet
  kChangeOwner,  // giving a file an owner or a mode
  kRename,       // putting a file in another's place
  kLock,         // taking an advisory lock
  kOther,        // anything else: reading, writing, flushing, listing
};

// The one place the Linux layer turns an errno into a Code: what the update
// does next, with the system's reason as the message.
Status SystemStatus(Call call, int error);

// FileSystem::OpenFolderOf on Linux (linux_walk.cc).
Status LinuxOpenFolderOf(const std::string& path, std::unique_ptr<Folder>* folder,
                         std::string* name);

// The folder a walk reached, held as `fd` (opened for reading its
// entries), named `path` (linux_file_system.cc).
std::unique_ptr<Folder> MakeLinuxFolder(int fd, std::string path);

}  // namespace hosts

#endif  // HOSTS_LINUX_SUPPORT_H_

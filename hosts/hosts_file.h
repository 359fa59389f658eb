// Locating the system hosts file and rewriting it with or without this
// tool's entries.

#ifndef HOSTS_HOSTS_FILE_H_
#define HOSTS_HOSTS_FILE_H_

#include <array>
#include <cstddef>

#include "hosts/file_system.h"

namespace hosts {

// Holds the hosts file path: at most 255 bytes and a terminating zero.
inline constexpr std::size_t kHostsPathSize = 256;
using HostsPath = std::array<char, kHostsPathSize>;

// What follows the Windows directory in the hosts file path. POSIX builds use
// '/' so that a mounted Windows installation, or a test's directory, can be
// named by SystemRoot.
#ifdef _WIN32
inline constexpr char kHostsPathSuffix[] = "\\System32\\drivers\\etc\\hosts";
#else
inline constexpr char kHostsPathSuffix[] = "/System32/drivers/etc/hosts";
#endif

// The one message this tool prints on standard output.
inline constexpr char kSystemRootMessage[] = "Failed to GET env SYSTEMROOT";

// Forms the hosts file path from the SystemRoot environment variable. When
// the variable cannot be read, is not set, or is too long for the path to
// fit, prints kSystemRootMessage on standard output and returns false.
bool ResolveHostsPath(FileSystem& fs, HostsPath* path);

// Rewrites the hosts file without the managed lines, appending them again
// when `install` is set. SystemRoot must name what the system vouches for (on
// Windows, its own Windows directory) before anything under it is touched.
// Returns 0 when the file holds the new content and -1 when it was left as it
// was; the reason is printed on standard error (or, for a SystemRoot that is
// not set or too long, on standard output).
int UpdateHostsFile(bool install, FileSystem& fs);
int UpdateHostsFile(bool install);

}  // namespace hosts

#endif  // HOSTS_HOSTS_FILE_H_

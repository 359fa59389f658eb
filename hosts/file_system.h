// The one seam between the hosts file update and the operating system: the
// environment lookup and the handful of whole operations the update needs.
// RealFileSystem() is the POSIX or Win32 implementation; tests use an
// in-memory fake that records calls and can fail any of them.
//
// How the update uses it (hosts_file.cc):
//   LockUpdates        one run of this tool at a time per hosts file
//   ListSiblings,      remove temporary files that killed runs left
//     RemoveStale
//   OpenHeld, Read     read the hosts file while no other program writes it
//   CreateTemp,        write the new content to a temporary file beside it,
//     WriteTemp, Sync  a twin of the original, and flush it
//   Identify           check that the file is still the one that was read
//   CommitTemp         put the temporary file in its place in one step;
//     or DiscardTemp   or remove it, on every path that does not commit
//   OpenInPlace,       the fallback where no such temporary file can be made
//     Overwrite        or the name takes no replacement: rewrite the same file
//
// Every operation that can fail returns a Status whose message is the
// system's reason; the caller names the step.

#ifndef HOSTS_FILE_SYSTEM_H_
#define HOSTS_FILE_SYSTEM_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "hosts/status.h"

namespace hosts {

// An open file or lock, as the implementation numbers it.
using FileHandle = std::intptr_t;
inline constexpr FileHandle kNoFile = -1;

// What the update needs to know about a file: which file it is, which version
// of it, and whether a person protected it.
struct FileInfo {
  bool exists = false;
  std::uint64_t device = 0;
  std::uint64_t id = 0;  // inode, or Windows file index
  std::uint64_t size = 0;
  std::int64_t mtime_ns = 0;
  std::uint32_t links = 1;  // how many names the file has
  bool read_only = false;   // no write permission at all, or the read-only attribute
  bool immutable = false;   // the system refuses every change to it

  // True when `other` describes the same file, unchanged since this was taken.
  bool SameVersion(const FileInfo& other) const {
    return exists == other.exists && device == other.device && id == other.id &&
           size == other.size && mtime_ns == other.mtime_ns;
  }
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // Copies an environment variable's value. kNotFound when it is not set;
  // kFailed when the value cannot be copied (out of memory).
  virtual Status GetEnv(const char* name, std::string* value) = 0;

  // What the symbolic link `path` points at, as stored in the link. kNotFound
  // when `path` is not a symbolic link (or does not exist).
  virtual Status ReadLink(const std::string& path, std::string* target) = 0;

  // Takes the lock that lets one run of this tool at a time update `path`.
  // kBusy while another run holds it; kFailed where none can be had. Release
  // it with Unlock.
  virtual Status LockUpdates(const std::string& path, FileHandle* lock) = 0;
  virtual void Unlock(FileHandle lock) = 0;

  // The paths of the files in `prefix`'s directory whose paths begin with it.
  virtual Status ListSiblings(const std::string& prefix, std::vector<std::string>* paths) = 0;

  // Removes a file an earlier run left behind. kBusy when a live process
  // still owns it. Called only while holding the update lock.
  virtual Status RemoveStale(const std::string& path) = 0;

  // Opens a regular file for reading. Until it is closed no other program can
  // write it, where the system can enforce that, but all can still read it.
  // kNotFound, kBusy (another program has it open for writing), or kFailed
  // (also for anything that is not a regular file).
  virtual Status OpenHeld(const std::string& path, FileHandle* file, FileInfo* info) = 0;

  // Reads up to `size` bytes; `*got` is 0 at the end of the file.
  virtual Status Read(FileHandle file, char* buffer, std::size_t size, std::size_t* got) = 0;

  // Describes the file `path` names now. kNotFound when there is none.
  virtual Status Identify(const std::string& path, FileInfo* info) = 0;

  // Creates `path` exclusively, open for writing. When `original` is an open
  // file, the new one gets its owner, permissions and attributes, or is not
  // made. kExists when the name is taken (or still being deleted); kFailed
  // when no such file can be made there.
  virtual Status CreateTemp(const std::string& path, FileHandle original, FileHandle* file) = 0;

  // Writes all of `data` to a temporary file. The system may start writing
  // it out at once; Sync makes it durable.
  virtual Status WriteTemp(FileHandle file, std::string_view data) = 0;

  // Flushes a file to stable storage.
  virtual Status Sync(FileHandle file) = 0;

  // Puts the temporary file in `target`'s place in one step: in place of the
  // file there when `replace` is set, and otherwise only if there is none
  // (kExists if there is). kBusy while another program has the target open;
  // kHeldHere when the system cannot replace a file this process has open
  // (release it and call again); kFailed when the name takes no replacement.
  // On success the handle is closed and the temporary name is gone; on
  // failure both are as they were.
  virtual Status CommitTemp(FileHandle file, const std::string& path, const std::string& target,
                            bool replace) = 0;

  // Removes a temporary file that is not committed, and closes it.
  virtual Status DiscardTemp(FileHandle file, const std::string& path) = 0;

  // Opens an existing regular file for reading and rewriting in place; no
  // other program can write it until it is closed, where the system can
  // enforce that. kNotFound, kBusy, kFailed.
  virtual Status OpenInPlace(const std::string& path, FileHandle* file, FileInfo* info) = 0;

  // Makes a file opened in place hold exactly `data`, and flushes it.
  virtual Status Overwrite(FileHandle file, std::string_view data) = 0;

  // Closes a file; the handle is gone even when this fails.
  virtual Status Close(FileHandle file) = 0;

  // Waits before trying again what another program held.
  virtual void Sleep(int milliseconds) = 0;
};

// The operating system's file system.
FileSystem& RealFileSystem();

}  // namespace hosts

#endif  // HOSTS_FILE_SYSTEM_H_

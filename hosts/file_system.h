// The one seam between the hosts file update and the operating system: the
// environment lookup and the handful of whole operations the update needs.
// RealFileSystem() is the POSIX or Win32 implementation; tests use an
// in-memory fake that records calls and can fail any of them.
//
// How the update uses it (hosts_file.cc):
//   Run                the whole update, within the run's deadline
//   CheckSystemRoot    refuse a SystemRoot that is not the Windows directory
//   OpenFolderOf       walk the hosts path a name at a time, following only
//                        trusted links, to its folder, held open; every
//                        other operation works on names inside it
//   LockUpdates        one run of this tool at a time per hosts file
//   ListSiblings,      remove temporary files that killed runs left
//     RemoveStale
//   OpenHeld, Read     read the hosts file, once, while no other program
//                        writes it; a file the rewrite leaves as it is is not
//                        written at all
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
#include <functional>
#include <new>
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
  std::uint32_t links = 1;  // how many names the file has (Windows: but the component store's)
  bool read_only = false;   // no write permission at all, or the read-only attribute
  bool immutable = false;   // the system refuses every change to it

  // True when `other` describes the same file, unchanged since this was taken.
  bool SameVersion(const FileInfo& other) const {
    return exists == other.exists && device == other.device && id == other.id &&
           size == other.size && mtime_ns == other.mtime_ns;
  }
};

// A folder held open, and the path it was opened by.
struct Folder {
  FileHandle handle = kNoFile;
  std::string path;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // Runs `update`, which makes this file system's calls, and returns its
  // result. Where another program can keep a call waiting without limit
  // (Windows: an opportunistic lock never acknowledged), the run has a
  // deadline, past which the waiting call is cancelled and the run ends
  // with -1 and the file as it was.
  virtual int Run(const std::function<int()>& update) { return update(); }

  // Copies an environment variable's value. kNotFound when it is not set;
  // kFailed when the value cannot be copied (out of memory).
  virtual Status GetEnv(const char* name, std::string* value) = 0;

  // Checks what SystemRoot names before anything under it is touched: on
  // Windows the system's own Windows directory, on POSIX an absolute path.
  // `*checked` is the path to use for it from then on: on Windows the
  // system's own, so that nothing swapped in under the value after the check
  // can lead elsewhere; on POSIX `root` itself. kFailed says what is wrong.
  virtual Status CheckSystemRoot(const std::string& root, std::string* checked) = 0;

  // Walks `path` a name at a time from its root, each name opened relative
  // to the folder before it, on a handle this run holds, without following
  // it. A symbolic link on the way is followed only where it, and the folder
  // holding it, can be changed by the system's accounts alone (on POSIX:
  // root and the account this tool runs as), and then the folder the last
  // link leads to must be so too. `*folder` is the folder of the last name,
  // held open and named as walked (close it with Close), and `*name` that
  // name, which need not exist; nothing is ever opened again by its path.
  // kFailed says what was refused, or which name could not be opened.
  virtual Status OpenFolderOf(const std::string& path, Folder* folder, std::string* name) = 0;

  // Takes the lock that lets one run of this tool at a time update files in
  // `folder`. kBusy while another run holds it; kFailed where none can be
  // had, or where the lock's name is held by some other program.
  virtual Status LockUpdates(const Folder& folder, FileHandle* lock) = 0;
  virtual void Unlock(FileHandle lock) = 0;

  // The names in `folder` that begin with `prefix`.
  virtual Status ListSiblings(const Folder& folder, const std::string& prefix,
                              std::vector<std::string>* names) = 0;

  // Removes a file an earlier run left behind, if it is one this tool could
  // have made: a regular file with one name, not a link, with a trusted
  // owner. kBusy when a live process still owns it. Called only while
  // holding the update lock.
  virtual Status RemoveStale(const Folder& folder, const std::string& name) = 0;

  // Opens a regular file for reading. Until it is closed no other program can
  // write it, where the system can enforce that, but all can still read it.
  // kNotFound, kBusy (another program has it open for writing), or kFailed
  // (also for anything that is not a regular file).
  virtual Status OpenHeld(const Folder& folder, const std::string& name, FileHandle* file,
                          FileInfo* info) = 0;

  // Memory for `size` bytes of a file read whole, uninitialised, or nullptr
  // where there is not that much; give it back with FreeHold. A platform may
  // hand out large pages, which cost far less to touch the first time than
  // the same memory in small ones.
  virtual char* AllocateHold(std::size_t size) { return new (std::nothrow) char[size]; }
  virtual void FreeHold(char* data, std::size_t /*size*/) { delete[] data; }

  // Reads up to `size` bytes; `*got` is 0 at the end of the file.
  virtual Status Read(FileHandle file, char* buffer, std::size_t size, std::size_t* got) = 0;

  // Describes the file `name` names now. kNotFound when there is none.
  virtual Status Identify(const Folder& folder, const std::string& name, FileInfo* info) = 0;

  // Creates `name` exclusively, open for writing. When `original` is an open
  // file, the new one gets its owner, permissions and attributes, or is not
  // made. kExists when the name is taken (or still being deleted);
  // kInPlaceOnly when the folder takes no new file or the owner cannot be
  // given; kFailed for anything else.
  virtual Status CreateTemp(const Folder& folder, const std::string& name, FileHandle original,
                            FileHandle* file) = 0;

  // Writes all of `data` to a temporary file. The system may start writing
  // it out at once; Sync makes it durable.
  virtual Status WriteTemp(FileHandle file, std::string_view data) = 0;

  // Flushes a file to stable storage.
  virtual Status Sync(FileHandle file) = 0;

  // Puts the temporary file `name` in the place of `target` in one step: in
  // place of the file there when `replace` is set, and otherwise only if
  // there is none (kExists if there is). kBusy while another program has the
  // target open; kHeldHere when the system cannot replace a file this
  // process has open (release it and call again); kInPlaceOnly when the name
  // takes no replacement (a mount point, another device). On success the
  // new file is flushed and closed and the temporary name is gone; on
  // failure both are as they were.
  virtual Status CommitTemp(FileHandle file, const Folder& folder, const std::string& name,
                            const std::string& target, bool replace) = 0;

  // Removes a temporary file that is not committed, and closes it.
  virtual Status DiscardTemp(FileHandle file, const Folder& folder, const std::string& name) = 0;

  // Opens an existing regular file for reading and rewriting in place; no
  // other program can write it until it is closed, where the system can
  // enforce that. kNotFound, kBusy, kFailed.
  virtual Status OpenInPlace(const Folder& folder, const std::string& name, FileHandle* file,
                             FileInfo* info) = 0;

  // Makes a file opened in place hold exactly `data`, and flushes it.
  virtual Status Overwrite(FileHandle file, std::string_view data) = 0;

  // Closes a file or folder; the handle is gone even when this fails.
  virtual Status Close(FileHandle file) = 0;

  // Waits before trying again what another program held.
  virtual void Sleep(int milliseconds) = 0;
};

// What separates a folder from the names in it.
#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// The folder part of `path` and the name in it, split at the last '/' or
// '\\'. A path without one is a name in "."; the root of a drive or of the
// file system keeps its separator.
inline void SplitPath(const std::string& path, std::string* folder, std::string* name) {
  const std::size_t end = path.find_last_of("/\\");
  const bool root = end == 0 || (end == 2 && path[1] == ':');
  *folder = end == std::string::npos ? "." : path.substr(0, root ? end + 1 : end);
  *name = end == std::string::npos ? path : path.substr(end + 1);
}

// `name` in `folder`, with one separator between them.
inline std::string JoinPath(const std::string& folder, const std::string& name) {
  const bool ends = !folder.empty() && (folder.back() == '/' || folder.back() == '\\');
  return ends ? folder + name : folder + kPathSeparator + name;
}

// The operating system's file system.
FileSystem& RealFileSystem();

}  // namespace hosts

#endif  // HOSTS_FILE_SYSTEM_H_

// The one seam between the hosts file update and the operating system: the
// environment lookup and the handful of file operations the update needs.
// RealFileSystem() is the POSIX or Win32 implementation; tests use an
// in-memory fake that records calls and can fail any of them.

#ifndef HOSTS_FILE_SYSTEM_H_
#define HOSTS_FILE_SYSTEM_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace hosts {

enum class EnvStatus {
  kFound,   // the variable is set; its value was copied
  kUnset,   // the variable is not set
  kFailed,  // the value could not be copied (out of memory)
};

enum class ReadStatus {
  kRead,     // the whole file was read
  kMissing,  // there is no such file
  kFailed,   // the file exists but could not be opened or read in full
};

enum class CreateStatus {
  kCreated,
  kExists,  // the name is taken; try another
  kFailed,
};

// What the update needs to know about a file: whether it is the same version
// it read before, and whether a person protected it.
struct FileInfo {
  bool exists = false;
  std::uint64_t device = 0;
  std::uint64_t inode = 0;  // on Windows, the file index
  std::uint64_t size = 0;
  std::int64_t mtime_ns = 0;
  std::uint32_t mode = 0;  // POSIX permission bits
  std::uint32_t owner = 0;
  std::uint32_t group = 0;
  std::uint32_t attributes = 0;  // Windows file attributes
  bool read_only = false;        // Windows read-only attribute, or no POSIX write bit at all
  bool immutable = false;        // Linux immutable or append-only flag

  // True when `other` describes the same file, unchanged since this was taken.
  bool SameVersion(const FileInfo& other) const {
    return exists == other.exists && device == other.device && inode == other.inode &&
           size == other.size && mtime_ns == other.mtime_ns;
  }
};

// An open file, as the implementation numbers it.
using FileHandle = std::intptr_t;

// Every method that can fail returns its status and, on failure, sets `*err`
// to the operating system's reason ("Permission denied").
class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // Looks an environment variable up, copying its value.
  virtual EnvStatus GetEnv(const char* name, std::string* value) = 0;

  // The file a path finally names: symbolic links in its last component are
  // followed (POSIX), so that the link stays and its target is rewritten.
  virtual std::string ResolveLinks(const std::string& path) = 0;

  // Opens a regular file for reading, with deny-none sharing, and describes
  // it. A missing file is kMissing; anything but a regular file is kFailed.
  virtual ReadStatus OpenRead(const std::string& path, FileHandle* file, FileInfo* info,
                              std::string* err) = 0;

  // Reads up to `size` bytes; `*got` is 0 at the end of the file.
  virtual bool Read(FileHandle file, char* buffer, std::size_t size, std::size_t* got,
                    std::string* err) = 0;

  // Describes a file without reading it; a missing file is kMissing.
  virtual ReadStatus Stat(const std::string& path, FileInfo* info, std::string* err) = 0;

  // Creates a new file exclusively, open for writing. When `like` exists the
  // new file gets its permission bits and owner (POSIX) or its hidden and
  // system attributes (Windows), or creation fails.
  virtual CreateStatus CreateTemp(const std::string& path, const FileInfo& like, FileHandle* file,
                                  std::string* err) = 0;

  // Opens an existing file for writing and cuts it to zero length, keeping
  // its identity, owner, permissions and attributes.
  virtual bool OpenInPlace(const std::string& path, FileHandle* file, std::string* err) = 0;

  // Writes all of `data`.
  virtual bool Write(FileHandle file, std::string_view data, std::string* err) = 0;

  // Flushes a file to stable storage.
  virtual bool Sync(FileHandle file, std::string* err) = 0;

  // Closes a file; the handle is gone even when this fails.
  virtual bool Close(FileHandle file, std::string* err) = 0;

  // Puts `from` in the place of `to` in one step and makes that durable.
  // `to_exists` says whether there is a file to replace.
  virtual bool Replace(const std::string& from, const std::string& to, bool to_exists,
                       std::string* err) = 0;

  // Deletes a file.
  virtual bool Remove(const std::string& path, std::string* err) = 0;
};

// The operating system's file system.
FileSystem& RealFileSystem();

}  // namespace hosts

#endif  // HOSTS_FILE_SYSTEM_H_

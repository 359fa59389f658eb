// The file system seam on POSIX systems, through the system calls directly.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#ifdef __linux__
#include <linux/fs.h>
#include <sys/ioctl.h>
#endif

#include "hosts/file_system.h"

namespace hosts {
namespace {

std::string ErrnoText(int error) { return std::strerror(error); }

void FillInfo(const struct stat& st, FileInfo* info) {
  *info = FileInfo();
  info->exists = true;
  info->device = static_cast<std::uint64_t>(st.st_dev);
  info->inode = static_cast<std::uint64_t>(st.st_ino);
  info->size = static_cast<std::uint64_t>(st.st_size);
  info->mtime_ns = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  info->mode = static_cast<std::uint32_t>(st.st_mode & 07777);
  info->owner = static_cast<std::uint32_t>(st.st_uid);
  info->group = static_cast<std::uint32_t>(st.st_gid);
  info->read_only = (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
}

// Reads the immutable and append-only flags where the file system has them.
bool HasImmutableFlag(int fd) {
#ifdef __linux__
  int flags = 0;
  if (ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
    return (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL)) != 0;
  }
#else
  (void)fd;
#endif
  return false;
}

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool CloseFd(int fd, std::string* err) {
  if (close(fd) != 0 && errno != EINTR) {
    *err = ErrnoText(errno);
    return false;
  }
  return true;
}

class PosixFileSystem : public FileSystem {
 public:
  EnvStatus GetEnv(const char* name, std::string* value) override {
    const char* found = std::getenv(name);
    if (found == nullptr) return EnvStatus::kUnset;
    // Copy the value the way the runtime's allocating lookup does; running
    // out of memory here is the lookup's one failure.
    char* copy = strdup(found);
    if (copy == nullptr) return EnvStatus::kFailed;
    value->assign(copy);
    std::free(copy);
    return EnvStatus::kFound;
  }

  std::string ResolveLinks(const std::string& path) override {
    std::string current = path;
    // Bounded like the kernel's own limit on nested links.
    for (int depth = 0; depth < 40; ++depth) {
      struct stat st;
      if (lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
      std::string target(4096, '\0');
      const ssize_t length = readlink(current.c_str(), target.data(), target.size());
      if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) return current;
      target.resize(static_cast<std::size_t>(length));
      current = target.front() == '/' ? target : DirectoryOf(current) + "/" + target;
    }
    return current;
  }

  ReadStatus OpenRead(const std::string& path, FileHandle* file, FileInfo* info,
                      std::string* err) override {
    // O_NONBLOCK keeps a FIFO in the hosts file's place from blocking the
    // open; it changes nothing for a regular file.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
      if (errno == ENOENT) return ReadStatus::kMissing;
      *err = ErrnoText(errno);
      return ReadStatus::kFailed;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
      *err = ErrnoText(errno);
      close(fd);
      return ReadStatus::kFailed;
    }
    if (!S_ISREG(st.st_mode)) {
      *err = S_ISDIR(st.st_mode) ? ErrnoText(EISDIR) : "not a regular file";
      close(fd);
      return ReadStatus::kFailed;
    }
    FillInfo(st, info);
    info->immutable = HasImmutableFlag(fd);
    *file = fd;
    return ReadStatus::kRead;
  }

  bool Read(FileHandle file, char* buffer, std::size_t size, std::size_t* got,
            std::string* err) override {
    for (;;) {
      const ssize_t n = read(static_cast<int>(file), buffer, size);
      if (n >= 0) {
        *got = static_cast<std::size_t>(n);
        return true;
      }
      if (errno != EINTR) {
        *err = ErrnoText(errno);
        return false;
      }
    }
  }

  ReadStatus Stat(const std::string& path, FileInfo* info, std::string* err) override {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
      if (errno == ENOENT) {
        *info = FileInfo();
        return ReadStatus::kMissing;
      }
      *err = ErrnoText(errno);
      return ReadStatus::kFailed;
    }
    FillInfo(st, info);
    return ReadStatus::kRead;
  }

  CreateStatus CreateTemp(const std::string& path, const FileInfo& like, FileHandle* file,
                          std::string* err) override {
    // Private while it is written; a brand-new hosts file gets the usual
    // mode less the umask.
    const mode_t mode = like.exists ? 0600 : 0666;
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, mode);
    if (fd < 0) {
      if (errno == EEXIST) return CreateStatus::kExists;
      *err = ErrnoText(errno);
      return CreateStatus::kFailed;
    }
    if (like.exists) {
      std::string failure;
      struct stat st;
      if (fstat(fd, &st) != 0) {
        failure = ErrnoText(errno);
      } else if ((st.st_uid != like.owner || st.st_gid != like.group) &&
                 fchown(fd, like.owner, like.group) != 0) {
        failure = "cannot give it the hosts file's owner: " + ErrnoText(errno);
      } else if (fchmod(fd, like.mode) != 0) {
        failure = "cannot give it the hosts file's mode: " + ErrnoText(errno);
      }
      if (!failure.empty()) {
        close(fd);
        unlink(path.c_str());
        *err = failure;
        return CreateStatus::kFailed;
      }
    }
    *file = fd;
    return CreateStatus::kCreated;
  }

  bool OpenInPlace(const std::string& path, FileHandle* file, std::string* err) override {
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
      *err = ErrnoText(errno);
      return false;
    }
    if (ftruncate(fd, 0) != 0) {
      *err = ErrnoText(errno);
      close(fd);
      return false;
    }
    *file = fd;
    return true;
  }

  bool Write(FileHandle file, std::string_view data, std::string* err) override {
    const int fd = static_cast<int>(file);
    while (!data.empty()) {
      const ssize_t n = write(fd, data.data(), data.size());
      if (n < 0) {
        if (errno == EINTR) continue;
        *err = ErrnoText(errno);
        return false;
      }
      data.remove_prefix(static_cast<std::size_t>(n));
    }
#ifdef __linux__
    // Start writing the new bytes out now, while the rest of the file is
    // still being rewritten, so that the flush at the end has less to wait
    // for. Only a head start: the flush is what makes the file durable.
    sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
    return true;
  }

  bool Sync(FileHandle file, std::string* err) override {
    if (fsync(static_cast<int>(file)) != 0) {
      *err = ErrnoText(errno);
      return false;
    }
    return true;
  }

  bool Close(FileHandle file, std::string* err) override {
    return CloseFd(static_cast<int>(file), err);
  }

  bool Replace(const std::string& from, const std::string& to, bool /*to_exists*/,
               std::string* err) override {
    if (rename(from.c_str(), to.c_str()) != 0) {
      *err = ErrnoText(errno);
      return false;
    }
    // Make the rename itself durable. The new content is already in place,
    // so a directory that cannot be synced does not undo the update.
    const int dir = open(DirectoryOf(to).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
      fsync(dir);
      close(dir);
    }
    return true;
  }

  bool Remove(const std::string& path, std::string* err) override {
    if (unlink(path.c_str()) != 0 && errno != ENOENT) {
      *err = ErrnoText(errno);
      return false;
    }
    return true;
  }
};

}  // namespace

FileSystem& RealFileSystem() {
  static PosixFileSystem file_system;
  return file_system;
}

}  // namespace hosts

// The file system seam on POSIX systems, through the system calls directly.
//
// POSIX has no mandatory sharing modes: OpenHeld and OpenInPlace cannot keep
// other programs from writing, so the update's check before the replace is
// what notices them. Runs of this tool serialize on an advisory lock on the
// hosts file's directory, and each holds an advisory lock on its temporary
// file, so that a killed run's file (whose lock died with it) can be told
// from a live one's.

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
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

Status ErrnoStatus(int error, Code code = Code::kFailed) {
  return Status(code, std::strerror(error));
}

void FillInfo(const struct stat& st, FileInfo* info) {
  *info = FileInfo();
  info->exists = true;
  info->device = static_cast<std::uint64_t>(st.st_dev);
  info->id = static_cast<std::uint64_t>(st.st_ino);
  info->size = static_cast<std::uint64_t>(st.st_size);
  info->mtime_ns = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  info->links = static_cast<std::uint32_t>(st.st_nlink);
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

// Opens a regular file and describes it. O_NONBLOCK keeps a FIFO in the hosts
// file's place from blocking the open; it changes nothing for a regular file.
Status OpenRegular(const std::string& path, int flags, FileHandle* file, FileInfo* info) {
  const int fd = open(path.c_str(), flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return ErrnoStatus(errno, errno == ENOENT ? Code::kNotFound : Code::kFailed);
  struct stat st;
  Status status;
  if (fstat(fd, &st) != 0) {
    status = ErrnoStatus(errno);
  } else if (!S_ISREG(st.st_mode)) {
    status = S_ISDIR(st.st_mode) ? ErrnoStatus(EISDIR) : Status::Failed("not a regular file");
  }
  if (!status.ok()) {
    close(fd);
    return status;
  }
  FillInfo(st, info);
  info->immutable = HasImmutableFlag(fd);
  *file = fd;
  return status;
}

Status WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return ErrnoStatus(errno);
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return Status();
}

class PosixFileSystem : public FileSystem {
 public:
  Status GetEnv(const char* name, std::string* value) override {
    const char* found = std::getenv(name);
    if (found == nullptr) return Status(Code::kNotFound, "not set");
    // Copy the value the way the runtime's allocating lookup does; running
    // out of memory here is the lookup's one failure.
    char* copy = strdup(found);
    if (copy == nullptr) return ErrnoStatus(ENOMEM);
    value->assign(copy);
    std::free(copy);
    return Status();
  }

  Status ReadLink(const std::string& path, std::string* target) override {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return Status(Code::kNotFound, "");
    target->assign(4096, '\0');
    const ssize_t length = readlink(path.c_str(), target->data(), target->size());
    if (length < 0) return ErrnoStatus(errno);
    if (length == 0 || static_cast<std::size_t>(length) >= target->size()) {
      return Status::Failed("the link's target is empty or too long");
    }
    target->resize(static_cast<std::size_t>(length));
    return Status();
  }

  Status LockUpdates(const std::string& path, FileHandle* lock) override {
    const int fd = open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return ErrnoStatus(errno);
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      close(fd);
      return ErrnoStatus(error, error == EWOULDBLOCK ? Code::kBusy : Code::kFailed);
    }
    *lock = fd;
    return Status();
  }

  void Unlock(FileHandle lock) override { close(static_cast<int>(lock)); }

  Status ListSiblings(const std::string& prefix, std::vector<std::string>* paths) override {
    const std::string directory = DirectoryOf(prefix);
    DIR* dir = opendir(directory.c_str());
    if (dir == nullptr) return ErrnoStatus(errno);
    const std::string name_prefix = prefix.substr(prefix.find_last_of('/') + 1);
    while (const dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name.compare(0, name_prefix.size(), name_prefix) == 0) {
        paths->push_back(directory + "/" + name);
      }
    }
    closedir(dir);
    return Status();
  }

  Status RemoveStale(const std::string& path) override {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return errno == ENOENT ? Status() : ErrnoStatus(errno);
    Status status;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      status = ErrnoStatus(errno, errno == EWOULDBLOCK ? Code::kBusy : Code::kFailed);
    } else if (unlink(path.c_str()) != 0 && errno != ENOENT) {
      status = ErrnoStatus(errno);
    }
    close(fd);
    return status;
  }

  Status OpenHeld(const std::string& path, FileHandle* file, FileInfo* info) override {
    return OpenRegular(path, O_RDONLY, file, info);
  }

  Status Read(FileHandle file, char* buffer, std::size_t size, std::size_t* got) override {
    for (;;) {
      const ssize_t n = read(static_cast<int>(file), buffer, size);
      if (n >= 0) {
        *got = static_cast<std::size_t>(n);
        return Status();
      }
      if (errno != EINTR) return ErrnoStatus(errno);
    }
  }

  Status Identify(const std::string& path, FileInfo* info) override {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
      return ErrnoStatus(errno, errno == ENOENT ? Code::kNotFound : Code::kFailed);
    }
    FillInfo(st, info);
    return Status();
  }

  Status CreateTemp(const std::string& path, FileHandle original, FileHandle* file) override {
    // Private while it is written; a brand-new hosts file gets the usual
    // mode less the umask.
    const mode_t mode = original == kNoFile ? 0666 : 0600;
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, mode);
    if (fd < 0) return ErrnoStatus(errno, errno == EEXIST ? Code::kExists : Code::kFailed);
    // Held as long as this run lives; RemoveStale leaves it alone meanwhile.
    flock(fd, LOCK_EX | LOCK_NB);
    if (original != kNoFile) {
      Status status;
      struct stat like;
      struct stat st;
      if (fstat(static_cast<int>(original), &like) != 0 || fstat(fd, &st) != 0) {
        status = ErrnoStatus(errno);
      } else if ((st.st_uid != like.st_uid || st.st_gid != like.st_gid) &&
                 fchown(fd, like.st_uid, like.st_gid) != 0) {
        status = ErrnoStatus(errno).In("cannot give it the hosts file's owner");
      } else if (fchmod(fd, like.st_mode & 07777) != 0) {
        status = ErrnoStatus(errno).In("cannot give it the hosts file's mode");
      }
      if (!status.ok()) {
        close(fd);
        unlink(path.c_str());
        return status;
      }
    }
    *file = fd;
    return Status();
  }

  Status WriteTemp(FileHandle file, std::string_view data) override {
    const int fd = static_cast<int>(file);
    if (Status status = WriteAll(fd, data); !status.ok()) return status;
#ifdef __linux__
    // Start writing the new bytes out now, while the rest of the file is
    // still being rewritten, so that Sync has less to wait for. Only a head
    // start: Sync is what makes the file durable.
    sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
    return Status();
  }

  Status Sync(FileHandle file) override {
    if (fsync(static_cast<int>(file)) != 0) return ErrnoStatus(errno);
    return Status();
  }

  Status CommitTemp(FileHandle file, const std::string& path, const std::string& target,
                    bool replace) override {
    if (replace ? rename(path.c_str(), target.c_str()) != 0 : !RenameIfFree(path, target)) {
      return ErrnoStatus(errno, errno == EEXIST ? Code::kExists : Code::kFailed);
    }
    // Make the rename itself durable. The new content is in place and was
    // flushed, so neither this nor the close can undo the update.
    const int dir = open(DirectoryOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
      fsync(dir);
      close(dir);
    }
    close(static_cast<int>(file));
    return Status();
  }

  Status DiscardTemp(FileHandle file, const std::string& path) override {
    close(static_cast<int>(file));
    if (unlink(path.c_str()) != 0 && errno != ENOENT) return ErrnoStatus(errno);
    return Status();
  }

  Status OpenInPlace(const std::string& path, FileHandle* file, FileInfo* info) override {
    return OpenRegular(path, O_RDWR, file, info);
  }

  Status Overwrite(FileHandle file, std::string_view data) override {
    // Writing before cutting means the file is never seen empty.
    const int fd = static_cast<int>(file);
    if (lseek(fd, 0, SEEK_SET) != 0) return ErrnoStatus(errno);
    if (Status status = WriteAll(fd, data); !status.ok()) return status;
    if (ftruncate(fd, static_cast<off_t>(data.size())) != 0) return ErrnoStatus(errno);
    return Sync(file);
  }

  Status Close(FileHandle file) override {
    if (close(static_cast<int>(file)) != 0 && errno != EINTR) return ErrnoStatus(errno);
    return Status();
  }

  void Sleep(int milliseconds) override {
    timespec wait{milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
  }

 private:
  // Renames `from` to `to` only if `to` does not exist; EEXIST if it does.
  static bool RenameIfFree(const std::string& from, const std::string& to) {
#if defined(__linux__) && defined(RENAME_NOREPLACE)
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
#endif
    // Where the file system cannot do that, a new link fails on a taken name.
    if (link(from.c_str(), to.c_str()) != 0) return false;
    unlink(from.c_str());
    return true;
  }
};

}  // namespace

FileSystem& RealFileSystem() {
  static PosixFileSystem file_system;
  return file_system;
}

}  // namespace hosts

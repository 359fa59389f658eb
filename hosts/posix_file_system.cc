// The file system seam on POSIX systems, through the system calls directly;
// the walk to the hosts file's folder is in posix_walk.cc.
//
// POSIX has no mandatory sharing modes: OpenHeld and OpenInPlace cannot keep
// other programs from writing, so the update's check before the replace is
// what notices them. Runs of this tool serialize on an advisory lock on a
// lock file in the hosts file's folder, which only the folder's owner can
// create and only its owner can open; and each holds an advisory lock on its
// temporary file, so that a killed run's file (whose lock died with it) can
// be told from a live one's.

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#ifdef __linux__
#include <linux/fs.h>
#include <sys/ioctl.h>
#endif

#include "hosts/file_system.h"
#include "hosts/posix_walk.h"

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

// Takes the lock of `fd`, opened as `name` in `dir`, if it is a file this
// tool could have made (a regular file with one name and a trusted owner)
// and the name still leads to it. kBusy while another process holds it;
// kChanged when the name leads elsewhere now.
Status LockIfOurs(int dir, const char* name, int fd) {
  struct stat held;
  struct stat now;
  if (fstat(fd, &held) != 0) return ErrnoStatus(errno);
  if (!S_ISREG(held.st_mode) || held.st_nlink != 1 || !IsTrustedOwner(held.st_uid)) {
    return Status::Failed("not a file this tool made");
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    return ErrnoStatus(errno, errno == EWOULDBLOCK ? Code::kBusy : Code::kFailed);
  }
  if (fstatat(dir, name, &now, AT_SYMLINK_NOFOLLOW) != 0 || now.st_dev != held.st_dev ||
      now.st_ino != held.st_ino) {
    return Status(Code::kChanged, "the name changed meanwhile");
  }
  return Status();
}

// Opens a regular file in `folder` and describes it. A link at the name is
// refused: the walk to the folder followed the links it trusts. O_NONBLOCK
// keeps a FIFO in the hosts file's place from blocking the open; it changes
// nothing for a regular file.
Status OpenRegular(const Folder& folder, const std::string& name, int flags, FileHandle* file,
                   FileInfo* info) {
  const int fd = openat(static_cast<int>(folder.handle), name.c_str(),
                        flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
  if (fd < 0) {
    if (errno == ELOOP) return Status::Failed("the name has become a symbolic link");
    return ErrnoStatus(errno, errno == ENOENT ? Code::kNotFound : Code::kFailed);
  }
  struct stat st;
  Status status;
  if (fstat(fd, &st) != 0) {
    status = ErrnoStatus(errno);
  } else if (!S_ISREG(st.st_mode)) {
    status = Status::Failed(S_ISDIR(st.st_mode) ? "not a regular file (a directory)"
                                                : "not a regular file");
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

// Another descriptor of `folder` with an open file description of its own,
// for a lock or a listing that must not share the folder's.
int ReopenFolder(const Folder& folder) {
  return openat(static_cast<int>(folder.handle), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

// The update lock's name in the hosts folder.
constexpr char kLockName[] = "hosts_entry_tool.lock";

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

  Status CheckSystemRoot(const std::string& root, std::string* checked) override {
    if (root.empty()) return Status::Failed("is empty");
    if (root[0] != '/') return Status::Failed("is not an absolute path");
    *checked = root;
    return Status();
  }

  Status OpenFolderOf(const std::string& path, Folder* folder, std::string* name) override {
    return WalkToFolder(path, folder, name);
  }

  Status LockUpdates(const Folder& folder, FileHandle* lock) override {
    // Not flock on the folder or the hosts file, which any user who can read
    // them can hold: a file of mode 0600 that only this account can open.
    // A killed run's lock dies with it; its file is taken over as it is.
    const int dir = static_cast<int>(folder.handle);
    const int fd = openat(
        dir, kLockName, O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0600);
    if (fd < 0) return ErrnoStatus(errno);
    Status status = LockIfOurs(dir, kLockName, fd);
    if (status.code() == Code::kChanged) {
      // The run that held it removed it meanwhile: try again.
      status = Status(Code::kBusy, "another run of this tool just let go of it");
    }
    if (!status.ok()) {
      close(fd);
      return status;
    }
    *lock = fd;
    lock_folder_ = dir;
    return Status();
  }

  void Unlock(FileHandle lock) override {
    // Removed while still held, so that no run takes a name that is going.
    unlinkat(lock_folder_, kLockName, 0);
    close(static_cast<int>(lock));
  }

  Status ListSiblings(const Folder& folder, const std::string& prefix,
                      std::vector<std::string>* names) override {
    const int fd = ReopenFolder(folder);
    DIR* dir = fd < 0 ? nullptr : fdopendir(fd);
    if (dir == nullptr) {
      const int error = errno;
      if (fd >= 0) close(fd);
      return ErrnoStatus(error);
    }
    while (const dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name.compare(0, prefix.size(), prefix) == 0) names->push_back(name);
    }
    closedir(dir);
    return Status();
  }

  Status RemoveStale(const Folder& folder, const std::string& name) override {
    const int dir = static_cast<int>(folder.handle);
    const int fd =
        openat(dir, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0) return errno == ENOENT ? Status() : ErrnoStatus(errno);
    // kBusy while its run is still alive.
    Status status = LockIfOurs(dir, name.c_str(), fd);
    if (status.ok() && unlinkat(dir, name.c_str(), 0) != 0 && errno != ENOENT) {
      status = ErrnoStatus(errno);
    }
    close(fd);
    return status;
  }

  Status OpenHeld(const Folder& folder, const std::string& name, FileHandle* file,
                  FileInfo* info) override {
    return OpenRegular(folder, name, O_RDONLY, file, info);
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

  char* AllocateHold(std::size_t size) override {
    void* data = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (data == MAP_FAILED) return nullptr;
#ifdef MADV_HUGEPAGE
    // Large pages where the kernel gives them on request: a whole file of
    // tens of megabytes then costs some dozen first touches, not thousands,
    // which on a virtual machine is the difference between a fraction of a
    // replace's cost and all of it.
    madvise(data, size, MADV_HUGEPAGE);
#endif
    return static_cast<char*>(data);
  }

  void FreeHold(char* data, std::size_t size) override {
    if (data != nullptr) munmap(data, size);
  }

  Status Identify(const Folder& folder, const std::string& name, FileInfo* info) override {
    struct stat st;
    if (fstatat(static_cast<int>(folder.handle), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      return ErrnoStatus(errno, errno == ENOENT ? Code::kNotFound : Code::kFailed);
    }
    FillInfo(st, info);
    return Status();
  }

  Status CreateTemp(const Folder& folder, const std::string& name, FileHandle original,
                    FileHandle* file) override {
    // Private until it is renamed into place (no other account can open a
    // killed run's file and so keep the next run from removing it); then it
    // gets the hosts file's mode, or, for a brand-new one, the usual mode
    // less the umask.
    const int dir = static_cast<int>(folder.handle);
    const int fd = openat(dir, name.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600);
    if (fd < 0) {
      return ErrnoStatus(errno, errno == EEXIST ? Code::kExists : InPlaceOnlyIfRefused(errno));
    }
    // Held as long as this run lives; RemoveStale leaves it alone meanwhile.
    flock(fd, LOCK_EX | LOCK_NB);
    const mode_t mask = umask(0);
    umask(mask);
    modes_[fd] = 0666 & ~mask;
    if (original != kNoFile) {
      Status status;
      struct stat like;
      struct stat st;
      if (fstat(static_cast<int>(original), &like) != 0 || fstat(fd, &st) != 0) {
        status = ErrnoStatus(errno);
      } else if ((st.st_uid != like.st_uid || st.st_gid != like.st_gid) &&
                 fchown(fd, like.st_uid, like.st_gid) != 0) {
        status = ErrnoStatus(errno, InPlaceOnlyIfRefused(errno))
                     .In("cannot give it the hosts file's owner");
      }
      if (status.ok()) modes_[fd] = like.st_mode & 07777;
      if (!status.ok()) {
        modes_.erase(fd);
        close(fd);
        unlinkat(dir, name.c_str(), 0);
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

  Status CommitTemp(FileHandle file, const Folder& folder, const std::string& name,
                    const std::string& target, bool replace) override {
    const int dir = static_cast<int>(folder.handle);
    const int fd = static_cast<int>(file);
    if (fchmod(fd, modes_[fd]) != 0) {
      return ErrnoStatus(errno, InPlaceOnlyIfRefused(errno))
          .In("cannot give it the hosts file's mode");
    }
    if (replace ? renameat(dir, name.c_str(), dir, target.c_str()) != 0
                : !RenameIfFree(dir, name, target)) {
      // A mount point at the name, or a file from another device, takes no
      // replacement; the file itself can still be rewritten.
      const Code code = errno == EEXIST                    ? Code::kExists
                        : errno == EBUSY || errno == EXDEV ? Code::kInPlaceOnly
                                                           : Code::kFailed;
      return ErrnoStatus(errno, code);
    }
    // Make the rename itself durable. The new content is in place and was
    // flushed, so neither this nor the close can undo the update.
    fsync(dir);
    modes_.erase(fd);
    close(fd);
    return Status();
  }

  Status DiscardTemp(FileHandle file, const Folder& folder, const std::string& name) override {
    modes_.erase(static_cast<int>(file));
    close(static_cast<int>(file));
    if (unlinkat(static_cast<int>(folder.handle), name.c_str(), 0) != 0 && errno != ENOENT) {
      return ErrnoStatus(errno);
    }
    return Status();
  }

  Status OpenInPlace(const Folder& folder, const std::string& name, FileHandle* file,
                     FileInfo* info) override {
    return OpenRegular(folder, name, O_RDWR, file, info);
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
  // The folder of the lock this process holds.
  int lock_folder_ = -1;
  // The mode each temporary file gets when it is put in place.
  std::map<int, mode_t> modes_;

  // A folder that takes no new file from this user (no permission, a
  // read-only file system) or an owner that cannot be given: the file itself
  // may still be writable.
  static Code InPlaceOnlyIfRefused(int error) {
    return error == EACCES || error == EPERM || error == EROFS ? Code::kInPlaceOnly : Code::kFailed;
  }

  // Renames `from` to `to` in `dir` only if `to` does not exist; EEXIST if it does.
  static bool RenameIfFree(int dir, const std::string& from, const std::string& to) {
#if defined(__linux__) && defined(RENAME_NOREPLACE)
    if (renameat2(dir, from.c_str(), dir, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
#endif
    // Where the file system cannot do that, a new link fails on a taken name.
    if (linkat(dir, from.c_str(), dir, to.c_str(), 0) != 0) return false;
    unlinkat(dir, from.c_str(), 0);
    return true;
  }
};

}  // namespace

FileSystem& RealFileSystem() {
  static PosixFileSystem file_system;
  return file_system;
}

}  // namespace hosts

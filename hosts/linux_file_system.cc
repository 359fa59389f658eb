// The file system seam on Linux, through the system calls directly; the walk
// to the hosts file's folder is in linux_walk.cc.
//
// Linux has no mandatory sharing modes: a held file cannot keep other
// programs from writing, so the update's check before the replace is what
// notices them. Runs of this tool serialize on an advisory lock on a lock
// file in the hosts file's folder, which only the folder's owner can create
// and only its owner can open; and each holds an advisory lock on its
// temporary file, so that a killed run's file (whose lock died with it) can
// be told from a live one's.

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "hosts/deadline.h"
#include "hosts/file_system.h"
#include "hosts/limits.h"
#include "hosts/linux_support.h"

namespace hosts {

Status SystemStatus(Call call, int error) {
  Code code = Code::kFailed;
  switch (call) {
    case Call::kOpen:
      if (error == ELOOP) return Status::Failed("the name has become a symbolic link");
      if (error == ENOENT) code = Code::kNotFound;
      // Another program's lease, which a non-blocking open does not wait for.
      if (error == EWOULDBLOCK) code = Code::kBusy;
      break;
    case Call::kCreate:
    case Call::kChangeOwner:
      // A folder that takes no new file from this user (no permission, a
      // read-only file system) or an owner that cannot be given: the file
      // itself may still be writable.
      if (error == EEXIST && call == Call::kCreate) code = Code::kExists;
      if (error == EACCES || error == EPERM || error == EROFS) code = Code::kInPlaceOnly;
      break;
    case Call::kRename:
      // A mount point at the name, or a file from another device, takes no
      // replacement; the file itself can still be rewritten.
      if (error == EEXIST) code = Code::kExists;
      if (error == EBUSY || error == EXDEV) code = Code::kInPlaceOnly;
      break;
    case Call::kLock:
      if (error == EWOULDBLOCK) code = Code::kBusy;
      break;
    case Call::kOther:
      break;
  }
  return Status(code, std::strerror(error));
}

namespace {

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
  int flags = 0;
  if (ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
    return (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL)) != 0;
  }
  return false;
}

// Whether `name` in `dir` leads, not following a link, to the file `file`
// describes.
bool NameLeadsTo(int dir, const char* name, const struct stat& file) {
  struct stat now;
  return fstatat(dir, name, &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_dev == file.st_dev &&
         now.st_ino == file.st_ino;
}

// The signal a lease's break is told with: SIGURG, which is ignored unless a
// program asks for it, kept blocked so that it stays pending until looked at.
sigset_t BreakSignal() {
  sigset_t signal;
  sigemptyset(&signal);
  sigaddset(&signal, SIGURG);
  return signal;
}

// Takes the update lock `fd`, opened as `name` in `dir`, if it is a file
// this tool could have made (a regular file with one name and a trusted
// owner; its mode, 0600, lets no other account open it) and the name still
// leads to it. kBusy while another process holds it; kChanged when the name
// leads elsewhere now.
Status LockIfOurs(int dir, const char* name, int fd) {
  struct stat held;
  if (fstat(fd, &held) != 0) return SystemStatus(Call::kOther, errno);
  if (!S_ISREG(held.st_mode) || held.st_nlink != 1 || !IsTrustedOwner(held.st_uid)) {
    return Status::Failed("not a file this tool made");
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) return SystemStatus(Call::kLock, errno);
  if (!NameLeadsTo(dir, name, held)) return Status(Code::kChanged, "the name changed meanwhile");
  return Status();
}

// The lock that marks a live run's temporary file: an open file
// description's lock on all of it, for writing, which only a descriptor open
// for writing can take. Any account that may read a file can take flock on
// it, or a lock for reading, so neither tells a live run's file from a
// killed one's.
struct flock WholeFile(short type) {
  struct flock whole {};
  whole.l_type = type;
  whole.l_whence = SEEK_SET;
  return whole;
}

Status WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return SystemStatus(Call::kOther, errno);
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return Status();
}

Status Flush(int fd) { return fsync(fd) == 0 ? Status() : SystemStatus(Call::kOther, errno); }

// An open file: the hosts file held for reading, or opened for rewriting in
// place.
class LinuxFile : public InPlaceFile {
 public:
  explicit LinuxFile(int fd) : fd_(fd) {}
  ~LinuxFile() override { close(fd_); }
  int fd() const { return fd_; }

  // Asks to be told when another program opens the file for writing: a
  // lease, which makes that program's open wait until this run lets go of
  // it (or for lease-break-time, 45 s by default) and sends this run a
  // signal. kBusy while another program has the file open for writing, and
  // so may write it at any moment. Where the file system has no leases, or
  // this account may not take one, the run goes on without; the check
  // before the replace still sees a change made by then.
  Status Lease() {
    // The signal is kept pending rather than handled: the run looks for it
    // once it has let go of the lease, so that a program that began to wait
    // at any moment until then is seen. A signal of an earlier pass's lease
    // is taken out of the way first.
    const sigset_t break_signal = BreakSignal();
    pthread_sigmask(SIG_BLOCK, &break_signal, nullptr);
    TakeBreak();
    leased_ = fcntl(fd_, F_SETSIG, SIGURG) == 0 && fcntl(fd_, F_SETLEASE, F_RDLCK) == 0;
    if (!leased_ && errno == EAGAIN) {
      return Status(Code::kBusy, "another program has it open for writing");
    }
    return Status();
  }
  bool leased() const { return leased_; }

  // Whether another program began to wait to write a leased file since the
  // lease was taken; the signal that says so is taken with the answer.
  static bool TakeBreak() {
    const sigset_t break_signal = BreakSignal();
    const timespec now{0, 0};
    return sigtimedwait(&break_signal, nullptr, &now) == SIGURG;
  }

  Status Read(char* buffer, std::size_t size, std::size_t* got) override {
    // Another program waits to write the file: this pass gives way at once,
    // and the next reads what it wrote.
    if (leased_ && TakeBreak()) {
      return Status(Code::kChanged, "another program is about to write the file");
    }
    for (;;) {
      const ssize_t n = read(fd_, buffer, size);
      if (n >= 0) {
        *got = static_cast<std::size_t>(n);
        return Status();
      }
      if (errno != EINTR) return SystemStatus(Call::kOther, errno);
    }
  }

  Status Overwrite(std::string_view data) override {
    // One write from the start, then one cut, then the flush: writing before
    // cutting means the file is never seen empty.
    for (std::size_t done = 0; done < data.size();) {
      const ssize_t n =
          pwrite(fd_, data.data() + done, data.size() - done, static_cast<off_t>(done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0)
        return n < 0 ? SystemStatus(Call::kOther, errno) : Status::Failed("nothing was written");
      done += static_cast<std::size_t>(n);
    }
    if (ftruncate(fd_, static_cast<off_t>(data.size())) != 0) {
      return SystemStatus(Call::kOther, errno);
    }
    return Flush(fd_);
  }

 private:
  const int fd_;
  bool leased_ = false;
};

// The update lock: a file of mode 0600 that only this account can open,
// locked with flock. Removed while still held, so that no run takes a name
// that is going.
class LinuxLock : public UpdateLock {
 public:
  LinuxLock(int dir, int fd) : dir_(dir), fd_(fd) {}
  ~LinuxLock() override {
    unlinkat(dir_, kLockName, 0);
    close(fd_);
  }

 private:
  const int dir_;
  const int fd_;
};

// Who the temporary file belongs to once it is put in place: the hosts
// file's owner, group and mode, or, for a brand-new one, this account's
// and the usual mode less the umask.
struct Owner {
  bool given = false;  // the hosts file's, to be given at the commit
  uid_t uid = 0;
  gid_t gid = 0;
  mode_t mode = 0;
};

class LinuxTempFile : public TempFile {
 public:
  // `original` is a descriptor of the hosts file this run read (its own,
  // closed with it), or -1; `leased` says whether that file is leased.
  LinuxTempFile(int dir, int fd, std::string name, Owner owner, int original, bool leased)
      : TempFile(std::move(name)),
        dir_(dir),
        fd_(fd),
        owner_(owner),
        original_(original),
        leased_(leased) {}
  ~LinuxTempFile() override {
    assert(fd_ < 0 && "the temporary file was neither committed nor discarded");
    Discard();
  }

  Status Write(std::string_view data) override {
    if (Status status = WriteAll(fd_, data); !status.ok()) return status;
    // Start writing the new bytes out now, while the rest of the file is
    // still being rewritten, so that Sync has less to wait for. Only a head
    // start: Sync is what makes the file durable.
    sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE);
    return Status();
  }

  Status Sync() override { return Flush(fd_); }

  Status Commit(const std::string& target, const FileInfo& expected) override {
    // Only now the hosts file's owner: until here a killed run's file is
    // this account's, and the next run removes it.
    if (owner_.given && fchown(fd_, owner_.uid, owner_.gid) != 0) {
      return SystemStatus(Call::kChangeOwner, errno).In("cannot give it the hosts file's owner");
    }
    if (fchmod(fd_, owner_.mode) != 0) {
      return SystemStatus(Call::kChangeOwner, errno).In("cannot give it the hosts file's mode");
    }
    if (!IsOurs()) {
      return Status(Code::kChanged, "its name no longer leads to the file this run wrote");
    }
    if (!expected.exists) {
      if (!RenameIfFree(target)) return SystemStatus(Call::kRename, errno);
    } else if (Status status = Exchange(target, expected); !status.ok()) {
      return status;
    }
    // Make the rename itself durable. The new content is in place and was
    // flushed, so neither this nor the close can undo the update.
    fsync(dir_);
    close(fd_);
    fd_ = -1;
    return Status();
  }

  Status Discard() override {
    if (fd_ < 0) return Status();
    // Only this run's own file goes.
    const bool ours = IsOurs();
    close(fd_);
    fd_ = -1;
    if (ours && unlinkat(dir_, name().c_str(), 0) != 0 && errno != ENOENT) {
      return SystemStatus(Call::kOther, errno);
    }
    return Status();
  }

 private:
  // Whether the temporary name still leads to this run's file.
  bool IsOurs() const { return Holds(name()); }

  // Swaps this file and `target` in one step (RENAME_EXCHANGE), and checks
  // what came back under the temporary name: the version read, unchanged,
  // with no other program waiting to write it. Otherwise it is swapped back,
  // and the run starts over on it. Where the file system cannot swap, a
  // plain rename replaces what is there, which a change made in the moment
  // since the last check loses.
  Status Exchange(const std::string& target, const FileInfo& expected) {
    // A program that began to wait to write the file already: the run
    // starts over once it has written, with nothing swapped.
    if (original_ >= 0 && leased_ && LinuxFile::TakeBreak()) {
      return Status(Code::kChanged, "another program is about to write the file");
    }
    if (renameat2(dir_, name().c_str(), dir_, target.c_str(), RENAME_EXCHANGE) != 0) {
      if (errno != EINVAL && errno != ENOSYS) return SystemStatus(Call::kRename, errno);
      if (renameat(dir_, name().c_str(), dir_, target.c_str()) != 0) {
        return SystemStatus(Call::kRename, errno);
      }
      return Status();
    }
    struct stat back;
    FileInfo came_back;
    if (fstatat(dir_, name().c_str(), &back, AT_SYMLINK_NOFOLLOW) == 0) FillInfo(back, &came_back);
    // Let go of the lease, so that a program that waits to write the old
    // file goes on; where one began to wait at any moment until then, the
    // old file goes back in place, to take what it writes.
    bool kept = came_back.SameVersion(expected);
    if (original_ >= 0 && leased_) {
      fcntl(original_, F_SETLEASE, F_UNLCK);
      kept = !LinuxFile::TakeBreak() && kept;
    }
    if (kept) {
      unlinkat(dir_, name().c_str(), 0);
      return Status();
    }
    return PutBack(target);
  }

  // Puts back at `target` the version the exchange took from it, now under
  // the temporary name, and starts the pass over on it. Where another
  // program put a file at `target` since, that file is newer still and stays:
  // what came back goes. Once this run's file is under the temporary name
  // again, the discard removes it.
  Status PutBack(const std::string& target) {
    const Status changed(Code::kChanged, "another program changed the file meanwhile");
    for (int round = 0; round < 2; ++round) {
      if (!Holds(target)) {
        if (!IsOurs()) unlinkat(dir_, name().c_str(), 0);
        return changed;
      }
      if (renameat2(dir_, name().c_str(), dir_, target.c_str(), RENAME_EXCHANGE) != 0) {
        return SystemStatus(Call::kOther, errno)
            .In("another program changed the file meanwhile, and putting its version back failed")
            .Also("the file holds this run's rewrite of the version it read");
      }
      if (IsOurs()) return changed;
      // Another program replaced this run's file at `target` in the moment
      // before the swap: that newer file came back, and goes in place in turn.
      if (renameat2(dir_, name().c_str(), dir_, target.c_str(), RENAME_EXCHANGE) != 0) {
        return SystemStatus(Call::kOther, errno)
            .In("another program replaced the file twice meanwhile, and putting the newer "
                "version back failed")
            .Also("it is under the temporary name");
      }
    }
    if (!IsOurs()) unlinkat(dir_, name().c_str(), 0);
    return changed;
  }

  // Whether `target` leads to this run's file.
  bool Holds(const std::string& target) const {
    struct stat own;
    return fstat(fd_, &own) == 0 && NameLeadsTo(dir_, target.c_str(), own);
  }

  // Renames this file to `to` only if `to` does not exist; EEXIST if it does.
  bool RenameIfFree(const std::string& to) {
#ifdef RENAME_NOREPLACE
    if (renameat2(dir_, name().c_str(), dir_, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
#endif
    // Where the file system cannot do that, a new link fails on a taken name.
    if (linkat(dir_, name().c_str(), dir_, to.c_str(), 0) != 0) return false;
    unlinkat(dir_, name().c_str(), 0);
    return true;
  }

  struct Closer {
    int fd;
    ~Closer() {
      if (fd >= 0) close(fd);
    }
  };

  const int dir_;
  int fd_;
  const Owner owner_;
  const int original_;
  const Closer closes_original_{original_};
  const bool leased_;
};

// Gives the unnamed file `fd` the name `name` in `dir`: linkat with
// AT_EMPTY_PATH, which needs the right to read any folder (root has it), or
// through /proc without it.
bool LinkUnnamed(int fd, int dir, const std::string& name) {
  if (linkat(fd, "", dir, name.c_str(), AT_EMPTY_PATH) == 0) return true;
  if (errno != ENOENT && errno != EPERM) return false;
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  return linkat(AT_FDCWD, self.c_str(), dir, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

class LinuxFolder : public Folder {
 public:
  LinuxFolder(int fd, std::string path) : Folder(std::move(path)), fd_(fd) {}
  ~LinuxFolder() override { close(fd_); }

  Status Lock(std::unique_ptr<UpdateLock>* lock) override {
    // Not flock on the folder or the hosts file, which any user who can read
    // them can hold: a file of mode 0600 that only this account can open.
    // A killed run's lock dies with it; its file is taken over as it is.
    const int fd = openat(
        fd_, kLockName, O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0600);
    if (fd < 0) return SystemStatus(Call::kOther, errno);
    Status status = LockIfOurs(fd_, kLockName, fd);
    if (status.code() == Code::kChanged) {
      // The run that held it removed it meanwhile: try again.
      status = Status(Code::kBusy, "another run of this tool just let go of it");
    }
    if (!status.ok()) {
      close(fd);
      return status;
    }
    *lock = std::make_unique<LinuxLock>(fd_, fd);
    return Status();
  }

  Status List(const std::string& prefix, std::vector<std::string>* names) override {
    // Another descriptor of the folder with an open file description of its
    // own, which the listing may move.
    const int fd = openat(fd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = fd < 0 ? nullptr : fdopendir(fd);
    if (dir == nullptr) {
      const int error = errno;
      if (fd >= 0) close(fd);
      return SystemStatus(Call::kOther, error);
    }
    while (const dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name.compare(0, prefix.size(), prefix) == 0) names->push_back(name);
    }
    closedir(dir);
    return Status();
  }

  Status RemoveStale(const std::string& name, const std::string& beside) override {
    const int fd =
        openat(fd_, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0) return errno == ENOENT ? Status() : SystemStatus(Call::kOther, errno);
    Status status = StaleAndOurs(fd, name, beside);
    if (status.ok() && unlinkat(fd_, name.c_str(), 0) != 0 && errno != ENOENT) {
      status = SystemStatus(Call::kOther, errno);
    }
    close(fd);
    return status;
  }

  Status OpenHeld(const std::string& name, std::unique_ptr<HeldFile>* file,
                  FileInfo* info) override {
    std::unique_ptr<LinuxFile> opened;
    Status status = OpenRegular(name, O_RDONLY, &opened, info);
    if (status.ok()) status = opened->Lease();
    if (!status.ok()) return status;
    *file = std::move(opened);
    return status;
  }

  Status Identify(const std::string& name, FileInfo* info) override {
    struct stat st;
    if (fstatat(fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      return SystemStatus(Call::kOpen, errno);
    }
    FillInfo(st, info);
    return Status();
  }

  Status CreateTemp(const std::string& name, const HeldFile* original,
                    std::unique_ptr<TempFile>* file) override {
    // Private until it is put in place (no other account can open a killed
    // run's file and so keep the next run from removing it), and locked
    // before it has a name, so that no other run's cleanup can take it for a
    // killed run's. Where the file system makes no unnamed files, it is
    // locked just after it is made, and the commit and the discard check
    // that the name still leads to it.
    int fd = openat(fd_, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    const bool unnamed = fd >= 0;
    if (!unnamed && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
      return SystemStatus(Call::kCreate, errno);
    }
    if (!unnamed) {
      fd = openat(fd_, name.c_str(),
                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600);
      if (fd < 0) return SystemStatus(Call::kCreate, errno);
    }
    // Held as long as this run lives; RemoveStale leaves it alone meanwhile.
    struct flock live = WholeFile(F_WRLCK);
    fcntl(fd, F_OFD_SETLK, &live);
    if (unnamed && !LinkUnnamed(fd, fd_, name)) {
      const int error = errno;
      close(fd);
      return SystemStatus(Call::kCreate, error);
    }
    const mode_t mask = umask(0);
    umask(mask);
    Owner owner;
    owner.mode = 0666 & ~mask;
    int like = -1;
    bool leased = false;
    if (original != nullptr) {
      const auto* hosts = static_cast<const LinuxFile*>(original);
      struct stat of;
      struct stat st;
      like = fstat(hosts->fd(), &of) == 0 && fstat(fd, &st) == 0
                 ? fcntl(hosts->fd(), F_DUPFD_CLOEXEC, 0)
                 : -1;
      if (like < 0) {
        const int error = errno;
        close(fd);
        unlinkat(fd_, name.c_str(), 0);
        return SystemStatus(Call::kOther, error);
      }
      owner.given = st.st_uid != of.st_uid || st.st_gid != of.st_gid;
      owner.uid = of.st_uid;
      owner.gid = of.st_gid;
      owner.mode = of.st_mode & 07777;
      leased = hosts->leased();
    }
    *file = std::make_unique<LinuxTempFile>(fd_, fd, name, owner, like, leased);
    return Status();
  }

  Status OpenInPlace(const std::string& name, std::unique_ptr<InPlaceFile>* file,
                     FileInfo* info) override {
    std::unique_ptr<LinuxFile> opened;
    Status status = OpenRegular(name, O_RDWR, &opened, info);
    if (status.ok()) *file = std::move(opened);
    return status;
  }

 private:
  // Whether `fd`, opened as `name`, is a file a killed run of this tool left:
  // a regular file with one name, that belongs to root, this account or
  // `beside`'s owner, with no live run's lock on it, which the name still
  // leads to. kBusy while a live run holds it.
  Status StaleAndOurs(int fd, const std::string& name, const std::string& beside) {
    struct stat held;
    struct stat hosts;
    if (fstat(fd, &held) != 0) return SystemStatus(Call::kOther, errno);
    const bool owner = IsTrustedOwner(held.st_uid) ||
                       (fstatat(fd_, beside.c_str(), &hosts, AT_SYMLINK_NOFOLLOW) == 0 &&
                        hosts.st_uid == held.st_uid);
    if (!S_ISREG(held.st_mode) || held.st_nlink != 1 || !owner) {
      return Status::Failed("not a file this tool made");
    }
    struct flock lock = WholeFile(F_RDLCK);
    if (fcntl(fd, F_OFD_GETLK, &lock) != 0) return SystemStatus(Call::kOther, errno);
    if (lock.l_type != F_UNLCK) return Status(Code::kBusy, "a live run of this tool holds it");
    if (!NameLeadsTo(fd_, name.c_str(), held)) {
      return Status(Code::kChanged, "the name changed meanwhile");
    }
    return Status();
  }

  // Opens a regular file in the folder and describes it. A link at the name
  // is refused: the walk to the folder followed the links it trusts.
  // O_NONBLOCK keeps a FIFO in the hosts file's place from blocking the
  // open; it changes nothing for a regular file.
  Status OpenRegular(const std::string& name, int flags, std::unique_ptr<LinuxFile>* file,
                     FileInfo* info) {
    const int fd =
        openat(fd_, name.c_str(), flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0) return SystemStatus(Call::kOpen, errno);
    auto opened = std::make_unique<LinuxFile>(fd);
    struct stat st;
    if (fstat(fd, &st) != 0) return SystemStatus(Call::kOther, errno);
    if (!S_ISREG(st.st_mode)) {
      return Status::Failed(S_ISDIR(st.st_mode) ? "not a regular file (a directory)"
                                                : "not a regular file");
    }
    FillInfo(st, info);
    info->immutable = HasImmutableFlag(fd);
    *file = std::move(opened);
    return Status();
  }

  const int fd_;
};

class LinuxFileSystem : public FileSystem {
 public:
  Status GetEnv(const char* name, std::string* value) override {
    const char* found = std::getenv(name);
    if (found == nullptr) return Status(Code::kNotFound, "not set");
    // Copy the value the way the runtime's allocating lookup does; running
    // out of memory here is the lookup's one failure.
    char* copy = strdup(found);
    if (copy == nullptr) return SystemStatus(Call::kOther, ENOMEM);
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

  Status OpenFolderOf(const std::string& path, std::unique_ptr<Folder>* folder,
                      std::string* name) override {
    return LinuxOpenFolderOf(path, folder, name);
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

  void Sleep(int milliseconds) override {
    timespec wait{milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
  }
};

}  // namespace

std::unique_ptr<Folder> MakeLinuxFolder(int fd, std::string path) {
  return std::make_unique<LinuxFolder>(fd, std::move(path));
}

FileSystem& RealFileSystem() {
  // No call here waits on another program without limit (every open and
  // lock is non-blocking), so the run needs no thread of its own: the
  // deadline's steps, without a clock.
  static const std::unique_ptr<FileSystem> file_system =
      WithDeadline(std::make_unique<LinuxFileSystem>(), nullptr, kRunDeadlineMs, kCancelGraceMs);
  return *file_system;
}

void HardenProcess() {}

}  // namespace hosts

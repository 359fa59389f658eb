// The walk's primitives on Linux (see walk.h): every name opened with
// openat(parent, name, O_PATH | O_NOFOLLOW), described and read with
// fstatat and readlinkat on that same descriptor ("" and AT_EMPTY_PATH),
// never again by its name.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "hosts/limits.h"
#include "hosts/linux_support.h"
#include "hosts/walk.h"

namespace hosts {
namespace {

// A descriptor the walk holds, closed when it goes.
class Descriptor {
 public:
  Descriptor() = default;
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_ = -1;
};

Status Errno() { return Status::Failed(std::strerror(errno)); }

class LinuxWalk {
 public:
  using Name = std::string;
  using Held = Descriptor;
  static constexpr int kMaxLinks = hosts::kMaxLinks;
  static constexpr const char* kNotRooted = "not an absolute path";

  // The walk hands over the folder it reached and the last name there.
  LinuxWalk(std::unique_ptr<Folder>* folder, std::string* name) : folder_(folder), name_(name) {}

  static bool IsSeparator(char c) { return c == '/'; }
  // The root is walked as "", so that every path below it starts with '/'.
  static Name Join(const Name& folder, const Name& name) { return folder + "/" + name; }
  static Name Shown(const Name& path) { return path.empty() ? "/" : path; }
  static std::string Narrow(const Name& name) { return name; }

  Status OpenRoot(const Name& path, Held* root, Name* shown, Name* rest) {
    if (path.empty() || path[0] != '/') return Status(Code::kNotFound, "");
    const int fd = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return Errno().In("/");
    *root = Descriptor(fd);
    shown->clear();
    *rest = path;
    return Status();
  }

  Status Open(const Held& folder, const Name& name, Held* entry) {
    const int fd = openat(folder.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? Status(Code::kNotFound, std::strerror(errno)) : Errno();
    *entry = Descriptor(fd);
    return Status();
  }

  Status Describe(Held& entry, Kind* kind) {
    struct stat st;
    if (fstatat(entry.get(), "", &st, AT_EMPTY_PATH) != 0) return Errno();
    *kind = S_ISLNK(st.st_mode)   ? Kind::kLink
            : S_ISDIR(st.st_mode) ? Kind::kFolder
                                  : Kind::kNotFolder;
    return Status();
  }

  // The target of the link `link` (O_PATH, not followed), read from it. An
  // absolute target is walked from the root.
  Status ReadLink(Held& link, LinkTarget<Name>* target) {
    std::string text(4096, '\0');
    const ssize_t length = readlinkat(link.get(), "", text.data(), text.size());
    if (length < 0) return Errno();
    if (length == 0 || static_cast<std::size_t>(length) >= text.size()) {
      return Status::Failed("its target is empty or too long");
    }
    text.resize(static_cast<std::size_t>(length));
    using From = LinkTarget<Name>::From;
    target->from = text[0] == '/' ? From::kVolumeRoot : From::kLinkFolder;
    target->path = target->rest = text;
    return Status();
  }

  // A link's mode means nothing: whose it is says who could have made it.
  Status CheckLink(const Held& link) {
    struct stat st;
    if (fstatat(link.get(), "", &st, AT_EMPTY_PATH) != 0) return Errno();
    if (IsTrustedOwner(st.st_uid)) return Status();
    return Status::Failed("it belongs to user " + std::to_string(st.st_uid) +
                          ", not to root or to the user this tool runs as");
  }

  // Only root or this tool's account can change the folder: it belongs to
  // one of them, and neither its group nor others may write it.
  Status CheckMayChange(const Held& folder, const std::string& subject) {
    struct stat st;
    if (fstatat(folder.get(), "", &st, AT_EMPTY_PATH) != 0) return Errno().In(subject);
    if (!IsTrustedOwner(st.st_uid)) {
      return Status::Failed(subject + " belongs to user " + std::to_string(st.st_uid) +
                            ", not to root or to the user this tool runs as");
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
      char mode[8];
      std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
      return Status::Failed(subject + " may be changed by its group or by others (mode " + mode +
                            ")");
    }
    return Status();
  }

  // Only root or this tool's account can rename or remove `entry` in the
  // folder: the folder is theirs alone to change, or it is sticky, theirs,
  // and so is `entry`.
  Status CheckMayRename(const Held& folder, const Held& entry, const std::string& subject) {
    struct stat in;
    struct stat st;
    if (fstatat(folder.get(), "", &in, AT_EMPTY_PATH) != 0 ||
        fstatat(entry.get(), "", &st, AT_EMPTY_PATH) != 0) {
      return Errno().In(subject);
    }
    if ((in.st_mode & S_ISVTX) != 0 && IsTrustedOwner(in.st_uid) && IsTrustedOwner(st.st_uid)) {
      return Status();
    }
    return CheckMayChange(folder, subject);
  }

  // The folder reached, opened again for reading its entries: every later
  // operation goes through it.
  Status Finish(Held folder, const Name& path, const Name& name) {
    const int fd = openat(folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return Errno().In(Shown(path));
    *folder_ = MakeLinuxFolder(fd, Shown(path));
    *name_ = name;
    return Status();
  }

 private:
  std::unique_ptr<Folder>* const folder_;
  std::string* const name_;
};

}  // namespace

bool IsTrustedOwner(uid_t owner) { return owner == 0 || owner == geteuid(); }

Status LinuxOpenFolderOf(const std::string& path, std::unique_ptr<Folder>* folder,
                         std::string* name) {
  LinuxWalk platform(folder, name);
  return Walk<LinuxWalk>(platform).To(path, path);
}

}  // namespace hosts

// How the POSIX layer finds the hosts file's folder: every name of the path
// opened relative to the folder before it, without following it, on a
// descriptor this run holds; a link read from the descriptor that was
// checked, never again by its name.

#include "hosts/posix_walk.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace hosts {
namespace {

// How many symbolic links one path may lead through, as Linux allows.
constexpr int kMaxLinks = 40;

// A folder on the way, held open (O_PATH), and its path as walked.
class HeldFolder {
 public:
  HeldFolder(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  HeldFolder(HeldFolder&& other) noexcept : fd_(std::exchange(other.fd_, -1)), path_(other.path_) {}
  HeldFolder& operator=(HeldFolder&& other) noexcept {
    std::swap(fd_, other.fd_);
    path_ = other.path_;
    return *this;
  }
  HeldFolder(const HeldFolder&) = delete;
  HeldFolder& operator=(const HeldFolder&) = delete;
  ~HeldFolder() {
    if (fd_ >= 0) close(fd_);
  }
  int fd() const { return fd_; }
  const std::string& path() const { return path_; }

 private:
  int fd_;
  std::string path_;
};

Status Failed(const std::string& what, int error) {
  return Status::Failed(what + ": " + std::strerror(error));
}

// Pushes the names in `path` on `names`, the last first, so that the first
// is at the back; empty names and "." are left out.
void PushNames(const std::string& path, std::vector<std::string>* names) {
  std::vector<std::string> in_order;
  std::size_t start = 0;
  while (start <= path.size()) {
    const std::size_t end = std::min(path.find('/', start), path.size());
    std::string name = path.substr(start, end - start);
    if (!name.empty() && name != ".") in_order.push_back(std::move(name));
    start = end + 1;
  }
  names->insert(names->end(), in_order.rbegin(), in_order.rend());
}

// Checks that only root or this tool's account can change the folder `fd`:
// it belongs to one of them, and neither its group nor others may write it.
Status CheckOnlyTrustedMayChange(int fd, const std::string& what) {
  struct stat st;
  if (fstatat(fd, "", &st, AT_EMPTY_PATH) != 0) return Failed(what, errno);
  if (!IsTrustedOwner(st.st_uid)) {
    return Status::Failed(what + " belongs to user " + std::to_string(st.st_uid) +
                          ", not to root or to the user this tool runs as");
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return Status::Failed(what + " may be changed by its group or by others (mode " + mode + ")");
  }
  return Status();
}

// Checks that only root or this tool's account can rename or remove `entry`
// (open) in `folder`: the folder belongs to one of them and neither its group
// nor others may write it, or it is sticky and `entry` belongs to one of them.
Status CheckOnlyTrustedMayRename(int folder, int entry, const std::string& path) {
  struct stat in;
  struct stat st;
  if (fstatat(folder, "", &in, AT_EMPTY_PATH) != 0) return Failed(path, errno);
  if (fstatat(entry, "", &st, AT_EMPTY_PATH) != 0) return Failed(path, errno);
  if ((in.st_mode & S_ISVTX) != 0 && IsTrustedOwner(in.st_uid) && IsTrustedOwner(st.st_uid)) {
    return Status();
  }
  return CheckOnlyTrustedMayChange(folder, "the folder " + (path.empty() ? "/" : path));
}

// The target of the link `fd` (O_PATH, not followed), read from it.
Status ReadLink(int fd, const std::string& at, std::string* target) {
  std::string text(4096, '\0');
  const ssize_t length = readlinkat(fd, "", text.data(), text.size());
  if (length < 0) return Failed(at, errno);
  if (length == 0 || static_cast<std::size_t>(length) >= text.size()) {
    return Status::Failed(at + ": its target is empty or too long");
  }
  text.resize(static_cast<std::size_t>(length));
  *target = text;
  return Status();
}

}  // namespace

bool IsTrustedOwner(uid_t owner) { return owner == 0 || owner == geteuid(); }

Status WalkToFolder(const std::string& path, Folder* folder, std::string* name) {
  if (path.empty() || path[0] != '/') return Status::Failed(path + ": not an absolute path");
  const int root = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (root < 0) return Failed("/", errno);
  std::vector<HeldFolder> walked;  // from the root to the folder reached so far
  walked.emplace_back(root, "");
  std::vector<std::string> pending;  // the names still to walk, the next at the back
  PushNames(path, &pending);
  int links = 0;
  bool found = false;
  while (!pending.empty()) {
    const std::string next = pending.back();
    pending.pop_back();
    if (next == "..") {
      if (walked.size() > 1) walked.pop_back();
      continue;
    }
    const HeldFolder& here = walked.back();
    const std::string at = here.path() + "/" + next;
    const int fd = openat(here.fd(), next.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    // Where a link led, what is in each folder on the way must be this
    // account's or root's to rename or remove: otherwise another account
    // could choose what the next name is.
    if (links > 0 && fd >= 0) {
      if (Status status = CheckOnlyTrustedMayRename(here.fd(), fd, here.path()); !status.ok()) {
        close(fd);
        return status.In("follow the symbolic link " + path);
      }
    }
    if (fd < 0) {
      // A last name that is not there is the file the update creates.
      if (errno == ENOENT && pending.empty()) {
        *name = next;
        found = true;
        break;
      }
      return Failed(at, errno);
    }
    HeldFolder held(fd, at);
    struct stat st;
    if (fstatat(fd, "", &st, AT_EMPTY_PATH) != 0) return Failed(at, errno);
    if (S_ISLNK(st.st_mode)) {
      // What the link says is taken only from a link that no other account
      // could have made, in a folder no other account can change.
      const std::string step = "follow the symbolic link " + at;
      if (++links > kMaxLinks) return Status::Failed("too many levels of symbolic links");
      if (!IsTrustedOwner(st.st_uid)) {
        return Status::Failed(step + ": it belongs to user " + std::to_string(st.st_uid) +
                              ", not to root or to the user this tool runs as");
      }
      Status status = CheckOnlyTrustedMayChange(here.fd(), "the folder holding it, " + here.path());
      std::string target;
      if (status.ok()) status = ReadLink(fd, at, &target);
      if (!status.ok()) return status.In(step);
      if (target[0] == '/') walked.erase(walked.begin() + 1, walked.end());
      PushNames(target, &pending);
      continue;
    }
    if (pending.empty()) {
      *name = next;
      found = true;
      break;
    }
    if (!S_ISDIR(st.st_mode)) return Status::Failed(at + ": not a folder");
    walked.push_back(std::move(held));
  }
  if (!found) return Status::Failed(path + ": leads to a folder, not to a file");
  const HeldFolder& last = walked.back();
  const std::string shown = last.path().empty() ? "/" : last.path();
  // The folder the last link leads to is where the new file is made.
  if (links > 0) {
    if (Status status = CheckOnlyTrustedMayChange(last.fd(), "the folder it leads to, " + shown);
        !status.ok()) {
      return status.In("follow the symbolic link " + path);
    }
  }
  const int fd = openat(last.fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return Failed(shown, errno);
  folder->handle = fd;
  folder->path = shown;
  return Status();
}

}  // namespace hosts

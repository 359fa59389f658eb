#include "hosts/hosts_file.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "hosts/hosts_text.h"

namespace hosts {
namespace {

// How often a pass starts over when another program changes the file while
// this one rewrites it.
constexpr int kMaxPasses = 3;

// How many temporary names to try.
constexpr int kMaxTempNames = 100;

// How much of the hosts file is read at a time.
constexpr std::size_t kReadSize = std::size_t{1} << 20;

// What a temporary file's name adds to the hosts file's: "hosts.hosts_entry_tool-N.tmp".
constexpr std::string_view kTempMark = ".hosts_entry_tool-";
constexpr std::string_view kTempEnd = ".tmp";

// The waits, in milliseconds, while another program holds what the update
// needs (a virus scanner, an editor saving the file, another run of this
// tool): short at first, about two and a half seconds in all.
constexpr int kBusyWaitsMs[] = {1, 2, 5, 10, 20, 40, 80, 160, 320, 500, 500, 500, 500};

constexpr char kUtf16Message[] =
    "the file is UTF-16 text, which this tool does not edit; it was left as it is";

// Calls `attempt` until it is no longer kBusy, waiting longer each time, and
// returns its last status.
template <typename Attempt>
Status RetryWhileBusy(FileSystem& fs, Attempt attempt) {
  Status status = attempt();
  for (const int wait : kBusyWaitsMs) {
    if (status.code() != Code::kBusy) break;
    fs.Sleep(wait);
    status = attempt();
  }
  return status;
}

// An open file that is closed when it goes out of scope.
class OpenFile {
 public:
  explicit OpenFile(FileSystem& fs) : fs_(fs) {}
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;
  ~OpenFile() { Close(); }

  FileHandle* out() { return &handle_; }
  FileHandle get() const { return handle_; }
  bool is_open() const { return handle_ != kNoFile; }

  Status Close() {
    if (handle_ == kNoFile) return Status();
    const FileHandle handle = handle_;
    handle_ = kNoFile;
    return fs_.Close(handle);
  }

 private:
  FileSystem& fs_;
  FileHandle handle_ = kNoFile;
};

// The temporary file beside the hosts file. Its life cycle:
//   Create -> Write... -> Sync -> Commit      it becomes the hosts file
//                              \-> Discard    it is removed
// Every path that does not commit discards it explicitly, so that a failure
// to remove it is reported; the destructor discards it as a last resort.
class TempFile {
 public:
  explicit TempFile(FileSystem& fs) : fs_(fs) {}
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() { Discard(); }

  const std::string& path() const { return path_; }

  // Creates the first free name beside `target`, a twin of `original`.
  Status Create(const std::string& target, FileHandle original) {
    Status status(Code::kExists, "");
    for (int n = 0; n < kMaxTempNames && status.code() == Code::kExists; ++n) {
      path_ = target + std::string(kTempMark) + std::to_string(n) + std::string(kTempEnd);
      status = fs_.CreateTemp(path_, original, &handle_);
    }
    // Not a folder that takes no new file: no reason to rewrite in place.
    if (status.code() == Code::kExists)
      status = Status(Code::kExists, "every name is taken, the last with: " + status.message());
    if (status.ok()) return status;
    handle_ = kNoFile;
    return status.In("create temporary file " + path_);
  }

  Status Write(std::string_view data) {
    Status status = fs_.WriteTemp(handle_, data);
    return status.ok() ? status : status.In("write temporary file " + path_);
  }

  Status Sync() {
    Status status = fs_.Sync(handle_);
    return status.ok() ? status : status.In("flush temporary file " + path_);
  }

  Status Commit(const std::string& target, bool replace) {
    Status status = fs_.CommitTemp(handle_, path_, target, replace);
    if (status.ok()) handle_ = kNoFile;
    return status;
  }

  Status Discard() {
    if (handle_ == kNoFile) return Status();
    const FileHandle handle = handle_;
    handle_ = kNoFile;
    Status status = fs_.DiscardTemp(handle, path_);
    return status.ok() ? status
                       : status.In("the temporary file " + path_ + " could not be removed");
  }

 private:
  FileSystem& fs_;
  std::string path_;
  FileHandle handle_ = kNoFile;
};

// The lock that serializes runs of this tool, released when it goes out of scope.
class UpdateLock {
 public:
  explicit UpdateLock(FileSystem& fs) : fs_(fs) {}
  UpdateLock(const UpdateLock&) = delete;
  UpdateLock& operator=(const UpdateLock&) = delete;
  ~UpdateLock() {
    if (lock_ != kNoFile) fs_.Unlock(lock_);
  }
  bool Take(const std::string& target) {
    if (RetryWhileBusy(fs_, [&] { return fs_.LockUpdates(target, &lock_); }).ok()) return true;
    lock_ = kNoFile;
    return false;
  }

 private:
  FileSystem& fs_;
  FileHandle lock_ = kNoFile;
};

bool IsTempName(std::string_view name, std::string_view prefix) {
  if (name.size() <= prefix.size() + kTempEnd.size() || name.substr(0, prefix.size()) != prefix ||
      name.substr(name.size() - kTempEnd.size()) != kTempEnd) {
    return false;
  }
  const std::string_view number =
      name.substr(prefix.size(), name.size() - prefix.size() - kTempEnd.size());
  return number.find_first_not_of("0123456789") == std::string_view::npos;
}

std::string DirectoryOf(const std::string& path) {
  const std::size_t end = path.find_last_of("/\\");
  if (end == std::string::npos) return ".";
  return end == 0 ? path.substr(0, 1) : path.substr(0, end);
}

bool IsAbsolute(const std::string& path) {
  return (!path.empty() && (path[0] == '/' || path[0] == '\\')) ||
         (path.size() > 2 && path[1] == ':' && (path[2] == '\\' || path[2] == '/'));
}

enum class PassEnd {
  kDone,     // the file holds the new content
  kChanged,  // the file changed since it was read; nothing was written
  kFailed,   // the file is as it was; the status says why
};

// One run of an update of the hosts file at `target`.
class Update {
 public:
  Update(FileSystem& fs, std::string target, bool install)
      : fs_(fs), target_(std::move(target)), install_(install) {}

  Status Run() {
    UpdateLock lock(fs_);
    // Without the lock the update is still safe, only less patient with
    // other runs; leftovers are removed only under it.
    if (lock.Take(target_)) RemoveLeftovers();
    for (int pass = 0; pass < kMaxPasses; ++pass) {
      Status error;
      switch (Pass(&error)) {
        case PassEnd::kDone:
          return Status();
        case PassEnd::kChanged:
          continue;
        case PassEnd::kFailed:
          return error;
      }
    }
    return Status::Failed("another program kept changing the file while it was being updated (" +
                          std::to_string(kMaxPasses) + " attempts); it was left as it is");
  }

 private:
  // Removes the temporary files of earlier runs that were killed. A file a
  // live process still owns stays.
  void RemoveLeftovers() {
    const std::string prefix = target_ + std::string(kTempMark);
    std::vector<std::string> paths;
    if (!fs_.ListSiblings(prefix, &paths).ok()) return;
    for (const std::string& path : paths) {
      if (IsTempName(path, prefix)) fs_.RemoveStale(path);
    }
  }

  static PassEnd Fail(Status status, Status* error) {
    *error = std::move(status);
    return PassEnd::kFailed;
  }

  // Fails with `status`, removing the temporary file first.
  static PassEnd Fail(Status status, TempFile& temp, Status* error) {
    const Status discarded = temp.Discard();
    if (!discarded.ok()) status.Also(discarded.message());
    return Fail(std::move(status), error);
  }

  static Status CheckProtection(const FileInfo& info) {
    if (info.immutable) {
      return Status::Failed("the file is marked immutable or append-only; it was left as it is");
    }
    if (info.read_only) return Status::Failed("the file is read-only; it was left as it is");
    if (info.links > 1) {
      return Status::Failed(
          "the file has " + std::to_string(info.links) +
          " names (hard links), which a replace would split; it was left as it is");
    }
    return Status();
  }

  // Read, rewrite into a temporary file, replace; or fall back to rewriting
  // the file in place.
  PassEnd Pass(Status* error) {
    OpenFile hosts(fs_);
    FileInfo before;
    Status status =
        RetryWhileBusy(fs_, [&] { return fs_.OpenHeld(target_, hosts.out(), &before); });
    if (status.code() == Code::kNotFound) {
      before = FileInfo();
    } else if (!status.ok()) {
      return Fail(status.In("read"), error);
    }
    if (Status refused = CheckProtection(before); !refused.ok()) return Fail(refused, error);

    TempFile temp(fs_);
    status = temp.Create(target_, hosts.get());
    if (status.code() == Code::kFailed && before.exists) {
      hosts.Close();
      return RewriteInPlace(before, status, error);
    }
    if (!status.ok()) return Fail(status, error);
    status = StreamRewrite(hosts.get(), temp);
    if (status.ok()) status = temp.Sync();
    if (!status.ok()) return Fail(status, temp, error);
    return Replace(hosts, before, temp, error);
  }

  // Reads `source` (kNoFile for a missing file) to its end, writing the
  // rewritten lines to `temp` as it goes, then the managed lines when
  // installing. Holds a megabyte of input and its rewrite at a time, more
  // only for a longer line.
  Status StreamRewrite(FileHandle source, TempFile& temp) {
    std::vector<char> in(kReadSize);
    std::size_t filled = 0;
    std::string out;
    out.reserve(kReadSize + kReadSize / 8);
    bool at_end = source == kNoFile;
    bool encoding_checked = false;
    for (;;) {
      if (!at_end) {
        if (filled == in.size()) in.resize(in.size() * 2);
        std::size_t got = 0;
        Status status = fs_.Read(source, in.data() + filled, in.size() - filled, &got);
        if (!status.ok()) return status.In("read");
        at_end = got == 0;
        filled += got;
      }
      const std::string_view text(in.data(), filled);
      if (!encoding_checked) {
        if (filled < 2 && !at_end) continue;
        if (IsUtf16Text(text)) return Status::Failed(kUtf16Message);
        encoding_checked = true;
      }
      const std::size_t used = RewriteLines(text, at_end, &out);
      if (at_end && install_) AppendManagedLines(&out);
      if (!out.empty()) {
        if (Status status = temp.Write(out); !status.ok()) return status;
      }
      out.clear();
      std::memmove(in.data(), in.data() + used, filled - used);
      filled -= used;
      if (at_end) return Status();
    }
  }

  // Puts the temporary file in the hosts file's place once the file is
  // still the version that was read. `hosts` holds the file open meanwhile.
  PassEnd Replace(OpenFile& hosts, const FileInfo& before, TempFile& temp, Status* error) {
    std::size_t waits = 0;
    for (;;) {
      FileInfo now;
      Status status = fs_.Identify(target_, &now);
      if (status.code() == Code::kNotFound) {
        now = FileInfo();
      } else if (!status.ok()) {
        return Fail(status.In("check for changes"), temp, error);
      }
      if (!before.SameVersion(now)) return Discarded(temp, error);

      status = temp.Commit(target_, before.exists);
      switch (status.code()) {
        case Code::kOk:
          return PassEnd::kDone;
        case Code::kExists:  // another program created the file meanwhile
          return Discarded(temp, error);
        case Code::kHeldHere:
          if (!hosts.is_open()) break;
          hosts.Close();
          continue;
        case Code::kBusy:
          if (waits == std::size(kBusyWaitsMs)) break;
          fs_.Sleep(kBusyWaitsMs[waits++]);
          continue;
        case Code::kFailed:
          if (!before.exists) break;
          // The name takes no replacement (a mount point): rewrite the file.
          if (Status discarded = temp.Discard(); !discarded.ok()) {
            return Fail(status.In("replace").Also(discarded.message()), error);
          }
          hosts.Close();
          return RewriteInPlace(before, status.In("replace"), error);
        default:
          break;
      }
      return Fail(status.In("replace"), temp, error);
    }
  }

  // The file changed: removes the temporary file and lets the pass start over.
  static PassEnd Discarded(TempFile& temp, Status* error) {
    Status discarded = temp.Discard();
    if (!discarded.ok()) return Fail(discarded, error);
    return PassEnd::kChanged;
  }

  // Fallback, for when no twin of the file can be made beside it, or its
  // name takes no replacement: rewrites the file itself. It holds the whole
  // original (and its rewrite) in memory, and writes the original back if the
  // rewrite fails. `cause` says why the safe path was not taken.
  PassEnd RewriteInPlace(const FileInfo& before, Status cause, Status* error) {
    const std::string after = "the safe way failed first: " + cause.message();
    OpenFile file(fs_);
    FileInfo now;
    Status status = RetryWhileBusy(fs_, [&] { return fs_.OpenInPlace(target_, file.out(), &now); });
    if (status.code() == Code::kNotFound) return PassEnd::kChanged;
    if (!status.ok()) return Fail(status.In("open for rewriting in place").Also(after), error);
    if (!before.SameVersion(now)) return PassEnd::kChanged;

    std::string original;
    status = ReadAll(file.get(), now.size, &original);
    if (!status.ok()) return Fail(status.In("read before rewriting in place"), error);
    if (IsUtf16Text(original)) return Fail(Status::Failed(kUtf16Message), error);

    status = fs_.Overwrite(file.get(), RewrittenHostsText(original, install_));
    if (status.ok()) return PassEnd::kDone;
    const Status restored = fs_.Overwrite(file.get(), original);
    status.In("rewrite in place")
        .Also(restored.ok() ? "the original content was written back"
                            : "restoring the original content failed too: " + restored.message());
    return Fail(status.Also(after), error);
  }

  // Reads a file to its end; `size` is what it is expected to hold.
  Status ReadAll(FileHandle file, std::uint64_t size, std::string* data) {
    // One byte more than the size, so that the end shows as a read of nothing.
    data->assign(static_cast<std::size_t>(size) + 1, '\0');
    std::size_t used = 0;
    for (;;) {
      if (used == data->size()) data->resize(used + used / 2 + 65536);
      std::size_t got = 0;
      Status status = fs_.Read(file, data->data() + used, data->size() - used, &got);
      if (!status.ok()) return status;
      if (got == 0) break;
      used += got;
    }
    data->resize(used);
    return Status();
  }

  FileSystem& fs_;
  const std::string target_;
  const bool install_;
};

// Follows symbolic links from `path`, bounded like the kernel's own limit on
// nested links, so that a link stays a link and its target is rewritten.
Status ResolveLinks(FileSystem& fs, const std::string& path, std::string* target) {
  *target = path;
  for (int depth = 0; depth < 40; ++depth) {
    std::string link;
    Status status = fs.ReadLink(*target, &link);
    if (status.code() == Code::kNotFound) return Status();
    if (!status.ok()) return status.In("follow the symbolic link " + *target);
    *target = IsAbsolute(link) ? link : DirectoryOf(*target) + "/" + link;
  }
  return Status::Failed("too many levels of symbolic links");
}

void PrintSystemRootMessage() {
  std::fputs(kSystemRootMessage, stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

}  // namespace

bool ResolveHostsPath(FileSystem& fs, HostsPath* path) {
  std::string root;
  if (!fs.GetEnv("SystemRoot", &root).ok()) {
    PrintSystemRootMessage();
    return false;
  }
  // A value too long for the path is refused rather than cut short into
  // some other path.
  constexpr std::size_t kSuffixLength = sizeof(kHostsPathSuffix) - 1;
  if (root.size() > kHostsPathSize - 1 - kSuffixLength) {
    PrintSystemRootMessage();
    return false;
  }
  path->fill('\0');
  std::memcpy(path->data(), root.data(), root.size());
  std::memcpy(path->data() + root.size(), kHostsPathSuffix, kSuffixLength);
  return true;
}

int UpdateHostsFile(bool install, FileSystem& fs) {
  HostsPath path{};
  if (!ResolveHostsPath(fs, &path)) return -1;
  std::string target;
  Status status = ResolveLinks(fs, path.data(), &target);
  if (status.ok()) status = Update(fs, target, install).Run();
  if (status.ok()) return 0;
  std::fprintf(stderr, "hosts_entry_tool: %s: %s\n", target.c_str(), status.message().c_str());
  std::fflush(stderr);
  return -1;
}

int UpdateHostsFile(bool install) { return UpdateHostsFile(install, RealFileSystem()); }

}  // namespace hosts

// The update of the hosts file, step by step: locating it, the lock, reading
// and judging it once, the temporary file and the replace, the checks for
// changes, and the rewrite in place where nothing else can change it.

#include "hosts/hosts_file.h"

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "hosts/hosts_text.h"

namespace hosts {
namespace {

// How many passes an update makes at most, when another program keeps
// changing the file while this one rewrites it.
constexpr int kMaxPasses = 3;

// How many temporary names to try.
constexpr int kMaxTempNames = 100;

// How much of the hosts file is read at a time.
constexpr std::size_t kReadSize = std::size_t{1} << 20;

// What a temporary file's name adds to the hosts file's: "hosts.hosts_entry_tool-N.tmp".
constexpr std::string_view kTempMark = ".hosts_entry_tool-";
constexpr std::string_view kTempEnd = ".tmp";

// How long, in all, the update waits for what another program holds. A
// writer (an editor saving the file) or another run of this tool is waited
// out for a few seconds; a reader that keeps the file from being replaced
// (the DNS Client parsing a large file, a backup tool) for half a minute.
constexpr int kBusyWaitMs = 2600;
constexpr int kRenameWaitMs = 30000;

constexpr char kUtf16Message[] =
    "the file is UTF-16 text, which this tool does not edit; it was left as it is";

// Waits before each new attempt at what another program holds: 1 ms, then
// twice as long each time up to half a second, until `total_ms` are spent.
class Backoff {
 public:
  Backoff(FileSystem& fs, int total_ms) : fs_(fs), left_ms_(total_ms) {}

  // Waits and returns true, or returns false once the time is spent.
  bool Wait() {
    if (left_ms_ <= 0) return false;
    const int wait = std::min(next_ms_, left_ms_);
    fs_.Sleep(wait);
    left_ms_ -= wait;
    next_ms_ = std::min(next_ms_ * 2, kMaxWaitMs);
    return true;
  }

 private:
  static constexpr int kMaxWaitMs = 500;
  FileSystem& fs_;
  int left_ms_;
  int next_ms_ = 1;
};

// Calls `attempt` until it is no longer kBusy or `total_ms` are spent, and
// returns its last status.
template <typename Attempt>
Status RetryWhileBusy(FileSystem& fs, int total_ms, Attempt attempt) {
  Backoff backoff(fs, total_ms);
  Status status = attempt();
  while (status.code() == Code::kBusy && backoff.Wait()) status = attempt();
  return status;
}

Status Changed() { return Status(Code::kChanged, "the file changed since it was read"); }

// What a run says when another program kept the file for longer than the
// run waits for it: something holds the file, which any account that may
// read it can do, and not a lack of rights.
Status HeldTooLong(const Status& last, int waited_ms) {
  std::string seconds = std::to_string(waited_ms / 1000);
  if (waited_ms % 1000 != 0) seconds += "." + std::to_string(waited_ms % 1000 / 100);
  return Status(Code::kBusy, "another program keeps the hosts file open (waited " + seconds +
                                 " s; the last answer was: " + last.message() +
                                 "); it was left as it is");
}

// An open file or folder that is closed when it goes out of scope.
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
//                              \-> Abandon    it is removed
// Every path that does not commit abandons it explicitly, so that a failure
// to remove it is reported; a file still open at the end is a bug, caught in
// debug builds and removed as a last resort otherwise.
class TempFile {
 public:
  TempFile(FileSystem& fs, const Folder& folder) : fs_(fs), folder_(folder) {}
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() {
    assert(handle_ == kNoFile && "the temporary file was neither committed nor abandoned");
    Discard();
  }

  // Creates the first free name beside `target`, a twin of `original`.
  Status Create(const std::string& target, FileHandle original) {
    Status status(Code::kExists, "");
    for (int n = 0; n < kMaxTempNames && status.code() == Code::kExists; ++n) {
      name_ = target + std::string(kTempMark) + std::to_string(n) + std::string(kTempEnd);
      status = fs_.CreateTemp(folder_, name_, original, &handle_);
    }
    if (status.ok()) return status;
    handle_ = kNoFile;
    if (status.code() == Code::kExists) {
      status = Status::Failed("every name is taken, the last with: " + status.message());
    }
    return status.In("create temporary file " + Path());
  }

  Status Write(std::string_view data) {
    Status status = fs_.WriteTemp(handle_, data);
    return status.ok() ? status : status.In("write temporary file " + Path());
  }

  Status Sync() {
    Status status = fs_.Sync(handle_);
    return status.ok() ? status : status.In("flush temporary file " + Path());
  }

  Status Commit(const std::string& target, bool replace) {
    Status status = fs_.CommitTemp(handle_, folder_, name_, target, replace);
    if (status.ok()) handle_ = kNoFile;
    return status;
  }

  // Removes the file; a failure to do so is reported.
  Status Discard() {
    if (handle_ == kNoFile) return Status();
    const FileHandle handle = handle_;
    handle_ = kNoFile;
    Status status = fs_.DiscardTemp(handle, folder_, name_);
    return status.ok() ? status
                       : status.In("the temporary file " + Path() + " could not be removed");
  }

  // Removes the file and returns `cause`, with a failure to remove it added;
  // when the cause is only that the file changed, that failure replaces it.
  Status Abandon(Status cause) {
    Status discarded = Discard();
    if (discarded.ok()) return cause;
    if (cause.code() == Code::kChanged) return discarded;
    return cause.Also(discarded.message());
  }

 private:
  std::string Path() const { return JoinPath(folder_.path, name_); }

  FileSystem& fs_;
  const Folder& folder_;
  std::string name_;
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
  bool Take(const Folder& folder) {
    if (RetryWhileBusy(fs_, kBusyWaitMs, [&] { return fs_.LockUpdates(folder, &lock_); }).ok()) {
      return true;
    }
    lock_ = kNoFile;
    return false;
  }

 private:
  FileSystem& fs_;
  FileHandle lock_ = kNoFile;
};

// The hosts file as it is read, a megabyte at a time, into one buffer
// sized for the whole file: every byte from the start stays there until
// Drop lets it go, so that what was read while judging the rewrite is
// written from memory, never read again. Only what is used is touched, so a
// file whose first change is near its start costs little more than a
// megabyte of memory. A file that turns out to be UTF-16 text is refused as
// soon as its first two bytes are in.
class Chunks {
 public:
  // `source` is kNoFile for a file that is not there, which reads as empty;
  // `size` is what the file held when it was opened.
  Chunks(FileSystem& fs, FileHandle source, std::uint64_t size)
      : fs_(fs), source_(source), at_end_(source == kNoFile), size_(size) {}
  Chunks(const Chunks&) = delete;
  Chunks& operator=(const Chunks&) = delete;
  ~Chunks() { fs_.FreeHold(buffer_, capacity_); }

  // Reads what follows, once at least two bytes are in or the file ended.
  Status Next() {
    do {
      if (at_end_) break;
      if (filled_ == capacity_) {
        // One byte more than the size, so that the end shows as a read of
        // nothing; more only if the file grew meanwhile.
        const std::uint64_t want =
            capacity_ == 0 ? size_ + 1 : capacity_ + std::max(capacity_ / 2, kReadSize);
        if (Status status = Grow(want); !status.ok()) return status.In("read");
      }
      std::size_t got = 0;
      Status status =
          fs_.Read(source_, buffer_ + filled_, std::min(kReadSize, capacity_ - filled_), &got);
      if (!status.ok()) return status.In("read");
      at_end_ = got == 0;
      filled_ += got;
    } while (!encoding_checked_ && filled_ < 2);
    if (!encoding_checked_ && IsUtf16Text(text())) return Status::Failed(kUtf16Message);
    encoding_checked_ = true;
    return Status();
  }

  std::string_view text() const { return std::string_view(buffer_, filled_); }
  bool at_end() const { return at_end_; }

  // Drops the first `used` bytes held; what is read next goes after the rest.
  void Drop(std::size_t used) {
    if (used == 0) return;
    std::memmove(buffer_, buffer_ + used, filled_ - used);
    filled_ -= used;
  }

  // Lets go of everything held; nothing more is read.
  void Release() {
    fs_.FreeHold(buffer_, capacity_);
    buffer_ = nullptr;
    capacity_ = filled_ = 0;
    at_end_ = true;
  }

 private:
  Status Grow(std::uint64_t capacity) {
    const std::size_t size = static_cast<std::size_t>(capacity);
    char* grown = size == capacity ? fs_.AllocateHold(size) : nullptr;
    if (grown == nullptr) {
      return Status::Failed("not enough memory to hold " + std::to_string(capacity) + " bytes");
    }
    if (filled_ > 0) std::memcpy(grown, buffer_, filled_);
    fs_.FreeHold(buffer_, capacity_);
    buffer_ = grown;
    capacity_ = size;
    return Status();
  }

  FileSystem& fs_;
  const FileHandle source_;
  char* buffer_ = nullptr;  // from the file system's AllocateHold
  std::size_t capacity_ = 0;
  std::size_t filled_ = 0;
  bool at_end_;
  bool encoding_checked_ = false;
  const std::uint64_t size_;
};

// Writes the rewrite to the temporary file. Runs of lines that pass through
// as they are go straight from the buffer they were read into, in pieces of
// at most a megabyte; other lines, and runs too short to be worth a write of
// their own, are gathered first, a megabyte at most. The first failure
// stops all writing and is what Finish returns.
class TempWriter : public RewriteSink {
 public:
  explicit TempWriter(TempFile& temp) : temp_(temp) {}

  const Status& status() const { return status_; }

  void KeepAsIs(std::string_view lines) override {
    if (lines.size() < kDirectWrite) {
      Gather(lines);
      return;
    }
    Flush();
    for (; !lines.empty() && status_.ok(); lines.remove_prefix(std::min(lines.size(), kReadSize))) {
      status_ = temp_.Write(lines.substr(0, kReadSize));
    }
  }

  void KeepLine(std::string_view line) override {
    Gather(line);
    Gather(kLineEnd);
  }

  Status Finish(bool install) {
    if (install) AppendManagedLines(&gathered_);
    Flush();
    return status_;
  }

 private:
  // Runs shorter than this are gathered rather than written on their own.
  static constexpr std::size_t kDirectWrite = std::size_t{64} << 10;

  void Gather(std::string_view bytes) {
    gathered_.append(bytes);
    if (gathered_.size() >= kReadSize) Flush();
  }

  void Flush() {
    if (!gathered_.empty() && status_.ok()) status_ = temp_.Write(gathered_);
    gathered_.clear();
  }

  TempFile& temp_;
  std::string gathered_;
  Status status_;
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

Status CheckProtection(const FileInfo& info) {
  if (info.immutable) {
    return Status::Failed("the file is marked immutable or append-only; it was left as it is");
  }
  if (info.read_only) return Status::Failed("the file is read-only; it was left as it is");
  if (info.links > 1) {
    return Status::Failed("the file has " + std::to_string(info.links) +
                          " names (hard links), which a replace would split; it was left as it is");
  }
  return Status();
}

// One run of an update of the hosts file at `target`. Every step returns a
// Status: ok when the file holds the new content, kChanged when it changed
// since it was read and the pass must start over, anything else a failure
// with the file as it was.
class Update {
 public:
  // `folder` is the hosts file's folder, held open, and `name` the file's
  // name in it.
  Update(FileSystem& fs, const Folder& folder, const std::string& name, bool install)
      : fs_(fs), folder_(folder), name_(name), install_(install) {}

  Status Run() {
    Status status;
    UpdateLock lock(fs_);
    // Without the lock the update is still safe, only less patient with
    // other runs; leftovers are removed only under it.
    if (lock.Take(folder_)) RemoveLeftovers();
    for (int pass = 1; pass <= kMaxPasses; ++pass) {
      status = Pass();
      if (status.code() != Code::kChanged) return status;
    }
    return Status::Failed("another program kept changing the file while it was being updated (" +
                          std::to_string(kMaxPasses) + " attempts); it was left as it is");
  }

 private:
  // Removes the temporary files of earlier runs that were killed. A file a
  // live process still owns stays, and so does anything this tool did not make.
  void RemoveLeftovers() {
    const std::string prefix = name_ + std::string(kTempMark);
    std::vector<std::string> names;
    if (!fs_.ListSiblings(folder_, prefix, &names).ok()) return;
    for (const std::string& name : names) {
      if (IsTempName(name, prefix)) fs_.RemoveStale(folder_, name);
    }
  }

  // Read; when the rewrite changes nothing, stop there. Otherwise rewrite
  // into a temporary file and replace; or fall back to rewriting the file in
  // place.
  Status Pass() {
    OpenFile hosts(fs_);
    FileInfo before;
    Status status = RetryWhileBusy(
        fs_, kBusyWaitMs, [&] { return fs_.OpenHeld(folder_, name_, hosts.out(), &before); });
    if (status.code() == Code::kNotFound) {
      before = FileInfo();
    } else if (status.code() == Code::kBusy) {
      return HeldTooLong(status, kBusyWaitMs).In("read");
    } else if (!status.ok()) {
      return status.In("read");
    }
    // A file that already is what was asked for is not written at all, so
    // its protections, names and holders do not matter; and nothing of the
    // file changes, its times included.
    Chunks chunks(fs_, before.exists ? hosts.get() : kNoFile, before.size);
    std::size_t same = 0;  // how many bytes at the start the rewrite leaves as they are
    if (before.exists) {
      bool unchanged = false;
      if (status = Unchanged(chunks, &unchanged, &same); !status.ok()) return status;
      if (unchanged) return Status();
    }
    if (status = CheckProtection(before); !status.ok()) return status;

    TempFile temp(fs_, folder_);
    status = temp.Create(name_, hosts.get());
    if (status.code() == Code::kInPlaceOnly && before.exists) {
      hosts.Close();
      chunks.Release();  // the rewrite in place reads the file anew
      return RewriteInPlace(before, status);
    }
    if (!status.ok()) return status;
    status = StreamRewrite(chunks, same, temp);
    if (status.ok()) status = temp.Sync();
    if (!status.ok()) return temp.Abandon(status);
    return Replace(hosts, before, temp);
  }

  // Reads `chunks` as far as it takes to tell whether the rewrite gives
  // exactly the file's bytes: to the end when it does, otherwise to the first
  // line that changes (with the managed lines an install appends, perhaps a
  // few lines more). `*same` is how many bytes at the start, whole lines, the
  // rewrite leaves as they are. Everything read stays in `chunks`.
  Status Unchanged(Chunks& chunks, bool* unchanged, std::size_t* same) {
    std::string appended;  // what the rewrite appends after the last line
    if (install_) AppendManagedLines(&appended);
    Verdict verdict = Verdict::kReadOn;
    while (verdict == Verdict::kReadOn) {
      if (Status status = chunks.Next(); !status.ok()) return status;
      verdict = JudgeRewrite(chunks.text(), chunks.at_end(), appended, same);
    }
    *unchanged = verdict == Verdict::kSame;
    return Status();
  }

  // Writes the rewrite to `temp`: the first `same` bytes held in `chunks`
  // as they are, then the rest of the file (read on from where the judgement
  // stopped) rewritten, then the managed lines when installing. Beyond what
  // was held, a megabyte of input and of gathered lines at a time, more only
  // for a longer line.
  Status StreamRewrite(Chunks& chunks, std::size_t same, TempFile& temp) {
    TempWriter writer(temp);
    writer.KeepAsIs(chunks.text().substr(0, same));
    chunks.Drop(same);
    for (;;) {
      const std::size_t used = RewriteLines(chunks.text(), chunks.at_end(), writer);
      if (!writer.status().ok() || chunks.at_end()) break;
      chunks.Drop(used);
      if (Status status = chunks.Next(); !status.ok()) return status;
    }
    return writer.Finish(install_);
  }

  // kChanged unless the name still leads to the version of the file that was read.
  Status CheckUnchanged(const FileInfo& before) {
    FileInfo now;
    Status status = fs_.Identify(folder_, name_, &now);
    if (status.code() == Code::kNotFound) {
      now = FileInfo();
    } else if (status.code() == Code::kChanged) {
      return Changed();  // the name is being deleted or replaced right now
    } else if (!status.ok()) {
      return status.In("check for changes");
    }
    return before.SameVersion(now) ? Status() : Changed();
  }

  // Puts the temporary file in the hosts file's place once the file is
  // still the version that was read. `hosts` holds the file open meanwhile.
  Status Replace(OpenFile& hosts, const FileInfo& before, TempFile& temp) {
    Backoff waits(fs_, kRenameWaitMs);
    for (;;) {
      if (Status status = CheckUnchanged(before); !status.ok()) return temp.Abandon(status);
      Status status = temp.Commit(name_, before.exists);
      const auto fail = [&] { return temp.Abandon(status.In("replace")); };
      switch (status.code()) {
        case Code::kOk:  // done
          return status;
        case Code::kExists:  // another program created the file meanwhile: start over
          return temp.Abandon(Changed());
        case Code::kHeldHere:  // retry once this process has let go of the file
          if (!hosts.is_open()) return fail();
          hosts.Close();
          continue;
        case Code::kBusy:  // retry, waiting, while another program holds it
          if (!waits.Wait()) return temp.Abandon(HeldTooLong(status, kRenameWaitMs).In("replace"));
          continue;
        case Code::kInPlaceOnly:  // the name takes no replacement: rewrite the file itself
          if (!before.exists) return fail();
          if (Status discarded = temp.Discard(); !discarded.ok()) {
            return status.In("replace").Also(discarded.message());
          }
          hosts.Close();
          return RewriteInPlace(before, status.In("replace"));
        default:
          return fail();
      }
    }
  }

  // Fallback, for when no twin of the file can be made beside it, or its
  // name takes no replacement: rewrites the file itself. It holds the whole
  // original (and its rewrite) in memory, and writes the original back if the
  // rewrite fails. `cause` says why the safe path was not taken.
  Status RewriteInPlace(const FileInfo& before, const Status& cause) {
    const std::string after = "the safe way failed first: " + cause.message();
    OpenFile file(fs_);
    FileInfo now;
    Status status = RetryWhileBusy(
        fs_, kBusyWaitMs, [&] { return fs_.OpenInPlace(folder_, name_, file.out(), &now); });
    if (status.code() == Code::kNotFound) return Changed();
    if (status.code() == Code::kBusy) status = HeldTooLong(status, kBusyWaitMs);
    if (!status.ok()) return status.In("open for rewriting in place").Also(after);
    if (!before.SameVersion(now)) return Changed();

    std::string original;
    status = ReadAll(file.get(), now.size, &original);
    if (!status.ok()) return status.In("read before rewriting in place");
    if (IsUtf16Text(original)) return Status::Failed(kUtf16Message);

    status = fs_.Overwrite(file.get(), RewrittenHostsText(original, install_));
    if (status.ok()) return status;
    const Status restored = fs_.Overwrite(file.get(), original);
    return status.In("rewrite in place")
        .Also(restored.ok() ? "the original content was written back"
                            : "restoring the original content failed too: " + restored.message())
        .Also(after);
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
  const Folder& folder_;
  const std::string name_;
  const bool install_;
};

void PrintSystemRootMessage() {
  std::fputs(kSystemRootMessage, stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void PrintError(const std::string& what, const std::string& message) {
  std::fprintf(stderr, "hosts_entry_tool: %s: %s\n", what.c_str(), message.c_str());
  std::fflush(stderr);
}

// The update of one run, on the file system's calls.
int UpdateOnce(bool install, FileSystem& fs) {
  HostsPath path{};
  if (!ResolveHostsPath(fs, &path)) return -1;
  // SystemRoot is what the path begins with; a privileged run checks what
  // it names before it touches anything there, and goes on through the path
  // the check vouches for.
  constexpr std::size_t kSuffixLength = sizeof(kHostsPathSuffix) - 1;
  const std::string root(path.data(), std::strlen(path.data()) - kSuffixLength);
  std::string checked;
  if (Status status = fs.CheckSystemRoot(root, &checked); !status.ok()) {
    PrintError("SystemRoot \"" + root + "\"", status.message() + "; nothing was changed");
    return -1;
  }
  const std::string hosts = checked + kHostsPathSuffix;
  Folder folder;
  std::string name;
  Status status = fs.OpenFolderOf(hosts, &folder, &name);
  if (!status.ok()) {
    PrintError(hosts, status.In("open the folder").message());
    return -1;
  }
  status = Update(fs, folder, name, install).Run();
  fs.Close(folder.handle);
  if (status.ok()) return 0;
  PrintError(JoinPath(folder.path, name), status.message());
  return -1;
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
  return fs.Run([&] { return UpdateOnce(install, fs); });
}

int UpdateHostsFile(bool install) { return UpdateHostsFile(install, RealFileSystem()); }

}  // namespace hosts

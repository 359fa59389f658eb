// The update of the hosts file, step by step: locating it, the lock, reading
// and judging it once, the temporary file and the replace, the checks for
// changes, and the rewrite in place where nothing else can change it.

#include "hosts/hosts_file.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "hosts/hosts_reader.h"
#include "hosts/hosts_text.h"
#include "hosts/limits.h"
#include "hosts/steps.h"

namespace hosts {
namespace {

// What a temporary file's name adds to the hosts file's: "hosts.hosts_entry_tool-N.tmp".
constexpr std::string_view kTempMark = ".hosts_entry_tool-";
constexpr std::string_view kTempEnd = ".tmp";

// Waits before each new attempt at what another program holds: 1 ms, then
// twice as long each time up to kMaxBackoffMs, until `total_ms` are spent.
class Backoff {
 public:
  Backoff(FileSystem& fs, int total_ms) : fs_(fs), left_ms_(total_ms) {}

  // Waits and returns true, or returns false once the time is spent.
  bool Wait() {
    if (left_ms_ <= 0) return false;
    const int wait = std::min(next_ms_, left_ms_);
    fs_.Sleep(wait);
    left_ms_ -= wait;
    next_ms_ = std::min(next_ms_ * 2, kMaxBackoffMs);
    return true;
  }

 private:
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
  return Status(Code::kBusy, "another program keeps the hosts file open (waited " +
                                 Seconds(waited_ms) + " s; the last answer was: " + last.message() +
                                 "); it was left as it is");
}

// A step's failure, with the step and what it worked on in front.
Status In(Status status, Step step, const std::string& what = std::string()) {
  return status.ok() ? status
                     : status.In(what.empty() ? StepName(step) : StepName(step) + (" " + what));
}

// Removes the temporary file `temp` (if any is left) and returns `cause`,
// with a failure to remove it added; when the cause is only that the file
// changed, that failure replaces it.
Status Abandon(std::unique_ptr<TempFile>& temp, const std::string& path, Status cause) {
  if (temp == nullptr) return cause;
  Status discarded = temp->Discard();
  temp.reset();
  if (discarded.ok()) return cause;
  discarded.In("the temporary file " + path + " could not be removed");
  if (cause.code() == Code::kChanged) return discarded;
  return cause.Also(discarded.message());
}

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
    for (; !lines.empty() && status_.ok(); lines.remove_prefix(std::min(lines.size(), kPiece))) {
      status_ = temp_.Write(lines.substr(0, kPiece));
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
  // The most written at a time.
  static constexpr std::size_t kPiece = std::size_t{1} << 20;
  // Runs shorter than this are gathered rather than written on their own.
  static constexpr std::size_t kDirectWrite = std::size_t{64} << 10;

  void Gather(std::string_view bytes) {
    gathered_.append(bytes);
    if (gathered_.size() >= kPiece) Flush();
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

// One run of an update of the hosts file `name` in `folder`. Every step
// returns a Status: ok when the file holds the new content, kChanged when it
// changed since it was read and the pass must start over, anything else a
// failure with the file as it was.
class Update {
 public:
  Update(FileSystem& fs, Folder& folder, const std::string& name, bool install)
      : fs_(fs), folder_(folder), name_(name), install_(install) {}

  Status Run() {
    std::unique_ptr<UpdateLock> lock;
    // Without the lock the update is still safe, only less patient with
    // other runs; leftovers are removed only under it.
    if (RetryWhileBusy(fs_, kBusyWaitMs, [&] { return folder_.Lock(&lock); }).ok()) {
      RemoveLeftovers();
    }
    Status status;
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
    if (!folder_.List(prefix, &names).ok()) return;
    for (const std::string& name : names) {
      if (IsTempName(name, prefix)) folder_.RemoveStale(name, name_);
    }
  }

  // Read; when the rewrite changes nothing, stop there. Otherwise rewrite
  // into a temporary file and replace; or fall back to rewriting the file in
  // place.
  Status Pass() {
    std::unique_ptr<HeldFile> hosts;
    FileInfo before;
    Status status =
        RetryWhileBusy(fs_, kBusyWaitMs, [&] { return folder_.OpenHeld(name_, &hosts, &before); });
    if (status.code() == Code::kNotFound) {
      before = FileInfo();
    } else if (status.code() == Code::kBusy) {
      return In(HeldTooLong(status, kBusyWaitMs), Step::kRead);
    } else if (!status.ok()) {
      return In(status, Step::kRead);
    }
    // A file that already is what was asked for is not written at all, so
    // its protections, names and holders do not matter; and nothing of the
    // file changes, its times included.
    HostsReader reader(fs_, hosts.get(), before.size, Step::kRead);
    std::size_t same = 0;  // how many bytes at the start the rewrite leaves as they are
    if (before.exists) {
      bool unchanged = false;
      if (status = Unchanged(reader, &unchanged, &same); !status.ok()) return status;
      if (unchanged) return Status();
    }
    if (status = CheckProtection(before); !status.ok()) return status;

    std::unique_ptr<TempFile> temp;
    status = CreateTemp(hosts.get(), &temp);
    if (status.code() == Code::kInPlaceOnly && before.exists) {
      hosts.reset();
      reader.Release();  // the rewrite in place reads the file anew
      return RewriteInPlace(before, status);
    }
    if (!status.ok()) return status;
    status = StreamRewrite(reader, same, *temp);
    if (status.ok()) status = In(temp->Sync(), Step::kFlushTemp, PathOf(*temp));
    if (!status.ok()) return Abandon(temp, PathOf(*temp), status);
    return Replace(hosts, before, temp);
  }

  std::string PathOf(const TempFile& temp) const { return JoinPath(folder_.path(), temp.name()); }

  // Creates the first free temporary name beside the hosts file, a twin of
  // `original`.
  Status CreateTemp(const HeldFile* original, std::unique_ptr<TempFile>* temp) {
    Status status(Code::kExists, "");
    std::string name;
    for (int n = 0; n < kMaxTempNames && status.code() == Code::kExists; ++n) {
      name = name_ + std::string(kTempMark) + std::to_string(n) + std::string(kTempEnd);
      status = folder_.CreateTemp(name, original, temp);
    }
    if (status.ok()) return status;
    temp->reset();
    if (status.code() == Code::kExists) {
      status = Status::Failed("every name is taken, the last with: " + status.message());
    }
    return In(status, Step::kCreateTemp, JoinPath(folder_.path(), name));
  }

  // Reads as far as it takes to tell whether the rewrite gives exactly the
  // file's bytes: to the end when it does, otherwise to the first line that
  // changes (with the managed lines an install appends, perhaps a few lines
  // more). `*same` is how many bytes at the start, whole lines, the rewrite
  // leaves as they are. Everything read stays in `reader`.
  Status Unchanged(HostsReader& reader, bool* unchanged, std::size_t* same) {
    std::string appended;  // what the rewrite appends after the last line
    if (install_) AppendManagedLines(&appended);
    Verdict verdict = Verdict::kReadOn;
    while (verdict == Verdict::kReadOn) {
      if (Status status = reader.Next(); !status.ok()) return status;
      verdict = JudgeRewrite(reader.text(), reader.at_end(), appended, same);
    }
    *unchanged = verdict == Verdict::kSame;
    return Status();
  }

  // Writes the rewrite to `temp`: the first `same` bytes held in `reader`
  // as they are, then the rest of the file (read on from where the judgement
  // stopped) rewritten, then the managed lines when installing. Beyond what
  // was held, a megabyte of input and of gathered lines at a time, more only
  // for a longer line.
  Status StreamRewrite(HostsReader& reader, std::size_t same, TempFile& temp) {
    TempWriter writer(temp);
    writer.KeepAsIs(reader.text().substr(0, same));
    reader.Drop(same);
    for (;;) {
      const std::size_t used = RewriteLines(reader.text(), reader.at_end(), writer);
      if (!writer.status().ok() || reader.at_end()) break;
      reader.Drop(used);
      if (Status status = reader.Next(); !status.ok()) return status;
    }
    return In(writer.Finish(install_), Step::kWriteTemp, PathOf(temp));
  }

  // kChanged unless the name still leads to the version of the file that was read.
  Status CheckUnchanged(const FileInfo& before) {
    FileInfo now;
    Status status = folder_.Identify(name_, &now);
    if (status.code() == Code::kNotFound) {
      now = FileInfo();
    } else if (status.code() == Code::kChanged) {
      return Changed();  // the name is being deleted or replaced right now
    } else if (!status.ok()) {
      return In(status, Step::kCheckForChanges);
    }
    return before.SameVersion(now) ? Status() : Changed();
  }

  // Puts the temporary file in the hosts file's place once the file is
  // still the version that was read. `hosts` holds the file open meanwhile.
  Status Replace(std::unique_ptr<HeldFile>& hosts, const FileInfo& before,
                 std::unique_ptr<TempFile>& temp) {
    const std::string path = PathOf(*temp);
    Backoff waits(fs_, kRenameWaitMs);
    for (;;) {
      if (Status status = CheckUnchanged(before); !status.ok()) return Abandon(temp, path, status);
      Status status = temp->Commit(name_, before);
      const auto fail = [&] { return Abandon(temp, path, In(status, Step::kReplace)); };
      switch (status.code()) {
        case Code::kOk:  // done
          temp.reset();
          return status;
        case Code::kExists:   // another program created the file meanwhile: start over
        case Code::kChanged:  // or changed it, and its version is back in place
          return Abandon(temp, path, Changed());
        case Code::kHeldHere:  // retry once this process has let go of the file
          if (hosts == nullptr) return fail();
          hosts.reset();
          continue;
        case Code::kBusy:  // retry, waiting, while another program holds it
          if (!waits.Wait()) {
            return Abandon(temp, path, In(HeldTooLong(status, kRenameWaitMs), Step::kReplace));
          }
          continue;
        case Code::kInPlaceOnly: {  // the name takes no replacement: rewrite the file itself
          if (!before.exists) return fail();
          Status discarded = temp->Discard();
          temp.reset();
          if (!discarded.ok()) {
            discarded.In("the temporary file " + path + " could not be removed");
            return In(status, Step::kReplace).Also(discarded.message());
          }
          hosts.reset();
          return RewriteInPlace(before, In(status, Step::kReplace));
        }
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
    std::unique_ptr<InPlaceFile> file;
    FileInfo now;
    Status status =
        RetryWhileBusy(fs_, kBusyWaitMs, [&] { return folder_.OpenInPlace(name_, &file, &now); });
    if (status.code() == Code::kNotFound) return Changed();
    if (status.code() == Code::kBusy) status = HeldTooLong(status, kBusyWaitMs);
    if (!status.ok()) return In(status, Step::kOpenInPlace).Also(after);
    if (!before.SameVersion(now)) return Changed();

    HostsReader reader(fs_, file.get(), now.size, Step::kReadInPlace);
    if (status = reader.ReadToEnd(); !status.ok()) return status;
    const std::string_view original = reader.text();
    status = file->Overwrite(RewrittenHostsText(original, install_));
    if (status.ok()) return status;
    const Status restored = file->Overwrite(original);
    return In(status, Step::kRewriteInPlace)
        .Also(restored.ok() ? "the original content was written back"
                            : "restoring the original content failed too: " + restored.message())
        .Also(after);
  }

  FileSystem& fs_;
  Folder& folder_;
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
  std::unique_ptr<Folder> folder;
  std::string name;
  Status status = fs.OpenFolderOf(hosts, &folder, &name);
  if (!status.ok()) {
    PrintError(hosts, In(status, Step::kOpenFolder).message());
    return -1;
  }
  status = Update(fs, *folder, name, install).Run();
  if (status.ok()) return 0;
  PrintError(JoinPath(folder->path(), name), status.message());
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

#include "hosts/hosts_file.h"

#include <algorithm>
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

// How many temporary names to try before giving up on the replace path.
constexpr int kMaxTempNames = 100;

// How much of the hosts file is read at a time on the main path.
constexpr std::size_t kReadSize = std::size_t{1} << 20;

enum class Outcome {
  kDone,      // the file holds the new content
  kChanged,   // the file changed since it was read; nothing was written
  kFailed,    // the file is as it was; the reason is in the error text
  kFallback,  // the replace path could not be taken; nothing was written
};

void PrintSystemRootMessage() {
  std::fputs(kSystemRootMessage, stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void ReportFailure(const std::string& path, const std::string& what) {
  std::fprintf(stderr, "hosts_entry_tool: %s: %s\n", path.c_str(), what.c_str());
  std::fflush(stderr);
}

// A name beside the hosts file that says which tool left it there.
std::string TempName(const std::string& target, int n) {
  return target + ".hosts_entry_tool-" + std::to_string(n) + ".tmp";
}

// Reads `source` (when there is one) to its end, writing the rewritten lines
// to `file` as it goes, then the managed lines when installing. Only one
// read's worth of the file is in memory at a time.
bool StreamRewrite(FileSystem& fs, const FileHandle* source, FileHandle file, bool install,
                   const std::string& temp, std::string* error) {
  std::vector<char> in(kReadSize);
  std::size_t filled = 0;
  std::string out;
  out.reserve(kReadSize + kReadSize / 8);
  std::string err;
  bool at_end = source == nullptr;
  for (;;) {
    if (!at_end) {
      // A line longer than the buffer makes it grow.
      if (filled == in.size()) in.resize(in.size() * 2);
      std::size_t got = 0;
      if (!fs.Read(*source, in.data() + filled, in.size() - filled, &got, &err)) {
        *error = "read: " + err;
        return false;
      }
      at_end = got == 0;
      filled += got;
    }
    const std::size_t used = RewriteLines(std::string_view(in.data(), filled), at_end, &out);
    if (at_end && install) AppendManagedLines(&out);
    if (!out.empty() && !fs.Write(file, out, &err)) {
      *error = "write temporary file " + temp + ": " + err;
      return false;
    }
    out.clear();
    std::memmove(in.data(), in.data() + used, filled - used);
    filled -= used;
    if (at_end) return true;
  }
}

// Main path: write the new content to a temporary file beside the target,
// flush it to stable storage and put it in the target's place in one step.
// Closes `source` (the open hosts file, if any) once it has been read, so
// that the hosts file is not held open while it is replaced.
Outcome ReplaceWithTemp(FileSystem& fs, const std::string& target, const FileInfo& before,
                        const FileHandle* source, bool install, std::string* error) {
  std::string ignored;
  auto close_source = [&] {
    if (source != nullptr) fs.Close(*source, &ignored);
    source = nullptr;
  };
  std::string temp;
  std::string err;
  FileHandle file = 0;
  CreateStatus created = CreateStatus::kExists;
  for (int n = 0; n < kMaxTempNames && created == CreateStatus::kExists; ++n) {
    temp = TempName(target, n);
    created = fs.CreateTemp(temp, before, &file, &err);
  }
  if (created != CreateStatus::kCreated) {
    close_source();
    if (created == CreateStatus::kExists) err = "every temporary name is taken";
    *error = "create temporary file " + temp + ": " + err;
    return Outcome::kFallback;
  }

  auto discard = [&](const std::string& what) {
    *error = what;
    fs.Remove(temp, &ignored);
  };
  std::string stream_error;
  const bool streamed = StreamRewrite(fs, source, file, install, temp, &stream_error);
  close_source();
  if (!streamed) {
    fs.Close(file, &ignored);
    discard(stream_error);
    return Outcome::kFailed;
  }
  if (!fs.Sync(file, &err)) {
    fs.Close(file, &ignored);
    discard("flush temporary file " + temp + ": " + err);
    return Outcome::kFailed;
  }
  if (!fs.Close(file, &err)) {
    discard("close temporary file " + temp + ": " + err);
    return Outcome::kFailed;
  }

  FileInfo now;
  if (fs.Stat(target, &now, &err) == ReadStatus::kFailed) {
    discard("check for changes: " + err);
    return Outcome::kFailed;
  }
  if (!before.SameVersion(now)) {
    discard("");
    return Outcome::kChanged;
  }
  if (!fs.Replace(temp, target, before.exists, &err)) {
    discard("replace: " + err);
    return Outcome::kFallback;
  }
  return Outcome::kDone;
}

// Reads all of a regular file, for the rewrite in place.
ReadStatus ReadWholeFile(FileSystem& fs, const std::string& path, std::string* data, FileInfo* info,
                         std::string* err) {
  FileHandle file = 0;
  const ReadStatus opened = fs.OpenRead(path, &file, info, err);
  if (opened != ReadStatus::kRead) return opened;
  // One byte more than the file's size, so that its end shows as a read of
  // nothing rather than a full buffer; the file may also have grown.
  data->assign(static_cast<std::size_t>(info->size) + 1, '\0');
  std::size_t used = 0;
  for (;;) {
    if (used == data->size()) data->resize(used + std::max<std::size_t>(used / 2, 65536));
    std::size_t got = 0;
    if (!fs.Read(file, data->data() + used, data->size() - used, &got, err)) {
      std::string ignored;
      fs.Close(file, &ignored);
      return ReadStatus::kFailed;
    }
    if (got == 0) break;
    used += got;
  }
  data->resize(used);
  std::string ignored;
  fs.Close(file, &ignored);
  return ReadStatus::kRead;
}

// After a failed rewrite in place: puts the original bytes back, as far as
// the file system lets it. Returns what happened, for the error line.
std::string RestoreOriginal(FileSystem& fs, const std::string& target,
                            const std::string& original) {
  std::string err;
  std::string ignored;
  FileHandle file = 0;
  if (!fs.OpenInPlace(target, &file, &err)) {
    return "restoring the original content failed too: open: " + err;
  }
  if (!fs.Write(file, original, &err)) {
    fs.Close(file, &ignored);
    return "restoring the original content failed too: write: " + err;
  }
  if (!fs.Sync(file, &err)) {
    fs.Close(file, &ignored);
    return "restoring the original content failed too: flush: " + err;
  }
  if (!fs.Close(file, &err)) return "restoring the original content failed too: close: " + err;
  return "the original content was written back";
}

// Fallback: rewrite the existing file in place, for when the directory takes
// no new file or the replace failed (a bind-mounted file, a user allowed to
// write the file but not its folder).
Outcome RewriteInPlace(FileSystem& fs, const std::string& target, const FileInfo& before,
                       bool install, std::string* error) {
  // The whole file is held twice here: the original goes back if the write
  // fails. Reading it again also shows whether it changed.
  std::string original;
  FileInfo now;
  std::string err;
  if (ReadWholeFile(fs, target, &original, &now, &err) == ReadStatus::kFailed) {
    *error = "read before rewriting in place: " + err;
    return Outcome::kFailed;
  }
  if (!before.SameVersion(now)) return Outcome::kChanged;
  const std::string data = RewrittenHostsText(original, install);

  FileHandle file = 0;
  if (!fs.OpenInPlace(target, &file, &err)) {
    *error = "open for rewriting in place: " + err;
    return Outcome::kFailed;
  }
  std::string step;
  if (!fs.Write(file, data, &err)) {
    step = "write in place";
  } else if (!fs.Sync(file, &err)) {
    step = "flush in place";
  }
  std::string close_err;
  const bool closed = fs.Close(file, &close_err);
  if (step.empty() && !closed) {
    step = "close in place";
    err = close_err;
  }
  if (step.empty()) return Outcome::kDone;
  *error = step + ": " + err + "; " + RestoreOriginal(fs, target, original);
  return Outcome::kFailed;
}

// One read, rewrite and write of the file.
Outcome RunPass(FileSystem& fs, const std::string& target, bool install, std::string* error) {
  FileHandle source = 0;
  FileInfo before;
  std::string err;
  switch (fs.OpenRead(target, &source, &before, &err)) {
    case ReadStatus::kRead:
      break;
    case ReadStatus::kMissing:
      before = FileInfo();
      break;
    case ReadStatus::kFailed:
      *error = "read: " + err;
      return Outcome::kFailed;
  }
  std::string protection;
  if (before.immutable) {
    protection = "the file is marked immutable or append-only; it was left as it is";
  } else if (before.read_only) {
    protection = "the file is read-only; it was left as it is";
  }
  if (!protection.empty()) {
    std::string ignored;
    fs.Close(source, &ignored);
    *error = protection;
    return Outcome::kFailed;
  }
  std::string replace_error;
  Outcome outcome = ReplaceWithTemp(fs, target, before, before.exists ? &source : nullptr, install,
                                    &replace_error);
  if (outcome != Outcome::kFallback) {
    *error = replace_error;
    return outcome;
  }
  if (!before.exists) {
    *error = replace_error;
    return Outcome::kFailed;
  }
  std::string in_place_error;
  outcome = RewriteInPlace(fs, target, before, install, &in_place_error);
  if (outcome == Outcome::kFailed) *error = in_place_error + " (after " + replace_error + ")";
  return outcome;
}

}  // namespace

bool ResolveHostsPath(FileSystem& fs, HostsPath* path) {
  std::string root;
  if (fs.GetEnv("SystemRoot", &root) != EnvStatus::kFound) {
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
  const std::string target = fs.ResolveLinks(path.data());
  std::string error;
  for (int pass = 0; pass < kMaxPasses; ++pass) {
    switch (RunPass(fs, target, install, &error)) {
      case Outcome::kDone:
        return 0;
      case Outcome::kChanged:
        continue;
      case Outcome::kFailed:
      case Outcome::kFallback:
        ReportFailure(target, error);
        return -1;
    }
  }
  ReportFailure(target, "another program kept changing the file while it was being updated (" +
                            std::to_string(kMaxPasses) + " attempts); it was left as it is");
  return -1;
}

int UpdateHostsFile(bool install) { return UpdateHostsFile(install, RealFileSystem()); }

}  // namespace hosts

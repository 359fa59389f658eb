#include "hosts/hosts_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "hosts/hosts_text.h"
#include "hosts/limits.h"
#include "tests/fake_file_system.h"

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace hosts {
namespace {

const std::string kRoot = "/win";
const std::string kHosts = kRoot + kHostsPathSuffix;
const std::string kTemp0 = kHosts + ".hosts_entry_tool-0.tmp";
const std::string kOriginal = "# hosts\n127.0.0.1 localhost\n127.0.0.1 " +
                              std::string(LocalAliasHost) + "\n0.0.0.0 ads.example\n";
const std::string kAddedLine = "10.0.0.1\tadded.by.another.program\n";
// The fake hands out 7 bytes a read: the first read of the rewrite in place
// comes after those that read kOriginal to its end once.
const int kFirstReadInPlace = static_cast<int>(kOriginal.size() + 6) / 7 + 2;
// No twin of the file can be made in its folder: only a rewrite in place can change it.
const Fault kNoTwin{Op::kCreateTemp, 1, 1 << 30, Code::kInPlaceOnly};

struct RunResult {
  int status;
  std::string out;
  std::string err;
};

RunResult Update(FakeFileSystem& fs, bool install) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  const int status = UpdateHostsFile(install, fs);
  RunResult run{status, testing::internal::GetCapturedStdout(),
                testing::internal::GetCapturedStderr()};
  return run;
}

FakeFileSystem WithHosts(const std::string* data) {
  FakeFileSystem fs;
  fs.env["SystemRoot"] = kRoot;
  if (data != nullptr) fs.PutFile(kHosts, *data);
  return fs;
}

// The promise, whatever happened: either 0 and the file holds the new content
// computed from `before`, or -1, the file is byte for byte `before` and one
// line on standard error names the path. Standard output stays silent, and no
// file or handle is left behind.
void ExpectPromiseKept(FakeFileSystem& fs, const RunResult& run, const std::string& before,
                       bool install, int status, const std::string& label) {
  EXPECT_EQ(run.status, status) << label << run.err;
  EXPECT_EQ(run.out, "") << label;
  EXPECT_EQ(fs.OpenHandles(), 0u) << label;
  EXPECT_EQ(fs.unfinished_temps, 0) << label;
  EXPECT_EQ(fs.FilesContaining(".tmp"), std::vector<std::string>()) << label;
  if (run.status == 0) {
    EXPECT_EQ(fs.files[kHosts].data, RewrittenHostsText(before, install)) << label;
    EXPECT_EQ(run.err, "") << label;
  } else {
    EXPECT_EQ(fs.files[kHosts].data, before) << label;
    EXPECT_EQ(run.err.find("hosts_entry_tool: " + kHosts + ": "), 0u) << label << run.err;
    EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << label << run.err;
  }
}

// What a row expects the error line to name: nothing at all for a run that
// succeeds (an empty step), the step for one that fails.
void ExpectSays(const RunResult& run, const char* step, const std::string& label) {
  if (*step == '\0') {
    EXPECT_EQ(run.err, "") << label;
  } else {
    EXPECT_NE(run.err.find(step), std::string::npos) << label << run.err;
  }
}

TEST(ResolveHostsPathTest, JoinsSystemRootAndTheSuffix) {
  for (const std::string& root : {std::string("C:\\Windows"), std::string("D:\\OS\\"),
                                  std::string(), std::string(228, 'w')}) {
    FakeFileSystem fs;
    fs.env["SystemRoot"] = root;
    HostsPath path;
    path.fill('x');
    testing::internal::CaptureStdout();
    ASSERT_TRUE(ResolveHostsPath(fs, &path)) << root;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(std::string(path.data()), root + kHostsPathSuffix);
  }
}

TEST(ResolveHostsPathTest, RefusesAnUnreadableMissingOrOverlongSystemRoot) {
  struct Case {
    const char* name;
    bool set;
    std::string root;
    bool lookup_fails;
  };
  const std::vector<Case> cases = {
      {"lookup fails", true, "C:\\Windows", true},
      {"unset", false, "", false},
      {"229 characters", true, std::string(229, 'w'), false},
      {"far too long", true, std::string(5000, 'w'), false},
  };
  for (const Case& c : cases) {
    FakeFileSystem fs;
    if (c.set) fs.env["SystemRoot"] = c.root;
    if (c.lookup_fails) fs.faults.push_back({Op::kGetEnv});
    const RunResult run = Update(fs, true);
    EXPECT_EQ(run.status, -1) << c.name;
    EXPECT_EQ(run.out, "Failed to GET env SYSTEMROOT\n") << c.name;
    EXPECT_EQ(run.err, "") << c.name;
    EXPECT_EQ(fs.calls, std::vector<std::string>{"GetEnv SystemRoot"}) << c.name;
  }
}

// SystemRoot that names the wrong folder is refused before anything under it
// is touched, on standard error.
TEST(ResolveHostsPathTest, RefusesASystemRootTheSystemDoesNotVouchFor) {
  FakeFileSystem fs = WithHosts(&kOriginal);
  fs.faults.push_back({Op::kCheckSystemRoot});
  const RunResult run = Update(fs, true);
  EXPECT_EQ(run.status, -1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "hosts_entry_tool: SystemRoot \"" + kRoot + "\": " + kInjectedReason +
                         "; nothing was changed\n");
  EXPECT_EQ(fs.calls, (std::vector<std::string>{"GetEnv SystemRoot", "CheckSystemRoot " + kRoot}));
}

// Once SystemRoot is vouched for, the update goes through the path the check
// names, not through the value, which something may redirect after the check.
TEST(ResolveHostsPathTest, GoesOnThroughThePathTheCheckVouchesFor) {
  const std::string system_hosts = "/system" + std::string(kHostsPathSuffix);
  FakeFileSystem fs = WithHosts(&kOriginal);
  fs.system_root = "/system";
  fs.PutFile(system_hosts, kOriginal);
  EXPECT_EQ(Update(fs, true).status, 0);
  EXPECT_EQ(fs.files[system_hosts].data, RewrittenHostsText(kOriginal, true));
  EXPECT_EQ(fs.files[kHosts].data, kOriginal);
}

TEST(HostsFileTest, MissingFileIsCreatedUnlessAnotherProgramGetsThereFirst) {
  for (const bool raced : {false, true}) {
    for (const bool install : {true, false}) {
      FakeFileSystem fs = WithHosts(nullptr);
      if (raced) {
        fs.before_call = [](FakeFileSystem& f, Op op, int call) {
          if (op == Op::kCommitTemp && call == 1) f.PutFile(kHosts, kAddedLine);
        };
      }
      const RunResult run = Update(fs, install);
      // The file another program created is kept, rewritten like any other.
      ExpectPromiseKept(fs, run, raced ? kAddedLine : "", install, 0, raced ? "raced" : "alone");
    }
  }
}

TEST(HostsFileTest, ProtectedOrUnsuitableFilesAreLeftAlone) {
  struct Case {
    const char* name;
    std::string data;
    std::function<void(FileInfo&)> mark;
    const char* says;
  };
  const std::vector<Case> cases = {
      {"read-only", kOriginal, [](FileInfo& i) { i.read_only = true; }, "read-only"},
      {"immutable", kOriginal, [](FileInfo& i) { i.immutable = true; }, "immutable"},
      {"hard links", kOriginal, [](FileInfo& i) { i.links = 2; }, "2 names (hard links)"},
      {"UTF-16LE", std::string("\xFF\xFE#\0\n\0", 6), [](FileInfo&) {}, "UTF-16"},
      {"UTF-16BE", std::string("\xFE\xFF\0#", 4), [](FileInfo&) {}, "UTF-16"},
  };
  for (const Case& c : cases) {
    for (const bool in_place : {false, true}) {
      const std::string label = std::string(c.name) + (in_place ? " in place" : "");
      FakeFileSystem fs = WithHosts(&c.data);
      c.mark(fs.files[kHosts].info);
      if (in_place) fs.faults.push_back(kNoTwin);
      const RunResult run = Update(fs, true);
      ExpectPromiseKept(fs, run, c.data, true, -1, label);
      EXPECT_NE(run.err.find(c.says), std::string::npos) << label << run.err;
      EXPECT_EQ(fs.CallsOf(Op::kOverwrite), 0) << label;
    }
  }
}

// A file that already is what was asked for is not written at all, so that
// nothing that keeps it from being written matters: 0, and no temporary
// file, rename or rewrite in place.
TEST(HostsFileTest, NothingToChangeNothingWritten) {
  const std::vector<std::function<void(FakeFileSystem&)>> refusals = {
      [](FakeFileSystem&) {},
      [](FakeFileSystem& fs) { fs.files[kHosts].info.read_only = true; },
      [](FakeFileSystem& fs) { fs.files[kHosts].info.immutable = true; },
      [](FakeFileSystem& fs) { fs.files[kHosts].info.links = 2; },
      [](FakeFileSystem& fs) { fs.faults.push_back(kNoTwin); },
  };
  for (std::size_t i = 0; i < refusals.size(); ++i) {
    for (const bool install : {true, false}) {
      const std::string label = std::to_string(i) + (install ? " install" : " uninstall");
      const std::string done = RewrittenHostsText(kOriginal + kAddedLine, install);
      FakeFileSystem fs = WithHosts(&done);
      refusals[i](fs);
      const FileInfo before = fs.files[kHosts].info;
      ExpectPromiseKept(fs, Update(fs, install), done, install, 0, label);
      EXPECT_TRUE(fs.files[kHosts].info.SameVersion(before)) << label;
      for (const Op op : {Op::kCreateTemp, Op::kCommitTemp, Op::kOpenInPlace, Op::kOverwrite}) {
        EXPECT_EQ(fs.CallsOf(op), 0) << label << " " << OpName(op);
      }
    }
  }
  // A file that lacks only the lines an install appends does change.
  const std::string uninstalled = RewrittenHostsText(kOriginal, false);
  FakeFileSystem fs = WithHosts(&uninstalled);
  ExpectPromiseKept(fs, Update(fs, true), uninstalled, true, 0, "only the appended lines");
  EXPECT_EQ(fs.CallsOf(Op::kCommitTemp), 1);
}

// Names taken by live runs are skipped, each in turn; what killed runs left is
// removed first, and only under the lock.
TEST(HostsFileTest, TemporaryNames) {
  for (const bool locked : {true, false}) {
    FakeFileSystem fs = WithHosts(&kOriginal);
    const std::string live0 = kTemp0;
    const std::string live1 = kHosts + ".hosts_entry_tool-1.tmp";
    const std::string stale = kHosts + ".hosts_entry_tool-7.tmp";
    const std::string other = kHosts + ".hosts_entry_tool-7.tmp.keep";
    for (const std::string& path : {live0, live1, stale, other}) fs.PutFile(path, "left");
    fs.owned = {live0, live1};
    if (!locked) fs.faults.push_back({Op::kLock});
    EXPECT_EQ(Update(fs, true).status, 0);
    EXPECT_EQ(fs.files[kHosts].data, RewrittenHostsText(kOriginal, true));
    std::vector<std::string> left = {live0, live1, other};
    if (!locked) left.insert(left.begin() + 2, stale);
    EXPECT_EQ(fs.FilesContaining(".hosts_entry_tool-"), left) << locked;
    EXPECT_NE(std::find(fs.calls.begin(), fs.calls.end(),
                        "CommitTemp " + kHosts + ".hosts_entry_tool-2.tmp " + kHosts),
              fs.calls.end());
  }
}

// A link the system vouches for stays a link and its target is rewritten;
// any other is refused.
TEST(HostsFileTest, RewritesTheTargetOfATrustedLink) {
  for (const bool trusted : {true, false}) {
    const std::string target = std::string("/elsewhere") + kPathSeparator + "hosts";
    FakeFileSystem fs = WithHosts(nullptr);
    fs.links[kHosts] = target;
    fs.PutFile(target, kOriginal);
    if (!trusted) fs.others_may_change.insert(kHosts);
    const RunResult run = Update(fs, true);
    EXPECT_EQ(run.status, trusted ? 0 : -1) << run.err;
    EXPECT_EQ(fs.files[target].data, trusted ? RewrittenHostsText(kOriginal, true) : kOriginal);
    EXPECT_EQ(fs.files.count(kHosts), 0u);
    if (!trusted) {
      EXPECT_NE(run.err.find("open the folder: follow the symbolic link"), std::string::npos)
          << run.err;
    }
  }
}

// The walk to the hosts file's folder, as every platform makes it: links
// followed from where they are, ".." up the folders walked, and each of the
// three checks refusing what another account could have changed.
TEST(HostsFileTest, WalksToTheFolderThroughTrustedLinksOnly) {
  const char sep = kPathSeparator;
  // A path as the fake names it: the root's names follow a '/'.
  const auto path = [&](std::initializer_list<const char*> names) {
    std::string joined;
    for (const char* name : names) joined += (joined.empty() ? '/' : sep) + std::string(name);
    return joined;
  };
  const std::string etc = path({"win", "System32", "drivers", "etc"});
  struct Row {
    const char* name;
    std::function<void(FakeFileSystem&)> set;
    std::string folder;  // where the file is found, or empty for a refusal
    std::string says;    // what a refusal says
  };
  const std::vector<Row> rows = {
      {"no link", [](FakeFileSystem&) {}, etc, ""},
      {"an absolute link at the name",
       [&](FakeFileSystem& fs) {
         fs.links[etc + sep + "hosts"] = path({"b", "hosts"});
       },
       path({"b"}), ""},
      {"a relative link up and down",
       [&](FakeFileSystem& fs) {
         fs.links[etc + sep + "hosts"] = std::string("..") + sep + ".." + sep + "c" + sep + "h";
       },
       path({"win", "System32", "c"}), ""},
      {"a chain: a link on the way to a link",
       [&](FakeFileSystem& fs) {
         fs.links[path({"win", "System32", "drivers"})] = path({"d"});
         fs.links[path({"d", "etc", "hosts"})] = std::string("x") + sep + "hosts";
       },
       path({"d", "etc", "x"}), ""},
      {"links without end",
       [&](FakeFileSystem& fs) { fs.links[etc + sep + "hosts"] = etc + sep + "hosts"; }, "",
       "too many levels of symbolic links"},
      {"a link another account could change",
       [&](FakeFileSystem& fs) {
         fs.links[etc + sep + "hosts"] = path({"b", "hosts"});
         fs.others_may_change.insert(etc + sep + "hosts");
       },
       "", "it belongs to another user"},
      {"a link in a folder another account could change",
       [&](FakeFileSystem& fs) {
         fs.links[etc + sep + "hosts"] = path({"b", "hosts"});
         fs.others_may_change.insert(etc);
       },
       "", "the folder holding it, " + etc + " may be changed"},
      {"after a link, a folder in which another account could rename",
       [&](FakeFileSystem& fs) {
         fs.links[path({"win", "System32", "drivers"})] = path({"d"});
         fs.others_may_rename.insert(path({"d"}));
       },
       "", "the folder " + path({"d"}) + " lets another user rename"},
      {"a folder in which another account could rename, with no link before it",
       [&](FakeFileSystem& fs) { fs.others_may_rename.insert(path({"win"})); }, etc, ""},
      {"the folder the last link leads to, which another account could change",
       [&](FakeFileSystem& fs) {
         fs.links[etc + sep + "hosts"] = path({"b", "hosts"});
         fs.others_may_change.insert(path({"b"}));
       },
       "", "the folder it leads to, " + path({"b"}) + " may be changed"},
      {"a file on the way",
       [&](FakeFileSystem& fs) {
         fs.PutFile(path({"win", "System32", "drivers"}), "");
       },
       "", "not a folder"},
  };
  for (const Row& row : rows) {
    FakeFileSystem fs;
    row.set(fs);
    std::unique_ptr<Folder> folder;
    std::string name;
    const Status status = fs.OpenFolderOf(etc + sep + "hosts", &folder, &name);
    if (row.folder.empty()) {
      EXPECT_FALSE(status.ok()) << row.name;
      EXPECT_NE(status.message().find(row.says), std::string::npos)
          << row.name << ": " << status.message();
    } else {
      ASSERT_TRUE(status.ok()) << row.name << ": " << status.message();
      EXPECT_EQ(folder->path(), row.folder) << row.name;
    }
  }
}

// Another program changes the file between the read and the replace: the
// pass starts over on the new content, at most three times in all.
TEST(HostsFileTest, StartsOverWhenTheFileChangesMeanwhile) {
  struct Case {
    int changes;
    bool in_place;
    int status;
  };
  const std::vector<Case> cases = {
      {1, false, 0}, {2, false, 0}, {3, false, -1}, {1, true, 0}, {3, true, -1}};
  for (const Case& c : cases) {
    FakeFileSystem fs = WithHosts(&kOriginal);
    if (c.in_place) fs.faults.push_back(kNoTwin);
    const Op strikes_before = c.in_place ? Op::kOpenInPlace : Op::kIdentify;
    fs.before_call = [&](FakeFileSystem& f, Op op, int call) {
      if (op == strikes_before && call <= c.changes)
        f.PutFile(kHosts, f.files[kHosts].data + kAddedLine);
    };
    const RunResult run = Update(fs, true);
    std::string changed = kOriginal;
    for (int i = 0; i < c.changes; ++i) changed += kAddedLine;
    const std::string label = std::to_string(c.changes) + (c.in_place ? " in place" : "");
    ExpectPromiseKept(fs, run, changed, true, c.status, label);
    if (c.status != 0) {
      EXPECT_NE(run.err.find("kept changing"), std::string::npos) << label;
    }
  }
}

// Every fault point, for install and uninstall, keeps the promise; the error
// line names the step that failed and the reason.
TEST(HostsFileTest, FaultTable) {
  struct Case {
    std::vector<Fault> faults;
    int status;
    const char* step;  // what the error line must name
  };
  constexpr int kAll = 1 << 30;
  const std::vector<Case> cases = {
      {{}, 0, ""},
      {{{Op::kOpenFolder}}, -1, "open the folder"},
      {{{Op::kOpenHeld}}, -1, "read"},
      {{{Op::kRead}}, -1, "read"},
      {{{Op::kRead, 4}}, -1, "read"},  // after the first change: while the rewrite is written
      {{kNoTwin}, 0, ""},
      {{{Op::kCreateTemp}}, -1, "create temporary file"},  // an I/O error: no rewrite in place
      {{{Op::kCreateTemp, 1, kAll, Code::kExists}}, -1, "every name is taken"},
      {{{Op::kWriteTemp}}, -1, "write temporary file"},
      {{{Op::kSync}}, -1, "flush temporary file"},
      {{{Op::kIdentify}}, -1, "check for changes"},
      {{{Op::kCommitTemp, 1, 1, Code::kInPlaceOnly}}, 0, ""},  // the name takes no replacement
      {{{Op::kCommitTemp}}, -1, "replace"},                    // an I/O error: no rewrite in place
      {{{Op::kWriteTemp}, {Op::kDiscardTemp}}, -1, "could not be removed"},
      {{{Op::kCommitTemp}, {Op::kDiscardTemp}}, -1, "could not be removed"},
      {{{Op::kCommitTemp, 1, 1, Code::kInPlaceOnly}, {Op::kDiscardTemp}},
       -1,
       "could not be removed"},
      {{kNoTwin, {Op::kOpenInPlace}}, -1, "open for rewriting in place"},
      {{kNoTwin, {Op::kRead, kFirstReadInPlace}}, -1, "read before rewriting in place"},
      {{kNoTwin, {Op::kOverwrite, 1, 1}}, -1, "written back"},
      {{kNoTwin, {Op::kOverwrite}}, -1, "restoring the original content failed too"},
      {{{Op::kCommitTemp, 1, 1, Code::kInPlaceOnly}, {Op::kOverwrite, 1, 1}},
       -1,
       "rewrite in place"},
  };
  for (const Case& c : cases) {
    for (const bool install : {true, false}) {
      std::string label = install ? "install" : "uninstall";
      for (const Fault& fault : c.faults) label += std::string(" ") + OpName(fault.op);
      FakeFileSystem fs = WithHosts(&kOriginal);
      fs.faults = c.faults;
      const RunResult run = Update(fs, install);
      const bool restore_failed =
          c.faults.size() == 2 && c.faults[1].op == Op::kOverwrite && c.faults[1].count > 1;
      if (restore_failed) {
        // The one case the promise cannot be kept: the error line says so.
        EXPECT_EQ(run.status, -1) << label;
      } else if (c.faults.size() == 2 && c.faults[1].op == Op::kDiscardTemp) {
        EXPECT_EQ(run.status, -1) << label;
        EXPECT_EQ(fs.files[kHosts].data, kOriginal) << label;
        fs.files.erase(fs.FilesContaining(".tmp").at(0));
      } else {
        ExpectPromiseKept(fs, run, kOriginal, install, c.status, label);
      }
      ExpectSays(run, c.step, label);
      if (run.status != 0) {
        EXPECT_NE(run.err.find(kInjectedReason), std::string::npos) << label;
      }
      // A file that could not be read in full is never replaced or rewritten.
      if (std::any_of(c.faults.begin(), c.faults.end(),
                      [](const Fault& f) { return f.op == Op::kRead || f.op == Op::kOpenHeld; })) {
        EXPECT_EQ(fs.CallsOf(Op::kCommitTemp) + fs.CallsOf(Op::kOverwrite), 0) << label;
      }
    }
  }
}

// Another program holding the file, or another run holding the lock, makes
// the update wait, backing off: a few seconds for a writer or the lock, half
// a minute for a reader that keeps the file from being replaced. A brief
// conflict never sends it to the rewrite in place.
TEST(HostsFileTest, WaitsForWhatAnotherProgramHolds) {
  constexpr int kForever = 1 << 30;
  struct Case {
    Fault fault;
    int status;
    const char* step;
    int budget_ms;  // how long the update may wait for it
  };
  const std::vector<Case> cases = {
      {{Op::kLock, 1, 4, Code::kBusy}, 0, "", kBusyWaitMs},
      {{Op::kLock, 1, kForever, Code::kBusy}, 0, "", kBusyWaitMs},  // goes on unlocked
      {{Op::kOpenHeld, 1, 4, Code::kBusy}, 0, "", kBusyWaitMs},
      {{Op::kOpenHeld, 1, kForever, Code::kBusy}, -1, "read", kBusyWaitMs},
      {{Op::kCommitTemp, 1, 4, Code::kBusy}, 0, "", kRenameWaitMs},
      {{Op::kCommitTemp, 1, kForever, Code::kBusy}, -1, "replace", kRenameWaitMs},
  };
  for (const Case& c : cases) {
    const std::string label =
        std::string(OpName(c.fault.op)) + " x" + std::to_string(c.fault.count);
    FakeFileSystem fs = WithHosts(&kOriginal);
    fs.faults = {c.fault};
    const RunResult run = Update(fs, true);
    ExpectPromiseKept(fs, run, kOriginal, true, c.status, label);
    ExpectSays(run, c.step, label);
    EXPECT_EQ(fs.CallsOf(Op::kOpenInPlace), 0) << label;
    EXPECT_GT(fs.slept_ms, 0) << label;
    EXPECT_LE(fs.slept_ms, c.budget_ms) << label;
    if (c.fault.count == kForever) {
      EXPECT_EQ(fs.slept_ms, c.budget_ms) << label;
    }
  }
}

// Where the system cannot replace a file this process has open, the update
// lets go of it just before the replace, and checks it once more first.
TEST(HostsFileTest, ReleasesTheFileWhereTheSystemCannotReplaceAnOpenOne) {
  for (const bool changed_meanwhile : {false, true}) {
    FakeFileSystem fs = WithHosts(&kOriginal);
    fs.replaces_open_files = false;
    if (changed_meanwhile) {
      fs.before_call = [](FakeFileSystem& f, Op op, int call) {
        if (op == Op::kIdentify && call == 2) f.PutFile(kHosts, kOriginal + kAddedLine);
      };
    }
    const RunResult run = Update(fs, true);
    ExpectPromiseKept(fs, run, changed_meanwhile ? kOriginal + kAddedLine : kOriginal, true, 0,
                      changed_meanwhile ? "changed" : "unchanged");
    EXPECT_EQ(fs.CallsOf(Op::kOpenInPlace), 0);
  }
}

// A line of any length is looked at once, when it is whole, not again after
// every read: read 7 bytes at a time, a line four times as long takes about
// four times as long, not sixteen.
TEST(HostsFileTest, ALongLineCostsLinearTime) {
  std::vector<double> seconds;
  for (const std::size_t length : {std::size_t{1} << 15, std::size_t{1} << 17}) {
    const std::string line(length, 'x');
    const std::string data = line + "\r\n127.0.0.1 " + LocalAliasHost + "\r\n" + line;
    FakeFileSystem fs = WithHosts(&data);
    const auto started = std::chrono::steady_clock::now();
    const RunResult run = Update(fs, false);
    seconds.push_back(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    ExpectPromiseKept(fs, run, data, false, 0, std::to_string(length));
  }
  EXPECT_LT(seconds[1], 8 * seconds[0] + 0.05) << seconds[0] << " s, then " << seconds[1] << " s";
}

TEST(HostsFileTest, MissingFileWithNoTemporaryFileStaysMissing) {
  FakeFileSystem fs = WithHosts(nullptr);
  fs.faults = {kNoTwin};
  const RunResult run = Update(fs, true);
  EXPECT_EQ(run.status, -1);
  EXPECT_EQ(fs.files.count(kHosts), 0u);
  EXPECT_NE(run.err.find("create temporary file"), std::string::npos) << run.err;
}

#ifndef _WIN32
// The Linux layer on a real folder: what it must leave alone.
TEST(LinuxFileSystemTest, LeavesAloneWhatIsNotItsToTake) {
  char name_template[] = "/tmp/hosts_posix_XXXXXX";
  const std::string dir = mkdtemp(name_template);
  const auto put = [&](const std::string& name, const std::string& data) {
    std::ofstream(dir + "/" + name, std::ios::binary) << data;
  };
  const auto get = [&](const std::string& name) {
    std::ifstream in(dir + "/" + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  };
  FileSystem& fs = RealFileSystem();
  std::unique_ptr<Folder> folder;
  std::string name;
  ASSERT_TRUE(fs.OpenFolderOf(dir + "/hosts", &folder, &name).ok());
  EXPECT_EQ(folder->path() + "/" + name, dir + "/hosts");
  put("hosts", "old");

  // A live run's temporary file: its lock keeps another run's cleanup away.
  std::unique_ptr<TempFile> live;
  std::unique_ptr<HeldFile> original;
  FileInfo info;
  ASSERT_TRUE(folder->OpenHeld("hosts", &original, &info).ok());
  ASSERT_TRUE(folder->CreateTemp("hosts.t-1.tmp", original.get(), &live).ok());
  original.reset();
  // Its own until it is put in place: no other account can open it.
  struct stat made;
  ASSERT_EQ(stat((dir + "/hosts.t-1.tmp").c_str(), &made), 0);
  EXPECT_EQ(made.st_mode & 0777, 0600u);
  EXPECT_EQ(folder->RemoveStale("hosts.t-1.tmp", "hosts").code(), Code::kBusy);
  // "Only if no file is there" refuses a taken name and leaves both as they were.
  EXPECT_EQ(live->Commit("hosts", FileInfo()).code(), Code::kExists);
  EXPECT_EQ(get("hosts"), "old");
  EXPECT_TRUE(live->Discard().ok());
  live.reset();

  // A file another program holds a lease on is busy: its open does not wait.
  // (Its break is told with SIGURG, which the layer keeps blocked, not with
  // SIGIO, which would end this process.)
  const int leaser = open((dir + "/hosts").c_str(), O_RDONLY);
  ASSERT_EQ(fcntl(leaser, F_SETSIG, SIGURG), 0);
  ASSERT_EQ(fcntl(leaser, F_SETLEASE, F_WRLCK), 0);
  EXPECT_EQ(folder->OpenHeld("hosts", &original, &info).code(), Code::kBusy);
  close(leaser);
  // One held so by the layer: a program that comes to write it makes the
  // read give way, so that the pass starts over once it has written.
  ASSERT_TRUE(folder->OpenHeld("hosts", &original, &info).ok());
  EXPECT_LT(open((dir + "/hosts").c_str(), O_WRONLY | O_NONBLOCK), 0);
  char byte = 0;
  std::size_t got = 0;
  EXPECT_EQ(original->Read(&byte, 1, &got).code(), Code::kChanged);
  original.reset();

  // A file another run put under a temporary name is neither put in place
  // nor removed: only the run's own file is.
  ASSERT_TRUE(folder->OpenHeld("hosts", &original, &info).ok());
  ASSERT_TRUE(folder->CreateTemp("hosts.t-4.tmp", original.get(), &live).ok());
  put("another", "another run's");
  ASSERT_EQ(rename((dir + "/another").c_str(), (dir + "/hosts.t-4.tmp").c_str()), 0);
  EXPECT_FALSE(live->Commit("hosts", info).ok());
  EXPECT_TRUE(live->Discard().ok());
  live.reset();
  original.reset();
  EXPECT_EQ(get("hosts"), "old");
  EXPECT_EQ(get("hosts.t-4.tmp"), "another run's");

  // A killed run's file goes, also while another program holds it, even
  // locked for reading (any account that may read it can); a link named like
  // one stays, as does its target.
  put("hosts.t-2.tmp", "stale");
  const int reader = open((dir + "/hosts.t-2.tmp").c_str(), O_RDONLY);
  ASSERT_EQ(flock(reader, LOCK_SH | LOCK_NB), 0);
  ASSERT_EQ(symlink((dir + "/hosts").c_str(), (dir + "/hosts.t-3.tmp").c_str()), 0);
  EXPECT_TRUE(folder->RemoveStale("hosts.t-2.tmp", "hosts").ok());
  close(reader);
  EXPECT_FALSE(folder->RemoveStale("hosts.t-3.tmp", "hosts").ok());
  EXPECT_EQ(get("hosts.t-3.tmp"), "old");
  // Where the hosts file belongs to another account, a file of that
  // account's goes too: a run killed after giving its file that owner left
  // it. Another account's stays.
  if (geteuid() == 0) {
    ASSERT_EQ(chown((dir + "/hosts").c_str(), 4321, 4321), 0);
    for (const uid_t owner : {4321, 5678}) {
      put("hosts.t-5.tmp", "stale");
      ASSERT_EQ(chown((dir + "/hosts.t-5.tmp").c_str(), owner, owner), 0);
      EXPECT_EQ(folder->RemoveStale("hosts.t-5.tmp", "hosts").ok(), owner == 4321) << owner;
    }
  }

  // A link is followed only out of a folder no other account may change.
  ASSERT_EQ(symlink(dir.c_str(), (dir + "/linked").c_str()), 0);
  for (const mode_t mode : {0700, 0777, 01777, 0770}) {
    ASSERT_EQ(chmod(dir.c_str(), mode), 0);
    std::unique_ptr<Folder> linked;
    const Status walked = fs.OpenFolderOf(dir + "/linked/hosts", &linked, &name);
    EXPECT_EQ(walked.ok(), mode == 0700) << std::oct << mode << " " << walked.message();
  }
  ASSERT_EQ(chmod(dir.c_str(), 0700), 0);

  folder.reset();
  for (const char* leftover :
       {"hosts", "hosts.t-2.tmp", "hosts.t-3.tmp", "hosts.t-4.tmp", "hosts.t-5.tmp", "linked"}) {
    unlink((dir + "/" + leftover).c_str());
  }
  EXPECT_EQ(rmdir(dir.c_str()), 0);
}
#endif

}  // namespace
}  // namespace hosts

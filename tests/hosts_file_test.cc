#include "hosts/hosts_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "hosts/hosts_text.h"
#include "tests/fake_file_system.h"

namespace hosts {
namespace {

const std::string kRoot = "/win";
const std::string kHosts = kRoot + kHostsPathSuffix;
const std::string kOriginal = "# hosts\n127.0.0.1 localhost\n127.0.0.1 " +
                              std::string(LocalAliasHost) + "\n0.0.0.0 ads.example\n";

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

class HostsFileTest : public testing::Test {
 protected:
  void SetUp() override { fs_.env["SystemRoot"] = kRoot; }
  FakeFileSystem fs_;
};

TEST(ResolveHostsPathTest, JoinsSystemRootAndTheSuffix) {
  struct Case {
    std::string root;
    std::string path;
  };
  const std::vector<Case> cases = {
      {"C:\\Windows", std::string("C:\\Windows") + kHostsPathSuffix},
      {"D:\\OS\\", std::string("D:\\OS\\") + kHostsPathSuffix},
      {"", kHostsPathSuffix},
      {std::string(228, 'w'), std::string(228, 'w') + kHostsPathSuffix},
  };
  for (const Case& c : cases) {
    FakeFileSystem fs;
    fs.env["SystemRoot"] = c.root;
    HostsPath path;
    path.fill('x');
    testing::internal::CaptureStdout();
    ASSERT_TRUE(ResolveHostsPath(fs, &path)) << c.root;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(std::string(path.data()), c.path);
    // The rest of the buffer is zero.
    for (std::size_t i = c.path.size(); i < path.size(); ++i) ASSERT_EQ(path[i], '\0');
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
    if (c.lookup_fails) fs.faults.insert(Fault::kEnvLookup);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(UpdateHostsFile(true, fs), -1) << c.name;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Failed to GET env SYSTEMROOT\n") << c.name;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << c.name;
    EXPECT_EQ(fs.calls, std::vector<std::string>{"GetEnv SystemRoot"}) << c.name;
  }
}

TEST_F(HostsFileTest, MissingFileIsCreated) {
  for (const bool install : {true, false}) {
    FakeFileSystem fs;
    fs.env["SystemRoot"] = kRoot;
    const RunResult run = Update(fs, install);
    EXPECT_EQ(run.status, 0);
    ASSERT_EQ(fs.files.count(kHosts), 1u);
    EXPECT_EQ(fs.files[kHosts].data, RewrittenHostsText("", install));
    EXPECT_EQ(run.out + run.err, "");
  }
}

TEST_F(HostsFileTest, ProtectedFilesAreLeftAlone) {
  for (const bool immutable : {false, true}) {
    FakeFileSystem fs;
    fs.env["SystemRoot"] = kRoot;
    fs.PutFile(kHosts, kOriginal);
    (immutable ? fs.files[kHosts].info.immutable : fs.files[kHosts].info.read_only) = true;
    const RunResult run = Update(fs, true);
    EXPECT_EQ(run.status, -1);
    EXPECT_EQ(fs.files[kHosts].data, kOriginal);
    EXPECT_NE(run.err.find(immutable ? "immutable" : "read-only"), std::string::npos) << run.err;
    EXPECT_EQ(fs.FilesContaining(".tmp"), std::vector<std::string>());
    for (const std::string& call : fs.calls) EXPECT_EQ(call.find("Create"), std::string::npos);
  }
}

TEST_F(HostsFileTest, SkipsTemporaryNamesThatAreTaken) {
  fs_.PutFile(kHosts, kOriginal);
  const std::string leftover = kHosts + ".hosts_entry_tool-0.tmp";
  fs_.PutFile(leftover, "left by an earlier run");
  EXPECT_EQ(Update(fs_, true).status, 0);
  EXPECT_EQ(fs_.files[kHosts].data, RewrittenHostsText(kOriginal, true));
  EXPECT_EQ(fs_.files[leftover].data, "left by an earlier run");
  EXPECT_EQ(fs_.FilesContaining(".tmp"), std::vector<std::string>{leftover});
}

TEST_F(HostsFileTest, RewritesTheTargetOfALink) {
  const std::string target = "/elsewhere/hosts";
  fs_.links[kHosts] = target;
  fs_.PutFile(target, kOriginal);
  EXPECT_EQ(Update(fs_, true).status, 0);
  EXPECT_EQ(fs_.files[target].data, RewrittenHostsText(kOriginal, true));
  EXPECT_EQ(fs_.files.count(kHosts), 0u);
}

// Another program changes the file between the read and the replace: the
// pass starts over on the new content, at most three times in all. With the
// temporary file refused, the rewrite in place checks the same way.
TEST_F(HostsFileTest, StartsOverWhenTheFileChangesMeanwhile) {
  struct Case {
    int changes;
    bool in_place;
    int status;
  };
  const std::vector<Case> cases = {
      {1, false, 0}, {2, false, 0}, {3, false, -1}, {1, true, 0}, {3, true, -1},
  };
  for (const Case& c : cases) {
    for (const bool install : {true, false}) {
      FakeFileSystem fs;
      fs.env["SystemRoot"] = kRoot;
      fs.PutFile(kHosts, kOriginal);
      if (c.in_place) fs.faults.insert(Fault::kCreateTemp);
      fs.changing_path = kHosts;
      fs.pending_changes = c.changes;
      const RunResult run = Update(fs, install);

      std::string changed = kOriginal;
      for (int i = 0; i < c.changes; ++i) changed += kAddedLine;
      const std::string label = std::to_string(c.changes) + (c.in_place ? " in place" : "");
      EXPECT_EQ(run.status, c.status) << label;
      if (c.status == 0) {
        EXPECT_EQ(fs.files[kHosts].data, RewrittenHostsText(changed, install)) << label;
        EXPECT_EQ(run.err, "") << label;
      } else {
        EXPECT_EQ(fs.files[kHosts].data, changed) << label;
        EXPECT_NE(run.err.find("kept changing"), std::string::npos) << label << run.err;
      }
      EXPECT_EQ(fs.FilesContaining(".tmp"), std::vector<std::string>()) << label;
      EXPECT_EQ(run.out, "") << label;
    }
  }
}

// Every fault point, for install and uninstall: either the status is 0 and
// the file holds the new content, or it is -1, the file is as it was and one
// line on standard error names the path, the step and the reason. No
// temporary file is left and nothing goes to standard output.
TEST_F(HostsFileTest, FaultTable) {
  struct Case {
    std::vector<Fault> faults;
    int status;
    const char* step;  // what the error line must name
  };
  const std::vector<Case> cases = {
      {{}, 0, ""},
      {{Fault::kOpenRead}, -1, "read"},
      {{Fault::kRead}, -1, "read"},
      {{Fault::kCreateTemp}, 0, ""},
      {{Fault::kWrite}, -1, "write temporary file"},
      {{Fault::kFlush}, -1, "flush temporary file"},
      {{Fault::kClose}, -1, "close temporary file"},
      {{Fault::kCheck}, -1, "check for changes"},
      {{Fault::kReplace}, 0, ""},
      {{Fault::kCreateTemp, Fault::kOpenInPlace}, -1, "open for rewriting in place"},
      {{Fault::kReplace, Fault::kOpenInPlace}, -1, "open for rewriting in place"},
      {{Fault::kCreateTemp, Fault::kWriteInPlace}, -1, "write in place"},
      {{Fault::kReplace, Fault::kWriteInPlace}, -1, "write in place"},
      {{Fault::kCreateTemp, Fault::kFlushInPlace}, -1, "flush in place"},
      {{Fault::kCreateTemp, Fault::kOpenRead}, -1, "read"},
  };
  for (const Case& c : cases) {
    for (const bool install : {true, false}) {
      std::string label = install ? "install" : "uninstall";
      for (Fault fault : c.faults) label += std::string(" ") + FaultName(fault);
      FakeFileSystem fs;
      fs.env["SystemRoot"] = kRoot;
      fs.PutFile(kHosts, kOriginal);
      fs.faults.insert(c.faults.begin(), c.faults.end());

      const RunResult run = Update(fs, install);
      EXPECT_EQ(run.status, c.status) << label;
      EXPECT_EQ(run.out, "") << label;
      EXPECT_EQ(fs.FilesContaining(".tmp"), std::vector<std::string>()) << label;
      EXPECT_EQ(fs.OpenHandles(), 0u) << label;
      if (c.status == 0) {
        EXPECT_EQ(fs.files[kHosts].data, RewrittenHostsText(kOriginal, install)) << label;
        EXPECT_EQ(run.err, "") << label;
        // Without a fault on the replace path, the file is replaced, never
        // rewritten in place.
        const bool replace_path_faulted =
            fs.faults.count(Fault::kCreateTemp) || fs.faults.count(Fault::kReplace);
        const bool rewritten_in_place =
            std::count(fs.calls.begin(), fs.calls.end(), "OpenInPlace " + kHosts) > 0;
        EXPECT_EQ(rewritten_in_place, replace_path_faulted) << label;
      } else {
        EXPECT_EQ(fs.files[kHosts].data, kOriginal) << label;
        EXPECT_EQ(run.err.find("hosts_entry_tool: " + kHosts + ": "), 0u) << label << run.err;
        EXPECT_NE(run.err.find(c.step), std::string::npos) << label << run.err;
        EXPECT_NE(run.err.find(kInjectedReason), std::string::npos) << label << run.err;
        EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << label << run.err;
      }
      // A file that could not be read in full is never replaced or written
      // to; a temporary file begun meanwhile is gone (checked above).
      if (fs.faults.count(Fault::kOpenRead) || fs.faults.count(Fault::kRead)) {
        for (const std::string& call : fs.calls) {
          EXPECT_EQ(call.rfind("Replace", 0), std::string::npos) << label;
          EXPECT_EQ(call.rfind("OpenInPlace", 0), std::string::npos) << label;
          EXPECT_NE(call, "Write " + kHosts) << label;
        }
      }
    }
  }
}

// The fallback's last resort: when writing the original bytes back fails
// too, the error line says so rather than claim the file is intact.
TEST_F(HostsFileTest, ReportsAFailedRestore) {
  fs_.PutFile(kHosts, kOriginal);
  fs_.faults = {Fault::kCreateTemp, Fault::kWriteInPlace, Fault::kRestore};
  const RunResult run = Update(fs_, true);
  EXPECT_EQ(run.status, -1);
  EXPECT_NE(run.err.find("restoring the original content failed too"), std::string::npos)
      << run.err;
  EXPECT_EQ(fs_.OpenHandles(), 0u);
}

TEST_F(HostsFileTest, MissingFileWithNoTemporaryFileStaysMissing) {
  fs_.faults = {Fault::kCreateTemp};
  const RunResult run = Update(fs_, true);
  EXPECT_EQ(run.status, -1);
  EXPECT_EQ(fs_.files.count(kHosts), 0u);
  EXPECT_NE(run.err.find("create temporary file"), std::string::npos) << run.err;
}

}  // namespace
}  // namespace hosts

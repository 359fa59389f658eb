// An in-memory file system for tests of the hosts file update. It records
// every call, fails the calls a test names by operation and call number, lets
// a test play another program between any two calls, and walks paths with
// the walk every platform uses (hosts/walk.h) through links and folders of
// its own.

#ifndef TESTS_FAKE_FILE_SYSTEM_H_
#define TESTS_FAKE_FILE_SYSTEM_H_

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "hosts/file_system.h"

namespace hosts {

enum class Op {
  kGetEnv,
  kCheckSystemRoot,
  kOpenFolder,
  kLock,
  kList,
  kRemoveStale,
  kOpenHeld,
  kRead,
  kIdentify,
  kCreateTemp,
  kWriteTemp,
  kSync,
  kCommitTemp,
  kDiscardTemp,
  kOpenInPlace,
  kOverwrite,
};

const char* OpName(Op op);

// Calls `first_call` to `first_call + count - 1` (counted from 1) of `op`
// answer `code`. A failed write leaves half of its bytes behind.
struct Fault {
  Op op;
  int first_call = 1;
  int count = 1 << 30;
  Code code = Code::kFailed;
};

// The reason an injected fault reports.
inline constexpr char kInjectedReason[] = "injected fault";

class FakeFileSystem : public FileSystem {
 public:
  struct File {
    std::string data;
    FileInfo info;  // exists, id, size and mtime are kept up to date by the fake
  };

  std::map<std::string, std::string> env;
  std::map<std::string, File> files;
  // Symbolic links: a link's path and what it says (absolute, or relative to
  // its folder). Every other path that is not a file is a folder.
  std::map<std::string, std::string> links;
  // Links and folders another account could change, and folders in which it
  // could rename or remove what is there: the walk's three checks refuse
  // them, each set on its own.
  std::set<std::string> others_may_change;
  std::set<std::string> others_may_rename;
  // The path CheckSystemRoot vouches for; empty for SystemRoot itself.
  std::string system_root;
  // Files a live process owns: RemoveStale answers kBusy for them.
  std::set<std::string> owned;
  std::vector<Fault> faults;
  // Another program's move, made before call `call` (from 1) of `op`.
  std::function<void(FakeFileSystem&, Op op, int call)> before_call;
  // False plays a Windows that cannot replace a file this process has open.
  bool replaces_open_files = true;
  // Every call, as "Op path".
  std::vector<std::string> calls;
  int slept_ms = 0;
  // Temporary files that went neither committed nor discarded: a bug.
  int unfinished_temps = 0;

  // Puts a file in place as a new version.
  void PutFile(const std::string& path, const std::string& data);
  // Names of files whose path contains `part`.
  std::vector<std::string> FilesContaining(const std::string& part) const;
  // How many of the objects the fake handed out are still alive.
  std::size_t OpenHandles() const { return open_.size(); }
  int CallsOf(Op op) const;

  Status GetEnv(const char* name, std::string* value) override;
  Status CheckSystemRoot(const std::string& root, std::string* checked) override;
  Status OpenFolderOf(const std::string& path, std::unique_ptr<Folder>* folder,
                      std::string* name) override;
  void Sleep(int milliseconds) override { slept_ms += milliseconds; }

 private:
  friend class FakeObject;
  friend class FakeFolder;
  friend class FakeFile;
  friend class FakeTemp;
  friend class FakeWalk;

  // Records the call, plays the other program, and answers an injected fault.
  Status Call(Op op, const std::string& path);
  bool IsOpen(const std::string& path) const;
  void Touch(File* file);

  std::multiset<std::string> open_;  // the paths of the objects alive
  std::map<Op, int> counts_;
  std::uint64_t next_id_ = 100;
  std::int64_t clock_ = 1;
};

}  // namespace hosts

#endif  // TESTS_FAKE_FILE_SYSTEM_H_

// An in-memory file system for tests of the hosts file update. It records
// every call, fails the calls a test names by operation and call number, and
// lets a test play another program between any two calls.

#ifndef TESTS_FAKE_FILE_SYSTEM_H_
#define TESTS_FAKE_FILE_SYSTEM_H_

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "hosts/file_system.h"

namespace hosts {

enum class Op {
  kGetEnv,
  kCheckSystemRoot,
  kOpenFolder,
  kLockUpdates,
  kListSiblings,
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
  kClose,
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
  // Symbolic links: path to the path of the file the link leads to.
  std::map<std::string, std::string> links;
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

  // Puts a file in place as a new version.
  void PutFile(const std::string& path, const std::string& data);
  // Names of files whose path contains `part`.
  std::vector<std::string> FilesContaining(const std::string& part) const;
  std::size_t OpenHandles() const { return handles_.size(); }
  int CallsOf(Op op) const;

  Status GetEnv(const char* name, std::string* value) override;
  Status CheckSystemRoot(const std::string& root, std::string* checked) override;
  // Follows `links` at the path itself, no further.
  Status OpenFolderOf(const std::string& path, Folder* folder, std::string* name) override;
  Status LockUpdates(const Folder& folder, FileHandle* lock) override;
  void Unlock(FileHandle lock) override;
  Status ListSiblings(const Folder& folder, const std::string& prefix,
                      std::vector<std::string>* names) override;
  Status RemoveStale(const Folder& folder, const std::string& name) override;
  Status OpenHeld(const Folder& folder, const std::string& name, FileHandle* file,
                  FileInfo* info) override;
  // Hands out at most 7 bytes a call, so that lines are cut between reads.
  Status Read(FileHandle file, char* buffer, std::size_t size, std::size_t* got) override;
  Status Identify(const Folder& folder, const std::string& name, FileInfo* info) override;
  Status CreateTemp(const Folder& folder, const std::string& name, FileHandle original,
                    FileHandle* file) override;
  Status WriteTemp(FileHandle file, std::string_view data) override;
  Status Sync(FileHandle file) override;
  Status CommitTemp(FileHandle file, const Folder& folder, const std::string& name,
                    const std::string& target, bool replace) override;
  Status DiscardTemp(FileHandle file, const Folder& folder, const std::string& name) override;
  Status OpenInPlace(const Folder& folder, const std::string& name, FileHandle* file,
                     FileInfo* info) override;
  Status Overwrite(FileHandle file, std::string_view data) override;
  Status Close(FileHandle file) override;
  void Sleep(int milliseconds) override { slept_ms += milliseconds; }

 private:
  struct Handle {
    std::string path;
    std::size_t offset = 0;  // where the next read starts
  };
  // Records the call, plays the other program, and answers an injected fault.
  Status Call(Op op, const std::string& path);
  FileHandle Open(const std::string& path);
  Status OpenExisting(Op op, const std::string& path, FileHandle* file, FileInfo* info);
  static std::string PathOf(const Folder& folder, const std::string& name) {
    return JoinPath(folder.path, name);
  }
  bool IsOpen(const std::string& path) const;
  void Touch(File* file);

  std::map<FileHandle, Handle> handles_;
  std::map<Op, int> counts_;
  FileHandle next_handle_ = 3;
  std::uint64_t next_id_ = 100;
  std::int64_t clock_ = 1;
};

}  // namespace hosts

#endif  // TESTS_FAKE_FILE_SYSTEM_H_

// An in-memory file system for tests of the hosts file update. It records
// every call, can fail any operation on demand, and can play another
// program that changes the file while the update runs.

#ifndef TESTS_FAKE_FILE_SYSTEM_H_
#define TESTS_FAKE_FILE_SYSTEM_H_

#include <map>
#include <set>
#include <string>
#include <vector>

#include "hosts/file_system.h"

namespace hosts {

// The operations a test can make fail.
enum class Fault {
  kEnvLookup,     // the environment value cannot be copied
  kOpenRead,      // opening the hosts file for reading
  kRead,          // reading it
  kCreateTemp,    // creating the temporary file
  kWrite,         // writing the temporary file (half the bytes land first)
  kFlush,         // flushing the temporary file
  kClose,         // closing the temporary file
  kCheck,         // checking the hosts file for changes before replacing
  kReplace,       // putting the temporary file in the hosts file's place
  kOpenInPlace,   // opening the hosts file to rewrite it in place
  kWriteInPlace,  // writing it in place (half the bytes land first)
  kFlushInPlace,  // flushing it after writing in place
  kRestore,       // writing the original bytes back after a failed rewrite
};

const char* FaultName(Fault fault);

// The reason an injected fault reports.
inline constexpr char kInjectedReason[] = "injected fault";

// The line another program adds to a file while the update runs.
inline constexpr char kAddedLine[] = "10.0.0.1\tadded.by.another.program\n";

class FakeFileSystem : public FileSystem {
 public:
  struct File {
    std::string data;
    FileInfo info;  // exists, inode and mtime are kept up to date by the fake
  };

  // Environment variables that are set.
  std::map<std::string, std::string> env;
  // Regular files by path.
  std::map<std::string, File> files;
  // Symbolic links: path to the path they name.
  std::map<std::string, std::string> links;
  // Operations that fail.
  std::set<Fault> faults;
  // Every call, as "Operation path".
  std::vector<std::string> calls;
  // How many times another program appends kAddedLine to `changing_path`
  // while a temporary file is being created.
  int pending_changes = 0;
  std::string changing_path;

  // Puts a file in place as a new version.
  void PutFile(const std::string& path, const std::string& data);
  // Names of files whose path contains `part`.
  std::vector<std::string> FilesContaining(const std::string& part) const;
  // Files still open.
  std::size_t OpenHandles() const { return handles_.size(); }

  EnvStatus GetEnv(const char* name, std::string* value) override;
  std::string ResolveLinks(const std::string& path) override;
  ReadStatus OpenRead(const std::string& path, FileHandle* file, FileInfo* info,
                      std::string* err) override;
  // Hands out at most kReadPiece bytes a call, so that lines are cut
  // between reads.
  bool Read(FileHandle file, char* buffer, std::size_t size, std::size_t* got,
            std::string* err) override;
  ReadStatus Stat(const std::string& path, FileInfo* info, std::string* err) override;
  CreateStatus CreateTemp(const std::string& path, const FileInfo& like, FileHandle* file,
                          std::string* err) override;
  bool OpenInPlace(const std::string& path, FileHandle* file, std::string* err) override;
  bool Write(FileHandle file, std::string_view data, std::string* err) override;
  bool Sync(FileHandle file, std::string* err) override;
  bool Close(FileHandle file, std::string* err) override;
  bool Replace(const std::string& from, const std::string& to, bool to_exists,
               std::string* err) override;
  bool Remove(const std::string& path, std::string* err) override;

 private:
  static constexpr std::size_t kReadPiece = 7;
  enum class Kind { kRead, kTemp, kInPlace, kRestore };
  struct Handle {
    std::string path;
    Kind kind;
    std::size_t offset = 0;  // where the next read starts
  };
  bool Fails(Fault fault, std::string* err) const;
  // Windows refuses to replace or cut a file this process still reads.
  bool IsOpenForReading(const std::string& path) const;
  void Touch(File* file);
  FileInfo InfoOf(const std::string& path);

  std::map<FileHandle, Handle> handles_;
  FileHandle next_handle_ = 3;
  std::uint64_t next_inode_ = 100;
  std::int64_t clock_ = 1;
  int in_place_opens_ = 0;
};

}  // namespace hosts

#endif  // TESTS_FAKE_FILE_SYSTEM_H_

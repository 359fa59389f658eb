// The one seam between the hosts file update and the operating system. A
// FileSystem looks up the environment and walks to the hosts file's folder;
// the folder, held open, hands out the objects the update works with, each
// of which ends its own life: a lock, the hosts file held for reading, a
// temporary file, the file opened for rewriting in place. RealFileSystem()
// is the Linux or Win32 implementation, within the run's deadline
// (deadline.h); tests use an in-memory fake that records calls and can fail
// any of them, and on Windows a model of Windows' documented behaviour.
//
// How the update uses it (hosts_file.cc), in this order:
//
//   fs.GetEnv("SystemRoot", &root);          the hosts file's place
//   fs.CheckSystemRoot(root, &checked);      refuse a SystemRoot that is not the
//                                              Windows directory
//   fs.OpenFolderOf(path, &folder, &name);   walk the path a name at a time,
//                                              following only trusted links;
//                                              everything after is in `folder`
//   folder->Lock(&lock);                     one run of this tool at a time;
//                                              released when `lock` goes
//   folder->List(prefix, &names);            under the lock only: remove the
//   folder->RemoveStale(name, hosts);          temporary files killed runs left
//   folder->OpenHeld(name, &hosts, &info);   read the file once, while no other
//   hosts->Read(...);                          program writes it; a file the
//                                              rewrite leaves as it is is not
//                                              written at all
//   folder->CreateTemp(name, hosts, &temp);  a twin of the file beside it
//   temp->Write(...); temp->Sync();          the new content, flushed
//   folder->Identify(name, &now);            still the version that was read?
//   temp->Commit(name, info);                put it in place in one step, if the
//                                              file is still the version read;
//     or temp->Discard();                      or remove it, on every other path
//   folder->OpenInPlace(name, &file, &info); the fallback where no twin can be
//   file->Read(...); file->Overwrite(data);    made or the name takes no
//                                              replacement: rewrite the file
//
// Every operation that can fail returns a Status whose message is the
// system's reason; the caller names the step (steps.h). A folder outlives
// every object it hands out.

#ifndef HOSTS_FILE_SYSTEM_H_
#define HOSTS_FILE_SYSTEM_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "hosts/status.h"

namespace hosts {

// What the update needs to know about a file: which file it is, which version
// of it, and whether a person protected it.
struct FileInfo {
  bool exists = false;
  std::uint64_t device = 0;
  std::uint64_t id = 0;  // inode, or Windows file index
  std::uint64_t size = 0;
  std::int64_t mtime_ns = 0;
  std::uint32_t links = 1;  // how many names the file has (Windows: but the component store's)
  bool read_only = false;   // no write permission at all, or the read-only attribute
  bool immutable = false;   // the system refuses every change to it

  // True when `other` describes the same file, unchanged since this was taken.
  bool SameVersion(const FileInfo& other) const {
    return exists == other.exists && device == other.device && id == other.id &&
           size == other.size && mtime_ns == other.mtime_ns;
  }
};

// A file open for reading, closed when it goes. While the hosts file is held
// so, no other program can write it, where the system can enforce that, but
// all can still read it.
class HeldFile {
 public:
  virtual ~HeldFile() = default;
  // Reads up to `size` bytes; `*got` is 0 at the end of the file.
  virtual Status Read(char* buffer, std::size_t size, std::size_t* got) = 0;
};

// The hosts file opened for rewriting in place: no other program can write
// it until it goes, where the system can enforce that.
class InPlaceFile : public HeldFile {
 public:
  // Makes the file hold exactly `data`, and flushes it.
  virtual Status Overwrite(std::string_view data) = 0;
};

// The lock that lets one run of this tool at a time update files in a
// folder, released when it goes.
class UpdateLock {
 public:
  virtual ~UpdateLock() = default;
};

// A temporary file beside the hosts file, made by Folder::CreateTemp:
//   Write...  -> Sync -> Commit     it takes the hosts file's place
//                    \-> Discard    it is removed
// Every path that does not commit discards it, so that a failure to remove
// it is reported. One that goes neither committed nor discarded is a bug:
// caught in debug builds, and removed as a last resort otherwise.
class TempFile {
 public:
  explicit TempFile(std::string name) : name_(std::move(name)) {}
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  virtual ~TempFile() = default;

  // Its name in its folder.
  const std::string& name() const { return name_; }

  // Writes all of `data`. The system may start writing it out at once;
  // Sync makes it durable.
  virtual Status Write(std::string_view data) = 0;
  virtual Status Sync() = 0;

  // Puts the file in the place of `target` in one step: in place of the
  // file there, the version `expected` describes, or, where `expected` says
  // there was none, only if there still is none (kExists if there is). Only
  // this run's own file is put in place. kChanged where the platform can
  // tell that the file it replaced was not that version after all, or that
  // another program was about to write it: that version is put back. kBusy
  // while another program has the target open; kHeldHere when the system
  // cannot replace a file this process has open (let go of it and call
  // again); kInPlaceOnly when the name takes no replacement (a mount point,
  // another device) or the hosts file's owner cannot be given. On success
  // the new file is flushed and closed and the temporary name is gone; on
  // failure both are as they were.
  virtual Status Commit(const std::string& target, const FileInfo& expected) = 0;

  // Removes the file and closes it.
  virtual Status Discard() = 0;

 private:
  const std::string name_;
};

// The hosts file's folder, held open from the walk to the end of the run,
// closed when it goes. Every file is named relative to it, never by a path.
class Folder {
 public:
  explicit Folder(std::string path) : path_(std::move(path)) {}
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;
  virtual ~Folder() = default;

  // The folder's path as walked, for messages.
  const std::string& path() const { return path_; }

  // Takes the update lock. kBusy while another run holds it; kFailed where
  // none can be had, or where the lock's name is held by some other program.
  virtual Status Lock(std::unique_ptr<UpdateLock>* lock) = 0;

  // The names in the folder that begin with `prefix`.
  virtual Status List(const std::string& prefix, std::vector<std::string>* names) = 0;

  // Removes a file an earlier run left behind beside the file `beside`, if
  // it is one this tool could have made: a regular file with one name, not
  // a link, that belongs to a trusted account or to `beside`'s owner (which
  // a run gives it just before it puts it in place). kBusy while a live run
  // owns it. Called only under the update lock.
  virtual Status RemoveStale(const std::string& name, const std::string& beside) = 0;

  // Opens a regular file for reading. kNotFound, kBusy (another program has
  // it open for writing), or kFailed (also for anything that is not a
  // regular file).
  virtual Status OpenHeld(const std::string& name, std::unique_ptr<HeldFile>* file,
                          FileInfo* info) = 0;

  // Describes the file `name` names now. kNotFound when there is none;
  // kChanged when it is being deleted or replaced right now.
  virtual Status Identify(const std::string& name, FileInfo* info) = 0;

  // Creates `name` exclusively, open for writing. When `original` (a file
  // this folder opened) is given, the new one gets its owner, permissions
  // and attributes, or is not made. kExists when the name is taken (or
  // still being deleted); kInPlaceOnly when the folder takes no new file or
  // the owner cannot be given; kFailed for anything else.
  virtual Status CreateTemp(const std::string& name, const HeldFile* original,
                            std::unique_ptr<TempFile>* file) = 0;

  // Opens an existing regular file for reading and rewriting in place.
  // kNotFound, kBusy, kFailed.
  virtual Status OpenInPlace(const std::string& name, std::unique_ptr<InPlaceFile>* file,
                             FileInfo* info) = 0;

 private:
  const std::string path_;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // Runs `update`, which makes this file system's calls, and returns its
  // result. Where another program can keep a call waiting without limit,
  // the run has a deadline (deadline.h).
  virtual int Run(const std::function<int()>& update) { return update(); }

  // Copies an environment variable's value. kNotFound when it is not set;
  // kFailed when the value cannot be copied (out of memory).
  virtual Status GetEnv(const char* name, std::string* value) = 0;

  // Checks what SystemRoot names before anything under it is touched: on
  // Windows the system's own Windows directory, on Linux an absolute path.
  // `*checked` is the path to use for it from then on: on Windows the
  // system's own, so that nothing swapped in under the value after the check
  // can lead elsewhere; on Linux `root` itself. kFailed says what is wrong.
  virtual Status CheckSystemRoot(const std::string& root, std::string* checked) = 0;

  // Walks `path` a name at a time from its root, each name opened relative
  // to the folder before it, on a handle this run holds, without following
  // it (walk.h). `*folder` is the folder of the last name, held open, and
  // `*name` that name, which need not exist. kFailed says what was refused,
  // or which name could not be opened.
  virtual Status OpenFolderOf(const std::string& path, std::unique_ptr<Folder>* folder,
                              std::string* name) = 0;

  // Memory for `size` bytes of a file read whole, uninitialised, or nullptr
  // where there is not that much; give it back with FreeHold. A platform may
  // hand out large pages, which cost far less to touch the first time than
  // the same memory in small ones.
  virtual char* AllocateHold(std::size_t size) { return new (std::nothrow) char[size]; }
  virtual void FreeHold(char* data, std::size_t /*size*/) { delete[] data; }

  // Waits before trying again what another program held.
  virtual void Sleep(int milliseconds) = 0;
};

// The update lock's name in the hosts file's folder.
inline constexpr char kLockName[] = "hosts_entry_tool.lock";

// What separates a folder from the names in it.
#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// `name` in `folder`, with one separator between them.
inline std::string JoinPath(const std::string& folder, const std::string& name) {
  const bool ends = !folder.empty() && (folder.back() == '/' || folder.back() == '\\');
  return ends ? folder + name : folder + kPathSeparator + name;
}

// The operating system's file system, within the run's deadline.
FileSystem& RealFileSystem();

// Before anything else a run does: makes the process safe to run with full
// rights from a folder a user may write (Windows: DLLs from System32 only,
// and no junctions made by users). Nothing to do on Linux.
void HardenProcess();

}  // namespace hosts

#endif  // HOSTS_FILE_SYSTEM_H_

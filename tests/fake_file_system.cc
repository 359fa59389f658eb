#include "tests/fake_file_system.h"

#include <algorithm>
#include <utility>

#include "hosts/limits.h"
#include "hosts/walk.h"

namespace hosts {

const char* OpName(Op op) {
  static const char* const kNames[] = {"GetEnv",     "CheckSystemRoot", "OpenFolder",  "Lock",
                                       "List",       "RemoveStale",     "OpenHeld",    "Read",
                                       "Identify",   "CreateTemp",      "WriteTemp",   "Sync",
                                       "CommitTemp", "DiscardTemp",     "OpenInPlace", "Overwrite"};
  return kNames[static_cast<int>(op)];
}

// Something the fake handed out, counted while it lives.
class FakeObject {
 public:
  FakeObject(FakeFileSystem& fs, std::string path) : fs_(fs), key_(std::move(path)) {
    fs_.open_.insert(key_);
  }
  FakeObject(const FakeObject&) = delete;
  FakeObject& operator=(const FakeObject&) = delete;
  ~FakeObject() { fs_.open_.erase(fs_.open_.find(key_)); }

 protected:
  FakeFileSystem& fs_;
  const std::string key_;
};

class FakeFile : public InPlaceFile, FakeObject {
 public:
  using FakeObject::FakeObject;

  Status Read(char* buffer, std::size_t size, std::size_t* got) override {
    if (Status status = fs_.Call(Op::kRead, key_); !status.ok()) return status;
    // At most 7 bytes a call, so that lines are cut between reads.
    const std::string& data = fs_.files.at(key_).data;
    const std::size_t left = data.size() > offset_ ? data.size() - offset_ : 0;
    *got = std::min({size, std::size_t{7}, left});
    data.copy(buffer, *got, offset_);
    offset_ += *got;
    return Status();
  }

  Status Overwrite(std::string_view data) override {
    FakeFileSystem::File& target = fs_.files.at(key_);
    Status status = fs_.Call(Op::kOverwrite, key_);
    // A failed rewrite can leave the file torn.
    target.data = status.ok() ? data : data.substr(0, data.size() / 2);
    fs_.Touch(&target);
    return status;
  }

 private:
  std::size_t offset_ = 0;  // where the next read starts
};

class FakeLock : public UpdateLock, FakeObject {
 public:
  using FakeObject::FakeObject;
};

class FakeTemp : public TempFile, FakeObject {
 public:
  FakeTemp(FakeFileSystem& fs, const std::string& folder, const std::string& name)
      : TempFile(name), FakeObject(fs, JoinPath(folder, name)), folder_(folder) {}
  ~FakeTemp() override {
    if (!finished_) ++fs_.unfinished_temps;
  }

  Status Write(std::string_view data) override {
    FakeFileSystem::File& target = fs_.files.at(key_);
    Status status = fs_.Call(Op::kWriteTemp, key_);
    target.data.append(status.ok() ? data : data.substr(0, data.size() / 2));
    fs_.Touch(&target);
    return status;
  }

  Status Sync() override { return fs_.Call(Op::kSync, key_); }

  Status Commit(const std::string& target_name, const FileInfo& expected) override {
    const bool replace = expected.exists;
    const std::string target = JoinPath(folder_, target_name);
    if (Status status = fs_.Call(Op::kCommitTemp, key_ + " " + target); !status.ok()) {
      return status;
    }
    if (!replace && fs_.files.count(target)) return Status(Code::kExists, "File exists");
    if (!fs_.replaces_open_files && fs_.IsOpen(target)) {
      return Status(Code::kHeldHere, "Access is denied");
    }
    fs_.files[target] = fs_.files.at(key_);
    fs_.files.erase(key_);
    finished_ = true;
    return Status();
  }

  Status Discard() override {
    finished_ = true;
    if (Status status = fs_.Call(Op::kDiscardTemp, key_); !status.ok()) return status;
    fs_.files.erase(key_);
    return Status();
  }

 private:
  const std::string folder_;
  bool finished_ = false;
};

class FakeFolder : public Folder, FakeObject {
 public:
  FakeFolder(FakeFileSystem& fs, const std::string& path) : Folder(path), FakeObject(fs, path) {}

  Status Lock(std::unique_ptr<UpdateLock>* lock) override {
    if (Status status = fs_.Call(Op::kLock, key_); !status.ok()) return status;
    *lock = std::make_unique<FakeLock>(fs_, "lock");
    return Status();
  }

  Status List(const std::string& prefix, std::vector<std::string>* names) override {
    const std::string start = PathOf(prefix);
    if (Status status = fs_.Call(Op::kList, start); !status.ok()) return status;
    for (const auto& [path, file] : fs_.files) {
      if (path.compare(0, start.size(), start) == 0) {
        names->push_back(path.substr(key_.size() + 1));
      }
    }
    return Status();
  }

  Status RemoveStale(const std::string& name, const std::string& /*beside*/) override {
    const std::string path = PathOf(name);
    if (Status status = fs_.Call(Op::kRemoveStale, path); !status.ok()) return status;
    if (fs_.owned.count(path)) return Status(Code::kBusy, "owned by a live process");
    fs_.files.erase(path);
    return Status();
  }

  Status OpenHeld(const std::string& name, std::unique_ptr<HeldFile>* file,
                  FileInfo* info) override {
    std::unique_ptr<FakeFile> opened;
    Status status = OpenExisting(Op::kOpenHeld, name, &opened, info);
    if (status.ok()) *file = std::move(opened);
    return status;
  }

  Status Identify(const std::string& name, FileInfo* info) override {
    const std::string path = PathOf(name);
    if (Status status = fs_.Call(Op::kIdentify, path); !status.ok()) return status;
    const auto found = fs_.files.find(path);
    if (found == fs_.files.end()) return Status(Code::kNotFound, "No such file or directory");
    *info = found->second.info;
    return Status();
  }

  Status CreateTemp(const std::string& name, const HeldFile* /*original*/,
                    std::unique_ptr<TempFile>* file) override {
    const std::string path = PathOf(name);
    if (Status status = fs_.Call(Op::kCreateTemp, path); !status.ok()) return status;
    if (fs_.files.count(path)) return Status(Code::kExists, "File exists");
    FakeFileSystem::File& created = fs_.files[path];
    created.info.id = fs_.next_id_++;
    fs_.Touch(&created);
    *file = std::make_unique<FakeTemp>(fs_, key_, name);
    return Status();
  }

  Status OpenInPlace(const std::string& name, std::unique_ptr<InPlaceFile>* file,
                     FileInfo* info) override {
    std::unique_ptr<FakeFile> opened;
    Status status = OpenExisting(Op::kOpenInPlace, name, &opened, info);
    if (status.ok()) *file = std::move(opened);
    return status;
  }

 private:
  std::string PathOf(const std::string& name) const { return JoinPath(key_, name); }

  Status OpenExisting(Op op, const std::string& name, std::unique_ptr<FakeFile>* file,
                      FileInfo* info) {
    const std::string path = PathOf(name);
    if (Status status = fs_.Call(op, path); !status.ok()) return status;
    const auto found = fs_.files.find(path);
    if (found == fs_.files.end()) return Status(Code::kNotFound, "No such file or directory");
    *info = found->second.info;
    *file = std::make_unique<FakeFile>(fs_, path);
    return Status();
  }
};

// The walk's primitives over the fake's files and links: paths as the fake
// keys them, from a root walked as "".
class FakeWalk {
 public:
  using Name = std::string;
  using Held = std::string;  // the entry's path
  static constexpr int kMaxLinks = hosts::kMaxLinks;
  static constexpr const char* kNotRooted = "not an absolute path";

  FakeWalk(FakeFileSystem& fs, std::unique_ptr<Folder>* folder, std::string* name)
      : fs_(fs), folder_(folder), name_(name) {}

  static bool IsSeparator(char c) { return c == '/' || c == '\\'; }
  static Name Join(const Name& folder, const Name& name) {
    return folder.empty() ? "/" + name : JoinPath(folder, name);
  }
  static Name Shown(const Name& path) { return path.empty() ? "/" : path; }
  static std::string Narrow(const Name& name) { return name; }

  Status OpenRoot(const Name& path, Held* root, Name* shown, Name* rest) {
    if (path.empty() || !IsSeparator(path[0])) return Status(Code::kNotFound, "");
    root->clear();
    shown->clear();
    *rest = path;
    return Status();
  }
  Status Open(const Held& folder, const Name& name, Held* entry) {
    *entry = Join(folder, name);
    return Status();
  }
  Status Describe(Held& entry, Kind* kind) {
    *kind = fs_.links.count(entry)   ? Kind::kLink
            : fs_.files.count(entry) ? Kind::kNotFolder
                                     : Kind::kFolder;
    return Status();
  }
  Status ReadLink(Held& link, LinkTarget<Name>* target) {
    target->path = target->rest = fs_.links.at(link);
    target->from = IsSeparator(target->path[0]) ? LinkTarget<Name>::From::kVolumeRoot
                                                : LinkTarget<Name>::From::kLinkFolder;
    return Status();
  }
  Status CheckLink(const Held& link) {
    if (!fs_.others_may_change.count(link)) return Status();
    return Status::Failed("it belongs to another user");
  }
  Status CheckMayChange(const Held& folder, const std::string& subject) {
    if (!fs_.others_may_change.count(folder)) return Status();
    return Status::Failed(subject + " may be changed by another user");
  }
  Status CheckMayRename(const Held& folder, const Held& /*entry*/, const std::string& subject) {
    if (!fs_.others_may_rename.count(folder)) return Status();
    return Status::Failed(subject + " lets another user rename what is in it");
  }
  Status Finish(Held /*folder*/, const Name& path, const Name& name) {
    *folder_ = std::make_unique<FakeFolder>(fs_, Shown(path));
    *name_ = name;
    return Status();
  }

 private:
  FakeFileSystem& fs_;
  std::unique_ptr<Folder>* const folder_;
  std::string* const name_;
};

Status FakeFileSystem::Call(Op op, const std::string& path) {
  const int call = ++counts_[op];
  calls.push_back(std::string(OpName(op)) + " " + path);
  if (before_call) before_call(*this, op, call);
  for (const Fault& fault : faults) {
    if (fault.op == op && call >= fault.first_call && call - fault.first_call < fault.count) {
      return Status(fault.code, kInjectedReason);
    }
  }
  return Status();
}

int FakeFileSystem::CallsOf(Op op) const {
  const auto found = counts_.find(op);
  return found == counts_.end() ? 0 : found->second;
}

void FakeFileSystem::Touch(File* file) {
  file->info.exists = true;
  file->info.size = file->data.size();
  file->info.mtime_ns = clock_++;
}

void FakeFileSystem::PutFile(const std::string& path, const std::string& data) {
  File& file = files[path];
  file.data = data;
  if (file.info.id == 0) file.info.id = next_id_++;
  Touch(&file);
}

std::vector<std::string> FakeFileSystem::FilesContaining(const std::string& part) const {
  std::vector<std::string> names;
  for (const auto& [path, file] : files) {
    if (path.find(part) != std::string::npos) names.push_back(path);
  }
  return names;
}

bool FakeFileSystem::IsOpen(const std::string& path) const { return open_.count(path) > 0; }

Status FakeFileSystem::GetEnv(const char* name, std::string* value) {
  if (Status status = Call(Op::kGetEnv, name); !status.ok()) return status;
  const auto found = env.find(name);
  if (found == env.end()) return Status(Code::kNotFound, "not set");
  *value = found->second;
  return Status();
}

Status FakeFileSystem::CheckSystemRoot(const std::string& root, std::string* checked) {
  if (Status status = Call(Op::kCheckSystemRoot, root); !status.ok()) return status;
  *checked = system_root.empty() ? root : system_root;
  return Status();
}

Status FakeFileSystem::OpenFolderOf(const std::string& path, std::unique_ptr<Folder>* folder,
                                    std::string* name) {
  if (Status status = Call(Op::kOpenFolder, path); !status.ok()) return status;
  FakeWalk platform(*this, folder, name);
  return Walk<FakeWalk>(platform).To(path, path);
}

}  // namespace hosts

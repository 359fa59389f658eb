#include "tests/fake_file_system.h"

#include <algorithm>

namespace hosts {

const char* OpName(Op op) {
  static const char* const kNames[] = {
      "GetEnv",       "CheckSystemRoot", "OpenFolder",  "LockUpdates",
      "ListSiblings", "RemoveStale",     "OpenHeld",    "Read",
      "Identify",     "CreateTemp",      "WriteTemp",   "Sync",
      "CommitTemp",   "DiscardTemp",     "OpenInPlace", "Overwrite",
      "Close"};
  return kNames[static_cast<int>(op)];
}

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

FileHandle FakeFileSystem::Open(const std::string& path) {
  handles_[next_handle_] = {path};
  return next_handle_++;
}

bool FakeFileSystem::IsOpen(const std::string& path) const {
  return std::any_of(handles_.begin(), handles_.end(),
                     [&](const auto& entry) { return entry.second.path == path; });
}

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

Status FakeFileSystem::OpenFolderOf(const std::string& path, Folder* folder, std::string* name) {
  if (Status status = Call(Op::kOpenFolder, path); !status.ok()) return status;
  const auto link = links.find(path);
  SplitPath(link == links.end() ? path : link->second, &folder->path, name);
  folder->handle = Open(folder->path);
  return Status();
}

Status FakeFileSystem::LockUpdates(const Folder& folder, FileHandle* lock) {
  if (Status status = Call(Op::kLockUpdates, folder.path); !status.ok()) return status;
  *lock = Open("lock");
  return Status();
}

void FakeFileSystem::Unlock(FileHandle lock) { handles_.erase(lock); }

Status FakeFileSystem::ListSiblings(const Folder& folder, const std::string& prefix,
                                    std::vector<std::string>* names) {
  const std::string start = PathOf(folder, prefix);
  if (Status status = Call(Op::kListSiblings, start); !status.ok()) return status;
  for (const auto& [path, file] : files) {
    if (path.compare(0, start.size(), start) == 0) {
      names->push_back(path.substr(folder.path.size() + 1));
    }
  }
  return Status();
}

Status FakeFileSystem::RemoveStale(const Folder& folder, const std::string& name) {
  const std::string path = PathOf(folder, name);
  if (Status status = Call(Op::kRemoveStale, path); !status.ok()) return status;
  if (owned.count(path)) return Status(Code::kBusy, "owned by a live process");
  files.erase(path);
  return Status();
}

Status FakeFileSystem::OpenExisting(Op op, const std::string& path, FileHandle* file,
                                    FileInfo* info) {
  if (Status status = Call(op, path); !status.ok()) return status;
  const auto found = files.find(path);
  if (found == files.end()) return Status(Code::kNotFound, "No such file or directory");
  *info = found->second.info;
  *file = Open(path);
  return Status();
}

Status FakeFileSystem::Read(FileHandle file, char* buffer, std::size_t size, std::size_t* got) {
  Handle& handle = handles_.at(file);
  if (Status status = Call(Op::kRead, handle.path); !status.ok()) return status;
  const std::string& data = files.at(handle.path).data;
  const std::size_t left = data.size() > handle.offset ? data.size() - handle.offset : 0;
  *got = std::min({size, std::size_t{7}, left});
  data.copy(buffer, *got, handle.offset);
  handle.offset += *got;
  return Status();
}

Status FakeFileSystem::Identify(const Folder& folder, const std::string& name, FileInfo* info) {
  const std::string path = PathOf(folder, name);
  if (Status status = Call(Op::kIdentify, path); !status.ok()) return status;
  const auto found = files.find(path);
  if (found == files.end()) return Status(Code::kNotFound, "No such file or directory");
  *info = found->second.info;
  return Status();
}

Status FakeFileSystem::CreateTemp(const Folder& folder, const std::string& name,
                                  FileHandle /*original*/, FileHandle* file) {
  const std::string path = PathOf(folder, name);
  if (Status status = Call(Op::kCreateTemp, path); !status.ok()) return status;
  if (files.count(path)) return Status(Code::kExists, "File exists");
  File& created = files[path];
  created.info.id = next_id_++;
  Touch(&created);
  *file = Open(path);
  return Status();
}

Status FakeFileSystem::WriteTemp(FileHandle file, std::string_view data) {
  File& target = files.at(handles_.at(file).path);
  Status status = Call(Op::kWriteTemp, handles_.at(file).path);
  target.data.append(status.ok() ? data : data.substr(0, data.size() / 2));
  Touch(&target);
  return status;
}

Status FakeFileSystem::Sync(FileHandle file) { return Call(Op::kSync, handles_.at(file).path); }

Status FakeFileSystem::CommitTemp(FileHandle file, const Folder& folder, const std::string& name,
                                  const std::string& target_name, bool replace) {
  const std::string path = PathOf(folder, name);
  const std::string target = PathOf(folder, target_name);
  if (Status status = Call(Op::kCommitTemp, path + " " + target); !status.ok()) return status;
  if (!replace && files.count(target)) return Status(Code::kExists, "File exists");
  if (!replaces_open_files && IsOpen(target)) return Status(Code::kHeldHere, "Access is denied");
  handles_.erase(file);
  files[target] = files.at(path);
  files.erase(path);
  return Status();
}

Status FakeFileSystem::DiscardTemp(FileHandle file, const Folder& folder, const std::string& name) {
  const std::string path = PathOf(folder, name);
  handles_.erase(file);
  if (Status status = Call(Op::kDiscardTemp, path); !status.ok()) return status;
  files.erase(path);
  return Status();
}

Status FakeFileSystem::OpenHeld(const Folder& folder, const std::string& name, FileHandle* file,
                                FileInfo* info) {
  return OpenExisting(Op::kOpenHeld, PathOf(folder, name), file, info);
}

Status FakeFileSystem::OpenInPlace(const Folder& folder, const std::string& name, FileHandle* file,
                                   FileInfo* info) {
  return OpenExisting(Op::kOpenInPlace, PathOf(folder, name), file, info);
}

Status FakeFileSystem::Overwrite(FileHandle file, std::string_view data) {
  File& target = files.at(handles_.at(file).path);
  Status status = Call(Op::kOverwrite, handles_.at(file).path);
  // A failed rewrite can leave the file torn.
  target.data = status.ok() ? data : data.substr(0, data.size() / 2);
  Touch(&target);
  return status;
}

Status FakeFileSystem::Close(FileHandle file) {
  const std::string path = handles_.at(file).path;
  handles_.erase(file);
  return Call(Op::kClose, path);
}

}  // namespace hosts

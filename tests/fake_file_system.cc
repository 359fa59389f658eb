#include "tests/fake_file_system.h"

#include <algorithm>

namespace hosts {

const char* FaultName(Fault fault) {
  switch (fault) {
    case Fault::kEnvLookup:
      return "EnvLookup";
    case Fault::kOpenRead:
      return "OpenRead";
    case Fault::kRead:
      return "Read";
    case Fault::kCreateTemp:
      return "CreateTemp";
    case Fault::kWrite:
      return "Write";
    case Fault::kFlush:
      return "Flush";
    case Fault::kClose:
      return "Close";
    case Fault::kCheck:
      return "Check";
    case Fault::kReplace:
      return "Replace";
    case Fault::kOpenInPlace:
      return "OpenInPlace";
    case Fault::kWriteInPlace:
      return "WriteInPlace";
    case Fault::kFlushInPlace:
      return "FlushInPlace";
    case Fault::kRestore:
      return "Restore";
  }
  return "?";
}

bool FakeFileSystem::Fails(Fault fault, std::string* err) const {
  if (faults.count(fault) == 0) return false;
  *err = kInjectedReason;
  return true;
}

bool FakeFileSystem::IsOpenForReading(const std::string& path) const {
  for (const auto& [handle, open] : handles_) {
    if (open.kind == Kind::kRead && open.path == path) return true;
  }
  return false;
}

void FakeFileSystem::Touch(File* file) {
  file->info.exists = true;
  file->info.size = file->data.size();
  file->info.mtime_ns = clock_++;
}

void FakeFileSystem::PutFile(const std::string& path, const std::string& data) {
  File& file = files[path];
  file.data = data;
  if (file.info.inode == 0) file.info.inode = next_inode_++;
  Touch(&file);
}

std::vector<std::string> FakeFileSystem::FilesContaining(const std::string& part) const {
  std::vector<std::string> names;
  for (const auto& [path, file] : files) {
    if (path.find(part) != std::string::npos) names.push_back(path);
  }
  return names;
}

FileInfo FakeFileSystem::InfoOf(const std::string& path) {
  auto found = files.find(path);
  return found == files.end() ? FileInfo() : found->second.info;
}

EnvStatus FakeFileSystem::GetEnv(const char* name, std::string* value) {
  calls.push_back(std::string("GetEnv ") + name);
  if (faults.count(Fault::kEnvLookup)) return EnvStatus::kFailed;
  auto found = env.find(name);
  if (found == env.end()) return EnvStatus::kUnset;
  *value = found->second;
  return EnvStatus::kFound;
}

std::string FakeFileSystem::ResolveLinks(const std::string& path) {
  std::string current = path;
  for (int depth = 0; depth < 40 && links.count(current); ++depth) current = links[current];
  return current;
}

ReadStatus FakeFileSystem::OpenRead(const std::string& path, FileHandle* file, FileInfo* info,
                                    std::string* err) {
  calls.push_back("OpenRead " + path);
  if (Fails(Fault::kOpenRead, err)) return ReadStatus::kFailed;
  auto found = files.find(path);
  if (found == files.end()) return ReadStatus::kMissing;
  *info = found->second.info;
  *file = next_handle_++;
  handles_[*file] = {path, Kind::kRead};
  return ReadStatus::kRead;
}

bool FakeFileSystem::Read(FileHandle file, char* buffer, std::size_t size, std::size_t* got,
                          std::string* err) {
  Handle& handle = handles_.at(file);
  calls.push_back("Read " + handle.path);
  if (Fails(Fault::kRead, err)) return false;
  const std::string& data = files.at(handle.path).data;
  const std::size_t left = data.size() > handle.offset ? data.size() - handle.offset : 0;
  *got = std::min({size, kReadPiece, left});
  data.copy(buffer, *got, handle.offset);
  handle.offset += *got;
  return true;
}

ReadStatus FakeFileSystem::Stat(const std::string& path, FileInfo* info, std::string* err) {
  calls.push_back("Stat " + path);
  if (Fails(Fault::kCheck, err)) return ReadStatus::kFailed;
  *info = InfoOf(path);
  return info->exists ? ReadStatus::kRead : ReadStatus::kMissing;
}

CreateStatus FakeFileSystem::CreateTemp(const std::string& path, const FileInfo& like,
                                        FileHandle* file, std::string* err) {
  calls.push_back("CreateTemp " + path);
  // The other program strikes while the new content is being written.
  if (pending_changes > 0 && files.count(changing_path)) {
    --pending_changes;
    File& changed = files[changing_path];
    changed.data += kAddedLine;
    Touch(&changed);
  }
  if (files.count(path)) return CreateStatus::kExists;
  if (Fails(Fault::kCreateTemp, err)) return CreateStatus::kFailed;
  File& created = files[path];
  created.info.inode = next_inode_++;
  if (like.exists) {
    created.info.mode = like.mode;
    created.info.owner = like.owner;
    created.info.group = like.group;
  }
  Touch(&created);
  *file = next_handle_++;
  handles_[*file] = {path, Kind::kTemp};
  return CreateStatus::kCreated;
}

bool FakeFileSystem::OpenInPlace(const std::string& path, FileHandle* file, std::string* err) {
  calls.push_back("OpenInPlace " + path);
  ++in_place_opens_;
  if (in_place_opens_ == 1 && Fails(Fault::kOpenInPlace, err)) return false;
  if (IsOpenForReading(path)) {
    *err = "the file is still open for reading";
    return false;
  }
  auto found = files.find(path);
  if (found == files.end()) {
    *err = "No such file or directory";
    return false;
  }
  found->second.data.clear();
  Touch(&found->second);
  *file = next_handle_++;
  handles_[*file] = {path, in_place_opens_ == 1 ? Kind::kInPlace : Kind::kRestore};
  return true;
}

bool FakeFileSystem::Write(FileHandle file, std::string_view data, std::string* err) {
  const Handle& handle = handles_.at(file);
  calls.push_back("Write " + handle.path);
  const Fault fault = handle.kind == Kind::kTemp      ? Fault::kWrite
                      : handle.kind == Kind::kInPlace ? Fault::kWriteInPlace
                                                      : Fault::kRestore;
  File& target = files.at(handle.path);
  if (faults.count(fault)) {
    // A failed write can leave part of the data behind.
    target.data.append(data.substr(0, data.size() / 2));
    Touch(&target);
    *err = kInjectedReason;
    return false;
  }
  target.data.append(data);
  Touch(&target);
  return true;
}

bool FakeFileSystem::Sync(FileHandle file, std::string* err) {
  const Handle& handle = handles_.at(file);
  calls.push_back("Sync " + handle.path);
  if (handle.kind == Kind::kTemp) return !Fails(Fault::kFlush, err);
  if (handle.kind == Kind::kInPlace) return !Fails(Fault::kFlushInPlace, err);
  return true;
}

bool FakeFileSystem::Close(FileHandle file, std::string* err) {
  const Handle handle = handles_.at(file);
  handles_.erase(file);
  calls.push_back("Close " + handle.path);
  if (handle.kind == Kind::kTemp) return !Fails(Fault::kClose, err);
  return true;
}

bool FakeFileSystem::Replace(const std::string& from, const std::string& to, bool to_exists,
                             std::string* err) {
  calls.push_back("Replace " + from + " " + to);
  if (Fails(Fault::kReplace, err)) return false;
  if (IsOpenForReading(to)) {
    *err = "the file is still open for reading";
    return false;
  }
  if (to_exists != (files.count(to) == 1)) {
    *err = "the file to replace is not what the caller said";
    return false;
  }
  File moved = files.at(from);
  files.erase(from);
  files[to] = moved;
  return true;
}

bool FakeFileSystem::Remove(const std::string& path, std::string* /*err*/) {
  calls.push_back("Remove " + path);
  files.erase(path);
  return true;
}

}  // namespace hosts

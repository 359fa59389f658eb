// The file system seam on Windows, through Win32 directly, with narrow (ANSI)
// paths.

#include <windows.h>

#include <cstdlib>
#include <string>

#include "hosts/file_system.h"

namespace hosts {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The system's text for an error code, on one line.
std::string ErrorText(DWORD code) {
  char* text = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message = length > 0 && text != nullptr ? std::string(text, length) : std::string();
  if (text != nullptr) LocalFree(text);
  while (!message.empty() && (message.back() == '\r' || message.back() == '\n' ||
                              message.back() == ' ' || message.back() == '.')) {
    message.pop_back();
  }
  for (char& c : message) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return (message.empty() ? std::string("error") : message) + " (error " + std::to_string(code) +
         ")";
}

std::string LastErrorText() { return ErrorText(GetLastError()); }

HANDLE AsHandle(FileHandle file) { return reinterpret_cast<HANDLE>(file); }
FileHandle AsFileHandle(HANDLE handle) { return reinterpret_cast<FileHandle>(handle); }

bool IsMissingError(DWORD code) {
  return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

void FillInfo(const BY_HANDLE_FILE_INFORMATION& data, FileInfo* info) {
  *info = FileInfo();
  info->exists = true;
  info->device = data.dwVolumeSerialNumber;
  info->inode = (static_cast<std::uint64_t>(data.nFileIndexHigh) << 32) | data.nFileIndexLow;
  info->size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  const std::uint64_t ticks =
      (static_cast<std::uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
      data.ftLastWriteTime.dwLowDateTime;
  info->mtime_ns = static_cast<std::int64_t>(ticks) * 100;
  info->attributes = data.dwFileAttributes;
  info->read_only = (data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
}

// Whether a failed replace may succeed a moment later: a virus scanner, an
// indexer or another program briefly holding the file.
bool IsTransientError(DWORD code) {
  return code == ERROR_SHARING_VIOLATION || code == ERROR_ACCESS_DENIED ||
         code == ERROR_LOCK_VIOLATION || code == ERROR_UNABLE_TO_REMOVE_REPLACED ||
         code == ERROR_UNABLE_TO_MOVE_REPLACEMENT;
}

class Win32FileSystem : public FileSystem {
 public:
  EnvStatus GetEnv(const char* name, std::string* value) override {
#ifdef _MSC_VER
    char* copy = nullptr;
    std::size_t size = 0;
    if (_dupenv_s(&copy, &size, name) != 0) return EnvStatus::kFailed;
    if (copy == nullptr) return EnvStatus::kUnset;
    value->assign(copy);
    std::free(copy);
    return EnvStatus::kFound;
#else
    // The same allocating lookup by hand: size the value, copy it into a
    // buffer of that size; the only failure is running out of memory.
    DWORD needed = GetEnvironmentVariableA(name, nullptr, 0);
    for (int attempt = 0; attempt < 4; ++attempt) {
      if (needed == 0) {
        if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return EnvStatus::kUnset;
        value->clear();
        return EnvStatus::kFound;
      }
      char* copy = static_cast<char*>(std::malloc(needed));
      if (copy == nullptr) return EnvStatus::kFailed;
      const DWORD got = GetEnvironmentVariableA(name, copy, needed);
      if (got < needed) {
        if (got == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) {
          std::free(copy);
          return EnvStatus::kUnset;
        }
        value->assign(copy, got);
        std::free(copy);
        return EnvStatus::kFound;
      }
      // The value grew in between; size it again.
      std::free(copy);
      needed = got;
    }
    return EnvStatus::kFailed;
#endif
  }

  std::string ResolveLinks(const std::string& path) override { return path; }

  ReadStatus OpenRead(const std::string& path, FileHandle* file, FileInfo* info,
                      std::string* err) override {
    // Deny-none sharing: other programs may read, write or delete the file
    // while it is read.
    const HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      const DWORD code = GetLastError();
      if (IsMissingError(code)) return ReadStatus::kMissing;
      *err = ErrorText(code);
      return ReadStatus::kFailed;
    }
    BY_HANDLE_FILE_INFORMATION data;
    if (!GetFileInformationByHandle(handle, &data)) {
      *err = LastErrorText();
      CloseHandle(handle);
      return ReadStatus::kFailed;
    }
    if (GetFileType(handle) != FILE_TYPE_DISK ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      *err = "not a regular file";
      CloseHandle(handle);
      return ReadStatus::kFailed;
    }
    FillInfo(data, info);
    *file = AsFileHandle(handle);
    return ReadStatus::kRead;
  }

  bool Read(FileHandle file, char* buffer, std::size_t size, std::size_t* got,
            std::string* err) override {
    const DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
    DWORD read = 0;
    if (!::ReadFile(AsHandle(file), buffer, chunk, &read, nullptr)) {
      *err = LastErrorText();
      return false;
    }
    *got = read;
    return true;
  }

  ReadStatus Stat(const std::string& path, FileInfo* info, std::string* err) override {
    const HANDLE file = CreateFileA(path.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      const DWORD code = GetLastError();
      if (IsMissingError(code)) {
        *info = FileInfo();
        return ReadStatus::kMissing;
      }
      *err = ErrorText(code);
      return ReadStatus::kFailed;
    }
    BY_HANDLE_FILE_INFORMATION data;
    const bool ok = GetFileInformationByHandle(file, &data) != 0;
    if (!ok) *err = LastErrorText();
    CloseHandle(file);
    if (!ok) return ReadStatus::kFailed;
    FillInfo(data, info);
    return ReadStatus::kRead;
  }

  CreateStatus CreateTemp(const std::string& path, const FileInfo& like, FileHandle* file,
                          std::string* err) override {
    // The replace gives the new file the original's ACL, owner and
    // attributes. The new file starts with the original's hidden, system and
    // archive attributes as well, so they survive where a replace does not
    // carry them over.
    constexpr DWORD kKept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                            FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    const DWORD attributes = like.exists && (like.attributes & kKept) != 0 ? like.attributes & kKept
                                                                           : FILE_ATTRIBUTE_NORMAL;
    const HANDLE handle = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                      CREATE_NEW, attributes, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      const DWORD code = GetLastError();
      if (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS) return CreateStatus::kExists;
      *err = ErrorText(code);
      return CreateStatus::kFailed;
    }
    *file = AsFileHandle(handle);
    return CreateStatus::kCreated;
  }

  bool OpenInPlace(const std::string& path, FileHandle* file, std::string* err) override {
    // Open the existing file and cut it, rather than CREATE_ALWAYS, which
    // refuses hidden and system files.
    const HANDLE handle = CreateFileA(path.c_str(), GENERIC_WRITE, kShareAll, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      *err = LastErrorText();
      return false;
    }
    if (SetFilePointer(handle, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ||
        !SetEndOfFile(handle)) {
      *err = LastErrorText();
      CloseHandle(handle);
      return false;
    }
    *file = AsFileHandle(handle);
    return true;
  }

  bool Write(FileHandle file, std::string_view data, std::string* err) override {
    while (!data.empty()) {
      const DWORD chunk = data.size() > (1u << 30) ? (1u << 30) : static_cast<DWORD>(data.size());
      DWORD written = 0;
      if (!WriteFile(AsHandle(file), data.data(), chunk, &written, nullptr)) {
        *err = LastErrorText();
        return false;
      }
      if (written == 0) {
        *err = "nothing was written";
        return false;
      }
      data.remove_prefix(written);
    }
    return true;
  }

  bool Sync(FileHandle file, std::string* err) override {
    if (!FlushFileBuffers(AsHandle(file))) {
      *err = LastErrorText();
      return false;
    }
    return true;
  }

  bool Close(FileHandle file, std::string* err) override {
    if (!CloseHandle(AsHandle(file))) {
      *err = LastErrorText();
      return false;
    }
    return true;
  }

  bool Replace(const std::string& from, const std::string& to, bool to_exists,
               std::string* err) override {
    // A few short, bounded retries while another program has the file open.
    static constexpr DWORD kDelaysMs[] = {0, 1, 10, 20, 40};
    DWORD code = ERROR_SUCCESS;
    for (const DWORD delay : kDelaysMs) {
      if (delay > 0) Sleep(delay);
      // ReplaceFile keeps the original's ACL, owner and attributes; with no
      // file yet there is nothing to keep.
      const BOOL done = to_exists ? ReplaceFileA(to.c_str(), from.c_str(), nullptr,
                                                 REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)
                                  : MoveFileExA(from.c_str(), to.c_str(),
                                                MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
      if (done) return true;
      code = GetLastError();
      if (!IsTransientError(code)) break;
    }
    *err = ErrorText(code);
    return false;
  }

  bool Remove(const std::string& path, std::string* err) override {
    if (!DeleteFileA(path.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) {
      *err = LastErrorText();
      return false;
    }
    return true;
  }
};

}  // namespace

FileSystem& RealFileSystem() {
  static Win32FileSystem file_system;
  return file_system;
}

}  // namespace hosts

// How the Windows layer names files and tells where they are (see
// win32_names.h).

#include "hosts/win32_names.h"

#include <cstring>
#include <vector>

#include "hosts/win32_support.h"

namespace hosts {
namespace {

// The component store's folder for the hosts file, as Windows 10 and 11 name it.
constexpr char kStoreComponent[] = "\\WinSxS\\*_microsoft-windows-w..ucture-other-minwin_*";

// Opens `path` for its identity only, and describes it; `flags` says whether
// a link at the end is followed.
Status Describe(const Win32Api& api, const std::string& path, BY_HANDLE_FILE_INFORMATION* data,
                DWORD flags = FILE_FLAG_BACKUP_SEMANTICS) {
  ScopedHandle handle(
      api.CreateFileA(path.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING, flags, nullptr),
      HandleCloser{&api});
  if (handle.get() == INVALID_HANDLE_VALUE) return Status::Failed(ErrorText(GetLastError()));
  if (!api.GetFileInformationByHandle(handle.get(), data)) {
    return Status::Failed(ErrorText(GetLastError()));
  }
  return Status();
}

// Every name of a file, relative to its volume's root, as FindFirstFileNameW
// lists them; false where they cannot be listed.
bool ListNames(const Win32Api& api, const std::string& path, std::vector<std::string>* names) {
  std::wstring name(MAX_PATH, L'\0');
  DWORD size = MAX_PATH;
  HANDLE search = api.FindFirstFileNameW(Wide(path).c_str(), 0, &size, name.data());
  if (search == INVALID_HANDLE_VALUE && GetLastError() == ERROR_MORE_DATA) {
    name.resize(size);
    search = api.FindFirstFileNameW(Wide(path).c_str(), 0, &size, name.data());
  }
  if (search == INVALID_HANDLE_VALUE) return false;
  bool listed = true;
  for (;;) {
    names->push_back(Lower(Narrow(name.c_str())));
    size = static_cast<DWORD>(name.size());
    if (api.FindNextFileNameW(search, &size, name.data())) continue;
    if (GetLastError() == ERROR_MORE_DATA) {
      name.resize(size);
      if (api.FindNextFileNameW(search, &size, name.data())) continue;
    }
    listed = GetLastError() == ERROR_HANDLE_EOF;
    break;
  }
  api.FindClose(search);
  return listed;
}

}  // namespace

Status FinalPath(const Win32Api& api, HANDLE file, std::string* path, DWORD name) {
  std::string final_path(MAX_PATH, '\0');
  DWORD length = 0;
  for (int attempt = 0; attempt < 2; ++attempt) {
    length = api.GetFinalPathNameByHandleA(
        file, final_path.data(), static_cast<DWORD>(final_path.size()), name | VOLUME_NAME_DOS);
    if (length < final_path.size()) break;
    final_path.resize(length + 1);
  }
  if (length == 0 || length >= final_path.size()) return Status::Failed(ErrorText(GetLastError()));
  final_path.resize(length);
  if (final_path.rfind("\\\\?\\UNC\\", 0) == 0) {
    final_path = "\\\\" + final_path.substr(8);
  } else if (final_path.rfind("\\\\?\\", 0) == 0) {
    final_path = final_path.substr(4);
  }
  *path = final_path;
  return Status();
}

// Both paths are taken as they were opened (after links, before
// normalizing), which for a file with several names is the name it was
// opened by, where a normalized path might be another.
Status CheckInFolder(const Win32Api& api, HANDLE file, HANDLE folder, const std::string& name) {
  std::string folder_path;
  std::string file_path;
  Status status = FinalPath(api, folder, &folder_path, FILE_NAME_OPENED);
  if (status.ok()) status = FinalPath(api, file, &file_path, FILE_NAME_OPENED);
  if (!status.ok()) return status.In("cannot tell where the file is");
  if (!folder_path.empty() && folder_path.back() == '\\') folder_path.pop_back();
  if (Lower(file_path) != Lower(folder_path + "\\" + name)) {
    return Status::Failed("the name leads out of its folder, to " + file_path);
  }
  return Status();
}

bool HasStoreTwin(const Win32Api& api, const std::string& path,
                  const BY_HANDLE_FILE_INFORMATION& data) {
  char windows[MAX_PATH];
  const UINT length = api.GetSystemWindowsDirectoryA(windows, MAX_PATH);
  if (length < 3 || length >= MAX_PATH) return false;
  if (api.FindFirstFileNameW != nullptr && api.FindNextFileNameW != nullptr) {
    // The names are relative to the volume's root.
    const std::string store = Lower(std::string(windows + 2) + "\\WinSxS\\");
    std::vector<std::string> names;
    if (!ListNames(api, path, &names)) return false;
    int in_store = 0;
    for (const std::string& each : names) in_store += each.rfind(store, 0) == 0 ? 1 : 0;
    return names.size() == 2 && in_store == 1;
  }
  // Where the names cannot be listed (Wine), look for this file in the
  // store's folder for the hosts file's component.
  const std::string pattern = std::string(windows) + kStoreComponent;
  const std::string folder = pattern.substr(0, pattern.find_last_of('\\') + 1);
  WIN32_FIND_DATAA found;
  const HANDLE search = api.FindFirstFileA(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  bool twin = false;
  do {
    BY_HANDLE_FILE_INFORMATION other;
    twin =
        Describe(api, folder + found.cFileName + "\\hosts", &other).ok() && SameFile(data, other);
  } while (!twin && api.FindNextFileA(search, &found));
  api.FindClose(search);
  return twin;
}

Status CheckWindowsDirectory(const Win32Api& api, const std::string& root, std::string* checked) {
  if (root.empty()) return Status::Failed("is empty");
  if (root.size() >= 2 && (root[0] == '\\' || root[0] == '/') &&
      (root[1] == '\\' || root[1] == '/')) {
    return Status::Failed("is a network or device path");
  }
  const bool drive = root.size() >= 2 && root[1] == ':' &&
                     ((root[0] >= 'A' && root[0] <= 'Z') || (root[0] >= 'a' && root[0] <= 'z'));
  if (drive && (root.size() == 2 || (root[2] != '\\' && root[2] != '/'))) {
    return Status::Failed("is relative to a drive's current folder");
  }
  if (!drive) return Status::Failed("is not an absolute path");
  // A device's name in the last place (C:\x\COM1 on Windows 10) opens the
  // device: refused by the name alone, before anything is opened.
  char full[MAX_PATH];
  const DWORD full_length = api.GetFullPathNameA(root.c_str(), MAX_PATH, full, nullptr);
  if (full_length == 0 || full_length >= MAX_PATH) {
    return Status::Failed(ErrorText(GetLastError()));
  }
  if (std::strncmp(full, "\\\\.\\", 4) == 0 || std::strncmp(full, "\\\\?\\", 4) == 0) {
    return Status::Failed(std::string("names the device ") + full);
  }
  char system[MAX_PATH];
  const UINT length = api.GetSystemWindowsDirectoryA(system, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    return Status::Failed(ErrorText(GetLastError())).In("the Windows directory cannot be read");
  }
  // Opened as it is, not through a link, and it must be a folder; then the
  // same folder however it is spelled, by volume and file ID.
  BY_HANDLE_FILE_INFORMATION named;
  BY_HANDLE_FILE_INFORMATION windows;
  Status status =
      Describe(api, root, &named, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
  if (!status.ok()) return status;
  if ((named.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return Status::Failed("is a junction, link or other reparse point");
  }
  if ((named.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return Status::Failed("is not a folder");
  }
  if (status = Describe(api, system, &windows); !status.ok()) return status.In(system);
  if (!SameFile(named, windows)) {
    return Status::Failed("is not the Windows directory, " + std::string(system));
  }
  *checked = system;
  return Status();
}

}  // namespace hosts

// How the Windows layer finds the hosts file's folder (see win32_walk.h).

#include "hosts/win32_walk.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "hosts/win32_support.h"
#include "hosts/win32_trust.h"

namespace hosts {
namespace {

// The kinds of reparse point that name another path: a symbolic link, whose
// names follow a Flags field, and a junction (a mount point), whose names
// follow at once (REPARSE_DATA_BUFFER in the driver kit's headers).
constexpr DWORD kTagMountPoint = 0xA0000003;
constexpr DWORD kTagSymlink = 0xA000000C;
constexpr ULONG kSymlinkRelative = 0x1;

// How many symbolic links and junctions one after another the walk follows.
constexpr int kMaxLinks = 31;

// What the walk opens each name for: its attributes, its security and its
// reparse data.
constexpr ACCESS_MASK kWalkAccess = FILE_READ_ATTRIBUTES | READ_CONTROL;

// A folder on the way, held open, and its path as walked.
struct HeldFolder {
  ScopedHandle handle;
  std::wstring path;
};

// Where a walk starts: the object manager's name of a drive's, share's or
// volume's root, how that root is written, and the path below it.
struct Root {
  std::wstring object;
  std::wstring shown;
  std::wstring rest;
};

bool StartsWith(const std::wstring& text, const std::wstring& start) {
  return text.compare(0, start.size(), start) == 0;
}

// Splits an absolute path into its root and the rest: "C:\..." and the
// object manager's (or the same, written "\\?\...") "\??\C:\...",
// "\??\UNC\server\share\..." and "\??\Volume{...}\...". False for anything
// else, such as a device's own name ("\Device\HarddiskVolume3\...").
bool SplitRoot(std::wstring path, Root* root) {
  const bool prefixed = StartsWith(path, L"\\??\\") || StartsWith(path, L"\\\\?\\");
  if (prefixed) path = path.substr(4);
  const auto separator = [&](std::size_t at) {
    return at < path.size() && (path[at] == L'\\' || path[at] == L'/');
  };
  std::size_t length = 0;  // of the root, without its separator
  if (path.size() >= 3 && path[1] == L':' && separator(2) &&
      ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z'))) {
    length = 2;
    root->shown = path.substr(0, length) + L"\\";
  } else if (prefixed && StartsWith(path, L"UNC\\")) {
    const std::size_t server_end = path.find(L'\\', 4);
    if (server_end == std::wstring::npos || server_end == 4) return false;
    length = std::min(path.find(L'\\', server_end + 1), path.size());
    if (length == server_end + 1) return false;
    root->shown = L"\\\\" + path.substr(4, length - 4) + L"\\";
  } else if (prefixed && StartsWith(path, L"Volume{")) {
    length = path.find(L'}');
    if (length == std::wstring::npos || (++length < path.size() && !separator(length))) {
      return false;
    }
    root->shown = L"\\\\?\\" + path.substr(0, length) + L"\\";
  } else {
    return false;
  }
  root->object = L"\\??\\" + path.substr(0, length) + L"\\";
  root->rest = length < path.size() ? path.substr(length + 1) : L"";
  return true;
}

// Pushes the names in `path` on `names`, the last first, so that the first
// is at the back; empty names and "." are left out.
void PushNames(const std::wstring& path, std::vector<std::wstring>* names) {
  std::vector<std::wstring> in_order;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find_first_of(L"\\/", start);
    if (end == std::wstring::npos) end = path.size();
    std::wstring name = path.substr(start, end - start);
    if (!name.empty() && name != L".") in_order.push_back(std::move(name));
    start = end + 1;
  }
  names->insert(names->end(), in_order.rbegin(), in_order.rend());
}

std::wstring JoinWide(const std::wstring& folder, const std::wstring& name) {
  return !folder.empty() && folder.back() == L'\\' ? folder + name : folder + L"\\" + name;
}

// The path as this layer names files, in the system's code page; false where
// the code page cannot name it exactly.
bool Exactly(const std::wstring& path, std::string* narrow) {
  *narrow = Narrow(path);
  return Wide(*narrow) == path;
}

Status OpenFailed(const Win32Api& api, const std::wstring& path, LONG status) {
  return Status::Failed(Narrow(path) + ": " + ErrorText(NtError(api, status)));
}

// Opens the root a walk starts from, as the only folder walked so far.
Status OpenRoot(const Win32Api& api, const Root& root, std::vector<HeldFolder>* walked) {
  HANDLE handle = INVALID_HANDLE_VALUE;
  const LONG opened = OpenRelative(api, nullptr, root.object, kWalkAccess, kShareAll, kFileOpen,
                                   kDirectoryFile, &handle);
  if (opened < 0) return OpenFailed(api, root.shown, opened);
  walked->clear();
  walked->push_back({ScopedHandle(handle, HandleCloser{&api}), root.shown});
  return Status();
}

}  // namespace

Status ReadLink(const Win32Api& api, HANDLE link, std::wstring* target, bool* relative) {
  std::vector<char> buffer(MAXIMUM_REPARSE_DATA_BUFFER_SIZE);
  DWORD got = 0;
  if (!api.DeviceIoControl(link, FSCTL_GET_REPARSE_POINT, nullptr, 0, buffer.data(),
                           static_cast<DWORD>(buffer.size()), &got, nullptr)) {
    return Status::Failed(ErrorText(GetLastError()));
  }
  DWORD tag = 0;
  if (got >= sizeof tag) std::memcpy(&tag, buffer.data(), sizeof tag);
  if (got >= sizeof tag && tag != kTagSymlink && tag != kTagMountPoint) {
    return Status(Code::kNotFound, "not a symbolic link or junction");
  }
  // The tag, the data's length and a reserved word; the substitute name's
  // offset and length, the print name's; a symbolic link's flags; the names.
  const std::size_t names = tag == kTagSymlink ? 20 : 16;
  WORD offset = 0;
  WORD length = 0;
  ULONG flags = 0;
  if (got >= names) {
    std::memcpy(&offset, buffer.data() + 8, sizeof offset);
    std::memcpy(&length, buffer.data() + 10, sizeof length);
    if (tag == kTagSymlink) std::memcpy(&flags, buffer.data() + 16, sizeof flags);
  }
  if (got < names || length % 2 != 0 || names + offset + length > got || length == 0) {
    return Status::Failed("its reparse data is cut short or empty");
  }
  target->assign(length / sizeof(wchar_t), L'\0');
  std::memcpy(target->data(), buffer.data() + names + offset, length);
  *relative = tag == kTagSymlink && (flags & kSymlinkRelative) != 0;
  return Status();
}

Status WalkToFolder(const Win32Api& api, const std::string& path, Folder* folder,
                    std::string* name) {
  Root root;
  if (!SplitRoot(Wide(path), &root)) {
    return Status::Failed(path + ": not a path on a drive, a share or a volume");
  }
  std::vector<HeldFolder> walked;  // from the root to the folder reached so far
  if (Status status = OpenRoot(api, root, &walked); !status.ok()) return status;
  std::vector<std::wstring> pending;  // the names still to walk, the next at the back
  PushNames(root.rest, &pending);
  int links = 0;
  std::wstring last;  // the last name, once reached
  while (!pending.empty()) {
    const std::wstring next = pending.back();
    pending.pop_back();
    if (next == L"..") {
      if (walked.size() > 1) walked.pop_back();
      continue;
    }
    const HeldFolder& here = walked.back();
    const std::wstring at = JoinWide(here.path, next);
    // Where a link led, what is in each folder on the way must be the
    // system's to rename or remove: otherwise another account could choose
    // what the next name is.
    if (links > 0) {
      if (Status status = CheckOnlySystemMayRename(api, here.handle.get()); !status.ok()) {
        return status.In("the folder " + Narrow(here.path)).In("follow the symbolic link " + path);
      }
    }
    HANDLE handle = INVALID_HANDLE_VALUE;
    const LONG opened = OpenRelative(api, here.handle.get(), next, kWalkAccess, kShareAll,
                                     kFileOpen, kOpenReparsePoint, &handle);
    if (opened < 0) {
      // A last name that is not there is the file the update creates.
      if (opened == kStatusObjectNameNotFound && pending.empty()) {
        last = next;
        break;
      }
      return OpenFailed(api, at, opened);
    }
    HeldFolder held{ScopedHandle(handle, HandleCloser{&api}), at};
    // Its attributes alone, which cost far less to ask for than its identity.
    FILE_ATTRIBUTE_TAG_INFO data{};
    if (!api.GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &data, sizeof data)) {
      return Status::Failed(Narrow(at) + ": " + ErrorText(GetLastError()));
    }
    std::wstring target;
    bool relative = false;
    Status link(
        (data.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? Code::kOk : Code::kNotFound,
        "");
    if (link.ok()) link = ReadLink(api, handle, &target, &relative);
    if (link.code() == Code::kNotFound) {
      // Another kind of reparse point (a compressed system file, say) is the
      // file itself at the end of the path; on the way it is refused.
      if (pending.empty()) {
        last = next;
        break;
      }
      if ((data.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return Status::Failed(Narrow(at) + ": not a folder");
      }
      if ((data.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return Status::Failed(Narrow(at) + ": a reparse point of a kind this tool does not follow");
      }
      walked.push_back(std::move(held));
      continue;
    }
    // What a link says is taken only from a link that no account but the
    // system's could have made or changed, in a folder no other can change.
    const std::string step = "follow the symbolic link " + Narrow(at);
    if (!link.ok()) return link.In(step);
    if (++links > kMaxLinks) return Status::Failed("too many levels of symbolic links");
    Status trusted = CheckOnlySystemMayChange(api, handle);
    if (trusted.ok()) {
      trusted = CheckOnlySystemMayChange(api, here.handle.get())
                    .In("the folder holding it, " + Narrow(here.path));
    }
    if (!trusted.ok()) return trusted.In(step);
    Root to;
    if (relative && target[0] == L'\\') {
      // Relative to the root of the volume the link is on.
      walked.erase(walked.begin() + 1, walked.end());
    } else if (!relative) {
      if (!SplitRoot(target, &to)) {
        return Status::Failed(step + ": its target, " + Narrow(target) +
                              ", is not a path on a drive, a share or a volume");
      }
      if (Status status = OpenRoot(api, to, &walked); !status.ok()) return status.In(step);
      target = to.rest;
    }
    PushNames(target, &pending);
  }
  if (last.empty()) return Status::Failed(path + ": leads to a folder, not to a file");
  HeldFolder& reached = walked.back();
  // The folder the last link leads to is where the new file is made.
  if (links > 0) {
    if (Status status = CheckOnlySystemMayChange(api, reached.handle.get()); !status.ok()) {
      return status.In("the folder it leads to, " + Narrow(reached.path))
          .In("follow the symbolic link " + path);
    }
  }
  if (!Exactly(reached.path, &folder->path) || !Exactly(last, name)) {
    return Status::Failed(Narrow(JoinWide(reached.path, last)) +
                          ": the system's code page cannot name it exactly");
  }
  folder->handle = AsFileHandle(reached.handle.release());
  return Status();
}

}  // namespace hosts

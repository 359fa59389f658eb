// How the Windows layer finds the hosts file's folder (see win32_walk.h).

#include "hosts/win32_walk.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "hosts/limits.h"
#include "hosts/walk.h"
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

// What the walk opens each name for: its attributes, its security and its
// reparse data.
constexpr ACCESS_MASK kWalkAccess = FILE_READ_ATTRIBUTES | READ_CONTROL;

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

std::wstring JoinWide(const std::wstring& folder, const std::wstring& name) {
  return !folder.empty() && folder.back() == L'\\' ? folder + name : folder + L"\\" + name;
}

// The path as this layer names files, in the system's code page; false where
// the code page cannot name it exactly.
bool Exactly(const std::wstring& path, std::string* narrow) {
  *narrow = Narrow(path);
  return Wide(*narrow) == path;
}

// An entry on the way, held open for its attributes, its security and its
// reparse data; for a link, what its reparse data says.
struct Entry {
  ScopedHandle handle;
  Status link;
  std::wstring target;
  bool relative = false;
};

// The walk's primitives (walk.h) on Windows.
class Win32Walk {
 public:
  using Name = std::wstring;
  using Held = Entry;
  static constexpr int kMaxLinks = hosts::kMaxLinks;
  static constexpr const char* kNotRooted = "not a path on a drive, a share or a volume";

  Win32Walk(const Win32Api& api, HANDLE* folder, std::string* folder_path, std::string* name)
      : api_(api), folder_(folder), folder_path_(folder_path), name_(name) {}

  static bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }
  static Name Join(const Name& folder, const Name& name) { return JoinWide(folder, name); }
  static Name Shown(const Name& path) { return path; }
  static std::string Narrow(const Name& name) { return hosts::Narrow(name); }

  Status OpenRoot(const Name& path, Held* root, Name* shown, Name* rest) {
    Root split;
    if (!SplitRoot(path, &split)) return Status(Code::kNotFound, "");
    HANDLE handle = INVALID_HANDLE_VALUE;
    const LONG opened = OpenRelative(api_, nullptr, split.object, kWalkAccess, kShareAll, kFileOpen,
                                     kDirectoryFile, &handle);
    if (opened < 0) return Status::Failed(ErrorText(NtError(api_, opened))).In(Narrow(split.shown));
    root->handle = ScopedHandle(handle, HandleCloser{&api_});
    *shown = split.shown;
    *rest = split.rest;
    return Status();
  }

  Status Open(const Held& folder, const Name& name, Held* entry) {
    HANDLE handle = INVALID_HANDLE_VALUE;
    const LONG opened = OpenRelative(api_, folder.handle.get(), name, kWalkAccess, kShareAll,
                                     kFileOpen, kOpenReparsePoint, &handle);
    if (opened < 0) {
      return Status(opened == kStatusObjectNameNotFound ? Code::kNotFound : Code::kFailed,
                    ErrorText(NtError(api_, opened)));
    }
    entry->handle = ScopedHandle(handle, HandleCloser{&api_});
    return Status();
  }

  Status Describe(Held& entry, Kind* kind) {
    // Its attributes alone, which cost far less to ask for than its identity.
    FILE_ATTRIBUTE_TAG_INFO data{};
    if (!api_.GetFileInformationByHandleEx(entry.handle.get(), FileAttributeTagInfo, &data,
                                           sizeof data)) {
      return Status::Failed(ErrorText(GetLastError()));
    }
    const bool directory = (data.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if ((data.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
      *kind = directory ? Kind::kFolder : Kind::kNotFolder;
      return Status();
    }
    entry.link = hosts::ReadLink(api_, entry.handle.get(), &entry.target, &entry.relative);
    // Another kind of reparse point (a compressed system file, say) is the
    // file itself at the end of the path; on the way it is refused.
    if (entry.link.code() == Code::kNotFound) {
      *kind = directory ? Kind::kUnfollowable : Kind::kNotFolder;
    } else {
      *kind = Kind::kLink;
    }
    return Status();
  }

  Status ReadLink(Held& link, LinkTarget<Name>* target) {
    if (!link.link.ok()) return link.link;
    using From = LinkTarget<Name>::From;
    // Relative to its folder, or, beginning with a separator, to the root
    // of the volume it is on; otherwise a path with a root of its own.
    target->from = !link.relative            ? From::kNewRoot
                   : link.target[0] == L'\\' ? From::kVolumeRoot
                                             : From::kLinkFolder;
    target->path = target->rest = link.target;
    return Status();
  }

  Status CheckLink(const Held& link) { return CheckOnlySystemMayChange(api_, link.handle.get()); }

  Status CheckMayChange(const Held& folder, const std::string& subject) {
    return CheckOnlySystemMayChange(api_, folder.handle.get()).In(subject);
  }

  Status CheckMayRename(const Held& folder, const Held& /*entry*/, const std::string& subject) {
    return CheckOnlySystemMayRename(api_, folder.handle.get()).In(subject);
  }

  Status Finish(Held folder, const Name& path, const Name& name) {
    if (!Exactly(path, folder_path_) || !Exactly(name, name_)) {
      return Status::Failed(Narrow(JoinWide(path, name)) +
                            ": the system's code page cannot name it exactly");
    }
    *folder_ = folder.handle.release();
    return Status();
  }

 private:
  const Win32Api& api_;
  HANDLE* const folder_;
  std::string* const folder_path_;
  std::string* const name_;
};

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

Status WalkToFolder(const Win32Api& api, const std::string& path, HANDLE* folder,
                    std::string* folder_path, std::string* name) {
  Win32Walk platform(api, folder, folder_path, name);
  return Walk<Win32Walk>(platform).To(path, Wide(path));
}

}  // namespace hosts

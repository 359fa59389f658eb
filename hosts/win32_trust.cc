// Who the Windows layer trusts (see win32_trust.h).

#include "hosts/win32_trust.h"

#include <sddl.h>

#include <cstring>
#include <string>

namespace hosts {
namespace {

// The accounts whose files and links the tool trusts: SYSTEM, Administrators
// and TrustedInstaller.
constexpr const char* kSystemAccounts[] = {
    "S-1-5-18", "S-1-5-32-544", "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"};

// OWNER RIGHTS: an entry for whoever owns the object.
constexpr char kOwnerRights[] = "S-1-3-4";

// What the temporary file takes from the hosts file besides its content.
constexpr SECURITY_INFORMATION kCopiedSecurity =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

// The rights that let an account change a file or folder, or what is in it.
constexpr ACCESS_MASK kChangeRights =
    FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES | FILE_DELETE_CHILD |
    DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED;

// The rights that let an account rename or remove what is in a folder, or
// the folder itself, or take them by changing its security.
constexpr ACCESS_MASK kRenameRights =
    FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_ALL | MAXIMUM_ALLOWED;

// The lock's descriptor: a protected DACL for SYSTEM and Administrators.
constexpr char kLockSecurity[] = "D:P(A;;FA;;;SY)(A;;FA;;;BA)";

std::string SidText(PSID sid) {
  char* text = nullptr;
  if (sid == nullptr || !ConvertSidToStringSidA(sid, &text)) return "nobody";
  std::string result = text;
  LocalFree(text);
  return result;
}

bool IsSid(PSID sid, const char* text) {
  PSID known = nullptr;
  if (!ConvertStringSidToSidA(text, &known)) return false;
  const bool same = EqualSid(sid, known) != 0;
  LocalFree(known);
  return same;
}

bool IsSystemAccount(PSID sid) {
  if (sid == nullptr || !IsValidSid(sid)) return false;
  for (const char* text : kSystemAccounts) {
    if (IsSid(sid, text)) return true;
  }
  return false;
}

// What an entry of a DACL allows, and to whom: `*sid` stays nullptr for an
// entry that only denies. The entries that allow are the plain and callback
// ones (the SID after the mask) and their object kinds (the SID after a
// flags word and the GUIDs those flags say are there; without them, the same
// as a plain entry). Any other kind is refused: what it means is not known.
Status Grant(const ACE_HEADER* header, ACCESS_MASK* mask, PSID* sid) {
  const auto* bytes = reinterpret_cast<const BYTE*>(header);
  std::size_t offset = sizeof(ACE_HEADER) + sizeof(ACCESS_MASK);
  switch (header->AceType) {
    case ACCESS_DENIED_ACE_TYPE:
    case ACCESS_DENIED_CALLBACK_ACE_TYPE:
    case ACCESS_DENIED_OBJECT_ACE_TYPE:
    case ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE:
      return Status();
    case ACCESS_ALLOWED_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_ACE_TYPE:
      break;
    case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE: {
      DWORD flags = 0;
      if (header->AceSize < offset + sizeof flags) return Status::Failed("its DACL is cut short");
      std::memcpy(&flags, bytes + offset, sizeof flags);
      offset += sizeof flags;
      if ((flags & ACE_OBJECT_TYPE_PRESENT) != 0) offset += sizeof(GUID);
      if ((flags & ACE_INHERITED_OBJECT_TYPE_PRESENT) != 0) offset += sizeof(GUID);
      break;
    }
    default:
      return Status::Failed("its DACL has an entry of a kind this tool does not read (type " +
                            std::to_string(header->AceType) + ")");
  }
  // The SID must lie whole inside the entry.
  const std::size_t fixed = 8;  // revision, count, authority
  if (header->AceSize < offset + fixed ||
      header->AceSize < offset + GetSidLengthRequired(bytes[offset + 1])) {
    return Status::Failed("its DACL is cut short");
  }
  std::memcpy(mask, bytes + sizeof(ACE_HEADER), sizeof *mask);
  *sid = const_cast<BYTE*>(bytes + offset);
  if (!IsValidSid(*sid)) return Status::Failed("its DACL names an account that is not valid");
  return Status();
}

bool IsThisAccount(const Win32Api& api, PSID sid) {
  HANDLE token = nullptr;
  if (!api.OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  char buffer[256];
  DWORD size = 0;
  const bool self = GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) &&
                    EqualSid(sid, reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
  api.CloseHandle(token);
  return self;
}

// SeRestorePrivilege switched on for as long as this lives, and back to what
// it was afterwards. With it a process may give a file an owner other than
// itself.
class RestorePrivilege {
 public:
  explicit RestorePrivilege(const Win32Api& api) : api_(api) {
    if (!api_.OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY,
                               &token_)) {
      token_ = nullptr;
      return;
    }
    TOKEN_PRIVILEGES wanted{};
    wanted.PrivilegeCount = 1;
    wanted.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    DWORD size = 0;
    enabled_ =
        api_.LookupPrivilegeValueA(nullptr, "SeRestorePrivilege", &wanted.Privileges[0].Luid) &&
        api_.AdjustTokenPrivileges(token_, FALSE, &wanted, sizeof previous_, &previous_, &size) &&
        GetLastError() == ERROR_SUCCESS;  // not ERROR_NOT_ALL_ASSIGNED
  }
  RestorePrivilege(const RestorePrivilege&) = delete;
  RestorePrivilege& operator=(const RestorePrivilege&) = delete;
  ~RestorePrivilege() {
    if (enabled_) api_.AdjustTokenPrivileges(token_, FALSE, &previous_, 0, nullptr, nullptr);
    if (token_ != nullptr) api_.CloseHandle(token_);
  }
  bool enabled() const { return enabled_; }

 private:
  const Win32Api& api_;
  HANDLE token_ = nullptr;
  TOKEN_PRIVILEGES previous_{};
  bool enabled_ = false;
};

}  // namespace

Status CheckOwner(const Win32Api& api, HANDLE object, SE_OBJECT_TYPE type, bool or_self,
                  HANDLE or_like) {
  if (object == INVALID_HANDLE_VALUE) return Status::Failed(ErrorText(GetLastError()));
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD error = api.GetSecurityInfo(object, type, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                                          nullptr, nullptr, &descriptor);
  if (error != ERROR_SUCCESS) return Status::Failed(ErrorText(error));
  const LocalMemory free_descriptor(descriptor);
  // The owner of `or_like` too, where it can be read.
  PSID like = nullptr;
  PSECURITY_DESCRIPTOR like_descriptor = nullptr;
  if (or_like != nullptr &&
      api.GetSecurityInfo(or_like, type, OWNER_SECURITY_INFORMATION, &like, nullptr, nullptr,
                          nullptr, &like_descriptor) != ERROR_SUCCESS) {
    like_descriptor = nullptr;
    like = nullptr;
  }
  const LocalMemory free_like(like_descriptor);
  if (like != nullptr && owner != nullptr && EqualSid(owner, like)) return Status();
  if (!IsSystemAccount(owner) && !(or_self && IsThisAccount(api, owner))) {
    return Status::Failed("it belongs to " + SidText(owner) +
                          (or_self ? ", not to the system or to the account this tool runs as"
                                   : ", not to SYSTEM, Administrators or TrustedInstaller"));
  }
  return Status();
}

Status CheckOnlySystemMayChange(const Win32Api& api, HANDLE object) {
  return CheckOnlySystemMay(api, object, kChangeRights, "change it");
}

Status CheckOnlySystemMayRename(const Win32Api& api, HANDLE folder) {
  return CheckOnlySystemMay(api, folder, kRenameRights, "rename or remove what is in it");
}

Status CheckOnlySystemMay(const Win32Api& api, HANDLE object, ACCESS_MASK rights,
                          const char* what) {
  if (object == INVALID_HANDLE_VALUE) return Status::Failed(ErrorText(GetLastError()));
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD error = api.GetSecurityInfo(object, SE_FILE_OBJECT,
                                          OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                          &owner, nullptr, &dacl, nullptr, &descriptor);
  if (error != ERROR_SUCCESS) return Status::Failed(ErrorText(error));
  const LocalMemory free_descriptor(descriptor);
  if (!IsSystemAccount(owner)) {
    return Status::Failed("it belongs to " + SidText(owner) +
                          ", not to SYSTEM, Administrators or TrustedInstaller");
  }
  if (dacl == nullptr) return Status::Failed("it has no DACL, so anyone may change it");
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    ACE_HEADER* header = nullptr;
    if (!GetAce(dacl, i, reinterpret_cast<void**>(&header))) {
      return Status::Failed(ErrorText(GetLastError()));
    }
    // An entry only for what is made inside grants nothing here.
    if ((header->AceFlags & INHERIT_ONLY_ACE) != 0) continue;
    PSID sid = nullptr;
    ACCESS_MASK mask = 0;
    if (Status status = Grant(header, &mask, &sid); !status.ok()) return status;
    if (sid != nullptr && (mask & rights) != 0 && !IsSystemAccount(sid) &&
        !IsSid(sid, kOwnerRights)) {
      return Status::Failed("its DACL lets " + SidText(sid) + " " + what);
    }
  }
  return Status();
}

Status CopySecurity(const Win32Api& api, HANDLE from, HANDLE to) {
  PSID owner = nullptr;
  PSID group = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  DWORD error = api.GetSecurityInfo(from, SE_FILE_OBJECT, kCopiedSecurity, &owner, &group, &dacl,
                                    nullptr, &descriptor);
  if (error != ERROR_SUCCESS) return SystemStatus(Call::kReadSecurity, FromError(error));
  const LocalMemory free_descriptor(descriptor);
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  GetSecurityDescriptorControl(descriptor, &control, &revision);
  const SECURITY_INFORMATION what = kCopiedSecurity | ((control & SE_DACL_PROTECTED) != 0
                                                           ? PROTECTED_DACL_SECURITY_INFORMATION
                                                           : UNPROTECTED_DACL_SECURITY_INFORMATION);
  error = api.SetSecurityInfo(to, SE_FILE_OBJECT, what, owner, group, dacl, nullptr);
  if (error == ERROR_INVALID_OWNER) {
    const RestorePrivilege privilege(api);
    if (privilege.enabled()) {
      error = api.SetSecurityInfo(to, SE_FILE_OBJECT, what, owner, group, dacl, nullptr);
    }
  }
  return SystemStatus(Call::kSetSecurity, FromError(error));
}

LocalMemory LockSecurity() {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ConvertStringSecurityDescriptorToSecurityDescriptorA(kLockSecurity, SDDL_REVISION_1, &descriptor,
                                                       nullptr);
  return LocalMemory(descriptor);
}

}  // namespace hosts

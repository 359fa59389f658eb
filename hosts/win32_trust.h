// Who the Windows layer trusts: the owners and DACLs it accepts on links,
// folders and leftovers, the security a new hosts file is given, and the
// descriptor of the update lock.

#ifndef HOSTS_WIN32_TRUST_H_
#define HOSTS_WIN32_TRUST_H_

#include <windows.h>
// windows.h first
#include <aclapi.h>

#include "hosts/status.h"
#include "hosts/win32_api.h"
#include "hosts/win32_support.h"

namespace hosts {

// Checks that `object` belongs to SYSTEM, Administrators or TrustedInstaller,
// or also, when `or_self`, to the account this process runs as, or to the
// owner of `or_like`, where one is given.
Status CheckOwner(const Win32Api& api, HANDLE object, SE_OBJECT_TYPE type, bool or_self,
                  HANDLE or_like = nullptr);

// Checks that only SYSTEM, Administrators and TrustedInstaller may change
// the file or folder `object`: it belongs to one of them and its DACL lets
// no one else write, add, delete or change its security.
Status CheckOnlySystemMayChange(const Win32Api& api, HANDLE object);

// Checks that only the system's accounts may rename or remove the folder
// `folder` or what is in it: it belongs to one of them and its DACL lets no
// one else delete it or a child of it, or change its security. Other
// accounts may still add to it, as Users may add folders to C:\.
Status CheckOnlySystemMayRename(const Win32Api& api, HANDLE folder);

// The two checks above: owner and DACL, with the `rights` no other account
// may have; `what` says what they would let that account do.
Status CheckOnlySystemMay(const Win32Api& api, HANDLE object, ACCESS_MASK rights, const char* what);

// Gives the file `to` the owner, group and DACL of `from`, the DACL protected
// from inheritance or not as the original's is: whoever owns the file, since
// handing on the owner it already has grants nothing new. Giving an owner
// other than itself needs the restore privilege, which is switched on for
// that one call; kInPlaceOnly when the system refuses.
Status CopySecurity(const Win32Api& api, HANDLE from, HANDLE to);

// The security of the update lock: open to SYSTEM and Administrators alone,
// so that no other account can open it, let alone hold it.
LocalMemory LockSecurity();

}  // namespace hosts

#endif  // HOSTS_WIN32_TRUST_H_

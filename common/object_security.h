// The named objects that tie the service to its consoles (the settings
// mutex, the log's lock) carry an explicit descriptor that lets only SYSTEM
// and Administrators in.  With the default descriptor of a LocalSystem
// service an administrator's console could not open them, and with none at
// all (a name made first by someone else) any local user could take and
// hold them while the service is down.
//
// Every security function is bound by name: the 9x family lacks them (it
// has no object security at all) and this code is shared with its host.
#pragma once

#include <windows.h>

#include <cstddef>

namespace qel {

// What stands behind a mutex name the supervisor is about to rely on.
enum class MutexTrust {
    Created,    // made by this call, with the guarded descriptor
    Trusted,    // existed; owned by SYSTEM, Administrators or this process's own account
    Foreign,    // existed, made by another account, or closed to this one
    Unguarded,  // no object security on this system (the 9x family)
};

// The SYSTEM + Administrators descriptor, built in place (it points into
// itself: neither copied nor moved).  Attributes() is null where the system
// has no object security or building it failed; the object then gets the
// default security.
class GuardedSecurity {
public:
    // withOwner: Administrators as the owner as well, so that an object made
    // by any administrator (the service, a console) has the same owner.
    explicit GuardedSecurity(bool withOwner);
    GuardedSecurity(const GuardedSecurity&) = delete;
    GuardedSecurity& operator=(const GuardedSecurity&) = delete;

    SECURITY_ATTRIBUTES* Attributes() { return ready_ ? &attributes_ : nullptr; }

private:
    SECURITY_ATTRIBUTES attributes_;
    SECURITY_DESCRIPTOR descriptor_;
    DWORD acl_[32];  // an ACL of two ACEs needs 52 bytes; DWORD-aligned as ACLs must be
    bool ready_ = false;
};

// For the process that runs the supervisor: creates the mutex with the
// guarded descriptor (with its own account as owner when it may not name
// Administrators), or opens the existing one (with the rights to wait and
// release only, when full access is refused) and says whether its owner may
// be trusted (in *trust).  Null, with *trust Foreign, when no handle could be
// had (typically a name taken by an object closed to this account or of
// another kind).  GetLastError as CreateMutexA leaves it
// (ERROR_ALREADY_EXISTS for an existing one).
HANDLE CreateGuardedMutex(const char* name, MutexTrust* trust);

// For everything that only waits for the mutex and releases it (the
// consoles, the log writers): opens an existing mutex asking for
// SYNCHRONIZE | MUTEX_MODIFY_STATE only, and creates it with the guarded
// descriptor when it does not exist yet.  An account that may not name
// Administrators as owner makes none: null with ERROR_FILE_NOT_FOUND when
// none exists then.  Null on any other failure too (GetLastError).
// With `trust`, also says who made an existing one (read through a second,
// momentary handle that asks for READ_CONTROL only): a writer that finds a
// Foreign lock is safest without it (a holder could stall every wait).
HANDLE OpenGuardedMutex(const char* name, MutexTrust* trust = nullptr);

// Whether a SID an object names as its owner is one the supervisor trusts:
// SYSTEM, Administrators, or one of ownSids (the process's own account and
// default owner).  Byte-wise over valid SIDs; null entries are skipped.
bool IsTrustedOwner(const void* owner, const void* const* ownSids, size_t ownSidCount);

} // namespace qel

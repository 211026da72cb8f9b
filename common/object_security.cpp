#include "object_security.h"

#include <cstring>

#include "security_functions.h"
#include "win_handles.h"
#include "windows_family.h"

namespace qel {

namespace {

size_t SidLength(const void* sid)
{
    const BYTE* bytes = static_cast<const BYTE*>(sid);
    return 8 + 4 * static_cast<size_t>(bytes[1]);
}

bool SameSid(const void* a, const void* b)
{
    size_t length = SidLength(a);
    return length == SidLength(b) && memcmp(a, b, length) == 0;
}

// One token information block (TokenUser or TokenOwner), DWORD-aligned.
struct TokenSid {
    DWORD Buffer[32];
    const void* Sid = nullptr;
};

void ReadTokenSid(const SecurityFunctions& f, HANDLE token, TOKEN_INFORMATION_CLASS kind, TokenSid& out)
{
    DWORD needed = 0;
    if (!f.GetTokenInformation(token, kind, out.Buffer, sizeof out.Buffer, &needed))
        return;
    // TOKEN_USER and TOKEN_OWNER both begin with the SID pointer.
    PSID sid = nullptr;
    memcpy(&sid, out.Buffer, sizeof sid);
    out.Sid = sid;
}

MutexTrust OwnerTrust(const SecurityFunctions& f, HANDLE object)
{
    DWORD descriptor[256];
    DWORD needed = 0;
    if (!f.GetKernelObjectSecurity(object, OWNER_SECURITY_INFORMATION, descriptor, sizeof descriptor, &needed))
        return MutexTrust::Foreign;
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (!f.GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) || !owner)
        return MutexTrust::Foreign;

    // The account this process runs as, and the owner its own objects get
    // (a service under another account, or Wine's single user).
    TokenSid user, defaultOwner;
    HANDLE rawToken = nullptr;
    if (f.OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &rawToken)) {
        UniqueHandle token(rawToken);
        ReadTokenSid(f, token.get(), TokenUser, user);
        ReadTokenSid(f, token.get(), TokenOwner, defaultOwner);
    }
    const void* own[] = {user.Sid, defaultOwner.Sid};
    return IsTrustedOwner(owner, own, 2) ? MutexTrust::Trusted : MutexTrust::Foreign;
}

// CreateMutexA with the guarded descriptor.  An account that may not name
// Administrators as owner (no administrator, or one without elevation) is
// refused that owner with ERROR_INVALID_OWNER.  With ownOwnerAllowed it then
// gets the descriptor without an owner, and the object its default owner:
// only for the process that runs the supervisor, which must run whoever
// it is.
HANDLE CreateMutexGuarded(const char* name, bool ownOwnerAllowed)
{
    GuardedSecurity withOwner(true);
    HANDLE mutex = CreateMutexA(withOwner.Attributes(), FALSE, name);
    if (mutex || GetLastError() != ERROR_INVALID_OWNER || !ownOwnerAllowed)
        return mutex;
    GuardedSecurity plain(false);
    return CreateMutexA(plain.Attributes(), FALSE, name);
}

MutexTrust TrustOfExisting(const SecurityFunctions& f, const char* name)
{
    UniqueHandle reader(OpenMutexA(READ_CONTROL, FALSE, name));
    return reader ? OwnerTrust(f, reader.get()) : MutexTrust::Foreign;
}

} // namespace

bool IsTrustedOwner(const void* owner, const void* const* ownSids, size_t ownSidCount)
{
    if (!owner)
        return false;
    if (SameSid(owner, &kLocalSystemSid) || SameSid(owner, &kAdministratorsSid))
        return true;
    for (size_t i = 0; i < ownSidCount; ++i)
        if (ownSids[i] && SameSid(owner, ownSids[i]))
            return true;
    return false;
}

GuardedSecurity::GuardedSecurity(bool withOwner)
{
    memset(&attributes_, 0, sizeof attributes_);
    memset(&descriptor_, 0, sizeof descriptor_);
    memset(acl_, 0, sizeof acl_);
    SecurityFunctions f;
    if (!f.Load())
        return;
    PACL acl = reinterpret_cast<PACL>(acl_);
    // Full rights for both: administrators are trusted with these objects
    // anyway, and whoever opens one asks only for what it needs.
    ready_ = f.InitializeAcl(acl, sizeof acl_, ACL_REVISION) &&
             f.AddAccessAllowedAce(acl, ACL_REVISION, MUTEX_ALL_ACCESS, AsSid(kLocalSystemSid)) &&
             f.AddAccessAllowedAce(acl, ACL_REVISION, MUTEX_ALL_ACCESS, AsSid(kAdministratorsSid)) &&
             f.InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) &&
             f.SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE) &&
             (!withOwner || f.SetSecurityDescriptorOwner(&descriptor_, AsSid(kAdministratorsSid), FALSE));
    attributes_.nLength = sizeof attributes_;
    attributes_.lpSecurityDescriptor = &descriptor_;
    attributes_.bInheritHandle = FALSE;
}

HANDLE CreateGuardedMutex(const char* name, MutexTrust* trust)
{
    SecurityFunctions f;
    if (!f.Load()) {
        *trust = MutexTrust::Unguarded;
        return CreateMutexA(nullptr, FALSE, name);
    }
    SetLastError(ERROR_SUCCESS);
    HANDLE mutex = CreateMutexGuarded(name, true);
    DWORD error = GetLastError();
    if (!mutex && error == ERROR_ACCESS_DENIED) {
        // The name exists and refuses the full access that CreateMutexA
        // asks for: waiting and releasing are all the supervisor needs.
        mutex = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name);
        if (mutex) {
            *trust = TrustOfExisting(f, name);
            SetLastError(ERROR_ALREADY_EXISTS);
            return mutex;
        }
    }
    if (!mutex) {
        // Typically access denied (the name exists and shuts this account
        // out) or invalid handle (the name belongs to an object of another
        // kind): nothing here can be relied on.
        *trust = MutexTrust::Foreign;
        SetLastError(error);
        return nullptr;
    }
    *trust = error == ERROR_ALREADY_EXISTS ? OwnerTrust(f, mutex) : MutexTrust::Created;
    SetLastError(error);
    return mutex;
}

HANDLE OpenGuardedMutex(const char* name, MutexTrust* trust)
{
    MutexTrust unused;
    MutexTrust& found = trust ? *trust : unused;
    found = MutexTrust::Unguarded;
    if (IsWindows9xFamily())
        return CreateMutexA(nullptr, FALSE, name);
    SecurityFunctions f;
    const bool secured = f.Load();
    // Two rounds: between a failed open and the create another process may
    // make the object and shut out full access (which CreateMutexA asks for
    // when the name exists); the second open then finds it.
    DWORD error = ERROR_FILE_NOT_FOUND;
    for (int round = 0; round < 2; ++round) {
        HANDLE mutex = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name);
        if (mutex || GetLastError() != ERROR_FILE_NOT_FOUND) {
            if (mutex && trust && secured)
                found = TrustOfExisting(f, name);
            return mutex;
        }
        SetLastError(ERROR_SUCCESS);
        mutex = CreateMutexGuarded(name, false);
        error = GetLastError();
        if (mutex) {
            if (error != ERROR_ALREADY_EXISTS)
                found = MutexTrust::Created;
            else if (trust && secured)
                found = TrustOfExisting(f, name);
            SetLastError(error);
            return mutex;
        }
        // ERROR_INVALID_OWNER: this account may not name Administrators as
        // the owner.  It makes no mutex of its own (a service started while
        // it exists would find a name another account made), but one that
        // appears meanwhile is opened in the next round.
        if (error != ERROR_ACCESS_DENIED && error != ERROR_INVALID_OWNER)
            return nullptr;
    }
    SetLastError(error == ERROR_INVALID_OWNER ? ERROR_FILE_NOT_FOUND : error);
    return nullptr;
}

} // namespace qel

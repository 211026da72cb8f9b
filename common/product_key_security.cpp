// The administrators-only descriptor of the product's registry keys, and
// the install step that puts it on them.
#include "product_key_security.h"

#include <cstring>

#include "product_keys.h"
#include "security_functions.h"
#include "win_handles.h"
#include "windows_family.h"

namespace qel {

namespace {

#ifndef SE_DACL_PROTECTED
#define SE_DACL_PROTECTED 0x1000
#endif

// Adds an allowing ACE that the subkeys inherit.
bool AddInheritedAce(const SecurityFunctions& f, PACL acl, DWORD index, DWORD access, const WellKnownSid& sid)
{
    if (!f.AddAccessAllowedAce(acl, ACL_REVISION, access, AsSid(sid)))
        return false;
    void* ace = nullptr;
    if (!f.GetAce(acl, index, &ace) || !ace)
        return false;
    static_cast<ACE_HEADER*>(ace)->AceFlags = CONTAINER_INHERIT_ACE;
    return true;
}

// The descriptor on the key and, a few levels deep, on every key below it.
// A key below that cannot be opened or secured is counted as a failure; the
// others are still done.
LONG SecureTree(const SecurityFunctions& f, HKEY key, PSECURITY_DESCRIPTOR descriptor, int depth)
{
    LONG result = f.RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor);
    if (depth >= 6)
        return result;
    for (DWORD index = 0;; ++index) {
        char name[256];
        DWORD length = sizeof name;
        LONG listed = RegEnumKeyExA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (listed == ERROR_NO_MORE_ITEMS)
            break;
        if (listed != ERROR_SUCCESS) {
            if (result == ERROR_SUCCESS)
                result = listed;
            break;
        }
        UniqueRegKey child;
        LONG opened = RegOpenKeyExA(key, name, 0, WRITE_DAC | KEY_ENUMERATE_SUB_KEYS | PRODUCT_KEY_VIEW, child.put());
        if (opened != ERROR_SUCCESS)
            child.release();  // what a failed open leaves there is no key
        LONG secured = opened == ERROR_SUCCESS ? SecureTree(f, child.get(), descriptor, depth + 1) : opened;
        if (result == ERROR_SUCCESS)
            result = secured;
    }
    return result;
}

} // namespace

ProductKeySecurity::ProductKeySecurity()
{
    memset(&attributes_, 0, sizeof attributes_);
    memset(&descriptor_, 0, sizeof descriptor_);
    memset(acl_, 0, sizeof acl_);
    SecurityFunctions f;
    if (!f.Load())
        return;
    PACL acl = reinterpret_cast<PACL>(acl_);
    ready_ = f.InitializeAcl(acl, sizeof acl_, ACL_REVISION) &&
             AddInheritedAce(f, acl, 0, KEY_ALL_ACCESS, kLocalSystemSid) &&
             AddInheritedAce(f, acl, 1, KEY_ALL_ACCESS, kAdministratorsSid) &&
             AddInheritedAce(f, acl, 2, KEY_READ, kUsersSid) &&
             f.InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) &&
             f.SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE);
    // From 2000 on, also closed to what HKLM\Software would pass down when
    // an administrator's tool propagates its inheritance.
    if (ready_ && f.SetSecurityDescriptorControl)
        f.SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
    attributes_.nLength = sizeof attributes_;
    attributes_.lpSecurityDescriptor = &descriptor_;
    attributes_.bInheritHandle = FALSE;
}

LONG SecureProductKeys()
{
    SecurityFunctions f;
    if (!f.Load())
        return IsWindows9xFamily() ? ERROR_SUCCESS : ERROR_CALL_NOT_IMPLEMENTED;
    ProductKeySecurity security;
    if (!security.Attributes())
        return ERROR_INVALID_SECURITY_DESCR;
    UniqueRegKey key;
    LONG created = RegCreateKeyExA(HKEY_LOCAL_MACHINE, PRODUCT_ROOT_KEY, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                   WRITE_DAC | KEY_ENUMERATE_SUB_KEYS | PRODUCT_KEY_VIEW, security.Attributes(),
                                   key.put(), nullptr);
    if (created != ERROR_SUCCESS) {
        key.release();
        return created;
    }
    // Also when the key was just made: a descriptor given at creation may be
    // merged with what the parent passes down; this one replaces it.
    return SecureTree(f, key.get(), security.Descriptor(), 0);
}

} // namespace qel

// The product's registry keys (HKLM "Software\Morl\qel" and below: the
// settings, the clients' "ClientKey", the status key) belong to
// administrators.  Under HKLM\Software they would inherit its defaults, and
// there Everyone (NT 4.0) or Power Users (2000, XP) may set values: enough
// to rewrite the settings, redirect a client's key or forge the status that
// "qelsvc -l" reports.
//
// The 9x family has no registry security at all; there nothing is done.
// Every security function is bound by name, as in object_security.h.
#pragma once

#include <windows.h>

namespace qel {

constexpr const char PRODUCT_ROOT_KEY[] = "Software\\Morl\\qel";

// SYSTEM and Administrators in full control, Users reading, each ACE
// inherited by the subkeys made later (on NT 4.0 too: the inheritance flags
// are set on the ACEs themselves, which AddAccessAllowedAceEx, a Windows
// 2000 function, would otherwise do).  Built in place, neither copied nor
// moved.  Attributes() is null on the 9x family or where building it
// failed; a key then gets the default security.
class ProductKeySecurity {
public:
    ProductKeySecurity();
    ProductKeySecurity(const ProductKeySecurity&) = delete;
    ProductKeySecurity& operator=(const ProductKeySecurity&) = delete;

    SECURITY_ATTRIBUTES* Attributes() { return ready_ ? &attributes_ : nullptr; }
    PSECURITY_DESCRIPTOR Descriptor() { return ready_ ? &descriptor_ : nullptr; }

private:
    SECURITY_ATTRIBUTES attributes_;
    SECURITY_DESCRIPTOR descriptor_;
    DWORD acl_[32];  // three ACEs need 76 bytes; DWORD-aligned as ACLs must be
    bool ready_ = false;
};

// For "qelsvc -i": creates HKLM "Software\Morl\qel" in the product's view
// with that descriptor, and puts the descriptor on it and on every key below
// it that exists already (settings saved before the install got theirs from
// HKLM\Software).  ERROR_SUCCESS, or the registry status of the first key
// that could not be secured; ERROR_SUCCESS at once on the 9x family.
LONG SecureProductKeys();

} // namespace qel

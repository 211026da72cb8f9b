// The security functions of advapi32 and the well-known SIDs that the
// product's descriptors are built from: the named objects' guarded
// descriptor (object_security.cpp) and the registry keys'
// administrators-only one (product_key_security.cpp).
//
// Every function is bound by name: the 9x family has no object or registry
// security (its advapi32 has at most failing stubs), and this code is shared
// with its host.  Internal to those two files.
#pragma once

#include <windows.h>

#include "runtime_binding.h"
#include "windows_family.h"

namespace qel {

// A well-known SID, laid out as the SID structure is (revision, count of
// sub-authorities, the six-byte authority, the sub-authorities): fixed
// values need no AllocateAndInitializeSid and nothing to free.
struct WellKnownSid {
    BYTE Revision;
    BYTE SubAuthorityCount;
    SID_IDENTIFIER_AUTHORITY Authority;
    DWORD SubAuthority[2];
};

// S-1-5-18, S-1-5-32-544, S-1-5-32-545.
inline const WellKnownSid kLocalSystemSid = {SID_REVISION, 1, {SECURITY_NT_AUTHORITY}, {SECURITY_LOCAL_SYSTEM_RID, 0}};
inline const WellKnownSid kAdministratorsSid = {
    SID_REVISION, 2, {SECURITY_NT_AUTHORITY}, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS}};
inline const WellKnownSid kUsersSid = {
    SID_REVISION, 2, {SECURITY_NT_AUTHORITY}, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_USERS}};

inline PSID AsSid(const WellKnownSid& sid)
{
    // The functions take a non-const PSID but only read it.
    return const_cast<WellKnownSid*>(&sid);
}

struct SecurityFunctions {
    using InitializeSecurityDescriptorFn = BOOL(WINAPI*)(PSECURITY_DESCRIPTOR, DWORD);
    using SetSecurityDescriptorDaclFn = BOOL(WINAPI*)(PSECURITY_DESCRIPTOR, BOOL, PACL, BOOL);
    using SetSecurityDescriptorOwnerFn = BOOL(WINAPI*)(PSECURITY_DESCRIPTOR, PSID, BOOL);
    using SetSecurityDescriptorControlFn = BOOL(WINAPI*)(PSECURITY_DESCRIPTOR, WORD, WORD);
    using InitializeAclFn = BOOL(WINAPI*)(PACL, DWORD, DWORD);
    using AddAccessAllowedAceFn = BOOL(WINAPI*)(PACL, DWORD, DWORD, PSID);
    using GetAceFn = BOOL(WINAPI*)(PACL, DWORD, LPVOID*);
    using GetKernelObjectSecurityFn = BOOL(WINAPI*)(HANDLE, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR, DWORD,
                                                    LPDWORD);
    using GetSecurityDescriptorOwnerFn = BOOL(WINAPI*)(PSECURITY_DESCRIPTOR, PSID*, LPBOOL);
    using OpenProcessTokenFn = BOOL(WINAPI*)(HANDLE, DWORD, PHANDLE);
    using GetTokenInformationFn = BOOL(WINAPI*)(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD, PDWORD);
    using RegSetKeySecurityFn = LONG(WINAPI*)(HKEY, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR);

    InitializeSecurityDescriptorFn InitializeSecurityDescriptor = nullptr;
    SetSecurityDescriptorDaclFn SetSecurityDescriptorDacl = nullptr;
    SetSecurityDescriptorOwnerFn SetSecurityDescriptorOwner = nullptr;
    SetSecurityDescriptorControlFn SetSecurityDescriptorControl = nullptr;  // 2000 and later: may be null
    InitializeAclFn InitializeAcl = nullptr;
    AddAccessAllowedAceFn AddAccessAllowedAce = nullptr;
    GetAceFn GetAce = nullptr;
    GetKernelObjectSecurityFn GetKernelObjectSecurity = nullptr;
    GetSecurityDescriptorOwnerFn GetSecurityDescriptorOwner = nullptr;
    OpenProcessTokenFn OpenProcessToken = nullptr;
    GetTokenInformationFn GetTokenInformation = nullptr;
    RegSetKeySecurityFn RegSetKeySecurity = nullptr;

    // False on the 9x family, where nothing is bound, and wherever one of
    // them is missing (SetSecurityDescriptorControl aside).  NT 4.0 has every
    // other one, so asking for all of them costs neither user anything.
    bool Load()
    {
        if (IsWindows9xFamily())
            return false;
        HMODULE advapi = GetModuleHandleA("advapi32.dll");
        InitializeSecurityDescriptor = BindByName<InitializeSecurityDescriptorFn>(advapi, "InitializeSecurityDescriptor");
        SetSecurityDescriptorDacl = BindByName<SetSecurityDescriptorDaclFn>(advapi, "SetSecurityDescriptorDacl");
        SetSecurityDescriptorOwner = BindByName<SetSecurityDescriptorOwnerFn>(advapi, "SetSecurityDescriptorOwner");
        SetSecurityDescriptorControl =
            BindByName<SetSecurityDescriptorControlFn>(advapi, "SetSecurityDescriptorControl");
        InitializeAcl = BindByName<InitializeAclFn>(advapi, "InitializeAcl");
        AddAccessAllowedAce = BindByName<AddAccessAllowedAceFn>(advapi, "AddAccessAllowedAce");
        GetAce = BindByName<GetAceFn>(advapi, "GetAce");
        GetKernelObjectSecurity = BindByName<GetKernelObjectSecurityFn>(advapi, "GetKernelObjectSecurity");
        GetSecurityDescriptorOwner = BindByName<GetSecurityDescriptorOwnerFn>(advapi, "GetSecurityDescriptorOwner");
        OpenProcessToken = BindByName<OpenProcessTokenFn>(advapi, "OpenProcessToken");
        GetTokenInformation = BindByName<GetTokenInformationFn>(advapi, "GetTokenInformation");
        RegSetKeySecurity = BindByName<RegSetKeySecurityFn>(advapi, "RegSetKeySecurity");
        return InitializeSecurityDescriptor && SetSecurityDescriptorDacl && SetSecurityDescriptorOwner &&
               InitializeAcl && AddAccessAllowedAce && GetAce && GetKernelObjectSecurity &&
               GetSecurityDescriptorOwner && OpenProcessToken && GetTokenInformation && RegSetKeySecurity;
    }
};

} // namespace qel

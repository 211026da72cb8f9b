// The registry view of the product's keys under HKEY_LOCAL_MACHINE
// ("Software\Morl\qel\..."): the settings, the config key with "ClientKey"
// and the clients' state keys.
#pragma once

#include <windows.h>

// The client is a 32-bit program and reads the 32-bit view; the 64-bit
// programs use that view too, so that both builds share one set of settings
// and every copy of the client finds the "ClientKey" written for it.  The
// 64-bit build runs on XP x64 and later, which know the flag; the 32-bit
// programs pass nothing, since Windows before XP knows no view flags (and a
// 32-bit program on 64-bit Windows gets the 32-bit view anyway).
#ifdef _WIN64
constexpr REGSAM PRODUCT_KEY_VIEW = KEY_WOW64_32KEY;
#else
constexpr REGSAM PRODUCT_KEY_VIEW = 0;
#endif

// Where administrative templates put the settings that a policy fixes, with
// the value names of the settings key.  Group Policy keeps what it manages
// under Software\Policies and removes it there when the policy no longer
// applies, so a policy wins while it applies and leaves no trace after.
constexpr const char SETTINGS_POLICY_KEY[] = "Software\\Policies\\Morl\\qel\\svcparms";

// The registry views to look for the policy key in, first to last.  Group
// Policy's client on 64-bit Windows is a 64-bit program and writes the
// 64-bit view; Software\Policies is one key for both views from Windows 7
// on, but on XP x64, Server 2003 x64 and Vista a 32-bit writer (a 32-bit
// reg.exe or script host) lands in the 32-bit view.  So 64-bit Windows gives
// the 64-bit view first and the 32-bit view as the fallback, whichever build
// asks; Windows with one view only (32-bit Windows, NT 4.0, the 9x family,
// which refuse or misread the flags) gives that view without a flag.
struct PolicyKeyViews {
    REGSAM View[2];
    int Count;
};
PolicyKeyViews PolicyKeyViewsFor(bool windowsHasViews);

// Whether this Windows has a 32-bit and a 64-bit registry view: always for
// the 64-bit programs; for the 32-bit ones when they run under WOW64
// (IsWow64Process, bound by name: Windows before XP SP2 has none and has no
// views either).
bool WindowsHasRegistryViews();

// Deletes HKLM\path (a key without subkeys) in the product's view.
// RegDeleteKeyA takes no view and RegDeleteKeyExA, which does, is missing
// before XP x64: the parent is opened in the view and the key deleted
// through it.  Returns the registry status.
LONG DeleteProductKey(const char* path);

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

// Deletes HKLM\path (a key without subkeys) in the product's view.
// RegDeleteKeyA takes no view and RegDeleteKeyExA, which does, is missing
// before XP x64: the parent is opened in the view and the key deleted
// through it.  Returns the registry status.
LONG DeleteProductKey(const char* path);

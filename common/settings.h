// The settings store: "Software\Morl\qel\svcparms" under HKEY_LOCAL_MACHINE,
// in the product's registry view (PRODUCT_KEY_VIEW).
#pragma once

#include "activity_log.h"
#include "product_keys.h"
#include "service_params.h"

enum class SettingsRules;

constexpr const char SETTINGS_KEY[] = "Software\\Morl\\qel\\svcparms";

// Reads the key into params (defaults and clamps for missing or bad values)
// and writes the five settings lines to the log.  Never fails.
void LoadParams(ServiceParams& params, const ServiceLogContext& log, SettingsRules rules);

// Writes params to the key.  The queue arrays are written only when
// settingsMutex can be taken at once.  Returns ERROR_SUCCESS, or the code of
// the first failure (the key could not be opened for writing, a value was
// refused); the commands report it.
DWORD SaveParams(const ServiceParams& params, HANDLE settingsMutex);

// The default client count: the processor count, brought into 1..MAX_CLIENTS
// (a machine may report more processors than there are client slots).
DWORD DefaultClientCount(DWORD numberOfProcessors);

// The range rules of a load, over plain values.  All compare unsigned.
inline DWORD ClampLoadedClientCount(DWORD stored) { return stored == 0 ? 1 : (stored > MAX_CLIENTS ? MAX_CLIENTS : stored); }
inline DWORD ClampLoadedAffType(DWORD stored) { return stored > 3 ? 0 : stored; }
inline DWORD ClampLoadedQueueSize(DWORD stored) { return stored > MAX_CLIENTS ? MAX_CLIENTS : stored; }
inline DWORD ClampLoadedAutodialType(DWORD stored) { return stored > 2 ? 2 : stored; }
// The most the -h command stores.  A larger stored value (set by other
// means) loads as stored: the schedule counts in 64 bits.
constexpr DWORD MAX_HOURLY_RESTART = 1440;  // one day, in minutes

// "TRUE" for a set flag (any non-zero value), "FALSE" otherwise.
inline const char* FlagText(DWORD flag) { return flag ? "TRUE" : "FALSE"; }

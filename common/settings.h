// The settings store: "Software\Morl\qel\svcparms" under HKEY_LOCAL_MACHINE.
#pragma once

#include "activity_log.h"
#include "service_params.h"

enum class SettingsRules;

constexpr const char SETTINGS_KEY[] = "Software\\Morl\\qel\\svcparms";

// Reads the key into params (defaults and clamps for missing or bad values)
// and writes the five settings lines to the log.  Never fails.
void LoadParams(ServiceParams& params, const ServiceLogContext& log, SettingsRules rules);

// Writes params to the key.  The queue arrays are written only when
// settingsMutex can be taken at once.  Reports nothing.
void SaveParams(const ServiceParams& params, HANDLE settingsMutex);

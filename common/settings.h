// The settings store: "Software\Morl\qel\svcparms" under HKEY_LOCAL_MACHINE,
// in the product's registry view (PRODUCT_KEY_VIEW).
#pragma once

#include <cstddef>

#include "activity_log.h"
#include "product_keys.h"
#include "service_params.h"

enum class SettingsRules;

constexpr const char SETTINGS_KEY[] = "Software\\Morl\\qel\\svcparms";

// Reads the key into params (defaults and clamps for missing or bad values),
// then the policy key over it (see POLICY_VALUES), and writes the five
// settings lines to the log, with a sixth naming the values that came from
// the policy when any did.  Never fails.
void LoadParams(ServiceParams& params, const ServiceLogContext& log, SettingsRules rules);

// Writes params to the key, except the values that a policy fixes
// (params.PolicyFixed): the stored ones come back when the policy goes.  The
// client count, type and masks are one layout: a policy on any of them
// keeps all three as stored.  The queue arrays are written only when
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
// The latest daily restart time, HHMM, that the -r command takes.
constexpr DWORD LATEST_RESTART_TIME = 2359;
// The most the -h command stores.  A larger stored value (set by other
// means) loads as stored: the schedule counts in 64 bits.
constexpr DWORD MAX_HOURLY_RESTART = 1440;  // one day, in minutes

// "TRUE" for a set flag (any non-zero value), "FALSE" otherwise.
inline const char* FlagText(DWORD flag) { return flag ? "TRUE" : "FALSE"; }

// --- Policy ---------------------------------------------------------------
//
// The settings an administrator can fix by policy: values under
// SETTINGS_POLICY_KEY (common/product_keys.h), named as in the settings key,
// that the load reads over the stored ones with the same range rules.  The
// administrative templates in docs/policy write exactly these, and
// tools/release/check_policy_templates.py holds them to this table (it reads
// the rows below: keep one row a line, limits as names or numbers).
enum class PolicyValueKind {
    Switch,    // on (1) or off (0)
    Number,    // Min..Max
    Choice,    // one of Min..Max, by name
    MaskList,  // text: processor masks, decimal or 0x hex, separated by ','; Max = its length
};

struct PolicyValueRule {
    const char* Name;              // the registry value, in both keys
    DWORD ServiceParams::*Field;   // null for the masks (an array)
    PolicyValueKind Kind;
    DWORD Min;
    DWORD Max;
    const char* Label;             // the setting as the listing (-d) names it
};

// The longest mask list a policy may hold, in characters: 32 masks of
// "0xffffffff" with separators fit.
constexpr DWORD MAX_POLICY_MASK_TEXT = 400;

constexpr PolicyValueRule POLICY_VALUES[] = {
    {"NumClients", &ServiceParams::NumClients, PolicyValueKind::Number, 1, MAX_CLIENTS, "CPU Affinity"},
    {"AffType", &ServiceParams::AffType, PolicyValueKind::Choice, AFFINITY_SEPARATE, AFFINITY_CUSTOM, "CPU Affinity"},
    {"CustAff", nullptr, PolicyValueKind::MaskList, 0, MAX_POLICY_MASK_TEXT, "CPU Affinity"},
    {"AutoRestart", &ServiceParams::AutoRestart, PolicyValueKind::Switch, 0, 1, "AutoRestart"},
    {"RestartTime", &ServiceParams::RestartTime, PolicyValueKind::Number, 0, LATEST_RESTART_TIME, "AutoRestart"},
    {"HourlyRestart", &ServiceParams::HourlyRestart, PolicyValueKind::Number, 0, MAX_HOURLY_RESTART, "Periodic Restart"},
    {"MonitorRestart", &ServiceParams::MonitorRestart, PolicyValueKind::Switch, 0, 1, "Monitor and Restart"},
    {"StuckRestart", &ServiceParams::StuckRestart, PolicyValueKind::Switch, 0, 1, "Restart Stuck Clients"},
    {"TrueIdle", &ServiceParams::TrueIdle, PolicyValueKind::Switch, 0, 1, "TrueIdle"},
    {"KeepVisible", &ServiceParams::KeepVisible, PolicyValueKind::Switch, 0, 1, "Keep Icons Visible"},
};
constexpr DWORD POLICY_VALUE_COUNT = sizeof POLICY_VALUES / sizeof POLICY_VALUES[0];
static_assert(POLICY_VALUE_COUNT <= 32, "ServiceParams::PolicyFixed holds one bit per row");

// The bit of ServiceParams::PolicyFixed for a row, by its value name (0 for
// a name without a row).
DWORD PolicyBit(const char* valueName);
// The bits of the client layout (NumClients, AffType, CustAff).
DWORD ClientLayoutPolicyBits();

// Whether the load took this setting from the policy key, so that a command
// must leave it alone.  False for a field no policy can fix.
bool IsFixedByPolicy(const ServiceParams& params, DWORD ServiceParams::*field);

// The row of a field, or null.
const PolicyValueRule* FindPolicyRule(DWORD ServiceParams::*field);

// "NumClients, AffType, MonitorRestart": the value names of the bits set in
// policyFixed, in table order ("" for none), cut to fit.
void FormatPolicyValueNames(char* out, size_t outSize, DWORD policyFixed);

// A mask list as a policy holds it ("0x1, 0x2,12"): up to MAX_CLIENTS masks,
// decimal or 0x hex, separated by ',' with blanks allowed around them.
// Returns the number of masks read into masks, or 0 when the text is no
// such list (empty, a bad or out-of-range number, more than MAX_CLIENTS).
DWORD ParsePolicyMaskList(const char* text, DWORD (&masks)[MAX_CLIENTS]);

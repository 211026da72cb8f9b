// Loading and saving the settings record: every value read whatever type or
// size it was stored with, checked and defaulted, logged; saved with the
// work-unit queue written only while no supervisor holds the settings mutex.
#include "settings.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "supervisor_core.h"
#include "win_handles.h"

namespace {

// Reads one value of any registry type into buffer.  Fails when the value is
// missing or longer than the buffer.  The value is read into a scratch copy
// first: on ERROR_MORE_DATA Windows may have written part of it, and a failed
// read must leave the caller's buffer as it was.  A value shorter than the
// buffer (hand-edited data only; a save never writes one) fills the rest of
// the buffer with zero bytes, so a 2-byte value reads as that number and
// never as old bytes mixed with new ones.
bool ReadValue(HKEY key, const char* name, void* buffer, DWORD size, DWORD* bytesRead = nullptr)
{
    BYTE scratch[MAX_CLIENTS * sizeof(DWORD)] = {};
    if (size > sizeof scratch)
        size = sizeof scratch;
    DWORD length = size;
    if (RegQueryValueExA(key, name, nullptr, nullptr, scratch, &length) != ERROR_SUCCESS || length > size)
        return false;
    memcpy(buffer, scratch, size);
    if (bytesRead)
        *bytesRead = length;
    return true;
}

DWORD ReadDword(HKEY key, const char* name, DWORD fallback)
{
    DWORD value = 0;
    return ReadValue(key, name, &value, sizeof value) ? value : fallback;
}

// The writes of one save: each remembers the first failure, and the save
// goes on with the rest so that one refused value does not hide the others'
// state from the caller any more than it must.  Values that a policy fixes
// are left as stored.
class SaveWriter {
public:
    // A policy on any part of the client layout keeps all of it as stored.
    SaveWriter(HKEY key, DWORD policyFixed)
        : key_(key),
          policyFixed_(policyFixed & ClientLayoutPolicyBits() ? policyFixed | ClientLayoutPolicyBits() : policyFixed)
    {
    }

    void Dword(const char* name, DWORD type, DWORD value)
    {
        if (!Fixed(name))
            Record(RegSetValueExA(key_, name, 0, type, reinterpret_cast<const BYTE*>(&value), sizeof value));
    }
    void Flag(const char* name, DWORD flag) { Dword(name, REG_BINARY, flag ? 1 : 0); }
    void Array(const char* name, const DWORD* entries, DWORD count)
    {
        if (!Fixed(name))
            Record(RegSetValueExA(key_, name, 0, REG_BINARY, reinterpret_cast<const BYTE*>(entries),
                                  count * sizeof(DWORD)));
    }
    DWORD FirstError() const { return firstError_; }

private:
    void Record(LONG status)
    {
        if (status != ERROR_SUCCESS && firstError_ == ERROR_SUCCESS)
            firstError_ = static_cast<DWORD>(status);
    }

    bool Fixed(const char* name) const { return (policyFixed_ & PolicyBit(name)) != 0; }

    HKEY key_;
    DWORD policyFixed_;
    DWORD firstError_ = ERROR_SUCCESS;
};

DWORD ProcessorCount()
{
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors;
}

// From AutoRestart on: the part of the load that both hosts share.
void LoadCommonValues(HKEY key, ServiceParams& params)
{
    params.AutoRestart = ReadDword(key, "AutoRestart", 0);
    if (params.AutoRestart)
        params.RestartTime = ReadDword(key, "RestartTime", 0);
    params.TrueIdle = ReadDword(key, "TrueIdle", 0);
    params.NormalizeXP = ReadDword(key, "NormalizeXP", 0);
    params.MonitorRestart = ReadDword(key, "MonitorRestart", 0);
    params.StuckRestart = ReadDword(key, "StuckRestart", 0);
    params.KeepVisible = ReadDword(key, "KeepVisible", 0);
    params.WUQueue = ClampLoadedQueueSize(ReadDword(key, "WUQueue", 0));
    if (params.WUQueue != 0) {
        // A failed read leaves its array as it was.
        DWORD size = params.WUQueue * sizeof(DWORD);
        ReadValue(key, "QueueK", params.QueueK, size);
        ReadValue(key, "QueueN", params.QueueN, size);
        ReadValue(key, "QueueState", params.QueueState, size);
        ReadValue(key, "QueueOrder", params.QueueOrder, size);
    }
    params.AutodialType = ClampLoadedAutodialType(ReadDword(key, "AutodialType", 0));
    params.HourlyRestart = ReadDword(key, "HourlyRestart", 0);
}

void LoadClientLayout(HKEY key, ServiceParams& params, DWORD processors)
{
    DWORD stored = 0;
    params.NumClients = ReadValue(key, "NumClients", &stored, sizeof stored) ? ClampLoadedClientCount(stored)
                                                                             : DefaultClientCount(processors);
    params.AffType = ClampLoadedAffType(ReadDword(key, "AffType", 0));
    if (params.AffType == AFFINITY_CUSTOM) {
        // The stored list sets the client count.  A list without a single
        // mask is no more usable than a missing or overlong one: a client
        // count of 0 would leave the service supervising nothing.
        DWORD bytesRead = 0;
        if (ReadValue(key, "CustAff", params.CustAff, sizeof params.CustAff, &bytesRead) &&
            bytesRead >= sizeof(DWORD))
            params.NumClients = bytesRead / sizeof(DWORD);
        else
            params.AffType = AFFINITY_SEPARATE;
    }
}

void LoadDefaults(ServiceParams& params, DWORD processors)
{
    // RestartTime, CustAff and the queue arrays keep what they held.
    params.NumClients = DefaultClientCount(processors);
    params.AffType = 0;
    params.AutoRestart = 0;
    params.TrueIdle = 0;
    params.NormalizeXP = 0;
    params.MonitorRestart = 0;
    params.StuckRestart = 0;
    params.KeepVisible = 0;
    params.HourlyRestart = 0;
    params.WUQueue = 0;
    params.AutodialType = 0;
}

// A number of the policy key.  Unlike the settings key, which only this
// program writes, the policy key is written by the templates (REG_DWORD) and
// by other tools, whose default type is a string: "1" taken as its bytes
// would be 0x31 clients.  Only a 4-byte number counts; anything else is no
// policy for that setting.
bool ReadPolicyNumber(HKEY policy, const char* name, DWORD* value)
{
    DWORD type = REG_NONE;
    DWORD number = 0;
    DWORD length = sizeof number;
    if (RegQueryValueExA(policy, name, nullptr, &type, reinterpret_cast<BYTE*>(&number), &length) != ERROR_SUCCESS ||
        length != sizeof number || (type != REG_DWORD && type != REG_BINARY))
        return false;
    *value = number;
    return true;
}

// The policy key in the first view that has it (PolicyKeyViewsFor).
bool OpenPolicyKey(qel::UniqueRegKey& key)
{
    PolicyKeyViews views = PolicyKeyViewsFor(WindowsHasRegistryViews());
    for (int i = 0; i < views.Count; ++i) {
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SETTINGS_POLICY_KEY, 0, KEY_QUERY_VALUE | views.View[i], key.put()) ==
            ERROR_SUCCESS)
            return true;
        key.release();
    }
    return false;
}

// The policy's mask list; false when it is missing or no usable list.
bool ReadPolicyMasks(HKEY policy, DWORD (&masks)[MAX_CLIENTS], DWORD& count)
{
    char text[MAX_POLICY_MASK_TEXT + 1] = {};
    DWORD length = sizeof text - 1;  // the last byte stays NUL whatever is stored
    if (RegQueryValueExA(policy, "CustAff", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &length) !=
        ERROR_SUCCESS)
        return false;
    count = ParsePolicyMaskList(text, masks);
    return count != 0;
}

// The client layout from the policy, under the rules of a stored one: the
// count is brought into 1..32, a type above 3 is Separate, and a Custom type
// needs its masks, whose number sets the client count.
void ApplyPolicyLayout(HKEY policy, ServiceParams& params)
{
    DWORD count = 0;
    if (ReadPolicyNumber(policy, "NumClients", &count)) {
        count = ClampLoadedClientCount(count);
        // A stored Custom layout holds one mask per client: with another
        // count it cannot be used.
        if (params.AffType == AFFINITY_CUSTOM && params.NumClients != count)
            params.AffType = AFFINITY_SEPARATE;
        params.NumClients = count;
        params.PolicyFixed |= PolicyBit("NumClients");
    }
    DWORD type = 0;
    if (ReadPolicyNumber(policy, "AffType", &type)) {
        params.AffType = ClampLoadedAffType(type);
        params.PolicyFixed |= PolicyBit("AffType");
        if (params.AffType == AFFINITY_CUSTOM) {
            DWORD masks[MAX_CLIENTS] = {};
            DWORD maskCount = 0;
            if (ReadPolicyMasks(policy, masks, maskCount)) {
                memcpy(params.CustAff, masks, sizeof masks);
                params.NumClients = maskCount;
                params.PolicyFixed |= PolicyBit("CustAff") | PolicyBit("NumClients");
            } else {
                params.AffType = AFFINITY_SEPARATE;
            }
        }
    }
}

// The policy over the loaded settings.  The 9x host fixes its client layout
// itself, so a layout policy does not apply there.
void ApplyPolicy(ServiceParams& params, SettingsRules rules)
{
    params.PolicyFixed = 0;
    qel::UniqueRegKey policy;
    if (!OpenPolicyKey(policy))
        return;
    if (rules == SettingsRules::NT)
        ApplyPolicyLayout(policy.get(), params);
    DWORD value = 0;
    if (ReadPolicyNumber(policy.get(), "AutoRestart", &value)) {
        // As in the settings key: the time is read only with the restart on.
        params.AutoRestart = value;
        params.PolicyFixed |= PolicyBit("AutoRestart");
        if (value) {
            DWORD time = 0;
            params.RestartTime = ReadPolicyNumber(policy.get(), "RestartTime", &time) ? time : 0;
            params.PolicyFixed |= PolicyBit("RestartTime");
        }
    }
    // The rest load as they stand.
    static DWORD ServiceParams::*const plainFields[] = {&ServiceParams::HourlyRestart, &ServiceParams::MonitorRestart,
                                                         &ServiceParams::StuckRestart, &ServiceParams::TrueIdle,
                                                         &ServiceParams::KeepVisible};
    for (DWORD ServiceParams::*field : plainFields) {
        const char* name = FindPolicyRule(field)->Name;
        if (ReadPolicyNumber(policy.get(), name, &value)) {
            params.*field = value;
            params.PolicyFixed |= PolicyBit(name);
        }
    }
}

void LogSettings(const ServiceParams& params, const ServiceLogContext& log)
{
    WriteLog(log, "Parms retrieved: NumClients = %d, AffType = %d, WUQueue = %d, PeriodicRestart = %d, AutodialType = %d",
             static_cast<int>(params.NumClients), static_cast<int>(params.AffType), static_cast<int>(params.WUQueue),
             static_cast<int>(params.HourlyRestart), static_cast<int>(params.AutodialType));
    WriteLog(log, " TrueIdle = %s, MonitorRestart = %s, StuckRestart = %s, KeepVisible = %s", FlagText(params.TrueIdle),
             FlagText(params.MonitorRestart), FlagText(params.StuckRestart), FlagText(params.KeepVisible));
    WriteLog(log, " NormalizeXP = %s", FlagText(params.NormalizeXP));
    if (params.AutoRestart)
        WriteLog(log, " AutoRestart at %02d:%02d", static_cast<int>(params.RestartTime / 100),
                 static_cast<int>(params.RestartTime % 100));
    else
        WriteLog(log, " AutoRestart OFF");
    if (params.PolicyFixed) {
        char names[300];
        FormatPolicyValueNames(names, sizeof names, params.PolicyFixed);
        WriteLog(log, " Set by policy: %s", names);
    }
    WriteLog(log, "** ZR Client version 1.10+ **");
}

} // namespace

DWORD DefaultClientCount(DWORD numberOfProcessors)
{
    // Decision: more than 32 processors give 32 clients, the most the client
    // slots hold; the count is otherwise the processor count.
    return ClampLoadedClientCount(numberOfProcessors);
}

void LoadParams(ServiceParams& params, const ServiceLogContext& log, SettingsRules rules)
{
    DWORD processors = ProcessorCount();
    qel::UniqueRegKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SETTINGS_KEY, 0, GENERIC_READ | PRODUCT_KEY_VIEW, key.put()) !=
        ERROR_SUCCESS) {
        key.release();
        LoadDefaults(params, processors);
    } else {
        if (rules == SettingsRules::Windows9x) {
            // The 9x host runs one client of the Separate type whenever the
            // key exists, whatever the key says.
            params.NumClients = 1;
            params.AffType = AFFINITY_SEPARATE;
        } else {
            LoadClientLayout(key.get(), params, processors);
        }
        LoadCommonValues(key.get(), params);
        key.reset();
    }
    ApplyPolicy(params, rules);
    LogSettings(params, log);
}

DWORD SaveParams(const ServiceParams& params, HANDLE settingsMutex)
{
    qel::UniqueRegKey key;
    // KEY_SET_VALUE only: a console that may write the values need not be
    // able to do anything else with the key.
    LONG opened = RegCreateKeyExA(HKEY_LOCAL_MACHINE, SETTINGS_KEY, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_SET_VALUE | PRODUCT_KEY_VIEW, nullptr, key.put(), nullptr);
    if (opened != ERROR_SUCCESS) {
        key.release();
        return static_cast<DWORD>(opened);
    }
    SaveWriter w(key.get(), params.PolicyFixed);
    w.Dword("NumClients", REG_DWORD, params.NumClients);
    w.Dword("AffType", REG_DWORD, params.AffType);
    // The record's arrays hold MAX_CLIENTS entries: a larger count (only an
    // unchecked in-memory value could hold one) must not write past them.
    if (params.AffType == AFFINITY_CUSTOM)
        w.Array("CustAff", params.CustAff, params.NumClients > MAX_CLIENTS ? MAX_CLIENTS : params.NumClients);
    w.Flag("AutoRestart", params.AutoRestart);
    if (params.AutoRestart)
        w.Dword("RestartTime", REG_BINARY, params.RestartTime);
    w.Flag("TrueIdle", params.TrueIdle);
    w.Flag("NormalizeXP", params.NormalizeXP);
    w.Flag("MonitorRestart", params.MonitorRestart);
    w.Flag("StuckRestart", params.StuckRestart);
    w.Flag("KeepVisible", params.KeepVisible);
    w.Dword("HourlyRestart", REG_BINARY, params.HourlyRestart);
    w.Dword("WUQueue", REG_BINARY, params.WUQueue);
    w.Dword("AutodialType", REG_BINARY, params.AutodialType);

    if (params.WUQueue != 0) {
        // The running supervisor holds the mutex for its whole run: the queue
        // is written only when nobody else holds it.  An abandoned mutex is
        // ours now; a failed wait (no mutex at all) is not taken as a free
        // one, since it cannot tell that no supervisor runs.
        DWORD waited = settingsMutex ? WaitForSingleObject(settingsMutex, 0) : WAIT_FAILED;
        if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
            qel::MutexHold hold(settingsMutex);
            DWORD count = params.WUQueue > MAX_CLIENTS ? MAX_CLIENTS : params.WUQueue;
            w.Array("QueueK", params.QueueK, count);
            w.Array("QueueN", params.QueueN, count);
            w.Array("QueueState", params.QueueState, count);
            w.Array("QueueOrder", params.QueueOrder, count);
        }
    }
    return w.FirstError();
}

DWORD PolicyBit(const char* valueName)
{
    for (DWORD i = 0; i < POLICY_VALUE_COUNT; ++i)
        if (strcmp(POLICY_VALUES[i].Name, valueName) == 0)
            return 1u << i;
    return 0;
}

DWORD ClientLayoutPolicyBits()
{
    return PolicyBit("NumClients") | PolicyBit("AffType") | PolicyBit("CustAff");
}

const PolicyValueRule* FindPolicyRule(DWORD ServiceParams::*field)
{
    for (const PolicyValueRule& rule : POLICY_VALUES)
        if (rule.Field && rule.Field == field)
            return &rule;
    return nullptr;
}

bool IsFixedByPolicy(const ServiceParams& params, DWORD ServiceParams::*field)
{
    const PolicyValueRule* rule = FindPolicyRule(field);
    return rule && (params.PolicyFixed & PolicyBit(rule->Name)) != 0;
}

void FormatPolicyValueNames(char* out, size_t outSize, DWORD policyFixed)
{
    if (outSize == 0)
        return;
    out[0] = '\0';
    size_t used = 0;
    for (DWORD i = 0; i < POLICY_VALUE_COUNT; ++i) {
        if (!(policyFixed & (1u << i)))
            continue;
        int written = snprintf(out + used, outSize - used, "%s%s", used ? ", " : "", POLICY_VALUES[i].Name);
        if (written < 0 || static_cast<size_t>(written) >= outSize - used) {
            out[outSize - 1] = '\0';
            return;
        }
        used += static_cast<size_t>(written);
    }
}

DWORD ParsePolicyMaskList(const char* text, DWORD (&masks)[MAX_CLIENTS])
{
    DWORD count = 0;
    const char* p = text;
    for (;;) {
        while (*p == ' ' || *p == '\t')
            ++p;
        // strtoull would take a sign and wrap a negative number.
        if (!isdigit(static_cast<unsigned char>(*p)) || count == MAX_CLIENTS)
            return 0;
        // "0x" for hex; a leading 0 is no octal prefix here.
        int base = p[0] == '0' && (p[1] == 'x' || p[1] == 'X') ? 16 : 10;
        char* end = nullptr;
        errno = 0;
        unsigned long long mask = strtoull(p, &end, base);
        if (errno == ERANGE || mask > 0xFFFFFFFFull || end == p)
            return 0;
        masks[count++] = static_cast<DWORD>(mask);
        p = end;
        while (*p == ' ' || *p == '\t')
            ++p;
        if (*p == '\0')
            return count;
        if (*p++ != ',')
            return 0;
    }
}

// Loading and saving the settings record: every value read whatever type or
// size it was stored with, checked and defaulted, logged; saved with the
// work-unit queue written only while no supervisor holds the settings mutex.
#include "settings.h"

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
// state from the caller any more than it must.
class SaveWriter {
public:
    explicit SaveWriter(HKEY key) : key_(key) {}

    void Dword(const char* name, DWORD type, DWORD value)
    {
        Record(RegSetValueExA(key_, name, 0, type, reinterpret_cast<const BYTE*>(&value), sizeof value));
    }
    void Flag(const char* name, DWORD flag) { Dword(name, REG_BINARY, flag ? 1 : 0); }
    void Array(const char* name, const DWORD* entries, DWORD count)
    {
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

    HKEY key_;
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
    }
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
    SaveWriter w(key.get());
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

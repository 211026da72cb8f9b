#include "supervisor_harness.h"

#include <cstdio>
#include <cstring>

#include "affinity.h"
#include "client_launch.h"
#include "program_run.h"
#include "standin_client.h"

namespace qeltest {

std::string StandInKeyPath(unsigned clientIndex)
{
    char path[64] = {};
    ClientStateKeyPath(clientIndex, path, sizeof path);
    return path;
}

void SetStandInValue(unsigned clientIndex, const char* name, DWORD value)
{
    qel::UniqueRegKey key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, StandInKeyPath(clientIndex).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                        nullptr, key.put(), nullptr) == ERROR_SUCCESS)
        RegSetValueExA(key.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

namespace {

// RegGetValueA would need a newer _WIN32_WINNT than the programs target.
bool QueryStandInValue(unsigned clientIndex, const char* name, DWORD expectedType, void* data, DWORD size)
{
    qel::UniqueRegKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, StandInKeyPath(clientIndex).c_str(), 0, KEY_QUERY_VALUE, key.put()) !=
        ERROR_SUCCESS)
        return false;
    DWORD type = 0;
    return RegQueryValueExA(key.get(), name, nullptr, &type, static_cast<BYTE*>(data), &size) == ERROR_SUCCESS &&
           type == expectedType;
}

} // namespace

DWORD ReadStandInDword(unsigned clientIndex, const char* name, DWORD missing)
{
    DWORD value = 0;
    if (!QueryStandInValue(clientIndex, name, REG_DWORD, &value, sizeof value))
        return missing;
    return value;
}

std::string ReadStandInString(unsigned clientIndex, const char* name)
{
    char text[512] = {};
    if (!QueryStandInValue(clientIndex, name, REG_SZ, text, sizeof text - 1))
        return std::string();
    return text;
}

void DeleteStandInKey(unsigned clientIndex)
{
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, StandInKeyPath(clientIndex).c_str());
}

RunLoopHarness::RunLoopHarness(DWORD numClients) : numClients_(numClients)
{
    BringUpDesktop();

    char tempDir[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, tempDir);
    snprintf(core.LogPath, sizeof core.LogPath, "%sqel_runloop_%lu_%lu.log", tempDir,
             static_cast<unsigned long>(GetCurrentProcessId()), static_cast<unsigned long>(GetTickCount()));
    DeleteFileA(core.LogPath);

    core.CreateSyncObjects();
    BuildAffinityTable(core.AffinityTable);
    core.Params = ServiceParams();
    core.Params.NumClients = numClients;
    core.Params.AffType = AFFINITY_NONE;

    // Short enough for tests, long enough for a stand-in to start under Wine.
    core.Timings.MainWaitMs = 300;
    core.Timings.RetryWaitMs = 200;
    core.Timings.MutexWaitMs = 500;
    core.Timings.TrayPauseMs = 500;
    core.Timings.StopConfirmDelayMs = 100;
    core.Timings.KeepVisibleConfirmDelayMs = 200;

    for (unsigned i = 0; i < MAX_CLIENTS && i < numClients + 1; ++i)
        DeleteStandInKey(i);
}

RunLoopHarness::~RunLoopHarness()
{
    if (thread_ && WaitForSingleObject(thread_.get(), 0) == WAIT_TIMEOUT)
        Stop(60000);
    EndLeftoverClients();
    for (unsigned i = 0; i < MAX_CLIENTS && i < numClients_ + 1; ++i)
        DeleteStandInKey(i);
    DeleteFileA(core.LogPath);
}

void RunLoopHarness::EndLeftoverClients()
{
    // Every copy the loop started is still named in its slot or in the state
    // key it recorded its id in.
    for (unsigned i = 0; i < MAX_CLIENTS; ++i) {
        EndProcessById(core.Slots.ProcessId[i]);
        if (i < numClients_ + 1)
            EndProcessById(ReadStandInDword(i, "ProcessId"));
    }
}

DWORD WINAPI RunLoopHarness::RunThread(void* self)
{
    static_cast<RunLoopHarness*>(self)->core.Run();
    return 0;
}

void RunLoopHarness::Start()
{
    running = TRUE;
    thread_.reset(CreateThread(nullptr, 0, RunThread, this, 0, nullptr));
}

bool RunLoopHarness::WaitRunEnd(DWORD timeoutMs)
{
    return thread_ && WaitForSingleObject(thread_.get(), timeoutMs) == WAIT_OBJECT_0;
}

bool RunLoopHarness::Stop(DWORD joinMs)
{
    core.StopAndWait(running);
    return WaitRunEnd(joinMs);
}

std::string RunLoopHarness::LogDump() const
{
    std::string dump = "log:\n";
    for (const std::string& line : Log())
        dump += "  " + line + "\n";
    return dump;
}

bool RunLoopHarness::WaitForLog(const std::string& text, DWORD timeoutMs, int count, bool prefix) const
{
    DWORD start = GetTickCount();
    for (;;) {
        if (CountLines(Log(), text, prefix) >= count)
            return true;
        if (GetTickCount() - start > timeoutMs)
            return false;
        Sleep(50);
    }
}

bool RunLoopHarness::WaitAllLive(DWORD timeoutMs) const
{
    DWORD start = GetTickCount();
    for (;;) {
        bool all = true;
        for (unsigned i = 0; i < numClients_; ++i)
            all = all && core.Slots.ProcessId[i] != 0;
        if (all)
            return true;
        if (GetTickCount() - start > timeoutMs)
            return false;
        Sleep(50);
    }
}

} // namespace qeltest

#include "supervisor_harness.h"

#include <cstdio>
#include <cstring>
#include <fstream>

#include "affinity.h"

namespace {

const char kStandInKeyBase[] = "Software\\Morl\\qel\\cache";
const char kSuffixes[] = "123456789abcdefghijklmnopqrstuvw";

} // namespace

std::string StandInKeyPath(unsigned clientIndex)
{
    std::string path = kStandInKeyBase;
    if (clientIndex > 0 && clientIndex < MAX_CLIENTS)
        path += kSuffixes[clientIndex];
    return path;
}

void SetStandInValue(unsigned clientIndex, const char* name, DWORD value)
{
    qel::UniqueRegKey key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, StandInKeyPath(clientIndex).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                        nullptr, key.put(), nullptr) == ERROR_SUCCESS)
        RegSetValueExA(key.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

DWORD ReadStandInDword(unsigned clientIndex, const char* name, DWORD missing)
{
    DWORD value = 0;
    DWORD size = sizeof value;
    if (RegGetValueA(HKEY_LOCAL_MACHINE, StandInKeyPath(clientIndex).c_str(), name, RRF_RT_REG_DWORD, nullptr,
                     &value, &size) != ERROR_SUCCESS)
        return missing;
    return value;
}

std::string ReadStandInString(unsigned clientIndex, const char* name)
{
    char text[512] = {};
    DWORD size = sizeof text;
    if (RegGetValueA(HKEY_LOCAL_MACHINE, StandInKeyPath(clientIndex).c_str(), name, RRF_RT_REG_SZ, nullptr, text,
                     &size) != ERROR_SUCCESS)
        return std::string();
    return text;
}

void DeleteStandInKey(unsigned clientIndex)
{
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, StandInKeyPath(clientIndex).c_str());
}

void EndProcessById(DWORD processId)
{
    if (processId == 0)
        return;
    qel::UniqueHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processId));
    if (!process)
        return;
    if (WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT) {
        TerminateProcess(process.get(), 99);
        WaitForSingleObject(process.get(), 5000);
    }
}

bool WaitProcessEnd(DWORD processId, DWORD timeoutMs, DWORD* exitCode)
{
    qel::UniqueHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | SYNCHRONIZE, FALSE, processId));
    if (!process)
        return true;
    if (WaitForSingleObject(process.get(), timeoutMs) != WAIT_OBJECT_0)
        return false;
    if (exitCode)
        GetExitCodeProcess(process.get(), exitCode);
    return true;
}

std::vector<std::string> ReadLogTexts(const char* path)
{
    std::vector<std::string> lines;
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        size_t stampEnd = line.find("]: ");
        if (!line.empty() && line[0] == '[' && stampEnd != std::string::npos)
            line.erase(0, stampEnd + 3);
        lines.push_back(line);
    }
    return lines;
}

int FindLine(const std::vector<std::string>& lines, const std::string& text, size_t from, bool prefix)
{
    for (size_t i = from; i < lines.size(); ++i) {
        bool match = prefix ? lines[i].compare(0, text.size(), text) == 0 : lines[i] == text;
        if (match)
            return static_cast<int>(i);
    }
    return -1;
}

int CountLines(const std::vector<std::string>& lines, const std::string& text, bool prefix)
{
    int count = 0;
    for (int i = FindLine(lines, text, 0, prefix); i >= 0; i = FindLine(lines, text, i + 1, prefix))
        ++count;
    return count;
}

std::string Hex(DWORD value)
{
    char text[16];
    snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(value));
    return text;
}

RunLoopHarness::RunLoopHarness(DWORD numClients) : numClients_(numClients)
{
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

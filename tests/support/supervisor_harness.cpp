#include "supervisor_harness.h"

#include <cstdio>

#include "affinity.h"
#include "program_run.h"
#include "standin_client.h"

namespace qeltest {

RunLoopHarness::RunLoopHarness(DWORD numClients) : numClients_(numClients)
{
    BringUpDesktop();

    char tempDir[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, tempDir);
    snprintf(core.LogPath, sizeof core.LogPath, "%sqel_runloop_%lu_%lu.log", tempDir,
             static_cast<unsigned long>(GetCurrentProcessId()), static_cast<unsigned long>(GetTickCount()));
    DeleteFileA(core.LogPath);

    core.CreateSyncObjects();
    core.SetVersion(1, 6);
    core.SetEventSink(CaptureEvent, this);
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
    // Empty slots are tried again after 1, 2, 4, 4... s; the crash-loop
    // throttle is off unless a test sets a window.
    core.Timings.RetryBackoffFirstMs = 1000;
    core.Timings.RetryBackoffCapMs = 4000;
    core.Timings.QuickFailureWindowMs = 0;

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

void RunLoopHarness::CaptureEvent(void* self, const SupervisorEvent& event)
{
    RunLoopHarness& harness = *static_cast<RunLoopHarness*>(self);
    CapturedEvent captured{event.Type, event.Id, {}};
    for (WORD i = 0; i < event.Count; ++i)
        captured.Strings.push_back(event.Strings[i]);
    std::lock_guard<std::mutex> hold(harness.eventsLock_);
    harness.events_.push_back(captured);
}

std::vector<RunLoopHarness::CapturedEvent> RunLoopHarness::Events() const
{
    std::lock_guard<std::mutex> hold(eventsLock_);
    return events_;
}

int RunLoopHarness::CountEvents(DWORD id) const
{
    int count = 0;
    for (const CapturedEvent& event : Events())
        count += event.Id == id ? 1 : 0;
    return count;
}

void RunLoopHarness::Start()
{
    running = TRUE;
    thread_.reset(CreateThread(nullptr, 0, RunThread, this, 0, nullptr));
}

bool RunLoopHarness::StartClients(int count, DWORD timeoutMs)
{
    Start();
    return WaitForLog("Client start successful: ", timeoutMs, count, true);
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

bool RunLoopHarness::EndClient(DWORD processId, unsigned index, DWORD timeoutMs) const
{
    EndProcessById(processId);
    return WaitForLog("Process " + Hex(processId) + " (client " + std::to_string(index + 1) + ") terminated",
                      timeoutMs);
}

HWND RunLoopHarness::WaitForTrayWindow(DWORD timeoutMs) const
{
    for (DWORD start = GetTickCount(); !core.TrayWindow && GetTickCount() - start < timeoutMs;)
        Sleep(50);
    return core.TrayWindow;
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

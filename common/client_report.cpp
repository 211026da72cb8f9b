#include "client_report.h"

#include <cstdio>

#include "client_job.h"
#include "client_launch.h"
#include "supervisor_core.h"

namespace {

// The log lines of each restart path, in LaunchPath order.  The leading
// blanks belong to the lines.
struct PathLines {
    const char* Attempt;  // "%d" the client number, or none
    const char* Success;  // handle, process id, window, button
    const char* Failure;  // the launch code
};

const PathLines kPathLines[] = {
    {"starting client %d", "Client start successful: 0x%x (0x%x) - 0x%x (0x%x)", "Unable to start client, Code = %d"},
    {" Restarting client %d...", " Restart successful: 0x%x (0x%x) - 0x%x (0x%x)", " Restart failed, Code = %d"},
    {" Attempting restart", " Restart successful: 0x%x (0x%x) - 0x%x (0x%x)",
     " Unable to restart client after crash, Code = %d"},
    {nullptr, " Restart successful: 0x%x (0x%x) - 0x%x (0x%x)", "Unable to restart client after stall, Code = %d"},
    {" Restarting client %d", "Restart successful: 0x%x (0x%x) - 0x%x (0x%x)", " Unable to restart client, Code = %d"},
    // Its own failure line: the timed restart's would make the two paths
    // look alike in the log.
    {"Retrying client %d", " Restart successful: 0x%x (0x%x) - 0x%x (0x%x)", " Retry failed, Code = %d"},
};

const PathLines& LinesOf(LaunchPath path)
{
    return kPathLines[static_cast<int>(path)];
}

// Handles and window handles are logged as "0x%x": only their low 32 bits,
// which is all a Windows handle uses.
unsigned Hex32(const void* handle)
{
    return static_cast<unsigned>(reinterpret_cast<UINT_PTR>(handle));
}

unsigned WholeSeconds(DWORD ms)
{
    return static_cast<unsigned>((ms + 999) / 1000);
}

// "3:05:12", or "2d 03:05:12" from a day on.
void FormatDuration(char* out, size_t outSize, ULONGLONG ms)
{
    ULONGLONG seconds = ms / 1000;
    unsigned days = static_cast<unsigned>(seconds / 86400);
    unsigned h = static_cast<unsigned>(seconds / 3600 % 24), m = static_cast<unsigned>(seconds / 60 % 60),
             s = static_cast<unsigned>(seconds % 60);
    if (days)
        snprintf(out, outSize, "%ud %02u:%02u:%02u", days, h, m, s);
    else
        snprintf(out, outSize, "%u:%02u:%02u", h, m, s);
}

const char* StopOccasion(EndKind how)
{
    switch (how) {
    case EndKind::Stall: return "stall restart";
    case EndKind::Timed: return "timed restart";
    case EndKind::Tray: return "tray icon restart";
    default: return "stop";
    }
}

} // namespace

bool CountInSeries(EventSeries& series, ULONGLONG now, ULONGLONG quietMs)
{
    if (series.Count == 0 || now < series.LastAt || now - series.LastAt >= quietMs)
        series.Count = 0;
    series.LastAt = now;
    if (series.Count < 0xFFFFFFFFu)
        ++series.Count;
    return (series.Count & (series.Count - 1)) == 0;
}

ClientReport::ClientReport(SupervisorCore& core, const ServiceParams& params, TickExtender& clock)
    : core_(core), params_(params), clock_(clock)
{
}

bool ClientReport::Due(unsigned slot, Kind kind)
{
    return CountInSeries(series_[slot][kind], ExtendTick(clock_, GetTickCount()), core_.Timings.EventQuietMs);
}

void ClientReport::Event(WORD type, DWORD id, const char* s1, const char* s2, const char* s3, const char* s4,
                         const char* s5)
{
    if (!core_.EventSink)
        return;
    SupervisorEvent event;
    event.Type = type;
    event.Id = id;
    const char* strings[SUPERVISOR_EVENT_MAX_STRINGS] = {s1, s2, s3, s4, s5};
    while (event.Count < SUPERVISOR_EVENT_MAX_STRINGS && strings[event.Count]) {
        event.Strings[event.Count] = strings[event.Count];
        ++event.Count;
    }
    core_.EventSink(core_.EventContext, event);
}

void ClientReport::SetState(unsigned i, SlotState state, ULONGLONG at)
{
    ClientStatus& status = status_[i];
    status.State = state;
    status.At = at;
    if (state == SlotState::Empty || state == SlotState::Retry || state == SlotState::Throttled ||
        state == SlotState::Starting)
        status.ProcessId = 0;
    core_.Status.WriteClient(i, status);
}

void ClientReport::RunStarted()
{
    WriteLog(core_, "Starting Service");
    core_.Status.Begin(core_.Version, params_.NumClients);
    for (unsigned i = 0; i < params_.NumClients; ++i) {
        status_[i].Restarts = core_.Launches[i] > 1 ? core_.Launches[i] - 1 : 0;
        SetState(i, SlotState::Empty);
    }
}

void ClientReport::Attempt(LaunchPath path, unsigned i, DWORD mask)
{
    if (const char* line = LinesOf(path).Attempt)
        WriteLog(core_, line, static_cast<int>(i + 1));
    status_[i].Mask = mask;
    SetState(i, SlotState::Starting);
}

void ClientReport::Launched(LaunchPath path, unsigned i)
{
    const ClientSlots& slots = core_.Slots;
    WriteLog(core_, LinesOf(path).Success, Hex32(slots.ProcessHandle[i]), static_cast<unsigned>(slots.ProcessId[i]),
             Hex32(slots.MainWindow[i]), Hex32(slots.StartButton[i]));
    NoteUntiedClient(LAUNCH_OK);

    if (core_.Launches[i] < 0xFFFFFFFFu)
        ++core_.Launches[i];
    ClientStatus& status = status_[i];
    status.Restarts = core_.Launches[i] > 1 ? core_.Launches[i] - 1 : 0;
    status.ProcessId = slots.ProcessId[i];
    status.LaunchCode = LAUNCH_OK;
    SetState(i, SlotState::Working, LocalNowFileTime());

    if (outageReported_[i]) {
        outageReported_[i] = false;
        char client[12], pid[12];
        snprintf(client, sizeof client, "%u", i + 1);
        snprintf(pid, sizeof pid, "0x%x", static_cast<unsigned>(slots.ProcessId[i]));
        Event(EVENTLOG_INFORMATION_TYPE, EVENT_CLIENT_WORKING_AGAIN, client, pid);
    }
}

void ClientReport::LaunchFailed(LaunchPath path, unsigned i, int code)
{
    WriteLog(core_, LinesOf(path).Failure, code);
    NoteUntiedClient(code);
    // Kept with the empty slot too: without Monitor and Restart nothing
    // tries again, and the listing must still say why no copy works.
    status_[i].LaunchCode = code;
    SetState(i, SlotState::Empty);
}

// A client that is not tied to this process would outlive a crash of it;
// the run goes on, and says so once, after the launch's own lines.  Where
// the system has no job objects there is nothing to tie, and nothing to say.
void ClientReport::NoteUntiedClient(int code)
{
    if (code == LAUNCH_CREATE_FAILED || untiedReported_)
        return;
    DWORD tie = LastClientTieResult();
    if (tie == ERROR_SUCCESS || tie == ERROR_CALL_NOT_IMPLEMENTED)
        return;
    untiedReported_ = true;
    WriteLog(core_, "Clients are not tied to the service process (error %u)", static_cast<unsigned>(tie));
}

void ClientReport::CannotStart(unsigned i, int code, DWORD retryDelayMs, bool logDelay)
{
    if (logDelay)
        WriteLog(core_, " Client %d will be retried in %u s", static_cast<int>(i + 1), WholeSeconds(retryDelayMs));
    status_[i].LaunchCode = code;
    if (retryDelayMs)
        SetState(i, SlotState::Retry, LocalNowFileTime() + retryDelayMs * FILETIME_PER_MS);
    else
        SetState(i, SlotState::Empty);

    if (!Due(i, KIND_CANNOT_START))
        return;
    outageReported_[i] = true;
    char client[12], codeText[12], next[64], count[12];
    snprintf(client, sizeof client, "%u", i + 1);
    snprintf(codeText, sizeof codeText, "%d", code);
    if (retryDelayMs)
        snprintf(next, sizeof next, "The next attempt follows in %u s.", WholeSeconds(retryDelayMs));
    else
        snprintf(next, sizeof next, "It is not tried again before the next restart of all clients.");
    snprintf(count, sizeof count, "%u", series_[i][KIND_CANNOT_START].Count);
    Event(EVENTLOG_ERROR_TYPE, EVENT_CLIENT_CANNOT_START, client, codeText, next, count);
}

void ClientReport::Ended(unsigned i, DWORD exitCode, ULONGLONG ranMs)
{
    const DWORD processId = status_[i].ProcessId ? status_[i].ProcessId : core_.Slots.ProcessId[i];
    WriteLog(core_, "Process 0x%x (client %d) terminated", static_cast<unsigned>(core_.Slots.ProcessId[i]),
             static_cast<int>(i + 1));
    status_[i].LastEnd = EndKind::Crash;
    status_[i].LastExitCode = exitCode;
    NoteCrash(status_[i], LocalNowFileTime());
    SetState(i, SlotState::Empty);

    if (!Due(i, KIND_ENDED))
        return;
    char client[12], pid[12], code[12], ran[32], count[12];
    snprintf(client, sizeof client, "%u", i + 1);
    snprintf(pid, sizeof pid, "0x%x", static_cast<unsigned>(processId));
    snprintf(code, sizeof code, "0x%x", static_cast<unsigned>(exitCode));
    FormatDuration(ran, sizeof ran, ranMs);
    snprintf(count, sizeof count, "%u", series_[i][KIND_ENDED].Count);
    Event(EVENTLOG_WARNING_TYPE, EVENT_CLIENT_ENDED, client, pid, code, ran, count);
}

void ClientReport::Throttled(unsigned i, DWORD delayMs, unsigned quickFailures)
{
    WriteLog(core_, " Restart of client %d delayed %u s (%u quick failures in a row)", static_cast<int>(i + 1),
             WholeSeconds(delayMs), quickFailures);
    SetState(i, SlotState::Throttled, LocalNowFileTime() + delayMs * FILETIME_PER_MS);

    if (!Due(i, KIND_THROTTLED))
        return;
    char client[12], delay[12], failures[12], count[12];
    snprintf(client, sizeof client, "%u", i + 1);
    snprintf(delay, sizeof delay, "%u", WholeSeconds(delayMs));
    snprintf(failures, sizeof failures, "%u", quickFailures);
    snprintf(count, sizeof count, "%u", series_[i][KIND_THROTTLED].Count);
    Event(EVENTLOG_WARNING_TYPE, EVENT_CLIENT_THROTTLED, client, delay, failures, count);
}

void ClientReport::Stalled(unsigned i)
{
    WriteLog(core_, "Client %d is stalled - attempting restart", static_cast<int>(i + 1));
    const DWORD processId = status_[i].ProcessId;
    SetState(i, SlotState::Stopping);

    if (!Due(i, KIND_STALLED))
        return;
    char client[12], pid[12], count[12];
    snprintf(client, sizeof client, "%u", i + 1);
    snprintf(pid, sizeof pid, "0x%x", static_cast<unsigned>(processId));
    snprintf(count, sizeof count, "%u", series_[i][KIND_STALLED].Count);
    Event(EVENTLOG_WARNING_TYPE, EVENT_CLIENT_STALLED, client, pid, count);
}

void ClientReport::Stopping(StopLine line, unsigned i)
{
    const unsigned processId = static_cast<unsigned>(core_.Slots.ProcessId[i]);
    const int client = static_cast<int>(i + 1);
    switch (line) {
    case StopLine::Final:
        WriteLog(core_, "Stopping process 0x%x...", processId);
        break;
    case StopLine::Timed:
        WriteLog(core_, " Stopping process 0x%x (client %d)...", processId, client);
        break;
    case StopLine::KeepVisible:
        WriteLog(core_, " Stopping client %d...", client);
        break;
    }
    SetState(i, SlotState::Stopping);
}

void ClientReport::Stopped(unsigned i, EndKind how, DWORD exitCode)
{
    const DWORD processId = status_[i].ProcessId;
    status_[i].LastEnd = how;
    status_[i].LastExitCode = exitCode;
    SetState(i, SlotState::Empty);

    if (exitCode != STOP_TERMINATED_EXIT_CODE || !Due(i, KIND_TERMINATED))
        return;
    char client[12], pid[12], count[12];
    snprintf(client, sizeof client, "%u", i + 1);
    snprintf(pid, sizeof pid, "0x%x", static_cast<unsigned>(processId));
    snprintf(count, sizeof count, "%u", series_[i][KIND_TERMINATED].Count);
    Event(EVENTLOG_WARNING_TYPE, EVENT_CLIENT_TERMINATED, client, pid, StopOccasion(how), count);
}

void ClientReport::AllRestarting(EndKind how)
{
    const bool timed = how == EndKind::Timed;
    WriteLog(core_, timed ? "Timed Restart" : "KeepVisible restart initiated...");
    // A restart every few minutes is configured behaviour, but still not
    // worth an event each time: the same series rule bounds it.
    EventSeries& series = allRestartSeries_[timed ? 0 : 1];
    if (CountInSeries(series, ExtendTick(clock_, GetTickCount()), core_.Timings.EventQuietMs))
        Event(EVENTLOG_INFORMATION_TYPE, timed ? EVENT_TIMED_RESTART : EVENT_TRAY_RESTART);
}

void ClientReport::RunEnded()
{
    core_.Status.End();
}

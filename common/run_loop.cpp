// The supervisor run loop: starts every client, watches them, restarts them
// when they end, stall, fall due or lose their tray icons, and closes them
// all on a stop request.
#include "run_loop.h"

#include <cstring>

#include "affinity.h"
#include "client_report.h"
#include "client_launch.h"
#include "client_stop.h"
#include "restart_schedule.h"
#include "run_loop_schedule.h"
#include "supervisor_core.h"
#include "tray_keeper.h"
#include "wait_set.h"
#include "windows_family.h"

void CaptureStallProbe(HWND startButton, StallProbe& probe)
{
    HWND window = GetWindow(startButton, GW_HWNDPREV);
    for (int step = 1; window && step < STALL_PROBE_DEPTH; ++step)
        window = GetWindow(window, GW_HWNDPREV);
    probe.ProbeWindow = window;
    if (window)
        GetWindowTextA(window, probe.ProbeText, STALL_PROBE_TEXT_SIZE);
}

bool ProbeTextUnchanged(StallProbe& probe, const char* currentText)
{
    if (strncmp(currentText, probe.ProbeText, STALL_PROBE_TEXT_SIZE - 1) == 0)
        return true;
    size_t length = strnlen(currentText, STALL_PROBE_TEXT_SIZE - 1);
    memcpy(probe.ProbeText, currentText, length);
    probe.ProbeText[length] = '\0';
    return false;
}

namespace {

// A second handle to a client's process, kept while the stop (which closes
// the slot's own handle) runs, so that the exit code can be read after it.
qel::UniqueHandle WatchProcess(HANDLE process)
{
    HANDLE copy = nullptr;
    DuplicateHandle(GetCurrentProcess(), process, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS);
    return qel::UniqueHandle(copy);
}

// The exit code of a stopped copy; a terminated one may take a moment to
// end after the stop returned.
DWORD ExitCodeAfterStop(const qel::UniqueHandle& watch)
{
    DWORD exitCode = 0;
    if (!watch || WaitForSingleObject(watch.get(), 2000) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(watch.get(), &exitCode))
        return 0;
    return exitCode;
}

// The state of one call of Run; nothing survives the call.
class RunPass {
public:
    explicit RunPass(SupervisorCore& core) : core_(core), slots_(core.Slots), report_(core, params_, clock_) {}

    SupervisorCore::RunOutcome Run();

private:
    bool StopRequested() const { return core_.StopRequested != 0; }
    DWORD ClientCount() const { return params_.NumClients; }
    bool Live(unsigned i) const { return slots_.ProcessId[i] != 0; }

    ULONGLONG Now() { return ExtendTick(clock_, GetTickCount()); }
    int Launch(LaunchPath path, unsigned i);
    void MarkEmpty(unsigned i);
    void StopOne(unsigned i, EndKind how);
    void StopAllLive(StopLine line, EndKind how, DWORD confirmDelayMs);
    bool RetryWait();
    void ScheduleRetry(unsigned i, int code);
    void RunDueRetries();

    void LaunchAllWithRetries(LaunchPath path);
    void MainWait();
    bool OnStopEvent();
    void OnClientEnded(DWORD entry);
    void OnTick(ULONGLONG now);
    void StallCheck();
    void TimedRestartCheck();
    void StopSequence();

    SupervisorCore& core_;
    ClientSlots& slots_;
    // The settings of this run: a copy, so that the 9x client cap changes
    // nothing stored and the affinity lookup sees the capped count.
    ServiceParams params_;
    char clientPath_[MAX_PATH] = {};
    WaitSet waitSet_;
    StallProbe probes_[MAX_CLIENTS];
    FILETIME nextRestart_ = {};
    bool timedRestart_ = false;
    // Elapsed-time bookkeeping: the stall and timed restart checks run on a
    // tick every MainWaitMs of elapsed time, whatever else wakes the loop.
    TickExtender clock_;
    ULONGLONG nextTickAt_ = 0;
    ULONGLONG lastStallCheckAt_ = 0;
    SlotRetry retry_[MAX_CLIENTS];
    qel::UniqueHandle keeperThread_;
    ClientReport report_;
};

// One launch of slot i on a restart path, with its lines, its place in the
// wait list (a relaunched slot keeps its entry, a new one goes to the end)
// and its stall probe.  A failed launch leaves the slot empty and out of
// the list; whether it is tried again is the caller's decision.
int RunPass::Launch(LaunchPath path, unsigned i)
{
    DWORD mask = ClientAffinityMask(params_, core_.AffinityTable, i);
    report_.Attempt(path, i, mask);
    int result = LaunchClient(clientPath_, i, mask, &slots_.ProcessHandle[i], &slots_.ProcessId[i],
                              &slots_.MainWindow[i], &slots_.StartButton[i], params_.TrueIdle ? 1 : 0,
                              &slots_.MainThreadId[i]);
    if (result != LAUNCH_OK) {
        MarkEmpty(i);
        WaitSetRemoveClient(waitSet_, static_cast<int>(i));
        report_.LaunchFailed(path, i, result);
        return result;
    }
    SlotRetry& retry = retry_[i];
    retry.Pending = false;
    retry.Failures = 0;
    retry.LastDelayMs = 0;
    retry.LaunchedAt = Now();
    if (!WaitSetReplace(waitSet_, static_cast<int>(i), slots_.ProcessHandle[i]))
        WaitSetAppend(waitSet_, slots_.ProcessHandle[i], static_cast<int>(i));
    report_.Launched(path, i);
    if (params_.StuckRestart)
        CaptureStallProbe(slots_.StartButton[i], probes_[i]);
    return result;
}

// The launch writes nothing when the process could not be created, so the
// slot is cleared here; a closed handle must never be taken for a live one.
void RunPass::MarkEmpty(unsigned i)
{
    slots_.ProcessId[i] = 0;
    slots_.ProcessHandle[i] = nullptr;
}

void RunPass::StopOne(unsigned i, EndKind how)
{
    // StopClient closes the process handle: the slot gives it up here, and
    // is empty until a relaunch fills it again.
    HANDLE process = slots_.ProcessHandle[i];
    DWORD processId = slots_.ProcessId[i];
    qel::UniqueHandle watch = WatchProcess(process);
    MarkEmpty(i);
    StopClient(process, processId, slots_.MainWindow[i], core_.Timings.StopConfirmDelayMs, nullptr,
               slots_.MainThreadId[i]);
    report_.Stopped(i, how, ExitCodeAfterStop(watch));
}

// Stops every live client at once.  All the stop lines are written first, in
// index order, so the log reads as it always has; the slots are empty once
// this returns.
void RunPass::StopAllLive(StopLine line, EndKind how, DWORD confirmDelayMs)
{
    ClientStopOrder orders[MAX_CLIENTS] = {};
    unsigned stopped[MAX_CLIENTS];
    qel::UniqueHandle watches[MAX_CLIENTS];
    size_t count = 0;
    for (unsigned i = 0; i < ClientCount(); ++i) {
        if (!Live(i))
            continue;
        report_.Stopping(line, i);
        // The handle goes to the stop, which closes it.
        orders[count].ProcessHandle = slots_.ProcessHandle[i];
        orders[count].ProcessId = slots_.ProcessId[i];
        orders[count].MainWindow = slots_.MainWindow[i];
        orders[count].MainThreadId = slots_.MainThreadId[i];
        watches[count] = WatchProcess(slots_.ProcessHandle[i]);
        stopped[count++] = i;
        MarkEmpty(i);
    }
    StopClients(orders, count, confirmDelayMs);
    for (size_t k = 0; k < count; ++k)
        report_.Stopped(stopped[k], how, ExitCodeAfterStop(watches[k]));
}

bool RunPass::RetryWait()
{
    WriteLog(core_, "Retrying...");
    // Anything but a time-out (the event set, or a failed wait) ends the
    // retries, so a broken event can never make this spin.
    return WaitForSingleObject(core_.StopEvent.get(), core_.Timings.RetryWaitMs) == WAIT_TIMEOUT;
}

// The slot stays empty after its start attempts.  With MonitorRestart it is
// tried again later, never given up, and never in a way that keeps the
// others waiting: its attempts back off up to a few minutes.
void RunPass::ScheduleRetry(unsigned i, int code)
{
    if (!params_.MonitorRestart) {
        report_.CannotStart(i, code, 0, false);
        return;
    }
    SlotRetry& retry = retry_[i];
    if (retry.Failures < 0xFFFF)
        ++retry.Failures;
    DWORD delay = BackoffDelayMs(retry.Failures, core_.Timings.RetryBackoffFirstMs, core_.Timings.RetryBackoffCapMs);
    retry.Pending = true;
    retry.DueAt = Now() + delay;
    // Once the delay has reached its cap it is not repeated: a slot that can
    // never start then costs two lines per attempt, a dozen attempts an hour.
    report_.CannotStart(i, code, delay, delay != retry.LastDelayMs);
    retry.LastDelayMs = delay;
}

// One attempt for every slot whose retry is due; a failure only sets the
// next, later instant, so this never loops on one slot.
void RunPass::RunDueRetries()
{
    for (unsigned i = 0; i < ClientCount(); ++i) {
        if (StopRequested())
            return;
        SlotRetry& retry = retry_[i];
        if (!retry.Pending || Live(i) || retry.DueAt > Now())
            continue;
        retry.Pending = false;
        int result = Launch(LaunchPath::Retry, i);
        if (result != LAUNCH_OK)
            ScheduleRetry(i, result);
    }
}

// Launches every slot in index order.  With MonitorRestart a slot that
// fails is tried again RetryWaitMs later, StartAttempts times in all; then
// the start moves on and the slot's later attempts back off in the main
// wait.  Once a stop has been requested nothing more is started: a copy
// started then would only be closed again, and the stop's wait is bounded.
void RunPass::LaunchAllWithRetries(LaunchPath path)
{
    for (unsigned i = 0; i < ClientCount(); ++i) {
        for (DWORD attempt = 1;; ++attempt) {
            if (StopRequested())
                return;
            int result = Launch(path, i);
            if (result == LAUNCH_OK)
                break;
            if (!params_.MonitorRestart || attempt >= core_.Timings.StartAttempts || !RetryWait()) {
                ScheduleRetry(i, result);
                break;
            }
        }
    }
}

// Wake-up by StopEvent.  Returns true when the run is to stop.
bool RunPass::OnStopEvent()
{
    // A stop request wins over any other request that came with it.
    if (StopRequested())
        return true;
    ResetEvent(core_.StopEvent.get());
    // A stop request that came between the first look and the reset set the
    // event that was just reset: its flag was written before its event, so
    // it shows here and is not lost.
    if (StopRequested())
        return true;
    bool queueEvent = InterlockedExchange(&core_.QueueEventPending, 0) != 0;
    bool keepVisible = InterlockedExchange(&core_.KeepVisibleRestart, 0) != 0;
    // Only a stop request ends the run: an event set with no flag (a stray
    // SetEvent, or a request whose flag was already taken) is reported and
    // the loop waits again, the event reset so that it cannot spin.
    if (!queueEvent && !keepVisible)
        WriteLog(core_, "Wake-up without a request - waiting again");
    if (queueEvent)
        WriteLog(core_, "Queue event processed...");
    if (keepVisible) {
        // Every slot is relaunched, empty ones too.
        report_.AllRestarting(EndKind::Tray);
        StopAllLive(StopLine::KeepVisible, EndKind::Tray, core_.Timings.KeepVisibleConfirmDelayMs);
        WaitSetReset(waitSet_, core_.StopEvent.get());
        LaunchAllWithRetries(LaunchPath::KeepVisible);
    }
    return false;
}

void RunPass::OnClientEnded(DWORD entry)
{
    const unsigned b = static_cast<unsigned>(waitSet_.ClientIndex[entry]);
    DWORD exitCode = 0;
    GetExitCodeProcess(slots_.ProcessHandle[b], &exitCode);
    SlotRetry& retry = retry_[b];
    const ULONGLONG ranMs = Now() - retry.LaunchedAt;
    report_.Ended(b, exitCode, ranMs);
    CloseHandle(slots_.ProcessHandle[b]);
    MarkEmpty(b);

    // A copy started now would only be closed again by the stop that is
    // already on its way.
    if (!params_.MonitorRestart || StopRequested()) {
        // The slot stays empty until a timed or KeepVisible restart; later
        // clients keep their numbers, their entries move up one place.
        WaitSetRemoveAt(waitSet_, entry);
        return;
    }

    // A client that keeps ending soon after its launch is relaunched later
    // and later: at full speed it would only fill the log and wake the loop.
    retry.QuickFailures = CountQuickFailure(retry.QuickFailures, ranMs, core_.Timings.QuickFailureWindowMs);
    DWORD delay = CrashRelaunchDelayMs(retry.QuickFailures, core_.Timings.RetryBackoffFirstMs,
                                       core_.Timings.RetryBackoffCapMs);
    if (delay != 0) {
        WaitSetRemoveAt(waitSet_, entry);
        retry.Pending = true;
        retry.DueAt = Now() + delay;
        report_.Throttled(b, delay, retry.QuickFailures);
        return;
    }
    // Relaunched into the same place of the wait list.
    int result = Launch(LaunchPath::Crash, b);
    if (result != LAUNCH_OK)
        ScheduleRetry(b, result);
}

void RunPass::StallCheck()
{
    for (unsigned i = 0; i < ClientCount(); ++i) {
        StallProbe& probe = probes_[i];
        if (!Live(i) || !probe.ProbeWindow)
            continue;
        char text[STALL_PROBE_TEXT_SIZE] = {};
        GetWindowTextA(probe.ProbeWindow, text, STALL_PROBE_TEXT_SIZE);
        if (!ProbeTextUnchanged(probe, text))
            continue;

        report_.Stalled(i);
        StopOne(i, EndKind::Stall);
        // Stopping a hung copy takes seconds; a stop request that came
        // meanwhile is served before anything more is launched.
        if (StopRequested()) {
            WaitSetRemoveClient(waitSet_, static_cast<int>(i));
            return;
        }
        int result = Launch(LaunchPath::Stall, i);
        if (result != LAUNCH_OK)
            ScheduleRetry(i, result);
    }
}

void RunPass::TimedRestartCheck()
{
    const FILETIME now = CurrentLocalFileTime();
    if (RestartInstantTooFar(params_.HourlyRestart, now, nextRestart_)) {
        ComputeNextRestart(params_.HourlyRestart, params_.RestartTime, &nextRestart_);
        return;
    }
    if (!RestartDue(now, nextRestart_))
        return;
    // The following instant counts from this check: periodic restarts drift
    // later by the time it takes a due restart to be noticed.
    ComputeNextRestart(params_.HourlyRestart, params_.RestartTime, &nextRestart_);
    report_.AllRestarting(EndKind::Timed);

    StopAllLive(StopLine::Timed, EndKind::Timed, core_.Timings.StopConfirmDelayMs);
    WaitSetReset(waitSet_, core_.StopEvent.get());
    for (unsigned i = 0; i < ClientCount(); ++i) {
        // As in the KeepVisible restart, nothing more is started once a stop
        // has been requested.
        if (StopRequested())
            return;
        int result = Launch(LaunchPath::Timed, i);
        if (result != LAUNCH_OK)
            ScheduleRetry(i, result);
    }
}

// The work of a quiet 30 s wait, done on elapsed time so that clients that
// end often cannot hold it off: the stall check every (StallCountdown + 1)
// waits' worth, the timed restart check on every tick.
void RunPass::OnTick(ULONGLONG now)
{
    core_.Status.Touch();
    const ULONGLONG stallPeriod =
        static_cast<ULONGLONG>(core_.Timings.StallCountdown + 1) * core_.Timings.MainWaitMs;
    if (params_.StuckRestart && PeriodElapsed(now, lastStallCheckAt_, stallPeriod)) {
        lastStallCheckAt_ = now;
        StallCheck();
    }
    if (timedRestart_ && !StopRequested())
        TimedRestartCheck();
}

void RunPass::MainWait()
{
    lastStallCheckAt_ = Now();
    nextTickAt_ = lastStallCheckAt_ + core_.Timings.MainWaitMs;
    for (;;) {
        // A stop request is also looked for before each wait: one made
        // before the run began may never have set StopEvent.
        if (StopRequested())
            return;
        if (Now() >= nextTickAt_) {
            OnTick(Now());
            // Counted from the end of the tick's work: a long restart does
            // not bring on a burst of ticks to catch up.
            nextTickAt_ = Now() + core_.Timings.MainWaitMs;
            continue;
        }
        RunDueRetries();
        if (StopRequested())
            return;

        ULONGLONG retryDueAt = 0;
        bool retryPending = NextDueRetry(retry_, ClientCount(), &retryDueAt);
        DWORD timeout = WaitTimeoutMs(Now(), nextTickAt_, retryPending, retryDueAt);
        DWORD result = WaitForMultipleObjects(waitSet_.Count, waitSet_.Handles, FALSE, timeout);
        DWORD entry = 0;
        switch (ClassifyWait(result, waitSet_.Count, &entry)) {
        case WakeReason::StopEvent:
            if (OnStopEvent())
                return;
            break;
        case WakeReason::ClientEnded:
            OnClientEnded(entry);
            break;
        case WakeReason::Timeout:
            // The tick and due retries are served at the top of the loop.
            break;
        case WakeReason::Failed: {
            // Nothing in the set can be trusted to say which client is meant.
            // Report it and wait on StopEvent alone for one wait period, so
            // that a stop or a tray request is still served and a lasting
            // failure cannot spin.
            DWORD error = GetLastError();
            WriteLog(core_, "Wait failed (result 0x%x, error %u), waiting again", static_cast<unsigned>(result),
                     static_cast<unsigned>(error));
            DWORD single = WaitForSingleObject(core_.StopEvent.get(), core_.Timings.MainWaitMs);
            if (single == WAIT_OBJECT_0) {
                if (OnStopEvent())
                    return;
            } else if (single != WAIT_TIMEOUT) {
                Sleep(core_.Timings.MainWaitMs);
            }
            break;
        }
        }
    }
}

void RunPass::StopSequence()
{
    WriteLog(core_, "Client Stop initiated...");
    if (params_.KeepVisible)
        EndTrayKeeper(core_, keeperThread_, 5000);
    StopAllLive(StopLine::Final, EndKind::Stop, core_.Timings.StopConfirmDelayMs);
    WriteLog(core_, "Client Stop completed");
    report_.RunEnded();
    SetEvent(core_.StoppedEvent.get());
}

SupervisorCore::RunOutcome RunPass::Run()
{
    DWORD acquired = WaitForSingleObject(core_.SettingsMutex.get(), core_.Timings.MutexWaitMs);
    if (acquired == WAIT_TIMEOUT) {
        WriteLog(core_, "Service already running...abort");
        return SupervisorCore::RunOutcome::SettingsMutexBusy;
    }
    if (acquired != WAIT_OBJECT_0 && acquired != WAIT_ABANDONED) {
        // Nothing tells then whether another supervisor runs: two would
        // fight over the same clients.
        DWORD error = GetLastError();
        core_.SettingsMutexError = error != ERROR_SUCCESS ? error : ERROR_INVALID_HANDLE;
        WriteLog(core_, "Settings mutex %s cannot be used (error %u)...abort", SettingsMutexName(),
                 static_cast<unsigned>(core_.SettingsMutexError));
        return SupervisorCore::RunOutcome::SettingsMutexFailed;
    }
    // Owned or abandoned: this thread holds the mutex until the run ends,
    // released after StoppedEvent is set.
    qel::MutexHold mutexHold(core_.SettingsMutex.get());

    params_ = core_.Params;
    if (params_.NumClients > MAX_CLIENTS)
        params_.NumClients = MAX_CLIENTS;
    // Windows 95, 98 and Me run two clients at most, for this run only.
    if (qel::IsWindows9xFamily() && params_.NumClients > 2)
        params_.NumClients = 2;

    PathBesideExecutable(clientPath_, sizeof clientPath_, "zr.exe");
    report_.RunStarted();
    WaitSetReset(waitSet_, core_.StopEvent.get());
    // Each run starts from empty slots and a keeper of its own.
    for (unsigned i = 0; i < MAX_CLIENTS; ++i)
        MarkEmpty(i);
    core_.TrayWindow = nullptr;

    LaunchAllWithRetries(LaunchPath::Initial);

    timedRestart_ = params_.AutoRestart != 0 || params_.HourlyRestart != 0;
    if (timedRestart_ && !ComputeNextRestart(params_.HourlyRestart, params_.RestartTime, &nextRestart_)) {
        WriteLog(core_, "RestartTime %u is not a time of day: no daily restart",
                 static_cast<unsigned>(params_.RestartTime));
        timedRestart_ = false;
    }

    if (params_.KeepVisible && !StopRequested())
        keeperThread_ = StartTrayKeeper(core_);

    MainWait();
    StopSequence();
    return SupervisorCore::RunOutcome::Stopped;
}

} // namespace

SupervisorCore::RunOutcome SupervisorCore::Run()
{
    RunPass pass(*this);
    return pass.Run();
}

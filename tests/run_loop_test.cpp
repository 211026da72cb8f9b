#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "client_report.h"
#include "run_loop.h"
#include "run_loop_schedule.h"
#include "../standin-zr/standin_values.h"
#include "program_run.h"
#include "windows_family.h"
#include "supervisor_harness.h"
#include "wait_set.h"

using namespace qeltest;

// ---------------------------------------------------------------------------
// Pure decisions of the loop.

namespace {

HANDLE FakeHandle(int n) { return reinterpret_cast<HANDLE>(static_cast<INT_PTR>(0x100 + n)); }

std::vector<int> Clients(const WaitSet& set)
{
    return std::vector<int>(set.ClientIndex + 1, set.ClientIndex + set.Count);
}

} // namespace

TEST(WaitSetBookkeeping, AppendReplaceAndRemoveKeepOrderAndPlaces)
{
    WaitSet set;
    HANDLE stop = FakeHandle(99);
    WaitSetReset(set, stop);
    ASSERT_EQ(1u, set.Count);
    EXPECT_EQ(stop, set.Handles[0]);
    EXPECT_EQ(-1, set.ClientIndex[0]);

    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(WaitSetAppend(set, FakeHandle(i), i));
    EXPECT_EQ((std::vector<int>{0, 1, 2, 3}), Clients(set));

    // A relaunched client keeps its place.
    ASSERT_TRUE(WaitSetReplace(set, 2, FakeHandle(42)));
    EXPECT_EQ(3u, WaitSetFind(set, 2));
    EXPECT_EQ(FakeHandle(42), set.Handles[3]);

    // Removing the second client moves the later ones up, numbers kept.
    WaitSetRemoveAt(set, 2);
    EXPECT_EQ((std::vector<int>{0, 2, 3}), Clients(set));
    EXPECT_EQ(FakeHandle(42), set.Handles[2]);
    EXPECT_EQ(FakeHandle(3), set.Handles[3]);
    EXPECT_EQ(3u, WaitSetFind(set, 3));
    EXPECT_EQ(0u, WaitSetFind(set, 1));
    EXPECT_FALSE(WaitSetReplace(set, 1, FakeHandle(7)));

    WaitSetRemoveClient(set, 3);
    WaitSetRemoveClient(set, 3);  // no entry left: nothing happens
    WaitSetRemoveAt(set, 0);      // entry 0 is never removed
    WaitSetRemoveAt(set, 9);
    EXPECT_EQ((std::vector<int>{0, 2}), Clients(set));
    EXPECT_EQ(stop, set.Handles[0]);
}

TEST(WaitSetBookkeeping, HoldsStopEventAndThirtyTwoClients)
{
    WaitSet set;
    WaitSetReset(set, FakeHandle(99));
    for (int i = 0; i < 32; ++i)
        ASSERT_TRUE(WaitSetAppend(set, FakeHandle(i), i));
    EXPECT_EQ(33u, set.Count);
    EXPECT_FALSE(WaitSetAppend(set, FakeHandle(32), 32));
    WaitSetRemoveAt(set, 32);
    EXPECT_EQ(32u, set.Count);
    EXPECT_EQ(30, set.ClientIndex[31]);
}

TEST(WaitSetBookkeeping, WaitResultsMapToReasonsWithoutStrayEntries)
{
    DWORD entry = 77;
    EXPECT_EQ(WakeReason::StopEvent, ClassifyWait(WAIT_OBJECT_0, 3, &entry));
    EXPECT_EQ(WakeReason::Timeout, ClassifyWait(WAIT_TIMEOUT, 3, &entry));
    EXPECT_EQ(WakeReason::ClientEnded, ClassifyWait(WAIT_OBJECT_0 + 2, 3, &entry));
    EXPECT_EQ(2u, entry);
    entry = 77;
    EXPECT_EQ(WakeReason::Failed, ClassifyWait(WAIT_OBJECT_0 + 3, 3, &entry));
    EXPECT_EQ(WakeReason::Failed, ClassifyWait(WAIT_FAILED, 3, &entry));
    EXPECT_EQ(WakeReason::Failed, ClassifyWait(WAIT_ABANDONED_0 + 1, 3, &entry));
    EXPECT_EQ(77u, entry);
}

TEST(StallCountdown, ProbeTextComparesNineteenCharactersAndSavesNewText)
{
    StallProbe probe;
    strcpy(probe.ProbeText, "Primes: 10 of 100");
    EXPECT_TRUE(ProbeTextUnchanged(probe, "Primes: 10 of 100"));
    EXPECT_FALSE(ProbeTextUnchanged(probe, "Primes: 11 of 120"));
    EXPECT_STREQ("Primes: 11 of 120", probe.ProbeText);
    EXPECT_TRUE(ProbeTextUnchanged(probe, "Primes: 11 of 120"));

    // Only what a 20-character read can hold takes part.
    strcpy(probe.ProbeText, "Primes: 1234 of 567");
    EXPECT_TRUE(ProbeTextUnchanged(probe, "Primes: 1234 of 5678 checked"));
    EXPECT_FALSE(ProbeTextUnchanged(probe, ""));
    EXPECT_STREQ("", probe.ProbeText);
}

TEST(StallCountdown, ProbeIsTheThirteenthWindowAboveTheButton)
{
    HWND parent = CreateWindowExA(0, "STATIC", "probe parent", WS_POPUP, 0, 0, 100, 100, nullptr, nullptr,
                                  nullptr, nullptr);
    ASSERT_NE(nullptr, parent);
    // Children in creation order sit top to bottom in z-order.
    HWND children[14] = {};
    char text[16];
    for (int i = 0; i < 14; ++i) {
        snprintf(text, sizeof text, "child %d", i);
        children[i] = CreateWindowExA(0, "STATIC", text, WS_CHILD, 0, 0, 10, 10, parent, nullptr, nullptr, nullptr);
        ASSERT_NE(nullptr, children[i]);
    }
    StallProbe probe;
    CaptureStallProbe(children[13], probe);
    EXPECT_EQ(children[0], probe.ProbeWindow);
    EXPECT_STREQ("child 0", probe.ProbeText);

    // Twelve windows above: no probe, the saved text stays.
    strcpy(probe.ProbeText, "kept");
    CaptureStallProbe(children[12], probe);
    EXPECT_EQ(nullptr, probe.ProbeWindow);
    EXPECT_STREQ("kept", probe.ProbeText);
    DestroyWindow(parent);
}

TEST(RunLoopSchedule, ClockBackOffThrottleAndWaitTimeOut)
{
    // Readings across the 49.7-day wrap of GetTickCount keep counting up.
    TickExtender clock;
    const ULONGLONG beforeWrap = ExtendTick(clock, 0xFFFFFF00u);
    EXPECT_EQ(0xFFFFFF00ull, beforeWrap);
    EXPECT_EQ(0x100000010ull, ExtendTick(clock, 0x10u));
    EXPECT_EQ(0x100000010ull, ExtendTick(clock, 0x10u));
    EXPECT_TRUE(PeriodElapsed(0x100000010ull, beforeWrap, 0x110));
    EXPECT_FALSE(PeriodElapsed(0x100000010ull, beforeWrap, 0x111));
    ExtendTick(clock, 0xFFFFFFF0u);
    EXPECT_EQ(0x200000005ull, ExtendTick(clock, 5u));

    // Empty-slot back-off: 10 s doubling to the 5-minute cap, for ever.
    const struct { unsigned step; DWORD ms; } backoff[] = {
        {0, 0}, {1, 10000}, {2, 20000}, {3, 40000}, {5, 160000}, {6, 300000}, {7, 300000}, {4000000000u, 300000}};
    for (const auto& row : backoff)
        EXPECT_EQ(row.ms, BackoffDelayMs(row.step, 10000, 300000)) << "step " << row.step;

    // Crash throttle: quick failures in a row delay the relaunch from the
    // second on; a client that ran past the window starts the count again.
    const struct { ULONGLONG ranMs; unsigned quick; DWORD delayMs; } ends[] = {
        {3000, 1, 0}, {3000, 2, 10000}, {59999, 3, 20000}, {60000, 0, 0}, {3000, 1, 0}, {10, 2, 10000}};
    unsigned quick = 0;
    for (const auto& row : ends) {
        quick = CountQuickFailure(quick, row.ranMs, 60000);
        EXPECT_EQ(row.quick, quick) << "ran " << row.ranMs;
        EXPECT_EQ(row.delayMs, CrashRelaunchDelayMs(quick, 10000, 300000)) << "ran " << row.ranMs;
    }

    // The wait ends at the next tick or the nearest due retry.
    SlotRetry slots[3];
    ULONGLONG due = 0;
    EXPECT_FALSE(NextDueRetry(slots, 3, &due));
    slots[0].Pending = slots[2].Pending = true;
    slots[0].DueAt = 9000;
    slots[2].DueAt = 5000;
    slots[1].DueAt = 10;  // not pending: not looked at
    ASSERT_TRUE(NextDueRetry(slots, 3, &due));
    EXPECT_EQ(5000u, due);
    EXPECT_TRUE(NextDueRetry(slots, 2, &due));
    EXPECT_EQ(9000u, due);
    EXPECT_EQ(30000u, WaitTimeoutMs(1000, 31000, false, 0));
    EXPECT_EQ(4000u, WaitTimeoutMs(1000, 31000, true, 5000));
    EXPECT_EQ(30000u, WaitTimeoutMs(1000, 31000, true, 40000));
    EXPECT_EQ(0u, WaitTimeoutMs(6000, 31000, true, 5000));
    EXPECT_EQ(0u, WaitTimeoutMs(32000, 31000, false, 0));
}

// ---------------------------------------------------------------------------
// The loop itself, with stand-in clients.

namespace {

const DWORD kStartMs = 60000;  // a few stand-in starts under Wine

std::string SuccessLine(const char* prefix, const SupervisorCore& core, unsigned i)
{
    char text[160];
    snprintf(text, sizeof text, "%s0x%x (0x%x) - 0x%x (0x%x)", prefix,
             static_cast<unsigned>(reinterpret_cast<UINT_PTR>(core.Slots.ProcessHandle[i])),
             static_cast<unsigned>(core.Slots.ProcessId[i]),
             static_cast<unsigned>(reinterpret_cast<UINT_PTR>(core.Slots.MainWindow[i])),
             static_cast<unsigned>(reinterpret_cast<UINT_PTR>(core.Slots.StartButton[i])));
    return text;
}

bool SettingsMutexIsFree(const SupervisorCore& core)
{
    DWORD result = WaitForSingleObject(core.SettingsMutex.get(), 0);
    if (result != WAIT_OBJECT_0 && result != WAIT_ABANDONED)
        return false;
    ReleaseMutex(core.SettingsMutex.get());
    return true;
}

} // namespace

TEST(RunLoop, StartsEveryClientWorkingAndStopsThemThroughExit)
{
    RunLoopHarness h(3);
    ASSERT_TRUE(h.StartClients(3, kStartMs)) << h.LogDump();

    std::vector<DWORD> pids;
    for (unsigned i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        pids.push_back(h.core.Slots.ProcessId[i]);
        ASSERT_NE(0u, pids.back());
        // Its own state key, its number in the title, "Start!" pressed,
        // minimised.
        EXPECT_EQ(pids.back(), ReadStandInDword(i, zr::REC_PROCESS_ID));
        EXPECT_EQ("ZR - client " + std::to_string(i + 1), ReadStandInString(i, zr::REC_TITLE_AT_CLICK));
        EXPECT_EQ(1u, ReadStandInDword(i, zr::REC_CLICKS));
        EXPECT_GE(ReadStandInDword(i, zr::REC_MINIMIZES), 1u);
        EXPECT_TRUE(IsIconic(h.core.Slots.MainWindow[i]));
    }
    EXPECT_TRUE(LinesInOrder(h.Log(), {"Starting Service", "starting client 1",
                                       SuccessLine("Client start successful: ", h.core, 0), "starting client 2",
                                       SuccessLine("Client start successful: ", h.core, 1), "starting client 3",
                                       SuccessLine("Client start successful: ", h.core, 2)}));
    EXPECT_FALSE(SettingsMutexIsFree(h.core));

    ASSERT_TRUE(h.Stop());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(h.core.StoppedEvent.get(), 0));
    EXPECT_TRUE(SettingsMutexIsFree(h.core));
    EXPECT_TRUE(LinesInOrder(h.Log(), {"Client Stop initiated...", "Stopping process " + Hex(pids[0]) + "...",
                                       "Stopping process " + Hex(pids[1]) + "...",
                                       "Stopping process " + Hex(pids[2]) + "...", "Client Stop completed",
                                       "Service Stopped"}));
    EXPECT_EQ(-1, FindLine(h.Log(), "Timeout on client stop"));
    for (unsigned i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(1u, ReadStandInDword(i, zr::REC_EXIT_PRESSES));
        EXPECT_EQ(1u, ReadStandInDword(i, zr::REC_CONFIRMED));
        EXPECT_TRUE(WaitProcessEnd(pids[i], 5000));
        EXPECT_EQ(0u, h.core.Slots.ProcessId[i]);
    }
}

TEST(RunLoop, AKilledClientIsRelaunchedIntoItsPlace)
{
    RunLoopHarness h(2);
    h.core.Params.MonitorRestart = 1;
    ASSERT_TRUE(h.StartClients(2, kStartMs)) << h.LogDump();

    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE(round);
        DWORD oldPid = h.core.Slots.ProcessId[0];
        DWORD otherPid = h.core.Slots.ProcessId[1];
        EndProcessById(oldPid);
        ASSERT_TRUE(h.WaitForLog(" Restart successful: ", kStartMs, round, true)) << h.LogDump();
        DWORD newPid = h.core.Slots.ProcessId[0];
        EXPECT_NE(0u, newPid);
        EXPECT_NE(oldPid, newPid);
        EXPECT_EQ(otherPid, h.core.Slots.ProcessId[1]);
        std::vector<std::string> log = h.Log();
        int terminated = FindLine(log, "Process " + Hex(oldPid) + " (client 1) terminated");
        ASSERT_GE(terminated, 0);
        EXPECT_TRUE(LinesInOrder(std::vector<std::string>(log.begin() + terminated, log.end()),
                                 {" Attempting restart", SuccessLine(" Restart successful: ", h.core, 0)}));
        EXPECT_EQ("ZR - client 1", ReadStandInString(0, zr::REC_TITLE_AT_CLICK));
    }
    // The relaunched copy is watched like the first: killing the other one
    // is still reported with its own number.
    DWORD secondPid = h.core.Slots.ProcessId[1];
    ASSERT_TRUE(h.EndClient(secondPid, 1, 10000)) << h.LogDump();
    ASSERT_TRUE(h.WaitForLog(" Restart successful: ", kStartMs, 3, true)) << h.LogDump();
    ASSERT_TRUE(h.Stop());
}

TEST(RunLoop, WithoutMonitorRestartAnEndedClientLeavesAnEmptySlot)
{
    RunLoopHarness h(3);
    ASSERT_TRUE(h.StartClients(3, kStartMs)) << h.LogDump();
    DWORD pids[3] = {h.core.Slots.ProcessId[0], h.core.Slots.ProcessId[1], h.core.Slots.ProcessId[2]};

    ASSERT_TRUE(h.EndClient(pids[1], 1, 10000)) << h.LogDump();
    Sleep(500);
    EXPECT_EQ(0u, h.core.Slots.ProcessId[1]);
    // The third client moved up in the wait list but keeps its number.
    ASSERT_TRUE(h.EndClient(pids[2], 2, 10000)) << h.LogDump();
    Sleep(500);
    EXPECT_EQ(0u, h.core.Slots.ProcessId[2]);
    EXPECT_EQ(pids[0], h.core.Slots.ProcessId[0]);
    EXPECT_EQ(-1, FindLine(h.Log(), " Attempting restart"));
    EXPECT_EQ(3, CountLines(h.Log(), "starting client ", true));

    // Only the live client is stopped.
    ASSERT_TRUE(h.Stop());
    std::vector<std::string> log = h.Log();
    EXPECT_EQ(1, CountLines(log, "Stopping process ", true));
    EXPECT_TRUE(LinesInOrder(log, {"Client Stop initiated...", "Stopping process " + Hex(pids[0]) + "...",
                                   "Client Stop completed"}));
}

TEST(RunLoop, AFrozenProgressTextIsRestartedAtTheStallCheckAMovingOneIsNot)
{
    RunLoopHarness h(2);
    h.core.Params.StuckRestart = 1;
    h.core.Timings.MainWaitMs = 400;
    SetStandInValue(1, zr::FREEZE_PROGRESS, 1);
    ASSERT_TRUE(h.StartClients(2, kStartMs)) << h.LogDump();
    DWORD started = GetTickCount();
    DWORD movingPid = h.core.Slots.ProcessId[0];
    DWORD frozenPid = h.core.Slots.ProcessId[1];

    // The first check comes with the 11th time-out; the restarted copy is
    // frozen too, so the next check finds it stalled again.
    ASSERT_TRUE(h.WaitForLog("Client 2 is stalled - attempting restart", 30000)) << h.LogDump();
    EXPECT_GE(GetTickCount() - started, 10u * 400u);
    ASSERT_TRUE(h.WaitForLog(" Restart successful: ", kStartMs, 1, true)) << h.LogDump();
    ASSERT_TRUE(h.WaitForLog("Client 2 is stalled - attempting restart", 30000, 2)) << h.LogDump();

    std::vector<std::string> log = h.Log();
    EXPECT_EQ(-1, FindLine(log, "Client 1 is stalled - attempting restart"));
    EXPECT_EQ(movingPid, h.core.Slots.ProcessId[0]);
    EXPECT_TRUE(WaitProcessEnd(frozenPid, 10000));
    // Each stall is a warning event for client 2 (the 1st and 2nd of a
    // series are both reported).
    std::vector<RunLoopHarness::CapturedEvent> events = h.Events();
    ASSERT_EQ(2u, events.size());
    EXPECT_EQ(EVENT_CLIENT_STALLED, events[0].Id);
    EXPECT_EQ(EVENTLOG_WARNING_TYPE, events[0].Type);
    EXPECT_EQ((std::vector<std::string>{"2", Hex(frozenPid), "1"}), events[0].Strings);
    // The stalled copy was closed through its exit path.
    ASSERT_TRUE(h.Stop());
}

TEST(RunLoop, TimedRestartRelaunchesEverySlotEmptyOnesIncluded)
{
    RunLoopHarness h(2);
    h.core.Params.HourlyRestart = 1;
    h.core.Timings.MainWaitMs = 500;
    ASSERT_TRUE(h.StartClients(2, kStartMs)) << h.LogDump();
    DWORD first = h.core.Slots.ProcessId[0];
    DWORD second = h.core.Slots.ProcessId[1];
    ASSERT_TRUE(h.EndClient(second, 1, 10000)) << h.LogDump();

    // The instant is the next whole minute at the latest.
    ASSERT_TRUE(h.WaitForLog("Restart successful: ", 70000 + kStartMs, 2, true)) << h.LogDump();
    std::vector<std::string> log = h.Log();
    EXPECT_TRUE(LinesInOrder(log, {"Timed Restart", " Stopping process " + Hex(first) + " (client 1)...",
                                   " Restarting client 1", SuccessLine("Restart successful: ", h.core, 0),
                                   " Restarting client 2", SuccessLine("Restart successful: ", h.core, 1)}));
    EXPECT_EQ(-1, FindLine(log, " Stopping process " + Hex(second) + " (client 2)..."));
    EXPECT_TRUE(WaitProcessEnd(first, 5000));
    EXPECT_NE(0u, h.core.Slots.ProcessId[1]);
    // One event for the restart of all clients, none per client.
    EXPECT_EQ(1, h.CountEvents(EVENT_TIMED_RESTART));
    ASSERT_TRUE(h.Stop());
}

TEST(RunLoop, TaskbarCreatedRestartsEverySlotAfterThePause)
{
    RunLoopHarness h(2);
    h.core.Params.KeepVisible = 1;
    ASSERT_TRUE(h.StartClients(2, kStartMs)) << h.LogDump();
    DWORD first = h.core.Slots.ProcessId[0];
    DWORD second = h.core.Slots.ProcessId[1];
    ASSERT_TRUE(h.EndClient(second, 1, 10000)) << h.LogDump();
    HWND trayWindow = h.WaitForTrayWindow(5000);
    ASSERT_NE(nullptr, trayWindow);

    ASSERT_TRUE(PostMessageA(HWND_BROADCAST, RegisterWindowMessageA("TaskbarCreated"), 0, 0));
    ASSERT_TRUE(h.WaitForLog(" Restart successful: ", kStartMs, 2, true)) << h.LogDump();
    std::vector<std::string> log = h.Log();
    EXPECT_TRUE(LinesInOrder(log, {"KeepVisible restart initiated...", " Stopping client 1...",
                                   " Restarting client 1...", SuccessLine(" Restart successful: ", h.core, 0),
                                   " Restarting client 2...", SuccessLine(" Restart successful: ", h.core, 1)}));
    EXPECT_EQ(-1, FindLine(log, " Stopping client 2..."));
    EXPECT_TRUE(WaitProcessEnd(first, 5000));
    EXPECT_EQ(0, h.core.KeepVisibleRestart);
    EXPECT_EQ(1, h.CountEvents(EVENT_TRAY_RESTART));

    // The stop ends the keeper and its thread, then stops both copies.
    DWORD relaunched[2] = {h.core.Slots.ProcessId[0], h.core.Slots.ProcessId[1]};
    ASSERT_TRUE(h.Stop());
    EXPECT_FALSE(IsWindow(trayWindow));
    EXPECT_EQ(nullptr, h.core.TrayWindow);
    EXPECT_TRUE(LinesInOrder(h.Log(), {"Client Stop initiated...", "Stopping process " + Hex(relaunched[0]) + "...",
                                       "Stopping process " + Hex(relaunched[1]) + "...", "Client Stop completed"}));
}

TEST(RunLoop, AStopDuringTheKeepersPauseDoesNotWaitItOutAndTheKeeperStillEnds)
{
    RunLoopHarness h(1);
    h.core.Params.KeepVisible = 1;
    h.core.Timings.TrayPauseMs = 10000;
    ASSERT_TRUE(h.StartClients(1, kStartMs)) << h.LogDump();
    HWND trayWindow = h.WaitForTrayWindow(5000);
    ASSERT_NE(nullptr, trayWindow);
    DWORD pid = h.core.Slots.ProcessId[0];

    ASSERT_TRUE(PostMessageA(HWND_BROADCAST, RegisterWindowMessageA("TaskbarCreated"), 0, 0));
    Sleep(300);
    DWORD stopAsked = GetTickCount();
    ASSERT_TRUE(h.Stop(30000));
    EXPECT_LT(GetTickCount() - stopAsked, 8000u);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(h.core.StoppedEvent.get(), 0));
    std::vector<std::string> log = h.Log();
    EXPECT_EQ(-1, FindLine(log, "KeepVisible restart initiated..."));
    EXPECT_TRUE(LinesInOrder(log, {"Client Stop initiated...", "Stopping process " + Hex(pid) + "...",
                                   "Client Stop completed", "Service Stopped"}));
    EXPECT_EQ(1u, ReadStandInDword(0, zr::REC_CONFIRMED));

    // After its pause the keeper closes its window and raises no request
    // for a run that is over.
    for (DWORD start = GetTickCount(); IsWindow(trayWindow) && GetTickCount() - start < 15000;)
        Sleep(100);
    EXPECT_FALSE(IsWindow(trayWindow));
    EXPECT_EQ(0, h.core.KeepVisibleRestart);
}

TEST(RunLoop, ASecondSupervisorGivesUp)
{
    RunLoopHarness first(1);
    ASSERT_TRUE(first.StartClients(1, kStartMs)) << first.LogDump();

    RunLoopHarness second(1);
    second.Start();
    ASSERT_TRUE(second.WaitRunEnd(10000));
    EXPECT_EQ((std::vector<std::string>{"Service already running...abort"}), second.Log());
    EXPECT_NE(WAIT_OBJECT_0, WaitForSingleObject(second.core.StoppedEvent.get(), 0));
    EXPECT_EQ(0u, second.core.Slots.ProcessId[0]);
    ASSERT_TRUE(first.Stop());

    // One that cannot even wait for the mutex cannot tell whether another
    // runs: it starts nothing either.
    RunLoopHarness third(1);
    third.core.SettingsMutex.reset();
    third.Start();
    ASSERT_TRUE(third.WaitRunEnd(10000));
    EXPECT_EQ((std::vector<std::string>{std::string("Settings mutex ") + SettingsMutexName() +
                                        " cannot be used (error 6)...abort"}),
              third.Log());
    EXPECT_EQ(0u, third.core.Slots.ProcessId[0]);
}

TEST(RunLoop, AHangingClientIsTerminatedAndTheStopStillCompletesLate)
{
    RunLoopHarness h(2);
    h.core.Timings.StopWaitPerClientMs = 1000;  // two clients: 2 s
    SetStandInValue(0, zr::HANG_AFTER_CONFIRM, 1);
    ASSERT_TRUE(h.StartClients(2, kStartMs)) << h.LogDump();
    DWORD hanging = h.core.Slots.ProcessId[0];
    DWORD healthy = h.core.Slots.ProcessId[1];
    ASSERT_EQ(1u, ReadStandInDword(0, zr::HANG_AFTER_CONFIRM));
    ASSERT_EQ(hanging, ReadStandInDword(0, zr::REC_PROCESS_ID));

    // The request's log lines come at its bound; the progress it reports
    // (the service's stop-pending checkpoints) goes on until the loop has
    // really stopped every client.
    int progressTicks = 0;
    h.core.StopAndWait(h.running, [](void* ticks) { ++*static_cast<int*>(ticks); }, &progressTicks);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(h.core.StoppedEvent.get(), 0));
    EXPECT_GT(progressTicks, 3);
    EXPECT_TRUE(LinesInOrder(h.Log(), {"Client Stop initiated...", "Timeout on client stop", "Service Stopped",
                                       "Client Stop completed"}));

    // The loop goes on to its end: the hanging copy is terminated.
    ASSERT_TRUE(h.WaitRunEnd(30000));
    DWORD exitCode = 0;
    EXPECT_TRUE(WaitProcessEnd(hanging, 1000, &exitCode));
    EXPECT_EQ(0xFFFFFFFFu, exitCode) << "exit presses " << ReadStandInDword(0, zr::REC_EXIT_PRESSES) << ", confirmed "
                                     << ReadStandInDword(0, zr::REC_CONFIRMED) << ", shown "
                                     << ReadStandInDword(0, zr::REC_CONFIRM_SHOWN_TICK);
    EXPECT_TRUE(WaitProcessEnd(healthy, 1000));
    // Only the copy that had to be terminated is worth a warning.
    std::vector<RunLoopHarness::CapturedEvent> events = h.Events();
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ(EVENT_CLIENT_TERMINATED, events[0].Id);
    EXPECT_EQ((std::vector<std::string>{"1", Hex(hanging), "stop", "1"}), events[0].Strings);
    EXPECT_TRUE(LinesInOrder(h.Log(), {"Stopping process " + Hex(hanging) + "...",
                                       "Stopping process " + Hex(healthy) + "...", "Client Stop completed"}));
    EXPECT_TRUE(SettingsMutexIsFree(h.core));
}

TEST(RunLoop, AStopRequestedBeforeTheRunEndsItWithoutStartingAnything)
{
    RunLoopHarness h(2);
    h.core.StopRequested = 1;  // as OnStop leaves it while the service is not running
    h.Start();
    ASSERT_TRUE(h.WaitRunEnd(10000));
    EXPECT_EQ((std::vector<std::string>{"Starting Service", "Client Stop initiated...", "Client Stop completed"}),
              h.Log());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(h.core.StoppedEvent.get(), 0));
    EXPECT_TRUE(SettingsMutexIsFree(h.core));
}

TEST(RunLoop, AStoredRestartTimeThatIsNoTimeOfDayDisablesTheDailyRestart)
{
    RunLoopHarness h(1);
    h.core.Params.AutoRestart = 1;
    h.core.Params.RestartTime = 2400;
    ASSERT_TRUE(h.StartClients(1, kStartMs)) << h.LogDump();
    Sleep(1500);  // several time-outs: none restarts anything
    ASSERT_TRUE(h.Stop());
    std::vector<std::string> log = h.Log();
    EXPECT_EQ(1, CountLines(log, "RestartTime 2400 is not a time of day: no daily restart"));
    EXPECT_EQ(-1, FindLine(log, "Timed Restart"));
    EXPECT_EQ(1, CountLines(log, "starting client ", true));
}

TEST(RunLoop, RequestFlagsNeverSwallowAStopAndAQueueEventTouchesNoClient)
{
    RunLoopHarness h(1);
    ASSERT_TRUE(h.StartClients(1, kStartMs)) << h.LogDump();
    DWORD pid = h.core.Slots.ProcessId[0];

    h.core.QueueEventPending = 1;
    SetEvent(h.core.StopEvent.get());
    ASSERT_TRUE(h.WaitForLog("Queue event processed...", 5000)) << h.LogDump();
    Sleep(500);
    EXPECT_EQ(0, h.core.QueueEventPending);
    EXPECT_EQ(pid, h.core.Slots.ProcessId[0]);
    EXPECT_FALSE(h.WaitRunEnd(0));

    // The event alone, with no flag, is no stop either, and cannot spin.
    SetEvent(h.core.StopEvent.get());
    ASSERT_TRUE(h.WaitForLog("Wake-up without a request - waiting again", 5000)) << h.LogDump();
    Sleep(500);
    EXPECT_EQ(1, CountLines(h.Log(), "Wake-up without a request - waiting again"));
    EXPECT_EQ(pid, h.core.Slots.ProcessId[0]);
    EXPECT_FALSE(h.WaitRunEnd(0));

    // A stop that arrives together with a tray request is still a stop.
    h.core.KeepVisibleRestart = 1;
    h.core.StopRequested = 1;
    SetEvent(h.core.StopEvent.get());
    ASSERT_TRUE(h.WaitRunEnd(30000));
    std::vector<std::string> log = h.Log();
    EXPECT_EQ(-1, FindLine(log, "KeepVisible restart initiated..."));
    EXPECT_TRUE(LinesInOrder(log, {"Client Stop initiated...", "Stopping process " + Hex(pid) + "...",
                                   "Client Stop completed"}));
}

TEST(RunLoop, AClientThatCannotStartIsRetriedOnlyWithMonitorRestart)
{
    {
        RunLoopHarness h(2);
        SetStandInValue(0, zr::NO_START_BUTTON, 1);
        ASSERT_TRUE(h.StartClients(1, kStartMs)) << h.LogDump();
        std::vector<std::string> log = h.Log();
        EXPECT_TRUE(LinesInOrder(log, {"starting client 1", "Unable to start client, Code = 4", "starting client 2",
                                       SuccessLine("Client start successful: ", h.core, 1)}));
        EXPECT_EQ(-1, FindLine(log, "Retrying..."));
        EXPECT_EQ(0u, h.core.Slots.ProcessId[0]);
        ASSERT_TRUE(h.Stop());
        EXPECT_EQ(1, CountLines(h.Log(), "Stopping process ", true));
    }
    {
        // With MonitorRestart the first client is tried a few times in a
        // row, then the next one starts and the first is tried again later,
        // less and less often, until it can start.
        RunLoopHarness h(2);
        h.core.Params.MonitorRestart = 1;
        SetStandInValue(0, zr::NO_START_BUTTON, 1);
        ASSERT_TRUE(h.StartClients(1, kStartMs)) << h.LogDump();
        ASSERT_TRUE(h.WaitForLog("Retrying client 1", kStartMs, 4)) << h.LogDump();
        std::vector<std::string> log = h.Log();
        EXPECT_TRUE(LinesInOrder(
            log, {"starting client 1", "Unable to start client, Code = 4", "Retrying...", "starting client 1",
                  "Unable to start client, Code = 4", "Retrying...", "starting client 1",
                  "Unable to start client, Code = 4", " Client 1 will be retried in 1 s", "starting client 2",
                  SuccessLine("Client start successful: ", h.core, 1), "Retrying client 1",
                  " Retry failed, Code = 4", " Client 1 will be retried in 2 s", "Retrying client 1",
                  " Client 1 will be retried in 4 s", "Retrying client 1", "Retrying client 1"}));
        EXPECT_EQ(3, CountLines(log, "starting client 1"));
        // At the cap the delay is not logged again.
        EXPECT_EQ(1, CountLines(log, " Client 1 will be retried in 4 s"));
        EXPECT_EQ(2, CountLines(log, "Retrying..."));

        SetStandInValue(0, zr::NO_START_BUTTON, 0);
        ASSERT_TRUE(h.WaitForLog(" Restart successful: ", kStartMs, 1, true)) << h.LogDump();
        EXPECT_NE(0u, h.core.Slots.ProcessId[0]);
        ASSERT_TRUE(h.Stop());
        EXPECT_EQ(2, CountLines(h.Log(), "Stopping process ", true));
    }
}

TEST(RunLoop, ASlotEmptiedByAFailedCrashRelaunchComesBack)
{
    RunLoopHarness h(1);
    h.core.Params.MonitorRestart = 1;
    ASSERT_TRUE(h.StartClients(1, kStartMs)) << h.LogDump();
    DWORD first = h.core.Slots.ProcessId[0];

    SetStandInValue(0, zr::NO_START_BUTTON, 1);
    ASSERT_TRUE(h.EndClient(first, 0, 10000)) << h.LogDump();
    ASSERT_TRUE(h.WaitForLog(" Client 1 will be retried in 1 s", kStartMs)) << h.LogDump();
    SetStandInValue(0, zr::NO_START_BUTTON, 0);
    ASSERT_TRUE(h.WaitForLog(" Restart successful: ", kStartMs, 1, true)) << h.LogDump();
    EXPECT_TRUE(LinesInOrder(h.Log(), {"Process " + Hex(first) + " (client 1) terminated", " Attempting restart",
                                       " Unable to restart client after crash, Code = 4",
                                       " Client 1 will be retried in 1 s", "Retrying client 1",
                                       SuccessLine(" Restart successful: ", h.core, 0)}));

    // Back in the wait list: its end is seen like any other.
    ASSERT_TRUE(h.EndClient(h.core.Slots.ProcessId[0], 0, 10000)) << h.LogDump();
    ASSERT_TRUE(h.WaitForLog(" Restart successful: ", kStartMs, 2, true)) << h.LogDump();
    ASSERT_TRUE(h.Stop());
}

TEST(RunLoop, AClientThatHangsAfterStartHoldsUpNeitherTheLoopNorTheStop)
{
    RunLoopHarness h(2);
    h.core.Params.StuckRestart = 1;
    SetStandInValue(0, zr::HANG_AFTER_START, 1);
    ASSERT_TRUE(h.StartClients(2, kStartMs)) << h.LogDump();
    DWORD hung = h.core.Slots.ProcessId[0];
    DWORD healthy = h.core.Slots.ProcessId[1];
    EXPECT_EQ(1u, ReadStandInDword(0, zr::REC_CLICKS));

    // Its progress text froze with it: the stall check replaces it (the new
    // copy hangs as well) and the other client runs on.
    ASSERT_TRUE(h.WaitForLog("Client 1 is stalled - attempting restart", kStartMs)) << h.LogDump();
    ASSERT_TRUE(h.WaitForLog(" Restart successful: ", kStartMs, 1, true)) << h.LogDump();
    EXPECT_TRUE(WaitProcessEnd(hung, 10000));
    EXPECT_EQ(healthy, h.core.Slots.ProcessId[1]);

    DWORD hungAgain = h.core.Slots.ProcessId[0];
    DWORD stopAsked = GetTickCount();
    ASSERT_TRUE(h.Stop(60000));
    EXPECT_LT(GetTickCount() - stopAsked, 30000u);
    EXPECT_TRUE(LinesInOrder(h.Log(), {"Client Stop initiated...", "Stopping process " + Hex(hungAgain) + "...",
                                       "Stopping process " + Hex(healthy) + "...", "Client Stop completed"}));
    EXPECT_TRUE(WaitProcessEnd(hungAgain, 1000));
}

TEST(RunLoop, ACrashLoopIsThrottledAndTheScheduleStillRunsOnTime)
{
    RunLoopHarness h(2);
    h.core.Params.MonitorRestart = 1;
    h.core.Params.HourlyRestart = 1;
    // Without the throttle the crashing copy would wake the loop far more
    // often than once per wait.
    h.core.Timings.MainWaitMs = 4000;
    h.core.Timings.QuickFailureWindowMs = 15000;
    SetStandInValue(0, zr::CRASH_AFTER_MS, 700);
    ASSERT_TRUE(h.StartClients(2, kStartMs)) << h.LogDump();
    const DWORD steady = h.core.Slots.ProcessId[1];

    // The periodic instant is a whole minute, at most a minute away; the
    // restart comes within one wait of it.
    ASSERT_TRUE(h.WaitForLog("Timed Restart", 90000)) << h.LogDump();
    SYSTEMTIME seen = {};
    GetLocalTime(&seen);
    EXPECT_LE(seen.wSecond, 4 + 3);
    // The timed restart ends with a new copy in slot 2.
    for (DWORD start = GetTickCount(); GetTickCount() - start < kStartMs;) {
        DWORD now = h.core.Slots.ProcessId[1];
        if (now != 0 && now != steady)
            break;
        Sleep(50);
    }
    ASSERT_TRUE(h.WaitForLog(" Restart of client 1 delayed 4 s (4 quick failures in a row)", kStartMs)) << h.LogDump();
    ASSERT_TRUE(h.Stop());

    std::vector<std::string> log = h.Log();
    EXPECT_TRUE(LinesInOrder(log, {" Attempting restart", " Restart of client 1 delayed 1 s (2 quick failures in a row)",
                                   "Retrying client 1", " Restart of client 1 delayed 2 s (3 quick failures in a row)",
                                   "Retrying client 1", " Restart of client 1 delayed 4 s (4 quick failures in a row)"}));
    // Only the first quick end is relaunched at once, the timed restart's
    // copy included: the count goes on across it.
    EXPECT_EQ(1, CountLines(log, " Attempting restart"));
    EXPECT_TRUE(LinesInOrder(log, {"Timed Restart", " Restarting client 1", " Restarting client 2"}));
}

namespace {

bool RunningUnderWine()
{
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

const char kWindows9xCopy[] = "run_loop_9x_copy.exe";

} // namespace

// Run as two processes: this program asks Wine to present Windows 98 to a
// copy of itself, and the copy runs the supervisor.
TEST(RunLoop, OnTheWindows9xFamilyAtMostTwoClientsRunThisTime)
{
    if (qel::IsWindows9xFamily()) {
        RunLoopHarness h(5);
        ASSERT_TRUE(h.StartClients(2, kStartMs)) << h.LogDump();
        ASSERT_TRUE(h.Stop());
        std::vector<std::string> log = h.Log();
        EXPECT_EQ(2, CountLines(log, "starting client ", true));
        EXPECT_EQ(2, CountLines(log, "Stopping process ", true));
        // The stored setting is left as it was.
        EXPECT_EQ(5u, h.core.Params.NumClients);
        return;
    }
    if (!RunningUnderWine())
        GTEST_SKIP() << "needs Wine's per-program Windows version";

    ProgramRun child = RunSelfAsWindows98(
        kWindows9xCopy, "--gtest_filter=RunLoop.OnTheWindows9xFamilyAtMostTwoClientsRunThisTime", 120000);
    for (unsigned i = 0; i < 5; ++i)
        EndProcessById(ReadStandInDword(i, zr::REC_PROCESS_ID));

    ASSERT_TRUE(child.Started);
    EXPECT_FALSE(child.TimedOut);
    EXPECT_EQ(0u, child.ExitCode) << child.Output;
    EXPECT_NE(std::string::npos, child.Output.find("[  PASSED  ] 1 test")) << child.Output;
}

TEST(RunLoop, AllClientsStopTogetherThroughExitWithTheirLinesInIndexOrder)
{
    const unsigned kClients = 4;
    const DWORD kConfirmDelayMs = 3000;
    RunLoopHarness h(kClients);
    h.core.Timings.StopConfirmDelayMs = kConfirmDelayMs;
    ASSERT_TRUE(h.StartClients(kClients, kStartMs)) << h.LogDump();
    std::vector<std::string> expected = {"Client Stop initiated..."};
    DWORD pids[kClients] = {};
    for (unsigned i = 0; i < kClients; ++i) {
        pids[i] = h.core.Slots.ProcessId[i];
        expected.push_back("Stopping process " + Hex(pids[i]) + "...");
    }
    expected.push_back("Client Stop completed");

    DWORD started = GetTickCount();
    ASSERT_TRUE(h.Stop());
    DWORD took = GetTickCount() - started;

    // One after the other they would take kClients x kConfirmDelayMs at least.
    EXPECT_GE(took, kConfirmDelayMs);
    EXPECT_LT(took, 2 * kConfirmDelayMs) << h.LogDump();
    EXPECT_TRUE(LinesInOrder(h.Log(), expected));
    DWORD firstConfirmed = 0, lastConfirmed = 0;
    for (unsigned i = 0; i < kClients; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(1u, ReadStandInDword(i, zr::REC_EXIT_PRESSES));
        EXPECT_EQ(1u, ReadStandInDword(i, zr::REC_CONFIRMED));
        EXPECT_TRUE(WaitProcessEnd(pids[i], 5000));
        DWORD tick = ReadStandInDword(i, zr::REC_CONFIRMED_TICK);
        if (i == 0 || static_cast<LONG>(tick - firstConfirmed) < 0)
            firstConfirmed = tick;
        if (i == 0 || static_cast<LONG>(tick - lastConfirmed) > 0)
            lastConfirmed = tick;
    }
    // The confirmation pauses overlapped.
    EXPECT_LT(lastConfirmed - firstConfirmed, kConfirmDelayMs);
}

namespace {

const char kKilledSupervisorLog[] = "run_loop_killed_supervisor.log";
const char kKilledSupervisorTest[] = "RunLoop.DISABLED_SupervisorThatIsKilledFromOutside";
const unsigned kKilledSupervisorClients = 2;

} // namespace

// Runs in a copy of this program that the next test kills; never on its own.
TEST(RunLoop, DISABLED_SupervisorThatIsKilledFromOutside)
{
    RunLoopHarness h(kKilledSupervisorClients);
    snprintf(h.core.LogPath, sizeof h.core.LogPath, "%s", PathBesideTest(kKilledSupervisorLog).c_str());
    ASSERT_TRUE(h.StartClients(kKilledSupervisorClients, kStartMs)) << h.LogDump();
    Sleep(kStartMs);
}

TEST(RunLoop, ASupervisorKilledFromOutsideTakesItsClientsWithIt)
{
    std::string logPath = PathBesideTest(kKilledSupervisorLog);
    DeleteFileA(logPath.c_str());
    for (unsigned i = 0; i <= kKilledSupervisorClients; ++i)
        DeleteStandInKey(i);
    char self[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    OwnedProcess supervisor;
    ASSERT_TRUE(supervisor.Start(self, std::string(" --gtest_also_run_disabled_tests --gtest_filter=") +
                                           kKilledSupervisorTest));

    DWORD pids[kKilledSupervisorClients] = {};
    bool working = false;
    for (DWORD start = GetTickCount(); !working && GetTickCount() - start < kStartMs; Sleep(100)) {
        working = true;
        for (unsigned i = 0; i < kKilledSupervisorClients; ++i) {
            pids[i] = ReadStandInDword(i, zr::REC_PROCESS_ID);
            working = working && pids[i] != 0 && ReadStandInDword(i, zr::REC_CLICKS) == 1;
        }
    }
    EXPECT_TRUE(working);
    EXPECT_TRUE(supervisor.Running());

    supervisor.reset();
    for (unsigned i = 0; i < kKilledSupervisorClients; ++i) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(WaitProcessEnd(pids[i], 5000));
        // Ended with the supervisor, not stopped by it.
        EXPECT_EQ(0u, ReadStandInDword(i, zr::REC_EXIT_PRESSES));
        EndProcessById(pids[i]);
        DeleteStandInKey(i);
    }
    std::vector<std::string> log = ReadLogLines(logPath);
    EXPECT_EQ(-1, FindLine(log, "Clients are not tied", 0, true));
    EXPECT_EQ(-1, FindLine(log, "Client Stop initiated..."));
    DeleteFileA(logPath.c_str());
}

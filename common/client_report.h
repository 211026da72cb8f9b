// The one way in for everything notable the run loop does to a client slot:
// each call writes the activity-log line (texts unchanged), the event for
// the Windows event log where the host has one, and the slot's live status.
#pragma once

#include <windows.h>

#include "activity_log.h"  // SupervisorEvent
#include "run_loop_schedule.h"
#include "service_params.h"
#include "status_store.h"

class SupervisorCore;

// Event ids of the message table (100 to 109 belong to the service
// framework and the service host).
constexpr DWORD EVENT_CLIENT_ENDED = 110;         // warning
constexpr DWORD EVENT_CLIENT_THROTTLED = 111;     // warning
constexpr DWORD EVENT_CLIENT_STALLED = 112;       // warning
constexpr DWORD EVENT_CLIENT_TERMINATED = 113;    // warning
constexpr DWORD EVENT_CLIENT_CANNOT_START = 114;  // error
constexpr DWORD EVENT_CLIENT_WORKING_AGAIN = 115; // information
constexpr DWORD EVENT_TIMED_RESTART = 116;        // information
constexpr DWORD EVENT_TRAY_RESTART = 117;         // information

// The code StopClient gives a copy that it has to terminate.
constexpr DWORD STOP_TERMINATED_EXIT_CODE = 0xFFFFFFFFu;

// Repeats of one kind of event for one slot.  A series starts with the
// first occurrence and ends after quietMs without one; within it the 1st,
// 2nd, 4th, 8th ... occurrence is reported, so a slot that fails all week
// writes a handful of events of each kind, not thousands.
struct EventSeries {
    unsigned Count = 0;
    ULONGLONG LastAt = 0;
};
// Counts an occurrence at `now`; true when it is to be reported.
bool CountInSeries(EventSeries& series, ULONGLONG now, ULONGLONG quietMs);

// Which restart path a launch belongs to: each has its own log lines.
enum class LaunchPath { Initial, KeepVisible, Crash, Stall, Timed, Retry };
// Which stop line a stop of all clients writes.
enum class StopLine { Final, Timed, KeepVisible };

class ClientReport {
public:
    ClientReport(SupervisorCore& core, const ServiceParams& params, TickExtender& clock);

    // "Starting Service"; the status key starts afresh for this run.
    void RunStarted();
    // The attempt line of the path (none for a stall relaunch), with the
    // processor mask the copy gets.
    void Attempt(LaunchPath path, unsigned i, DWORD mask);
    void Launched(LaunchPath path, unsigned i);
    void LaunchFailed(LaunchPath path, unsigned i, int code);
    // The slot stays empty after its start attempts; with a retry delay it
    // is tried again then (logDelay: the delay differs from the last one).
    void CannotStart(unsigned i, int code, DWORD retryDelayMs, bool logDelay);
    // Its copy ended by itself.
    void Ended(unsigned i, DWORD exitCode, ULONGLONG ranMs);
    void Throttled(unsigned i, DWORD delayMs, unsigned quickFailures);
    void Stalled(unsigned i);
    void Stopping(StopLine line, unsigned i);
    // A copy the supervisor stopped has ended, with this exit code.
    void Stopped(unsigned i, EndKind how, DWORD exitCode);
    // "Timed Restart" or "KeepVisible restart initiated...": one event for
    // all clients.
    void AllRestarting(EndKind how);
    void RunEnded();

private:
    enum Kind { KIND_ENDED, KIND_THROTTLED, KIND_STALLED, KIND_TERMINATED, KIND_CANNOT_START, KIND_COUNT };
    bool Due(unsigned slot, Kind kind);
    void Event(WORD type, DWORD id, const char* s1 = nullptr, const char* s2 = nullptr, const char* s3 = nullptr,
               const char* s4 = nullptr, const char* s5 = nullptr);
    void SetState(unsigned i, SlotState state, ULONGLONG at = 0);
    void NoteUntiedClient(int code);

    SupervisorCore& core_;
    const ServiceParams& params_;
    TickExtender& clock_;
    ClientStatus status_[MAX_CLIENTS];
    EventSeries series_[MAX_CLIENTS][KIND_COUNT];
    EventSeries allRestartSeries_[2];  // timed, tray
    // An outage whose "cannot start" was reported gets its "working again".
    bool outageReported_[MAX_CLIENTS] = {};
    bool untiedReported_ = false;
};

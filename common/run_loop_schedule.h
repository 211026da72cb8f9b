// Time keeping of the run loop, as plain functions over integers: a 64-bit
// millisecond clock built from GetTickCount readings, the back-off of slots
// that cannot start, the crash-loop throttle and the wait time-out that
// serves whichever of them comes first.
#pragma once

#include <windows.h>

// GetTickCount wraps after 49.7 days and GetTickCount64 is missing from the
// oldest systems we run on: successive readings are extended to 64 bits
// here.  The loop reads it at least once per wait (30 s at most), far more
// often than once per wrap, so every wrap is seen.
struct TickExtender {
    DWORD LastTick = 0;
    ULONGLONG Wraps = 0;  // in units of 2^32 ms
};

// The reading `tick` as 64-bit milliseconds since the system started.
ULONGLONG ExtendTick(TickExtender& clock, DWORD tick);

// Delay of attempt `step` (1, 2, ...) in a back-off that starts at firstMs
// and doubles up to capMs; 0 for step 0.
DWORD BackoffDelayMs(unsigned step, DWORD firstMs, DWORD capMs);

// Consecutive quick failures of a slot once its client ended after running
// ranMs: one more when it ended within windowMs of its launch, else none
// (a client that ran longer starts the count afresh).
unsigned CountQuickFailure(unsigned previous, ULONGLONG ranMs, DWORD windowMs);

// How long the relaunch after a client's end waits, given the quick failures
// counted for it.  A client that ran long, or failed quickly only once, is
// relaunched at once; from the second quick failure in a row on the delay
// backs off (firstMs, doubling, up to capMs).
DWORD CrashRelaunchDelayMs(unsigned quickFailures, DWORD firstMs, DWORD capMs);

// What the loop remembers of one slot between wake-ups.
struct SlotRetry {
    bool Pending = false;     // empty, and to be launched again at DueAt
    ULONGLONG DueAt = 0;
    unsigned Failures = 0;    // failed launches in a row (the back-off step)
    DWORD LastDelayMs = 0;    // of the last retry set for it
    unsigned QuickFailures = 0;
    ULONGLONG LaunchedAt = 0; // of the client now in the slot
};

// The earliest DueAt of the pending slots below count; false when none is
// pending.
bool NextDueRetry(const SlotRetry* slots, unsigned count, ULONGLONG* dueAt);

// The main wait's time-out at `now`: until the next periodic tick or the
// next due retry, whichever is earlier; 0 when one is already due.
DWORD WaitTimeoutMs(ULONGLONG now, ULONGLONG nextTickAt, bool retryPending, ULONGLONG retryDueAt);

// True once periodMs have passed since `since`.
inline bool PeriodElapsed(ULONGLONG now, ULONGLONG since, ULONGLONG periodMs)
{
    return now >= since && now - since >= periodMs;
}

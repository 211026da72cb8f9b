#include "run_loop_schedule.h"

ULONGLONG ExtendTick(TickExtender& clock, DWORD tick)
{
    if (tick < clock.LastTick)
        ++clock.Wraps;
    clock.LastTick = tick;
    return (clock.Wraps << 32) | tick;
}

DWORD BackoffDelayMs(unsigned step, DWORD firstMs, DWORD capMs)
{
    if (step == 0)
        return 0;
    ULONGLONG delay = firstMs;
    // Doubling stops at the cap; the step count itself may grow for months.
    for (unsigned k = 1; k < step && delay < capMs; ++k)
        delay *= 2;
    return delay < capMs ? static_cast<DWORD>(delay) : capMs;
}

unsigned CountQuickFailure(unsigned previous, ULONGLONG ranMs, DWORD windowMs)
{
    if (ranMs >= windowMs)
        return 0;
    // Kept well below overflow; the delay is capped long before.
    return previous < 0xFFFF ? previous + 1 : previous;
}

DWORD CrashRelaunchDelayMs(unsigned quickFailures, DWORD firstMs, DWORD capMs)
{
    if (quickFailures <= 1)
        return 0;
    return BackoffDelayMs(quickFailures - 1, firstMs, capMs);
}

bool NextDueRetry(const SlotRetry* slots, unsigned count, ULONGLONG* dueAt)
{
    bool any = false;
    for (unsigned i = 0; i < count; ++i) {
        if (!slots[i].Pending)
            continue;
        if (!any || slots[i].DueAt < *dueAt)
            *dueAt = slots[i].DueAt;
        any = true;
    }
    return any;
}

DWORD WaitTimeoutMs(ULONGLONG now, ULONGLONG nextTickAt, bool retryPending, ULONGLONG retryDueAt)
{
    ULONGLONG until = nextTickAt;
    if (retryPending && retryDueAt < until)
        until = retryDueAt;
    if (until <= now)
        return 0;
    ULONGLONG wait = until - now;
    // Never INFINITE: a time-out at most just below it.
    return wait < 0xFFFFFFFEull ? static_cast<DWORD>(wait) : 0xFFFFFFFEu;
}

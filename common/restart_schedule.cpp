#include "restart_schedule.h"

#include "config_rules.h"

namespace {

ULONGLONG ToTicks(const FILETIME& time)
{
    ULARGE_INTEGER value;
    value.LowPart = time.dwLowDateTime;
    value.HighPart = time.dwHighDateTime;
    return value.QuadPart;
}

FILETIME FromTicks(ULONGLONG ticks)
{
    ULARGE_INTEGER value;
    value.QuadPart = ticks;
    FILETIME time;
    time.dwLowDateTime = value.LowPart;
    time.dwHighDateTime = value.HighPart;
    return time;
}

} // namespace

bool NextRestartAfter(DWORD hourlyRestart, DWORD restartTime, const SYSTEMTIME& localNow,
                      const FILETIME& localNowFileTime, FILETIME* nextRestart)
{
    // Both schedules count from the start of the current minute.
    SYSTEMTIME base = localNow;
    base.wSecond = 0;
    base.wMilliseconds = 0;

    if (hourlyRestart != 0) {
        FILETIME baseTime;
        if (!SystemTimeToFileTime(&base, &baseTime))
            return false;
        // In 64 bits: minutes times 60 in 32 bits wraps for a large stored
        // value (0x40000000 gave 0, a restart at every wake-up).
        *nextRestart = FromTicks(ToTicks(baseTime) + static_cast<ULONGLONG>(hourlyRestart) * FILETIME_TICKS_PER_MINUTE);
        return true;
    }

    // A stored time such as 2400 or 1275 names no time of day.  Rather than
    // keep an instant that was never computed, there is then no daily
    // restart at all; the run loop logs that once.
    if (!IsValidRestartTime(restartTime))
        return false;

    base.wHour = static_cast<WORD>(restartTime / 100);
    base.wMinute = static_cast<WORD>(restartTime % 100);
    FILETIME instant;
    if (!SystemTimeToFileTime(&base, &instant))
        return false;

    // The first HH:MM strictly after now: equal counts as passed.
    ULONGLONG ticks = ToTicks(instant);
    const ULONGLONG now = ToTicks(localNowFileTime);
    while (now >= ticks)
        ticks += FILETIME_TICKS_PER_DAY;
    *nextRestart = FromTicks(ticks);
    return true;
}

FILETIME CurrentLocalFileTime()
{
    FILETIME systemTime;
    GetSystemTimeAsFileTime(&systemTime);
    FILETIME localTime;
    if (!FileTimeToLocalFileTime(&systemTime, &localTime))
        localTime = systemTime;
    return localTime;
}

bool ComputeNextRestart(DWORD hourlyRestart, DWORD restartTime, FILETIME* nextRestart)
{
    // One reading of the clock serves as both the time of day and the instant
    // compared with, so the two cannot straddle a minute or a midnight.
    FILETIME localNowFileTime = CurrentLocalFileTime();
    SYSTEMTIME localNow;
    if (!FileTimeToSystemTime(&localNowFileTime, &localNow))
        GetLocalTime(&localNow);
    return NextRestartAfter(hourlyRestart, restartTime, localNow, localNowFileTime, nextRestart);
}

bool RestartDue(const FILETIME& localNow, const FILETIME& nextRestart)
{
    return CompareFileTime(&localNow, &nextRestart) >= 0;
}

bool RestartInstantTooFar(DWORD hourlyRestart, const FILETIME& localNow, const FILETIME& nextRestart)
{
    ULONGLONG now = ToTicks(localNow);
    ULONGLONG next = ToTicks(nextRestart);
    if (next <= now)
        return false;
    if (hourlyRestart == 0) {
        // A daily instant is today's or tomorrow's time of day.  Measured in
        // hours it may lie up to a day and an hour ahead once the clock has
        // gone back at the end of daylight saving; computing it anew then
        // would give today's time again, a second restart on the same date.
        // Local FILETIMEs count whole days from a local midnight.
        return next / FILETIME_TICKS_PER_DAY > now / FILETIME_TICKS_PER_DAY + 1;
    }
    // One minute of slack: an instant counts from the start of its minute,
    // so a fresh one lies up to a period plus that minute ahead.
    ULONGLONG period = static_cast<ULONGLONG>(hourlyRestart) * FILETIME_TICKS_PER_MINUTE;
    return next - now > period + FILETIME_TICKS_PER_MINUTE;
}

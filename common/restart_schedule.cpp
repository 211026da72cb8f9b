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
        // The count of seconds is formed in 32 bits, as the setting is
        // stored; only the conversion to intervals needs 64.
        DWORD seconds = hourlyRestart * 60u;
        *nextRestart = FromTicks(ToTicks(baseTime) + static_cast<ULONGLONG>(seconds) * 10000000ull);
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

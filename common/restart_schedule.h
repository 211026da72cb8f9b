// When all clients are restarted next: every HourlyRestart minutes, or daily
// at RestartTime (HHMM).  Instants are FILETIMEs in local time.
#pragma once

#include <windows.h>

// 100-nanosecond intervals.
constexpr ULONGLONG FILETIME_TICKS_PER_MINUTE = 60ull * 10000000ull;
constexpr ULONGLONG FILETIME_TICKS_PER_DAY = 864000000000ull;

// The schedule arithmetic on a given clock: localNow is the local time of day
// (GetLocalTime), localNowFileTime the same instant as a local FILETIME.
// Returns false, leaving *nextRestart untouched, when hourlyRestart is 0 and
// restartTime is not a time of day.
bool NextRestartAfter(DWORD hourlyRestart, DWORD restartTime, const SYSTEMTIME& localNow,
                      const FILETIME& localNowFileTime, FILETIME* nextRestart);

// NextRestartAfter on the machine's clock.  A false result means there is no
// daily restart to schedule (RestartTime is no time of day); the caller reports it.
bool ComputeNextRestart(DWORD hourlyRestart, DWORD restartTime, FILETIME* nextRestart);

// The current time as a local FILETIME, the way the run loop compares it
// with a scheduled instant.
FILETIME CurrentLocalFileTime();

// True when nextRestart lies further ahead of localNow than the schedule can
// explain: the clock was set back since it was computed, and waiting for it
// would delay the restart by as much.  The caller computes the instant anew.
// Periodic: more than hourlyRestart minutes ahead.  Daily: on a date beyond
// tomorrow's, so that the hour repeated when daylight saving ends (or a
// clock set back within the day) never brings a second restart on the date
// that had one.
bool RestartInstantTooFar(DWORD hourlyRestart, const FILETIME& localNow, const FILETIME& nextRestart);

// A scheduled instant has come when now is not earlier than it.
bool RestartDue(const FILETIME& localNow, const FILETIME& nextRestart);

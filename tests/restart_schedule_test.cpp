#include <gtest/gtest.h>

#include <vector>

#include "restart_schedule.h"

namespace {

SYSTEMTIME At(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second = 0, WORD ms = 0)
{
    SYSTEMTIME t = {};
    t.wYear = year;
    t.wMonth = month;
    t.wDay = day;
    t.wHour = hour;
    t.wMinute = minute;
    t.wSecond = second;
    t.wMilliseconds = ms;
    return t;
}

FILETIME ToFileTime(const SYSTEMTIME& t)
{
    FILETIME f = {};
    EXPECT_TRUE(SystemTimeToFileTime(&t, &f));
    return f;
}

ULONGLONG Ticks(const FILETIME& f)
{
    return (static_cast<ULONGLONG>(f.dwHighDateTime) << 32) | f.dwLowDateTime;
}

struct ScheduleCase {
    const char* what;
    DWORD hourlyRestart;
    DWORD restartTime;
    SYSTEMTIME now;
    SYSTEMTIME expected;
};

} // namespace

TEST(RestartSchedule, ComputesTheNextInstantOnAGivenClock)
{
    const ScheduleCase cases[] = {
        {"periodic counts from the start of the minute, across midnight", 30, 0,
         At(2026, 12, 7, 23, 50, 10), At(2026, 12, 8, 0, 20)},
        {"periodic one minute, 0.1 s before the next minute", 1, 0, At(2026, 12, 7, 10, 15, 59, 900),
         At(2026, 12, 7, 10, 16)},
        {"periodic across the year's end", 120, 0, At(2026, 12, 31, 23, 30, 1), At(2027, 1, 1, 1, 30)},
        {"periodic wins over a daily time", 120, 1230, At(2026, 12, 7, 11, 0, 30), At(2026, 12, 7, 13, 0)},
        {"daily, still ahead today", 0, 300, At(2026, 12, 7, 2, 59, 59, 900), At(2026, 12, 7, 3, 0)},
        {"daily, exactly now counts as passed", 0, 300, At(2026, 12, 7, 3, 0, 0, 0), At(2026, 12, 8, 3, 0)},
        {"daily, later that day", 0, 300, At(2026, 12, 7, 17, 45, 12), At(2026, 12, 8, 3, 0)},
        {"daily 0000 is the coming midnight", 0, 0, At(2026, 12, 7, 0, 0, 0, 1), At(2026, 12, 8, 0, 0)},
        {"daily 0000 from the evening", 0, 0, At(2026, 2, 28, 21, 0), At(2026, 3, 1, 0, 0)},
        {"daily 2359 a second before", 0, 2359, At(2026, 12, 7, 23, 58, 59), At(2026, 12, 7, 23, 59)},
    };
    for (const ScheduleCase& c : cases) {
        SCOPED_TRACE(c.what);
        FILETIME next = {};
        ASSERT_TRUE(NextRestartAfter(c.hourlyRestart, c.restartTime, c.now, ToFileTime(c.now), &next));
        EXPECT_EQ(Ticks(ToFileTime(c.expected)), Ticks(next));
    }
}

TEST(RestartSchedule, LargeMinuteCountsDoNotWrap)
{
    // 0x40000000 minutes x 60 wrapped to 0 in 32 bits: a restart at every
    // wake-up.
    SYSTEMTIME now = At(2026, 12, 7, 8, 0, 30);
    const ULONGLONG base = Ticks(ToFileTime(At(2026, 12, 7, 8, 0)));
    for (DWORD minutes : {0x40000000u, 0xFFFFFFFFu}) {
        FILETIME next = {};
        ASSERT_TRUE(NextRestartAfter(minutes, 0, now, ToFileTime(now), &next));
        EXPECT_EQ(base + minutes * FILETIME_TICKS_PER_MINUTE, Ticks(next)) << minutes;
    }
}

// An instant computed before the clock was set back lies further ahead than
// one period and is computed anew; one within a period (plus the minute an
// instant counts from) is kept.
TEST(RestartSchedule, InstantBeyondOnePeriodMeansTheClockWentBack)
{
    const FILETIME now = ToFileTime(At(2026, 12, 7, 8, 0, 30));
    const ULONGLONG minute = FILETIME_TICKS_PER_MINUTE;
    struct Case {
        const char* what;
        DWORD hourlyRestart;
        ULONGLONG ahead;
        bool tooFar;
    } cases[] = {
        {"periodic, a fresh instant", 30, 30 * minute, false},
        {"periodic, a period plus the minute", 30, 31 * minute, false},
        {"periodic, clock set back by an hour", 30, 90 * minute, true},
        {"periodic 1440, clock set back by days", 1440, 3 * FILETIME_TICKS_PER_DAY, true},
        {"daily, a day ahead", 0, FILETIME_TICKS_PER_DAY, false},
        {"daily, clock set back by two days", 0, 2 * FILETIME_TICKS_PER_DAY, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ULARGE_INTEGER next;
        next.QuadPart = Ticks(now) + c.ahead;
        FILETIME instant = {next.LowPart, next.HighPart};
        EXPECT_EQ(c.tooFar, RestartInstantTooFar(c.hourlyRestart, now, instant));
    }
    // An instant in the past is due, not too far.
    EXPECT_FALSE(RestartInstantTooFar(30, now, ToFileTime(At(2026, 12, 6, 8, 0))));
}

TEST(RestartSchedule, RestartTimeThatIsNoTimeOfDayMeansNoDailyRestart)
{
    SYSTEMTIME now = At(2026, 12, 7, 8, 0);
    for (DWORD restartTime : {2400u, 1260u, 2500u, 9999u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(restartTime);
        FILETIME next = {0x1234, 0x5678};
        EXPECT_FALSE(NextRestartAfter(0, restartTime, now, ToFileTime(now), &next));
        EXPECT_EQ(0x1234u, next.dwLowDateTime);
        EXPECT_EQ(0x5678u, next.dwHighDateTime);
    }
    // The periodic schedule never looks at it.
    FILETIME next = {};
    EXPECT_TRUE(NextRestartAfter(5, 2400, now, ToFileTime(now), &next));
}

TEST(RestartSchedule, OnTheMachineClockLiesAheadAndIsDueOnlyThen)
{
    FILETIME before = CurrentLocalFileTime();
    FILETIME next = {};
    ASSERT_TRUE(ComputeNextRestart(1, 0, &next));
    FILETIME after = CurrentLocalFileTime();
    // At most one minute after now, never before.
    EXPECT_GT(Ticks(next), Ticks(before));
    EXPECT_LE(Ticks(next), Ticks(after) + FILETIME_TICKS_PER_MINUTE);
    EXPECT_FALSE(RestartDue(before, next));
    EXPECT_TRUE(RestartDue(next, next));

    FILETIME daily = {};
    ASSERT_TRUE(ComputeNextRestart(0, 1200, &daily));
    EXPECT_GT(Ticks(daily), Ticks(before));
    EXPECT_LE(Ticks(daily), Ticks(after) + FILETIME_TICKS_PER_DAY);
    EXPECT_FALSE(ComputeNextRestart(0, 2400, &daily));
}

namespace {

// The local wall clock of a night on which it jumps once, read every 30 s the
// way the run loop checks its schedule: an instant too far ahead is computed
// anew, a due one restarts every client and is followed by the next.  Gives
// the local times of the daily restarts.
std::vector<ULONGLONG> DailyRestartsOverJump(DWORD restartTime, const SYSTEMTIME& from, const SYSTEMTIME& jumpAt,
                                             const SYSTEMTIME& jumpTo, const SYSTEMTIME& until)
{
    FILETIME next = {};
    auto schedule = [&](const FILETIME& at) {
        SYSTEMTIME local;
        FileTimeToSystemTime(&at, &local);
        EXPECT_TRUE(NextRestartAfter(0, restartTime, local, at, &next));
    };
    auto fromTicks = [](ULONGLONG ticks) {
        ULARGE_INTEGER value;
        value.QuadPart = ticks;
        return FILETIME{value.LowPart, value.HighPart};
    };
    std::vector<ULONGLONG> restarts;
    ULONGLONG now = Ticks(ToFileTime(from));
    schedule(fromTicks(now));
    for (bool jumped = false; now < Ticks(ToFileTime(until)); now += 30 * 10000000ull) {
        if (!jumped && now >= Ticks(ToFileTime(jumpAt))) {
            now = Ticks(ToFileTime(jumpTo));
            jumped = true;
        }
        const FILETIME clock = fromTicks(now);
        if (RestartInstantTooFar(0, clock, next)) {
            schedule(clock);
        } else if (RestartDue(clock, next)) {
            restarts.push_back(now);
            schedule(clock);
        }
    }
    return restarts;
}

} // namespace

TEST(RestartSchedule, DailyRestartOncePerDateWhenDaylightSavingBeginsOrEnds)
{
    struct Case {
        const char* what;
        DWORD restartTime;
        SYSTEMTIME jumpAt, jumpTo;
        SYSTEMTIME firstRestart;
    } const cases[] = {
        // 03:00 becomes 02:00: the hour from 02:00 comes twice.
        {"inside the repeated hour", 230, At(2026, 10, 25, 3, 0), At(2026, 10, 25, 2, 0), At(2026, 10, 25, 2, 30)},
        {"at the end of the repeated hour", 259, At(2026, 10, 25, 3, 0), At(2026, 10, 25, 2, 0),
         At(2026, 10, 25, 2, 59)},
        {"before the repeated hour", 130, At(2026, 10, 25, 3, 0), At(2026, 10, 25, 2, 0), At(2026, 10, 25, 1, 30)},
        // 02:00 becomes 03:00: a time inside the skipped hour restarts at
        // once after the jump.
        {"inside the skipped hour", 230, At(2026, 3, 29, 2, 0), At(2026, 3, 29, 3, 0), At(2026, 3, 29, 3, 0)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SYSTEMTIME from = c.jumpAt, until = c.jumpAt;
        from.wDay -= 1;
        from.wHour = 12;
        until.wDay += 1;
        until.wHour = 12;
        std::vector<ULONGLONG> restarts = DailyRestartsOverJump(c.restartTime, from, c.jumpAt, c.jumpTo, until);
        // One on the night's date, one on the date after it.
        ASSERT_EQ(2u, restarts.size());
        EXPECT_EQ(Ticks(ToFileTime(c.firstRestart)), restarts[0]);
        SYSTEMTIME following = c.firstRestart;
        following.wDay += 1;
        following.wHour = static_cast<WORD>(c.restartTime / 100);
        following.wMinute = static_cast<WORD>(c.restartTime % 100);
        EXPECT_EQ(Ticks(ToFileTime(following)), restarts[1]);
    }
}

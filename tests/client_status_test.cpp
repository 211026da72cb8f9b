// What an administrator sees of the clients: the live status key, the
// "qelsvc -l" listing and its exit code, and the events of the run loop.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "../standin-zr/standin_values.h"
#include "client_report.h"
#include "program_run.h"
#include "status_command.h"
#include "status_store.h"
#include "supervisor_harness.h"

using namespace qeltest;

namespace {

constexpr DWORD kStartMs = 60000;

ULONGLONG At(int hour, int minute, int second, int day = 7)
{
    SYSTEMTIME t = {};
    t.wYear = 2026;
    t.wMonth = 12;
    t.wDay = static_cast<WORD>(day);
    t.wHour = static_cast<WORD>(hour);
    t.wMinute = static_cast<WORD>(minute);
    t.wSecond = static_cast<WORD>(second);
    FILETIME time = {};
    SystemTimeToFileTime(&t, &time);
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

std::string Line(const ClientStatus& status, ULONGLONG now, int client = 1)
{
    char line[CLIENT_LINE_SIZE];
    FormatClientLine(line, sizeof line, client, status, now);
    return line;
}

bool WaitForSlotState(unsigned index, SlotState state, DWORD timeoutMs)
{
    for (DWORD start = GetTickCount(); GetTickCount() - start < timeoutMs; Sleep(50)) {
        StatusSnapshot snapshot = ReadStatusSnapshot();
        if (snapshot.SlotRecorded[index] && snapshot.Slots[index].State == state)
            return true;
    }
    return false;
}

} // namespace

TEST(ClientStatusRecord, ReadsBackAsWrittenAndEveryLineFitsEightyColumns)
{
    ClientStatus working;
    working.State = SlotState::Working;
    working.ProcessId = 0xfff3a2c5;  // 9x process ids use all eight digits
    working.At = At(20, 15, 3);
    working.Restarts = 99999;
    working.LastEnd = EndKind::Stall;
    working.LastExitCode = 0xFFFFFFFF;
    working.Mask = 0x3;

    ClientStatus retry;
    retry.State = SlotState::Retry;
    retry.At = At(20, 16, 0);
    retry.LaunchCode = -1;

    for (const ClientStatus& written : {working, retry}) {
        char record[CLIENT_RECORD_SIZE];
        FormatClientRecord(record, sizeof record, written);
        EXPECT_EQ(nullptr, strchr(record, '\n'));
        ClientStatus read;
        ASSERT_TRUE(ParseClientRecord(record, read)) << record;
        EXPECT_EQ(written.State, read.State) << record;
        EXPECT_EQ(written.ProcessId, read.ProcessId) << record;
        EXPECT_EQ(written.At, read.At) << record;
        EXPECT_EQ(written.Restarts, read.Restarts) << record;
        EXPECT_EQ(written.LastEnd, read.LastEnd) << record;
        EXPECT_EQ(written.LastExitCode, read.LastExitCode) << record;
        EXPECT_EQ(written.Mask, read.Mask) << record;
        EXPECT_EQ(written.LaunchCode, read.LaunchCode) << record;
    }
    ClientStatus ignored;
    EXPECT_FALSE(ParseClientRecord("", ignored));
    EXPECT_FALSE(ParseClientRecord("state=dancing", ignored));
    EXPECT_FALSE(ParseClientRecord("restarts=3 last=crash", ignored));

    // The widest realistic line: client 32, eight-digit ids and codes, a
    // copy up for years.
    std::string widest = Line(working, At(20, 15, 3) + 1200ull * 24 * 3600 * 10000000ull, 32);
    EXPECT_EQ("Client 32: working 0xfff3a2c5 up 999d00:00 restarts 99999 last stall 0xffffffff", widest);
    EXPECT_LE(widest.size(), 79u);
    EXPECT_EQ("Client 1: working 0xfff3a2c5 up 1d02:05 restarts 99999 last stall 0xffffffff",
              Line(working, At(22, 20, 59, 8)));
    EXPECT_EQ("Client 1: retry at 20:16:00 code -1 restarts 0 last -", Line(retry, At(20, 15, 0)));
}

TEST(ClientStatusExitCode, FollowsTheServiceStatusConvention)
{
    StatusSnapshot snapshot;
    snapshot.Present = true;
    snapshot.Clients = 2;
    for (unsigned i = 0; i < 2; ++i) {
        snapshot.SlotRecorded[i] = true;
        snapshot.Slots[i].State = SlotState::Working;
    }
    EXPECT_EQ(0, StatusExitCode(SupervisorRunState::Runs, snapshot));
    EXPECT_EQ(3, StatusExitCode(SupervisorRunState::NotRunning, snapshot));
    EXPECT_EQ(4, StatusExitCode(SupervisorRunState::Unknown, snapshot));

    for (SlotState notWorking : {SlotState::Retry, SlotState::Throttled, SlotState::Starting, SlotState::Empty}) {
        StatusSnapshot one = snapshot;
        one.Slots[1].State = notWorking;
        EXPECT_EQ(1, StatusExitCode(SupervisorRunState::Runs, one)) << SlotStateName(notWorking);
    }
    // Running, but nothing says the clients work: a run that ended (the
    // service is about to stop), a missing slot, or no status at all.
    StatusSnapshot ended = snapshot;
    strcpy(ended.Ended, "2026-12-07T20:40:00");
    StatusSnapshot missing = snapshot;
    missing.SlotRecorded[0] = false;
    EXPECT_EQ(1, StatusExitCode(SupervisorRunState::Runs, ended));
    EXPECT_EQ(1, StatusExitCode(SupervisorRunState::Runs, missing));
    EXPECT_EQ(1, StatusExitCode(SupervisorRunState::Runs, StatusSnapshot()));

    // A service that is starting or paused still runs; one that is stopping
    // does not; a state the manager made up is not known.
    EXPECT_EQ(SupervisorRunState::Runs, RunStateOfService(SERVICE_START_PENDING));
    EXPECT_EQ(SupervisorRunState::Runs, RunStateOfService(SERVICE_PAUSED));
    EXPECT_EQ(SupervisorRunState::NotRunning, RunStateOfService(SERVICE_STOP_PENDING));
    EXPECT_EQ(SupervisorRunState::Unknown, RunStateOfService(0));
}

TEST(EventSeries, ReportsPowersOfTwoAndStartsAfreshAfterAQuietDay)
{
    const ULONGLONG day = 24ull * 3600 * 1000;
    EventSeries series;
    std::vector<unsigned> reported;
    // A slot that fails every five minutes for a week.
    const ULONGLONG every = 5 * 60 * 1000;
    for (ULONGLONG now = 0; now < 7 * day; now += every) {
        if (CountInSeries(series, now, day))
            reported.push_back(series.Count);
    }
    EXPECT_EQ((std::vector<unsigned>{1, 2, 4, 8, 16, 32, 64, 128, 256, 512, 1024}), reported);

    // A day without one ends the series: the next occurrence is news again.
    EXPECT_TRUE(CountInSeries(series, 8 * day, day));
    EXPECT_EQ(1u, series.Count);
    EXPECT_TRUE(CountInSeries(series, 8 * day + 1, day));
    EXPECT_FALSE(CountInSeries(series, 8 * day + 2, day));
}

TEST(EventMessages, EveryClientEventHasItsTextInTheMessageTable)
{
    qel::UniqueLibrary module(
        LoadLibraryExA(PathBesideTest("qelsvc.exe").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    ASSERT_TRUE(module.valid());
    const char* inserts[] = {"1", "0x1a4", "0xc0000005", "0:00:03", "2"};
    for (DWORD id = EVENT_CLIENT_ENDED; id <= EVENT_TRAY_RESTART; ++id) {
        char text[512] = {};
        DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, module.get(), id,
                                      MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), text, sizeof text,
                                      reinterpret_cast<va_list*>(const_cast<char**>(inserts)));
        EXPECT_NE(0u, length) << id;
        EXPECT_EQ(nullptr, strchr(text, '%')) << id << ": " << text;
    }
    char ended[512] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, module.get(), EVENT_CLIENT_ENDED,
                   MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), ended, sizeof ended,
                   reinterpret_cast<va_list*>(const_cast<char**>(inserts)));
    EXPECT_STREQ("Client 1 (process 0x1a4) ended by itself with exit code 0xc0000005 after running 0:00:03. "
                 "Occurrence 2 of a series.\r\n",
                 ended);
}

TEST(ClientEvents, ACrashLoopWritesFewWarningsAndTheStatusShowsTheThrottle)
{
    RunLoopHarness h(2);
    h.core.Params.MonitorRestart = 1;
    h.core.Timings.QuickFailureWindowMs = 15000;
    SetStandInValue(0, zr::CRASH_AFTER_MS, 300);
    ASSERT_TRUE(h.StartClients(2, kStartMs)) << h.LogDump();
    ASSERT_TRUE(h.WaitForLog(" Restart of client 1 delayed 4 s (4 quick failures in a row)", kStartMs))
        << h.LogDump();
    ASSERT_TRUE(WaitForSlotState(0, SlotState::Throttled, 10000));
    ASSERT_TRUE(h.WaitForLog("Process ", kStartMs, 6, true)) << h.LogDump();
    ASSERT_TRUE(h.Stop());

    const int ends = CountLines(h.Log(), "Process ", true);
    int endedEvents = 0, throttledEvents = 0;
    for (const RunLoopHarness::CapturedEvent& event : h.Events()) {
        if (event.Id == EVENT_CLIENT_ENDED) {
            ++endedEvents;
            EXPECT_EQ(EVENTLOG_WARNING_TYPE, event.Type);
            ASSERT_EQ(5u, event.Strings.size());
            EXPECT_EQ("1", event.Strings[0]);
            EXPECT_EQ("0xc0000005", event.Strings[2]);  // the access violation
        } else if (event.Id == EVENT_CLIENT_THROTTLED) {
            ++throttledEvents;
            EXPECT_EQ(EVENTLOG_WARNING_TYPE, event.Type);
        }
    }
    // The 1st, 2nd, 4th, 8th ... end is reported; the healthy client writes
    // none.
    int reported = 0;
    for (int n = 1; n <= ends; n *= 2)
        ++reported;
    EXPECT_GE(ends, 6);
    EXPECT_EQ(reported, endedEvents) << h.LogDump();
    EXPECT_GE(throttledEvents, 2);
    EXPECT_LT(throttledEvents, ends);

    // Both copies were stopped at the end; the slot keeps its history.
    StatusSnapshot snapshot = ReadStatusSnapshot();
    ASSERT_TRUE(snapshot.Present);
    EXPECT_EQ(2u, snapshot.Clients);
    EXPECT_STRNE("", snapshot.Ended);
    EXPECT_GE(snapshot.Slots[0].Restarts, 1u);
    EXPECT_EQ(0u, snapshot.Slots[1].Restarts);
    EXPECT_EQ(EndKind::Stop, snapshot.Slots[1].LastEnd);
}

TEST(ClientEvents, ASlotThatCannotStartIsAnErrorUntilItWorksAgainAndListsThatWay)
{
    RunLoopHarness h(2);
    h.core.Params.MonitorRestart = 1;
    // Long enough for the listing to find the slot waiting.
    h.core.Timings.RetryBackoffFirstMs = 6000;
    h.core.Timings.RetryBackoffCapMs = 6000;
    SetStandInValue(0, zr::NO_START_BUTTON, 1);
    ASSERT_TRUE(h.StartClients(1, kStartMs)) << h.LogDump();
    ASSERT_TRUE(WaitForSlotState(0, SlotState::Retry, 10000));

    // No service is installed here: the listing still shows every slot, and
    // the exit code says the service does not run.
    DWORD exitCode = 0;
    std::string listing = RunQelsvc("-l", &exitCode);
    EXPECT_EQ(3u, exitCode) << listing;
    EXPECT_NE(std::string::npos, listing.find("Client 1: retry at ")) << listing;
    EXPECT_NE(std::string::npos, listing.find(" code 4 restarts 0 last -\n")) << listing;
    EXPECT_NE(std::string::npos,
              listing.find("Client 2: working " + Hex(h.core.Slots.ProcessId[1]) + " up 0d00:00 restarts 0 last -\n"))
        << listing;
    EXPECT_NE(std::string::npos, listing.find("\nKorvane service: not installed (supervised by process " +
                                              Hex(GetCurrentProcessId()) + ")\n"))
        << listing;

    SetStandInValue(0, zr::NO_START_BUTTON, 0);
    ASSERT_TRUE(h.WaitForLog(" Restart successful: ", kStartMs, 1, true)) << h.LogDump();
    ASSERT_TRUE(WaitForSlotState(0, SlotState::Working, 10000));
    std::vector<RunLoopHarness::CapturedEvent> events = h.Events();
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(EVENT_CLIENT_CANNOT_START, events.front().Id);
    EXPECT_EQ(EVENTLOG_ERROR_TYPE, events.front().Type);
    EXPECT_EQ("1", events.front().Strings.at(0));
    EXPECT_EQ("4", events.front().Strings.at(1));
    EXPECT_EQ(EVENT_CLIENT_WORKING_AGAIN, events.back().Id);
    EXPECT_EQ(EVENTLOG_INFORMATION_TYPE, events.back().Type);
    EXPECT_EQ(1, h.CountEvents(EVENT_CLIENT_WORKING_AGAIN));
    ASSERT_TRUE(h.Stop());
}

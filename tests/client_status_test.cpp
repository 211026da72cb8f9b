// What an administrator sees of the clients: the live status key, the
// "qelsvc -l" listing and its exit code, and the events of the run loop.
#include <gtest/gtest.h>

#include <windows.h>

#include <sddl.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "../standin-zr/standin_values.h"
#include "client_report.h"
#include "message_boxes.h"
#include "product_key_security.h"
#include "program_run.h"
#include "registry_scratch.h"
#include "status_command.h"
#include "status_store.h"
#include "settings.h"
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

    // Without Monitor and Restart nothing retries: the code is all that
    // says why the slot stays empty (zr.exe missing).
    ClientStatus notStarted;
    notStarted.LaunchCode = -1;

    for (const ClientStatus& written : {working, retry, notStarted}) {
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
    EXPECT_EQ("Client 1: empty code -1 restarts 0 last -", Line(notStarted, At(20, 15, 0)));
}

TEST(ClientStatusRecord, CrashesCountOverTheLastDayOnly)
{
    const ULONGLONG hour = 60ull * 60 * 10000000ull;
    ClientStatus slot;
    NoteCrash(slot, At(1, 10, 0));
    NoteCrash(slot, At(1, 50, 0));
    NoteCrash(slot, At(20, 0, 0));
    EXPECT_EQ(3u, slot.CrashesDay);
    EXPECT_EQ(3u, CrashesInLastDay(slot, At(20, 0, 0) + hour));
    // The next day at 01:30 the crash of 01:50 is within the day, and the
    // one of 01:10, in the same hour, still counted (never fewer than there
    // were); an hour later both have left it.
    NoteCrash(slot, At(1, 30, 0, 8));
    EXPECT_EQ(4u, slot.CrashesDay);
    NoteCrash(slot, At(2, 30, 0, 8));
    EXPECT_EQ(3u, slot.CrashesDay);
    EXPECT_EQ(3u, CrashesInLastDay(slot, At(2, 29, 59, 9)));
    EXPECT_EQ(0u, CrashesInLastDay(slot, At(2, 30, 0, 9)));

    // Both read back from the record; a count or time out of range does not.
    char record[CLIENT_RECORD_SIZE];
    FormatClientRecord(record, sizeof record, slot);
    ClientStatus read;
    ASSERT_TRUE(ParseClientRecord(record, read)) << record;
    EXPECT_EQ(3u, read.CrashesDay);
    EXPECT_EQ(slot.LastCrashAt, read.LastCrashAt);
    for (const char* bad : {"state=working restarts=4294967296", "state=working pid=-1", "state=working restarts=",
                            "state=working restarts=12x", "state=retry code=2147483648",
                            "state=working crashed=2026-13-01T00:00:00", "state=working crashes=+3"}) {
        ClientStatus ignored;
        EXPECT_FALSE(ParseClientRecord(bad, ignored)) << bad;
    }
    ASSERT_TRUE(ParseClientRecord("state=retry code=-2147483648", read));
    EXPECT_EQ(INT_MIN, read.LaunchCode);
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

// Any user who may set values under the key could forge them: the listing
// shows only what has the writer's form, and never a control character.
TEST(ClientStatusKey, ValuesOfAnotherFormAreNeitherShownNorTakenForStates)
{
    RegistryScratch key(STATUS_KEY);
    auto setText = [&key](const char* name, const std::string& text) {
        key.Set(name, REG_SZ, text.c_str(), static_cast<DWORD>(text.size() + 1));
    };
    setText("Version", "1.6\r\nClient 9: working");
    setText("Started", "2026-12-07T20:15:03\x1b[2J");
    setText("Ended", "\x1b]0;owned\x07");
    key.SetDword("Clients", 3);
    setText("Client 1", "state=working pid=0x1a4 since=2026-12-07T20:15:03 restarts=1 last=-\r\nClient 9: working");
    setText("Client 2", "state=working pid=0x1a4 since=2026-12-07T20:15:03 restarts=4294967296 last=- mask=0x1");
    setText("Client 3", "state=retry until=2026-12-07T20:15:03 code=-2147483648 restarts=0 last=- mask=0x1");

    StatusSnapshot snapshot = ReadStatusSnapshot();
    EXPECT_STREQ("?", snapshot.Version);
    EXPECT_STREQ("?", snapshot.Started);
    EXPECT_STREQ("?", snapshot.Ended);
    EXPECT_TRUE(snapshot.SlotUnreadable[0]);
    EXPECT_TRUE(snapshot.SlotUnreadable[1]);
    EXPECT_TRUE(snapshot.SlotRecorded[2]);

    DWORD exitCode = 0;
    std::string listing = RunQelsvc("-l", &exitCode);
    EXPECT_EQ(3u, exitCode) << listing;
    EXPECT_EQ("Client 1: status not readable\n"
              "Client 2: status not readable\n"
              "Client 3: retry at 20:15:03 code -2147483648 restarts 0 last -\n"
              "Korvane service: not installed (last run ended ?)\n",
              listing);
}

// qelsvc9x -l only reads and shows: no settings load, so no log line.
TEST(ClientStatusKey, TheNineXStatusBoxWritesNothingToTheLog)
{
    WindowsVersionEmulation emulation("qelsvc9x.exe", "win98");
    const std::string logPath = PathBesideTest("qelsvc.log");
    const long long before = FileSize(logPath);
    OwnedProcess copy;
    ASSERT_TRUE(copy.Start(PathBesideTest("qelsvc9x.exe"), " -l"));
    ShownBox box = TakeMessageBox("ZR 9x Service", copy.Id(), 15000);
    ASSERT_TRUE(box);
    EXPECT_NE(std::string::npos, box.Text.find("Korvane 9x service: not running")) << box.Text;
    EXPECT_EQ(static_cast<DWORD>(STATUS_NOT_RUNNING), copy.ExitCode(30000));
    EXPECT_EQ(before, FileSize(logPath));
}

TEST(ClientStatusKey, ARunThatCannotDeleteTheKeyLeavesNoStaleEndOrSlots)
{
    RegistryScratch key(STATUS_KEY);
    key.SetDword("Clients", 3);
    key.Set("Ended", REG_SZ, "2026-12-01T10:00:00", 20);
    key.Set("Client 3", REG_SZ, "state=empty restarts=0 last=stop exit=0x0 mask=0x4", 51);
    // A subkey: the key cannot be deleted at the start of the run.
    const std::string subkey = std::string(STATUS_KEY) + "\\left";
    WriteDword(HKEY_LOCAL_MACHINE, subkey.c_str(), "x", 1);
    {
        StatusStore store;
        store.Begin("1.6", 2);
        ClientStatus working;
        working.State = SlotState::Working;
        working.At = LocalNowFileTime();
        store.WriteClient(0, working);
        store.WriteClient(1, working);
        EXPECT_EQ(0u, store.FailedWrites());
    }
    StatusSnapshot snapshot = ReadStatusSnapshot();
    EXPECT_STREQ("", snapshot.Ended);
    EXPECT_STREQ("1.6", snapshot.Version);
    EXPECT_EQ(2u, snapshot.Clients);
    EXPECT_FALSE(key.Has("Client 3"));
    EXPECT_EQ(STATUS_ALL_WORKING, StatusExitCode(SupervisorRunState::Runs, snapshot));
    DeleteKeyTree(HKEY_LOCAL_MACHINE, STATUS_KEY);
}

namespace {

// The DACL of HKLM\<path> in the product's view, as its ACEs.
struct AllowedAce {
    BYTE Flags;
    DWORD Mask;
    std::vector<BYTE> Sid;
};
std::vector<AllowedAce> KeyAces(const char* path)
{
    std::vector<AllowedAce> aces;
    qel::UniqueRegKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, READ_CONTROL | ViewOf(HKEY_LOCAL_MACHINE, path), key.put()) !=
        ERROR_SUCCESS)
        return aces;
    DWORD descriptor[512];
    DWORD size = sizeof descriptor;
    if (RegGetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, descriptor, &size) != ERROR_SUCCESS)
        return aces;
    BOOL present = FALSE, defaulted = FALSE;
    PACL acl = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted) || !present || !acl)
        return aces;
    for (DWORD i = 0; i < acl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        if (!GetAce(acl, i, reinterpret_cast<void**>(&ace)) || ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE)
            continue;
        const BYTE* sid = reinterpret_cast<const BYTE*>(&ace->SidStart);
        const DWORD length = GetLengthSid(const_cast<BYTE*>(sid));
        aces.push_back({ace->Header.AceFlags, ace->Mask, std::vector<BYTE>(sid, sid + length)});
    }
    return aces;
}

std::vector<BYTE> SidBytes(const char* text)
{
    PSID sid = nullptr;
    std::vector<BYTE> bytes;
    if (ConvertStringSidToSidA(text, &sid)) {
        bytes.assign(static_cast<BYTE*>(sid), static_cast<BYTE*>(sid) + GetLengthSid(sid));
        LocalFree(sid);
    }
    return bytes;
}

} // namespace

// The install step: the product's key and the keys already below it (saved
// settings) become SYSTEM's and Administrators', readable by Users, and the
// keys made there later inherit that.
TEST(ProductKeys, InstallGivesThemToAdministratorsAndLetsUsersRead)
{
    RegistryScratch settings(SETTINGS_KEY);
    settings.SetDword("NumClients", 2);
    ASSERT_EQ(ERROR_SUCCESS, qel::SecureProductKeys());
    for (const char* path : {qel::PRODUCT_ROOT_KEY, SETTINGS_KEY}) {
        SCOPED_TRACE(path);
        std::vector<AllowedAce> aces = KeyAces(path);
        ASSERT_EQ(3u, aces.size());
        const struct {
            const char* Sid;
            DWORD Mask;
        } expected[] = {{"S-1-5-18", KEY_ALL_ACCESS}, {"S-1-5-32-544", KEY_ALL_ACCESS}, {"S-1-5-32-545", KEY_READ}};
        for (size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(SidBytes(expected[i].Sid), aces[i].Sid) << expected[i].Sid;
            EXPECT_EQ(expected[i].Mask, aces[i].Mask) << expected[i].Sid;
            EXPECT_EQ(CONTAINER_INHERIT_ACE, aces[i].Flags & CONTAINER_INHERIT_ACE) << expected[i].Sid;
        }
    }
}

// The status of many machines ("qelsvc -l:...") and the monitoring check
// ("qelsvc -c"): the list, the parallel asking with its bound, the report,
// and the check's verdicts.  Wine's registry answers its own computer name
// (with or without "\\") as a remote machine does, through the same calls.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fleet_status.h"
#include "monitor_check.h"
#include "program_run.h"
#include "registry_scratch.h"
#include "status_store.h"
#include "win_handles.h"

using namespace qeltest;

namespace {

std::string ComputerName()
{
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD length = sizeof name;
    GetComputerNameA(name, &length);
    return name;
}

std::string TimeText(ULONGLONG localTime)
{
    char text[24];
    FormatStatusTime(text, sizeof text, localTime);
    return text;
}

constexpr ULONGLONG kMinute = 60ull * 10000000ull;

// A run of `clients` slots that started 3d02:10 ago, every slot working
// unless told otherwise.
MachineStatus Running(unsigned clients, const char* machine = "pc17")
{
    MachineStatus status;
    snprintf(status.Machine, sizeof status.Machine, "%s", machine);
    status.ServiceState = SERVICE_RUNNING;
    StatusSnapshot& snapshot = status.Snapshot;
    snapshot.Present = true;
    snapshot.ReadError = ERROR_SUCCESS;
    snapshot.HasUtcOffset = true;
    snapshot.UtcOffsetMinutes = LocalUtcOffsetMinutes();
    snprintf(snapshot.Version, sizeof snapshot.Version, "1.6");
    snprintf(snapshot.Started, sizeof snapshot.Started, "%s",
             TimeText(LocalNowFileTime() - (3 * 24 * 60 + 2 * 60 + 10) * kMinute - 20 * 10000000ull).c_str());
    snapshot.Clients = clients;
    for (unsigned i = 0; i < clients; ++i) {
        snapshot.SlotRecorded[i] = true;
        snapshot.Slots[i].State = SlotState::Working;
        snapshot.Slots[i].Restarts = 1;
    }
    return status;
}

MachineStatus Failed(LONG registryError, DWORD serviceError, const char* machine = "pc17")
{
    MachineStatus status;
    snprintf(status.Machine, sizeof status.Machine, "%s", machine);
    status.RegistryError = registryError;
    status.ServiceError = serviceError;
    return status;
}

std::string Summary(const MachineStatus& status)
{
    char line[CLIENT_LINE_SIZE];
    FormatMachineSummary(line, sizeof line, status, 10);
    return line;
}

std::string Check(const MachineStatus& status, int* code, const CheckThresholds& thresholds = CheckThresholds())
{
    char line[CHECK_LINE_SIZE];
    *code = EvaluateCheck(status, thresholds, 8, line, sizeof line);
    return line;
}

std::vector<std::string> Names(const MachineList& list)
{
    std::vector<std::string> names;
    for (size_t i = 0; i < list.Count(); ++i)
        names.push_back(list.Name(i));
    return names;
}

void AppendPiece(void* report, const char* text)
{
    *static_cast<std::string*>(report) += text;
}

std::string Report(const MachineStatusArray& statuses)
{
    std::string report;
    WriteFleetReport(AppendPiece, &report, statuses, "Korvane service", 10);
    return report;
}

} // namespace

TEST(FleetList, NamesFromTheCommandLineAndFromAFile)
{
    MachineList names;
    char problem[LIST_PROBLEM_SIZE] = "";
    ASSERT_TRUE(ParseMachineList("pc1, \\\\PC2 ,10.0.0.7,pc1", names, problem)) << problem;
    EXPECT_EQ((std::vector<std::string>{"pc1", "PC2", "10.0.0.7", "pc1"}), Names(names));
    for (const char* bad : {"", "pc1,,pc2", "pc1,", "two words", "pc\x1b[2J", "\\\\", "a/b", "\\\\\\\\pc"}) {
        problem[0] = '\0';
        EXPECT_FALSE(ParseMachineList(bad, names, problem)) << bad;
        EXPECT_STRNE("", problem) << bad;
    }

    // Saved as UTF-8 by Notepad: the byte order mark is not part of a name.
    const std::string file = "\xEF\xBB\xBF# the lab\r\npc1\r\n\r\n  pc2   # by the door\r\npc3,pc4\n";
    ASSERT_TRUE(ParseMachineFileText(file.c_str(), file.size(), names, problem)) << problem;
    EXPECT_EQ((std::vector<std::string>{"pc1", "pc2", "pc3", "pc4"}), Names(names));
    EXPECT_FALSE(ParseMachineFileText("pc1\npc 2\n", 9, names, problem));
    EXPECT_STREQ("line 2: not a machine name: \"pc 2\"", problem);
    EXPECT_FALSE(ParseMachineFileText("# nothing but comments\n\n", 24, names, problem));

    std::string many;
    for (size_t i = 0; i <= MAX_FLEET_MACHINES; ++i)
        many += "pc" + std::to_string(i) + ",";
    many.pop_back();
    EXPECT_FALSE(ParseMachineList(many.c_str(), names, problem));
    EXPECT_STREQ("more than 1024 machines", problem);
}

// One summary line per kind of answer, and the exit code each gives.
TEST(FleetStatus, SummariesAndTheWorstCode)
{
    MachineStatus retrying = Running(4);
    retrying.Snapshot.Slots[2].State = SlotState::Retry;
    MachineStatus stopped = Running(4);
    stopped.ServiceState = SERVICE_STOPPED;
    MachineStatus notInstalled = Failed(ERROR_SUCCESS, ERROR_SERVICE_DOES_NOT_EXIST);
    MachineStatus noKey = Running(0);
    noKey.Snapshot = StatusSnapshot();
    MachineStatus nineX = Running(1);
    nineX.ServiceError = RPC_S_SERVER_UNAVAILABLE;
    nineX.NoServiceManager = true;
    // A 9x supervisor that died leaves its key: only a recent sign of life
    // makes it a run.
    MachineStatus nineXDead = nineX;
    snprintf(nineXDead.Snapshot.Alive, sizeof nineXDead.Snapshot.Alive, "2026-12-07T20:15:03");
    MachineStatus nineXAlive = nineX;
    snprintf(nineXAlive.Snapshot.Alive, sizeof nineXAlive.Snapshot.Alive, "%s",
             TimeText(LocalNowFileTime() - 2 * kMinute).c_str());
    MachineStatus nineXIdle = Failed(ERROR_SUCCESS, RPC_S_SERVER_UNAVAILABLE);
    nineXIdle.NoServiceManager = true;
    MachineStatus late = Failed(ERROR_SUCCESS, ERROR_SUCCESS);
    late.TimedOut = true;

    struct Case {
        MachineStatus Status;
        const char* Summary;
        int Code;
    } cases[] = {
        {Running(4), "pc17: 4 of 4 clients working, up 3d02:10", 0},
        {retrying, "pc17: 3 of 4 clients working, up 3d02:10", 1},
        {stopped, "pc17: service stopped", 3},
        {notInstalled, "pc17: service not installed", 3},
        {noKey, "pc17: service running, no status key", 1},
        {nineX, "pc17: 1 of 1 clients working, up 3d02:10 (9x machine: status key only)", 0},
        {nineXAlive, "pc17: 1 of 1 clients working, up 3d02:10 (9x machine: status key only)", 0},
        {nineXDead, "pc17: not supervising since 2026-12-07T20:15:03 (9x machine: status key only)", 3},
        {nineXIdle, "pc17: not supervising (9x machine, no status key)", 3},
        {Failed(ERROR_BAD_NETPATH, RPC_S_SERVER_UNAVAILABLE), "pc17: not reachable (error 53)", 4},
        {Failed(ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED), "pc17: access denied", 4},
        {Failed(ERROR_BAD_NETPATH, ERROR_ACCESS_DENIED), "pc17: access denied", 4},
        {late, "pc17: no answer within 10 s", 4},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.Summary, Summary(c.Status));
        EXPECT_EQ(c.Code, MachineExitCode(c.Status)) << c.Summary;
    }
    // The worst code of the first n machines.
    for (const auto& worst : {std::make_pair(2u, 1), std::make_pair(3u, 3), std::make_pair(11u, 4)}) {
        MachineStatusArray statuses(worst.first);
        for (size_t i = 0; i < worst.first; ++i)
            statuses[i] = cases[i].Status;
        EXPECT_EQ(worst.second, WorstStatusCode(statuses)) << worst.first;
    }
}

// The real calls: Remote Registry (RegConnectRegistryA) and the remote
// Service Control Manager, with this machine's name as the remote machine,
// beside names that do not exist.
TEST(FleetStatus, ThisMachineByItsNamesBesideUnreachableOnes)
{
    RegistryScratch key(STATUS_KEY);
    auto setText = [&key](const char* name, const std::string& text) {
        key.Set(name, REG_SZ, text.c_str(), static_cast<DWORD>(text.size() + 1));
    };
    const std::string started = TimeText(LocalNowFileTime() - 70 * kMinute);
    setText("Version", "1.6");
    setText("Started", started);
    key.SetDword("Clients", 2);
    key.SetDword("ProcessId", 0x1234);
    setText("Client 1", "state=working pid=0x1a4 since=" + started + " restarts=0 last=- mask=0x1");
    setText("Client 2", "state=empty restarts=2 last=crash exit=0xc0000005 mask=0x2");

    const std::string self = ComputerName();
    std::string lower = self;
    for (char& c : lower)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    MachineList names;
    char problem[LIST_PROBLEM_SIZE] = "";
    ASSERT_TRUE(ParseMachineList((self + ",nosuch-qel-1.invalid,\\\\" + self + ",nosuch-qel-2," + lower).c_str(),
                                 names, problem))
        << problem;

    FleetAsking asking;
    asking.Query = [](const char* machine, MachineStatus& status) {
        QueryMachineStatus(machine, status);
        // Wine's service manager answers for any machine name with its own
        // services; Windows' gives this for a machine that is not there.
        if (status.RegistryError == ERROR_BAD_NETPATH)
            status.ServiceError = RPC_S_SERVER_UNAVAILABLE;
    };
    MachineStatusArray statuses(names.Count());
    AskMachines(names, asking, statuses);
    ASSERT_EQ(5u, statuses.Count());
    for (size_t i : {0u, 2u, 4u}) {
        SCOPED_TRACE(names.Name(i));
        EXPECT_EQ(ERROR_SUCCESS, statuses[i].RegistryError);
        EXPECT_TRUE(statuses[i].Snapshot.Present);
        EXPECT_EQ(ERROR_SERVICE_DOES_NOT_EXIST, statuses[i].ServiceError);
    }
    for (size_t i : {1u, 3u})
        EXPECT_EQ(ERROR_BAD_NETPATH, statuses[i].RegistryError) << names.Name(i);

    const std::string block = "Client 1: working 0x1a4 up 0d01:10 restarts 0 last -\n"
                              "Client 2: empty restarts 2 last crash 0xc0000005\n"
                              "Korvane service: not installed (states written by process 0x1234)\n\n";
    const std::string unreachable = "Not reachable (registry: error 53, service manager: error 1722).\n\n";
    EXPECT_EQ("[" + self + "]\n" + block + "[nosuch-qel-1.invalid]\n" + unreachable + "[" + self + "]\n" + block +
                  "[nosuch-qel-2]\n" + unreachable + "[" + lower + "]\n" + block +
                  "Summary:\n" + self + ": service not installed\n"
                  "nosuch-qel-1.invalid: not reachable (error 53)\n" + self + ": service not installed\n"
                  "nosuch-qel-2: not reachable (error 53)\n" + lower + ": service not installed\n",
              Report(statuses));
    EXPECT_EQ(4, WorstStatusCode(statuses));

    // The program itself, with the names as typed.
    DWORD exitCode = 0;
    std::string output = RunQelsvc("-l:" + self + ",\\\\" + lower, &exitCode);
    EXPECT_EQ(3u, exitCode) << output;
    EXPECT_EQ("[" + self + "]\n" + block + "[" + lower + "]\n" + block + "Summary:\n" + self +
                  ": service not installed\n" + lower + ": service not installed\n",
              output);
    output = RunQelsvc("-l:@" + PathBesideTest("no-such-list.txt"), &exitCode);
    EXPECT_EQ(4u, exitCode);
    EXPECT_EQ(0u, output.find("Machine list ")) << output;
    EXPECT_EQ("QELSVC CRITICAL - service not installed\n", RunQelsvc("-c:\\\\" + self, &exitCode));
    EXPECT_EQ(2u, exitCode);
}

namespace {

volatile LONG gAskedNow = 0;
volatile LONG gMostAskedAtOnce = 0;
HANDLE gReleaseSlowMachines = nullptr;

// Machines named "slow..." answer only when the test lets them.
void SlowOrFast(const char* machine, MachineStatus& status)
{
    LONG now = InterlockedIncrement(&gAskedNow);
    for (LONG most = gMostAskedAtOnce; now > most; most = gMostAskedAtOnce)
        InterlockedCompareExchange(&gMostAskedAtOnce, now, most);
    if (strncmp(machine, "slow", 4) == 0) {
        WaitForSingleObject(gReleaseSlowMachines, 60000);
    } else {
        // Answers once every machine is being asked (or after half a bound).
        for (int i = 0; i < 50 && gAskedNow < 12; ++i)
            Sleep(10);
    }
    status.ServiceState = SERVICE_RUNNING;
    InterlockedDecrement(&gAskedNow);
}

} // namespace

// Ten machines that never answer cost one bound together, not ten; the
// others are answered as usual and the order stays as given.
TEST(FleetStatus, SlowMachinesAreAskedTogetherAndLeftAtTheBound)
{
    qel::UniqueHandle release(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    gReleaseSlowMachines = release.get();
    MachineList names;
    names.Add("fast-a");
    for (int i = 0; i < 10; ++i)
        names.Add(("slow-" + std::to_string(i)).c_str());
    names.Add("fast-b");

    FleetAsking asking;
    asking.BoundMs = 1000;
    asking.Query = SlowOrFast;
    MachineStatusArray statuses(names.Count());
    DWORD start = GetTickCount();
    AskMachines(names, asking, statuses);
    DWORD took = GetTickCount() - start;

    EXPECT_EQ(12, gMostAskedAtOnce);
    for (size_t i = 0; i < names.Count(); ++i) {
        EXPECT_STREQ(names.Name(i), statuses[i].Machine);
        EXPECT_EQ(i >= 1 && i <= 10, statuses[i].TimedOut) << names.Name(i);
    }
    // Asked one after the other they would take ten bounds.
    EXPECT_LT(took, 5 * asking.BoundMs);

    // The ten left behind still run: with room for two more threads, two
    // more machines are asked and the rest are not, instead of piling up
    // threads for as long as the outage lasts.
    MachineList more;
    for (int i = 0; i < 5; ++i)
        more.Add(("slow-more-" + std::to_string(i)).c_str());
    asking.MostThreads = 12;
    MachineStatusArray moreStatuses(more.Count());
    AskMachines(more, asking, moreStatuses);
    for (size_t i = 0; i < more.Count(); ++i) {
        EXPECT_TRUE(moreStatuses[i].TimedOut) << more.Name(i);
        EXPECT_EQ(i < 2 ? static_cast<DWORD>(ERROR_SUCCESS) : static_cast<DWORD>(ERROR_TOO_MANY_TCBS),
                  moreStatuses[i].AskError)
            << more.Name(i);
    }

    // The threads left behind finish on their own.
    SetEvent(release.get());
    for (DWORD waited = 0; gAskedNow != 0 && waited < 10000; waited += 50)
        Sleep(50);
    EXPECT_EQ(0, gAskedNow);
}

// The check's line and code for each state; the thresholds as options.
TEST(MonitorCheck, OneLineAndThePluginCodeForEachState)
{
    int code = -1;
    MachineStatus working = Running(4);
    working.Snapshot.Slots[1].LastCrashAt = LocalNowFileTime() - 30 * kMinute;
    working.Snapshot.Slots[1].CrashesDay = 2;
    EXPECT_EQ("QELSVC OK - 4 of 4 clients working, 2 crashes in 24 h | working=4;;;0;4 crashes=2;3;;0 restarts=4c",
              Check(working, &code));
    EXPECT_EQ(CHECK_OK, code);

    MachineStatus retrying = Running(4);
    retrying.Snapshot.Slots[1].State = SlotState::Retry;
    retrying.Snapshot.Slots[3].State = SlotState::Throttled;
    EXPECT_EQ("QELSVC WARNING - 2 of 4 clients working, 0 crashes in 24 h, client 2 retry, client 4 throttled"
              " | working=2;;;0;4 crashes=0;3;;0 restarts=4c",
              Check(retrying, &code));
    EXPECT_EQ(CHECK_WARNING, code);

    MachineStatus crashing = working;
    crashing.Snapshot.Slots[1].CrashesDay = 12;
    CheckThresholds thresholds;
    char problem[CHECK_LINE_SIZE] = "";
    char option[] = "CRASHES=5,10";
    char* options[] = {option};
    ASSERT_TRUE(ParseCheckOptions(1, options, thresholds, problem)) << problem;
    EXPECT_EQ(0u, Check(crashing, &code).find("QELSVC WARNING - 4 of 4 clients working, 12 crashes in 24 h"));
    EXPECT_EQ(CHECK_WARNING, code);
    EXPECT_NE(std::string::npos, Check(crashing, &code, thresholds).find(" crashes=12;5;10;0 "));
    EXPECT_EQ(CHECK_CRITICAL, code);
    crashing.Snapshot.Slots[1].LastCrashAt -= 24 * 60 * kMinute;  // a day ago: none in the last day
    EXPECT_NE(std::string::npos, Check(crashing, &code, thresholds).find(" 0 crashes in 24 h"));
    EXPECT_EQ(CHECK_OK, code);

    MachineStatus none = Running(2);
    none.Snapshot.Slots[0].State = SlotState::Retry;
    none.Snapshot.Slots[1].State = SlotState::Starting;
    EXPECT_EQ(0u, Check(none, &code).find("QELSVC CRITICAL - 0 of 2 clients working"));
    EXPECT_EQ(CHECK_CRITICAL, code);

    MachineStatus stopped = Running(4);
    stopped.ServiceState = SERVICE_STOPPED;
    EXPECT_EQ("QELSVC CRITICAL - service stopped", Check(stopped, &code));
    EXPECT_EQ(CHECK_CRITICAL, code);
    EXPECT_EQ("QELSVC CRITICAL - service not installed",
              Check(Failed(ERROR_SUCCESS, ERROR_SERVICE_DOES_NOT_EXIST), &code));
    EXPECT_EQ(CHECK_CRITICAL, code);

    MachineStatus unreadable = Running(0);
    unreadable.Snapshot = StatusSnapshot();
    unreadable.Snapshot.ReadError = ERROR_ACCESS_DENIED;
    EXPECT_EQ("QELSVC UNKNOWN - service running, status not readable (error 5)", Check(unreadable, &code));
    EXPECT_EQ(CHECK_UNKNOWN, code);
    EXPECT_EQ("QELSVC UNKNOWN - not reachable (registry: error 53, service manager: error 1722)",
              Check(Failed(ERROR_BAD_NETPATH, RPC_S_SERVER_UNAVAILABLE), &code));
    EXPECT_EQ(CHECK_UNKNOWN, code);

    for (const char* bad : {"crashes=", "crashes=x", "crashes=3,", "warn=3", "crashes=-1"}) {
        char text[32];
        snprintf(text, sizeof text, "%s", bad);
        char* words[] = {text};
        EXPECT_FALSE(ParseCheckOptions(1, words, thresholds, problem)) << bad;
    }
}

// The configuration commands: the shared rules as plain functions, and the
// real qelsvc.exe run as a console child, its output compared byte for byte
// and its effect read back from the settings key.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "affinity.h"
#include "config_rules.h"
#include "log_lines.h"
#include "mutex_holder.h"
#include "program_run.h"
#include "registry_scratch.h"
#include "service_control.h"
#include "settings.h"
#include "supervisor_core.h"

using Words = std::vector<DWORD>;

namespace {

Words First(const DWORD* entries, size_t count) { return Words(entries, entries + count); }

} // namespace

// --- Rules ----------------------------------------------------------------

TEST(CommandRules, PrefixMatchIgnoresCaseAndWhatFollows)
{
    EXPECT_TRUE(MatchesCommand("-x", "-x"));
    EXPECT_TRUE(MatchesCommand("-X", "-x"));
    EXPECT_TRUE(MatchesCommand("-xyz", "-x"));
    EXPECT_TRUE(MatchesCommand("-P:4:1", "-p:"));
    EXPECT_FALSE(MatchesCommand("-p4", "-p:"));
    EXPECT_FALSE(MatchesCommand("-p", "-p:"));
    EXPECT_FALSE(MatchesCommand("-", "-x"));
    EXPECT_FALSE(MatchesCommand("x-", "-x"));
}

TEST(CommandRules, NumbersFollowScanfAndClampUnsigned)
{
    struct Case {
        const char* Text;
        bool Read;
        DWORD Value;
    } cases[] = {
        {"12", true, 12},       {"  7", true, 7},        {"+5", true, 5},
        {"-1", true, 0xFFFFFFFF}, {"930x", true, 930},     {"x", false, 0},
        {"", false, 0},         {"-", false, 0},         {" +", false, 0},
        // Saturated like strtol: a huge number cannot wrap to a small one.
        {"4294968226", true, 0x7FFFFFFF}, {"-99999999999", true, 0x80000000},
    };
    for (const Case& c : cases) {
        DWORD value = 0xABCD;
        EXPECT_EQ(c.Read, ReadCommandNumber(c.Text, value)) << c.Text;
        EXPECT_EQ(c.Read ? c.Value : 0xABCDu, value) << c.Text;
    }
}

TEST(CommandRules, RestartTimes)
{
    struct Case {
        const char* Argument;
        RestartCommandResult Result;
        DWORD Time;
    } cases[] = {
        {"-r", RestartCommandResult::Off, 0},       {"-rx", RestartCommandResult::Off, 0},
        {"-r:930", RestartCommandResult::On, 930},  {"-R:0", RestartCommandResult::On, 0},
        {"-r:2359", RestartCommandResult::On, 2359}, {"-r:2400", RestartCommandResult::Invalid, 0},
        {"-r:1260", RestartCommandResult::Invalid, 0}, {"-r:-5", RestartCommandResult::Invalid, 0},
        {"-r:", RestartCommandResult::Invalid, 0},   {"-r:ab", RestartCommandResult::Invalid, 0},
        {"-r:4294968226", RestartCommandResult::Invalid, 0},
    };
    for (const Case& c : cases) {
        ServiceParams params;
        params.AutoRestart = 1;
        params.RestartTime = 1111;
        EXPECT_EQ(c.Result, ApplyRestartCommand(params, c.Argument)) << c.Argument;
        switch (c.Result) {
        case RestartCommandResult::Off:
            EXPECT_EQ(0u, params.AutoRestart) << c.Argument;
            EXPECT_EQ(1111u, params.RestartTime) << c.Argument;
            break;
        case RestartCommandResult::On:
            EXPECT_EQ(1u, params.AutoRestart) << c.Argument;
            EXPECT_EQ(c.Time, params.RestartTime) << c.Argument;
            break;
        case RestartCommandResult::Invalid:
            EXPECT_EQ(1u, params.AutoRestart) << c.Argument;
            EXPECT_EQ(1111u, params.RestartTime) << c.Argument;
            break;
        }
    }
}

TEST(CommandRules, HourlyRestartAndAutodialClamp)
{
    struct Case {
        const char* Argument;
        DWORD Expected;
    } hourly[] = {{"-h:2000", 1440}, {"-h:-1", 1440}, {"-h", 0}, {"-h:x", 30}, {"-H:90", 90}},
      autodial[] = {{"-a:7", 2}, {"-a", 0}, {"-a:1", 1}, {"-a:-3", 2}, {"-a:", 1}};
    for (const Case& c : hourly) {
        ServiceParams params;
        params.HourlyRestart = 30;
        ApplyHourlyRestartCommand(params, c.Argument);
        EXPECT_EQ(c.Expected, params.HourlyRestart) << c.Argument;
    }
    for (const Case& c : autodial) {
        ServiceParams params;
        params.AutodialType = 1;
        ApplyAutodialCommand(params, c.Argument);
        EXPECT_EQ(c.Expected, params.AutodialType) << c.Argument;
    }
    DWORD flag = 5;
    ApplyToggle(flag);
    EXPECT_EQ(0u, flag);
    ApplyToggle(flag);
    EXPECT_EQ(1u, flag);
}

TEST(CommandRules, SetFlagGivesAStateAndRefusesAnythingElse)
{
    struct Case {
        const char* Argument;
        DWORD ServiceParams::*Flag;  // null: refused
        DWORD Value;
    } cases[] = {
        {"-f:m:1", &ServiceParams::MonitorRestart, 1}, {"-F:S:0", &ServiceParams::StuckRestart, 0},
        {"-f:x:1", &ServiceParams::TrueIdle, 1},       {"-f:K:1", &ServiceParams::KeepVisible, 1},
        {"-fz:n:0", nullptr, 0},                       {"-f:n:0", &ServiceParams::NormalizeXP, 0},
        {"-f", nullptr, 0},   {"-f:m", nullptr, 0},    {"-f:m:", nullptr, 0},  {"-f:m:2", nullptr, 0},
        {"-f:m:10", nullptr, 0}, {"-f:m:1x", nullptr, 0}, {"-f:q:1", nullptr, 0}, {"-f:mm:1", nullptr, 0},
        {"-f::1", nullptr, 0}, {"-fm:1", nullptr, 0},  {"-f:-:1", nullptr, 0},
    };
    for (const Case& c : cases) {
        // Every flag starts at 5 (set, as a hand-edited value may be), so a
        // flag the command sets shows 0 or 1 and every other stays 5.
        ServiceParams params;
        DWORD ServiceParams::*flags[] = {&ServiceParams::TrueIdle, &ServiceParams::NormalizeXP,
                                          &ServiceParams::MonitorRestart, &ServiceParams::StuckRestart,
                                          &ServiceParams::KeepVisible};
        for (auto flag : flags)
            params.*flag = 5;
        const ToggleCommand* toggle = ApplySetFlagCommand(params, c.Argument);
        EXPECT_EQ(c.Flag != nullptr, toggle != nullptr) << c.Argument;
        if (toggle) {
            EXPECT_TRUE(toggle->Flag == c.Flag) << c.Argument;
        }
        for (auto flag : flags)
            EXPECT_EQ(flag == c.Flag ? c.Value : 5u, params.*flag) << c.Argument;
    }
}

TEST(CommandRules, ClientsAndAffinity)
{
    struct Case {
        const char* Argument;
        DWORD StoredType;
        bool Changed;
        DWORD Clients;
        DWORD Type;
    } cases[] = {
        {"-p:4:1", 0, true, 4, 1},
        {"-P:4:2", 0, true, 4, 2},
        {"-p:4", 2, true, 4, 2},     // keeps the stored type
        {"-p:4", 3, true, 4, 0},     // no mask list follows
        {"-p:2:7", 1, true, 2, 0},
        {"-p:3:3:1,2", 0, true, 3, 0},
        {"-p:2:3", 0, true, 2, 0},
        {"-p:2:3:1,2,4", 0, true, 2, 0},
        {"-p:x", 1, false, 9, 1},
        {"-p:x:3", 7, false, 9, 0},  // a type above 3 goes to 0 even so
        {"-p:2;3", 1, true, 2, 1},   // the type needs a ':' right after the count
        // Never 0 clients, never more than the slots.
        {"-p:0", 1, true, 1, 1},
        {"-p:0:3:", 3, true, 1, 0},
        {"-p:40:2", 0, true, 32, 2},
        {"-p:-1", 0, true, 32, 0},
    };
    for (const Case& c : cases) {
        ServiceParams params;
        params.NumClients = 9;
        params.AffType = c.StoredType;
        EXPECT_EQ(c.Changed, ApplyClientsCommand(params, c.Argument)) << c.Argument;
        EXPECT_EQ(c.Clients, params.NumClients) << c.Argument;
        EXPECT_EQ(c.Type, params.AffType) << c.Argument;
    }

    ServiceParams params;
    ASSERT_TRUE(ApplyClientsCommand(params, "-p:2:3:1, 2"));
    EXPECT_EQ(3u, params.AffType);
    EXPECT_EQ((Words{1, 2}), First(params.CustAff, 2));

    // At most 32 masks are read, whatever the argument holds.
    std::string many = "-p:33:3:";
    for (int i = 0; i < 40; ++i)
        many += "1,";
    params.CustAff[32 - 1] = 0;
    ASSERT_TRUE(ApplyClientsCommand(params, many.c_str()));
    EXPECT_EQ(0u, params.AffType);
    EXPECT_EQ(32u, params.NumClients);
}

// --- Work-unit queue ------------------------------------------------------

namespace {

ServiceParams QueueOf(const Words& k, const Words& n, const Words& state, const Words& order)
{
    ServiceParams params;
    for (size_t i = 0; i < k.size(); ++i) {
        params.QueueK[i] = k[i];
        params.QueueN[i] = n[i];
        params.QueueState[i] = state[i];
        params.QueueOrder[i] = order[i];
    }
    params.WUQueue = static_cast<DWORD>(k.size());
    return params;
}

} // namespace

TEST(QueueResize, GrowInitialisesNewEntriesButKeepsQueueN)
{
    ServiceParams params = QueueOf({1, 2}, {3, 4}, {2, 2}, {1, 0});
    params.QueueK[2] = params.QueueK[3] = 77;
    params.QueueN[2] = 55;
    params.QueueState[3] = 9;
    ResizeWorkUnitQueue(params, 2, 4);
    EXPECT_EQ((Words{1, 2, 0, 0}), First(params.QueueK, 4));
    EXPECT_EQ((Words{3, 4, 55, 0}), First(params.QueueN, 4));
    EXPECT_EQ((Words{2, 2, 0, 0}), First(params.QueueState, 4));
    EXPECT_EQ((Words{1, 0, 2, 3}), First(params.QueueOrder, 4));
}

TEST(QueueResize, ShrinkMovesLowStatesBackInOnePass)
{
    ServiceParams params = QueueOf({10, 11, 12, 13}, {20, 21, 22, 23}, {0, 0, 2, 2}, {0, 1, 2, 3});
    ResizeWorkUnitQueue(params, 4, 2);
    EXPECT_EQ((Words{0, 2, 2, 0}), First(params.QueueState, 4));
    EXPECT_EQ((Words{11, 12, 13, 10}), First(params.QueueK, 4));
    EXPECT_EQ((Words{21, 22, 23, 20}), First(params.QueueN, 4));
    EXPECT_EQ((Words{0, 1, 2, 3}), First(params.QueueOrder, 4));
}

TEST(QueueResize, ShrinkFirstPutsEntriesIntoQueueOrder)
{
    ServiceParams params = QueueOf({10, 11, 12}, {20, 21, 22}, {2, 3, 4}, {1, 0, 2});
    ResizeWorkUnitQueue(params, 3, 2);
    EXPECT_EQ((Words{11, 10, 12}), First(params.QueueK, 3));
    EXPECT_EQ((Words{21, 20, 22}), First(params.QueueN, 3));
    EXPECT_EQ((Words{3, 2, 4}), First(params.QueueState, 3));
    EXPECT_EQ((Words{0, 1, 2}), First(params.QueueOrder, 3));
}

TEST(QueueResize, OrderThatIsNoPermutationIsTakenAsIdentity)
{
    for (const Words& order : {Words{0, 7, 1}, Words{0, 0xFFFFFFFF, 1}, Words{1, 1, 0}}) {
        ServiceParams params = QueueOf({10, 11, 12}, {20, 21, 22}, {2, 3, 4}, order);
        ResizeWorkUnitQueue(params, 3, 1);
        EXPECT_EQ((Words{10, 11, 12}), First(params.QueueK, 3));
        EXPECT_EQ((Words{0, 1, 2}), First(params.QueueOrder, 3));
    }
}

TEST(QueueResize, SizesBeyondTheArraysAreCapped)
{
    ServiceParams params;
    params.QueueOrder[31] = 5;
    ResizeWorkUnitQueue(params, 31, 0xFFFFFFFF);
    EXPECT_EQ(31u, params.QueueOrder[31]);
    ResizeWorkUnitQueue(params, 0xFFFFFFFF, 0); // reads only 32 entries
    EXPECT_EQ(31u, params.QueueOrder[31]);
}

// --- The real program -----------------------------------------------------

namespace {

// Every command runs against a key of its own; a refused dispatcher fails at
// once instead of after Wine's ten-second search for its control pipe.
class QelsvcCommand : public ::testing::Test {
protected:
    // Runs qelsvc.exe with the argument.  The console writes every line
    // feed as CR LF (the C runtime's text mode), so the bytes must be the
    // expected text with exactly that translation and nothing else.
    void ExpectOutput(const std::string& argument, const std::string& expected, DWORD exitCode = 0)
    {
        qeltest::ProgramRun run = qeltest::RunProgram("qelsvc.exe", argument);
        ASSERT_TRUE(run.Started) << argument;
        ASSERT_FALSE(run.TimedOut) << argument;
        EXPECT_EQ(exitCode, run.ExitCode) << argument;
        std::string crlf;
        for (char c : expected)
            crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
        EXPECT_EQ(crlf, run.Output) << argument << "\nnormalised: " << qeltest::NormaliseLineEnds(run.Output);
    }

    qeltest::RegistryScratch key_{SETTINGS_KEY};
    qeltest::FastDispatcherFailure dispatcher_;
};

} // namespace

TEST_F(QelsvcCommand, ClientCountAndAffinity)
{
    ExpectOutput("-p:2:3:1,2", "CPU Affinity = Custom, 2 Clients\n  Client 0: Affinity = 0x1\n  Client 1: Affinity = 0x2\n");
    EXPECT_EQ(3u, key_.Word("AffType"));
    EXPECT_EQ((Words{1, 2}), key_.Words("CustAff"));

    ExpectOutput("-P:4:1", "CPU Affinity = None, 4 Clients\n");
    EXPECT_EQ(4u, key_.Word("NumClients"));
    EXPECT_EQ((Words{1, 2}), key_.Words("CustAff")); // left in the key

    ExpectOutput("-p:4:2", "CPU Affinity = Mixed, 4 Clients\n");
    ExpectOutput("-p:2:7", "CPU Affinity = Separate, 2 Clients\n");
    ExpectOutput("-p:3:3:1,2", "CPU Affinity = Separate, 3 Clients\n");
    EXPECT_EQ(0u, key_.Word("AffType"));
    EXPECT_EQ(3u, key_.Word("NumClients"));
}

TEST_F(QelsvcCommand, ClientArgumentsThatSayNothingSaveNothing)
{
    ExpectOutput("", ""); // no argument: straight to the dispatcher
    ExpectOutput("-p:x", "");
    ExpectOutput("-p", "");
    ExpectOutput("-p4", "");
    ExpectOutput("-z", "");
    EXPECT_FALSE(key_.Has("NumClients"));
}

TEST_F(QelsvcCommand, OptimisedLayoutIsStoredAndPrinted)
{
    for (bool extra : {false, true}) {
        AffinityLayout layout = OptimiseAffinity(extra);
        std::string expected;
        char line[100];
        switch (layout.Outcome) {
        case OptimiseOutcome::OneProcessor:
            expected = "Optimized: CPU Affinity = None, 1 Client\n";
            break;
        case OptimiseOutcome::NoSharedPackages:
            snprintf(line, sizeof line, "Optimized: CPU Affinity = Separate, %d Clients\n",
                     static_cast<int>(layout.NumClients));
            expected = line;
            break;
        case OptimiseOutcome::Custom:
            snprintf(line, sizeof line, "Optimized: Affinity = Custom, %d Clients\n", static_cast<int>(layout.NumClients));
            expected = line;
            for (DWORD i = 0; i < layout.NumClients; ++i) {
                snprintf(line, sizeof line, "  Client %d: Affinity = 0x%x\n", static_cast<int>(i),
                         static_cast<unsigned>(layout.CustAff[i]));
                expected += line;
            }
            break;
        }
        ExpectOutput(extra ? "-o2" : "-O", expected);
        EXPECT_EQ(layout.NumClients, key_.Word("NumClients"));
        EXPECT_EQ(layout.AffType, key_.Word("AffType"));
    }
}

TEST_F(QelsvcCommand, DailyRestart)
{
    ExpectOutput("-r:930", "AutoRestart ON - Time = 09:30\n");
    EXPECT_EQ(1u, key_.Word("AutoRestart"));
    EXPECT_EQ(930u, key_.Word("RestartTime"));
    ExpectOutput("-r:2400", "Invalid restart time...ignored\n");
    ExpectOutput("-r:", "Invalid restart time...ignored\n");
    EXPECT_EQ(930u, key_.Word("RestartTime"));
    EXPECT_EQ(1u, key_.Word("AutoRestart"));
    ExpectOutput("-rx", "AutoRestart OFF\n");
    EXPECT_EQ(0u, key_.Word("AutoRestart"));
    EXPECT_EQ(930u, key_.Word("RestartTime"));
}

TEST_F(QelsvcCommand, Toggles)
{
    ExpectOutput("-x", "TrueIdle = TRUE\n");
    ExpectOutput("-Xyz", "TrueIdle = FALSE\n");
    ExpectOutput("-n", "NormalizeXP = TRUE\n");
    ExpectOutput("-m", "Monitor and Restart = TRUE\n");
    ExpectOutput("-s", "Restart Stuck Clients = TRUE\n");
    key_.SetDword("KeepVisible", 5, REG_BINARY);
    ExpectOutput("-k", "Keep Icons Visible = FALSE\n");
    EXPECT_EQ(0u, key_.Word("TrueIdle"));
    EXPECT_EQ(1u, key_.Word("NormalizeXP"));
    EXPECT_EQ(1u, key_.Word("MonitorRestart"));
    EXPECT_EQ(1u, key_.Word("StuckRestart"));
    EXPECT_EQ(0u, key_.Word("KeepVisible"));

    // The state-giving form: twice the same, whatever was stored.
    ExpectOutput("-f:m:1", "Monitor and Restart = TRUE\n");
    ExpectOutput("-f:m:1", "Monitor and Restart = TRUE\n");
    ExpectOutput("-F:k:1", "Keep Icons Visible = TRUE\n");
    ExpectOutput("-f:n:0", "NormalizeXP = FALSE\n");
    EXPECT_EQ(1u, key_.Word("MonitorRestart"));
    EXPECT_EQ(1u, key_.Word("KeepVisible"));
    EXPECT_EQ(0u, key_.Word("NormalizeXP"));
    ExpectOutput("-f:s:yes", "Invalid flag setting...ignored (use -f:L:0 or -f:L:1, L one of m s x k n)\n",
                 ERROR_INVALID_PARAMETER);
    EXPECT_EQ(1u, key_.Word("StuckRestart"));
}

// The key as an unelevated console finds it: every saving command prints
// one line with the code and its text instead of the new setting, ends with
// the code, and the stored settings stay as they were.
TEST_F(QelsvcCommand, FailedSaveSaysWhyAndChangesNothing)
{
    key_.SetDword("TrueIdle", 0, REG_BINARY);
    key_.SetDword("HourlyRestart", 15, REG_BINARY);
    qeltest::ReadOnlyKey readOnly(SETTINGS_KEY);
    ASSERT_TRUE(readOnly.Applied());
    for (const char* argument : {"-x", "-p:2", "-r:930", "-o", "-h:30", "-a:1", "-w:4"}) {
        qeltest::ProgramRun run = qeltest::RunProgram("qelsvc.exe", argument);
        ASSERT_TRUE(run.Started) << argument;
        EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), run.ExitCode) << argument;
        std::string output = qeltest::NormaliseLineEnds(run.Output);
        EXPECT_EQ(0u, output.find("Settings not saved: error 5 (")) << argument << ": " << output;
        const std::string tail = ") - run it from an elevated prompt\n";
        EXPECT_TRUE(output.size() > tail.size() && output.compare(output.size() - tail.size(), tail.size(), tail) == 0 &&
                    output.find('\n') == output.size() - 1)
            << argument << ": " << output;
    }
    EXPECT_EQ(0u, key_.Word("TrueIdle"));
    EXPECT_EQ(15u, key_.Word("HourlyRestart"));
    for (const char* name : {"NumClients", "AutoRestart", "AutodialType", "WUQueue"})
        EXPECT_FALSE(key_.Has(name)) << name;
}

// An installer runs -q before it removes the service, also where none is
// installed or running any more: that is no failure.  (A running service's
// stop is waited for in the packages' cycle under Wine.)
TEST_F(QelsvcCommand, StopWithoutAServiceSucceeds)
{
    qeltest::RemoveServiceIfPresent("Korvane service", 10000);
    ExpectOutput("-q", "Korvane service is not installed\n");
    ExpectOutput("-Qx", "Korvane service is not installed\n");
}

TEST_F(QelsvcCommand, PeriodicRestartAndAutodialGoOnToTheDispatcher)
{
    ExpectOutput("-h:2000", "PeriodicRestart = 1440 minutes\n");
    EXPECT_EQ(1440u, key_.Word("HourlyRestart"));
    ExpectOutput("-h", "PeriodicRestart = 0 minutes\n");
    ExpectOutput("-a:7", "Autodial Type = 2\n");
    EXPECT_EQ(2u, key_.Word("AutodialType"));
    ExpectOutput("-a", "Autodial Type = 0\n");
    EXPECT_EQ(0u, key_.Word("AutodialType"));
}

TEST_F(QelsvcCommand, QueueSizeCommand)
{
    ExpectOutput("-w:40", "Work Unit Queue Size = 32\n");
    ExpectOutput("-w:x", "Work Unit Queue Size = 32\n");
    ExpectOutput("-w", "Work Unit Queue Size = 0\n");
    ExpectOutput("-w:-1", "Work Unit Queue Size = 32\n");
    EXPECT_EQ(32u, key_.Word("WUQueue"));
    EXPECT_EQ(32u, key_.Words("QueueOrder").size());
    EXPECT_EQ(31u, key_.Words("QueueOrder")[31]);
}

TEST_F(QelsvcCommand, QueueShrinkIsStored)
{
    key_.SetDword("WUQueue", 4, REG_BINARY);
    key_.SetWords("QueueK", {10, 11, 12, 13});
    key_.SetWords("QueueN", {20, 21, 22, 23});
    key_.SetWords("QueueState", {0, 0, 2, 2});
    key_.SetWords("QueueOrder", {0, 1, 2, 3});
    ExpectOutput("-w:2", "Work Unit Queue Size = 2\n");
    EXPECT_EQ(2u, key_.Word("WUQueue"));
    EXPECT_EQ((Words{0, 2}), key_.Words("QueueState"));
    EXPECT_EQ((Words{11, 12}), key_.Words("QueueK"));
    EXPECT_EQ((Words{0, 1}), key_.Words("QueueOrder"));
}

TEST_F(QelsvcCommand, QueueSizeIsRefusedWhileASupervisorHoldsTheMutex)
{
    key_.SetDword("WUQueue", 2, REG_BINARY);
    key_.SetWords("QueueK", {10, 11});
    key_.SetWords("QueueOrder", {1, 0});
    key_.SetDword("HourlyRestart", 15, REG_BINARY);
    {
        // Held under the name qelsvc.exe uses at the version it runs as.
        qeltest::ForeignMutexHolder supervisor(
            qeltest::NameForTestedProgram("qelsvc.exe", SETTINGS_MUTEX_NAME).c_str());
        ASSERT_TRUE(supervisor.Held());
        DWORD start = GetTickCount();
        // Refused: the same text, but an exit code a script can see.
        ExpectOutput("-w:4", "Service is running - can't alter the queue\nWork Unit Queue Size = 2\n",
                     ERROR_SERVICE_ALREADY_RUNNING);
        EXPECT_GE(GetTickCount() - start, 1900u); // it waited for the mutex
        // Other commands still save their values, but not the queue.
        ExpectOutput("-h:30", "PeriodicRestart = 30 minutes\n");
    }
    EXPECT_EQ(2u, key_.Word("WUQueue"));
    EXPECT_EQ((Words{10, 11}), key_.Words("QueueK"));
    EXPECT_EQ((Words{1, 0}), key_.Words("QueueOrder"));
    EXPECT_EQ(30u, key_.Word("HourlyRestart"));
}

TEST(QueueCommandRule, RefusalRestoresTheSizeAndSavesNothing)
{
    qeltest::RegistryScratch key(SETTINGS_KEY);
    qel::UniqueHandle mutex(CreateMutexA(nullptr, FALSE, SettingsMutexName()));
    ServiceParams params = QueueOf({10, 11}, {20, 21}, {2, 2}, {0, 1});
    {
        qeltest::ForeignMutexHolder supervisor(SettingsMutexName());
        ASSERT_TRUE(supervisor.Held());
        EXPECT_FALSE(ApplyQueueSizeCommand(params, "-w:5", mutex.get(), 50));
    }
    EXPECT_EQ(2u, params.WUQueue);
    EXPECT_FALSE(key.Has("WUQueue"));
    EXPECT_EQ(0u, params.QueueOrder[4]);

    // No mutex at all is a refusal as well.
    EXPECT_FALSE(ApplyQueueSizeCommand(params, "-w:5", nullptr, 50));
    EXPECT_FALSE(key.Has("WUQueue"));

    EXPECT_TRUE(ApplyQueueSizeCommand(params, "-w:3", mutex.get(), 50));
    EXPECT_EQ((Words{10, 11, 0}), key.Words("QueueK"));
    EXPECT_EQ((Words{0, 1, 2}), key.Words("QueueOrder"));
    // The command gave the mutex back: another holder gets it.
    qeltest::ForeignMutexHolder after(SettingsMutexName());
    EXPECT_TRUE(after.Held());
}

TEST_F(QelsvcCommand, DisplayListsEverySetting)
{
    key_.SetDword("NumClients", 4);
    key_.SetDword("AffType", 3);
    key_.SetWords("CustAff", {0x4, 0x8});
    key_.SetDword("AutoRestart", 1, REG_BINARY);
    key_.SetDword("RestartTime", 5, REG_BINARY);
    key_.SetDword("MonitorRestart", 1, REG_BINARY);
    key_.SetDword("WUQueue", 3, REG_BINARY);
    key_.SetDword("AutodialType", 1, REG_BINARY);
    key_.SetDword("HourlyRestart", 120, REG_BINARY);
    ExpectOutput("-D",
                 "CPU Affinity = Custom, 2 Clients\n"
                 "  Client 0: Affinity = 0x4\n"
                 "  Client 1: Affinity = 0x8\n"
                 "AutoRestart ON - Time = 00:05\n"
                 "TrueIdle = FALSE\n"
                 "NormalizeXP = FALSE\n"
                 "Monitor and Restart = TRUE\n"
                 "Restart Stuck Clients = FALSE\n"
                 "Keep Icons Visible = FALSE\n"
                 "WU Queue Size = 3\n"
                 "Autodial Type = 1\n"
                 "Periodic Restart = 120\n");
    // Listing changes nothing.
    EXPECT_EQ(4u, key_.Word("NumClients"));
}

// The 32-bit and the 64-bit console keep one set of settings: what one saves
// is what the other (and so the service of either build) reads back.
TEST_F(QelsvcCommand, ThirtyTwoAndSixtyFourBitConsolesShareOneSetOfSettings)
{
#ifndef _WIN64
    GTEST_SKIP() << "a 32-bit console is one of the pair itself";
#else
    // Where a 32-bit program finds them, even where none can run.
    ExpectOutput("-p:3:0", "CPU Affinity = Separate, 3 Clients\n");
    EXPECT_EQ(3u, qeltest::ReadDword(HKEY_LOCAL_MACHINE, qeltest::ThirtyTwoBitViewPath(SETTINGS_KEY).c_str(),
                                     "NumClients", 0));

    std::string whyNot;
    std::string console32 = qeltest::RunnableX86Peer("qelsvc.exe", whyNot);
    if (console32.empty())
        GTEST_SKIP() << whyNot;
    const char* const pairs[][2] = {{"qelsvc.exe", console32.c_str()}, {console32.c_str(), "qelsvc.exe"}};
    DWORD clients = 3;
    for (const auto& pair : pairs) {
        std::string expected = "CPU Affinity = Separate, " + std::to_string(clients) + " Clients\n";
        std::string saved = qeltest::RunProgram(pair[0], "-p:" + std::to_string(clients) + ":0").Output;
        EXPECT_EQ(expected, qeltest::NormaliseLineEnds(saved)) << pair[0];
        std::string listed = qeltest::NormaliseLineEnds(qeltest::RunProgram(pair[1], "-d").Output);
        EXPECT_EQ(expected, listed.substr(0, expected.size())) << pair[1] << " after " << pair[0] << ":\n" << listed;
        --clients;
    }
#endif
}

TEST_F(QelsvcCommand, VersionCommandLogsTheSettingsFirst)
{
    std::string logPath = qeltest::PathBesideTest("qelsvc.log");
    long long before = qeltest::FileSize(logPath);
    key_.SetDword("NumClients", 3);
    key_.SetDword("AffType", 1);
    key_.SetDword("KeepVisible", 1, REG_BINARY);
    qeltest::ProgramRun run = qeltest::RunProgram("qelsvc.exe", "-v");
    ASSERT_TRUE(run.Started);
    ASSERT_FALSE(run.TimedOut);
    EXPECT_EQ(0u, qeltest::NormaliseLineEnds(run.Output).find("Korvane service Version 1.6\n"));

    std::vector<std::string> lines = qeltest::ReadLogLines(logPath, before);
    ASSERT_EQ(5u, lines.size());
    EXPECT_EQ("Parms retrieved: NumClients = 3, AffType = 1, WUQueue = 0, PeriodicRestart = 0, AutodialType = 0",
              lines[0]);
    EXPECT_EQ(" TrueIdle = FALSE, MonitorRestart = FALSE, StuckRestart = FALSE, KeepVisible = TRUE", lines[1]);
    EXPECT_EQ(" NormalizeXP = FALSE", lines[2]);
    EXPECT_EQ(" AutoRestart OFF", lines[3]);
    EXPECT_EQ("** ZR Client version 1.10+ **", lines[4]);
}

// A policy written where the templates put it (for the 64-bit build, the
// 64-bit view) is what -d shows, marked; a command that would change it
// says so, changes nothing and ends with 1260; other commands still save,
// leaving the policy's values as stored.
TEST_F(QelsvcCommand, PolicySettingsAreMarkedAndLeftAlone)
{
    qeltest::RegistryScratch policy(SETTINGS_POLICY_KEY);
    key_.SetDword("NumClients", 4);
    key_.SetDword("AffType", 2);
    key_.SetDword("MonitorRestart", 0, REG_BINARY);
    key_.SetDword("HourlyRestart", 15, REG_BINARY);
    policy.SetDword("NumClients", 3);
    policy.SetDword("AffType", 1);
    policy.SetDword("MonitorRestart", 1);
    policy.SetDword("HourlyRestart", 60);
    policy.SetDword("AutoRestart", 0);
    ExpectOutput("-d",
                 "CPU Affinity = None, 3 Clients (set by policy)\n"
                 "AutoRestart OFF (set by policy)\n"
                 "TrueIdle = FALSE\n"
                 "NormalizeXP = FALSE\n"
                 "Monitor and Restart = TRUE (set by policy)\n"
                 "Restart Stuck Clients = FALSE\n"
                 "Keep Icons Visible = FALSE\n"
                 "WU Queue Size = 0\n"
                 "Autodial Type = 0\n"
                 "Periodic Restart = 60 (set by policy)\n");

    const DWORD refused = ERROR_ACCESS_DISABLED_BY_POLICY;
    ExpectOutput("-m", "Monitor and Restart is set by policy - not changed\n", refused);
    ExpectOutput("-f:m:0", "Monitor and Restart is set by policy - not changed\n", refused);
    ExpectOutput("-p:2:0", "CPU Affinity is set by policy - not changed\n", refused);
    ExpectOutput("-o", "CPU Affinity is set by policy - not changed\n", refused);
    ExpectOutput("-r:930", "AutoRestart is set by policy - not changed\n", refused);
    ExpectOutput("-h:30", "Periodic Restart is set by policy - not changed\n", refused);
    ExpectOutput("-x", "TrueIdle = TRUE\n");
    EXPECT_EQ(1u, key_.Word("TrueIdle"));
    EXPECT_EQ(4u, key_.Word("NumClients"));
    EXPECT_EQ(2u, key_.Word("AffType"));
    EXPECT_EQ(0u, key_.Word("MonitorRestart"));
    EXPECT_EQ(15u, key_.Word("HourlyRestart"));
    EXPECT_FALSE(key_.Has("AutoRestart"));

    policy.Clear();
    ExpectOutput("-m", "Monitor and Restart = TRUE\n");
}

// A status command or check run every minute by any account: no settings
// load (its log lines), no settings mutex or log lock made before the
// service makes them (a name made by another account could keep the service
// from running).
TEST_F(QelsvcCommand, StatusCommandsWriteNothingAndCreateNoNamedObject)
{
    std::string logPath = qeltest::PathBesideTest("qelsvc.log");
    long long before = qeltest::FileSize(logPath);
    char self[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD length = sizeof self;
    GetComputerNameA(self, &length);
    for (const std::string& argument : {std::string("-l"), std::string("-L:") + self, std::string("-c"), std::string("-c:") + self}) {
        qeltest::ProgramRun run = qeltest::RunProgram("qelsvc.exe", argument);
        ASSERT_TRUE(run.Started);
        EXPECT_FALSE(run.TimedOut) << argument;
        EXPECT_NE(std::string::npos, run.Output.find("not installed")) << argument << ": " << run.Output;
    }
    EXPECT_EQ(before, qeltest::FileSize(logPath));
    // Both forms of the name: the program may run as a version without
    // "Global\" names (NT 4.0) while this test does not.
    for (const char* name : {SETTINGS_MUTEX_NAME, GLOBAL_SETTINGS_MUTEX_NAME, LogMutexName()}) {
        qel::UniqueHandle mutex(OpenMutexA(SYNCHRONIZE, FALSE, name));
        EXPECT_FALSE(mutex.valid()) << name;
        EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError()) << name;
    }
}

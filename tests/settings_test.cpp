// The settings store against the real registry key: defaults, range rules,
// odd stored data, the log lines of a load, and what a save writes and must
// leave alone.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "log_lines.h"
#include "mutex_holder.h"
#include "program_run.h"
#include "registry_scratch.h"
#include "settings.h"
#include "supervisor_core.h"
#include "win_handles.h"

using qeltest::RegistryScratch;

namespace {

DWORD Processors()
{
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors;
}

class SettingsStore : public ::testing::Test {
protected:
    void SetUp() override
    {
        logPath_ = qeltest::PathBesideTest("settings_test.log");
        DeleteFileA(logPath_.c_str());
        log_.ServiceName = "settings test";
        strcpy(log_.LogPath, logPath_.c_str());
    }
    void TearDown() override { DeleteFileA(logPath_.c_str()); }

    ServiceParams Load(SettingsRules rules = SettingsRules::NT)
    {
        ServiceParams params;
        LoadInto(params, rules);
        return params;
    }
    void LoadInto(ServiceParams& params, SettingsRules rules = SettingsRules::NT)
    {
        DeleteFileA(logPath_.c_str());
        LoadParams(params, log_, rules);
    }
    std::vector<std::string> LogLines() const { return qeltest::ReadLogLines(logPath_); }

    RegistryScratch key_{SETTINGS_KEY};
    ServiceLogContext log_;
    std::string logPath_;
};

} // namespace

TEST_F(SettingsStore, MissingKeyGivesDefaultsAndKeepsUnloadedFields)
{
    ServiceParams params;
    params.AffType = 2;
    params.TrueIdle = 1;
    params.WUQueue = 5;
    params.RestartTime = 1234;
    params.CustAff[0] = 0x55;
    params.QueueK[0] = 0x66;
    LoadInto(params);

    EXPECT_EQ(DefaultClientCount(Processors()), params.NumClients);
    EXPECT_EQ(0u, params.AffType);
    EXPECT_EQ(0u, params.TrueIdle);
    EXPECT_EQ(0u, params.WUQueue);
    EXPECT_EQ(0u, params.AutoRestart);
    // Nothing loads these without a key.
    EXPECT_EQ(1234u, params.RestartTime);
    EXPECT_EQ(0x55u, params.CustAff[0]);
    EXPECT_EQ(0x66u, params.QueueK[0]);

    std::vector<std::string> lines = LogLines();
    ASSERT_EQ(5u, lines.size());
    char first[200];
    snprintf(first, sizeof first,
             "Parms retrieved: NumClients = %d, AffType = 0, WUQueue = 0, PeriodicRestart = 0, AutodialType = 0",
             static_cast<int>(params.NumClients));
    EXPECT_EQ(first, lines[0]);
    EXPECT_EQ(" TrueIdle = FALSE, MonitorRestart = FALSE, StuckRestart = FALSE, KeepVisible = FALSE", lines[1]);
    EXPECT_EQ(" NormalizeXP = FALSE", lines[2]);
    EXPECT_EQ(" AutoRestart OFF", lines[3]);
    EXPECT_EQ("** ZR Client version 1.10+ **", lines[4]);
}

TEST(SettingsDefaults, ProcessorCountIsBroughtIntoClientRange)
{
    EXPECT_EQ(1u, DefaultClientCount(0));
    EXPECT_EQ(1u, DefaultClientCount(1));
    EXPECT_EQ(32u, DefaultClientCount(32));
    EXPECT_EQ(32u, DefaultClientCount(64));
}

TEST_F(SettingsStore, ScalarRangeRulesCompareUnsigned)
{
    struct Case {
        const char* Name;
        DWORD Stored;
        DWORD ServiceParams::*Field;
        DWORD Expected;
    } cases[] = {
        {"NumClients", 0, &ServiceParams::NumClients, 1},
        {"NumClients", 40, &ServiceParams::NumClients, 32},
        {"NumClients", 0xFFFFFFFF, &ServiceParams::NumClients, 32},
        {"NumClients", 7, &ServiceParams::NumClients, 7},
        {"AffType", 7, &ServiceParams::AffType, 0},
        {"AffType", 0x80000002, &ServiceParams::AffType, 0},
        {"AffType", 2, &ServiceParams::AffType, 2},
        {"WUQueue", 100, &ServiceParams::WUQueue, 32},
        {"WUQueue", 0xFFFFFFFF, &ServiceParams::WUQueue, 32},
        {"AutodialType", 9, &ServiceParams::AutodialType, 2},
        {"AutodialType", 0x80000000, &ServiceParams::AutodialType, 2},
        // Only the -h command stops at 1440.
        {"HourlyRestart", 5000, &ServiceParams::HourlyRestart, 5000},
        {"HourlyRestart", 0xFFFFFFFF, &ServiceParams::HourlyRestart, 0xFFFFFFFF},
        {"KeepVisible", 5, &ServiceParams::KeepVisible, 5},
    };
    for (const Case& c : cases) {
        key_.Clear();
        key_.SetDword(c.Name, c.Stored, REG_BINARY);
        ServiceParams params = Load();
        EXPECT_EQ(c.Expected, params.*c.Field) << c.Name << " stored as " << c.Stored;
    }
}

TEST_F(SettingsStore, MissingClientCountWithKeyIsTheProcessorCount)
{
    key_.SetDword("AffType", 1);
    EXPECT_EQ(DefaultClientCount(Processors()), Load().NumClients);
}

TEST_F(SettingsStore, AnyRegistryTypeHoldsTheNumber)
{
    // The four bytes count, not the type the value was stored with.
    key_.SetDword("NumClients", 3, REG_BINARY);
    key_.SetDword("AffType", 2, REG_NONE);
    key_.SetDword("TrueIdle", 1, REG_DWORD);
    key_.SetDword("WUQueue", 4, REG_DWORD_BIG_ENDIAN);
    ServiceParams params = Load();
    EXPECT_EQ(3u, params.NumClients);
    EXPECT_EQ(2u, params.AffType);
    EXPECT_EQ(1u, params.TrueIdle);
    EXPECT_EQ(4u, params.WUQueue);
}

TEST_F(SettingsStore, ValueLongerThanItsBufferCountsAsMissing)
{
    std::vector<DWORD> eight = {6, 6};
    key_.SetWords("NumClients", eight);
    key_.SetWords("AutodialType", eight);
    key_.SetWords("MonitorRestart", eight);
    ServiceParams params = Load();
    EXPECT_EQ(DefaultClientCount(Processors()), params.NumClients);
    EXPECT_EQ(0u, params.AutodialType);
    EXPECT_EQ(0u, params.MonitorRestart);
}

TEST_F(SettingsStore, ShortValueFillsTheRestWithZeroBytes)
{
    const BYTE twoBytes[] = {0x34, 0x02};
    key_.Set("HourlyRestart", REG_BINARY, twoBytes, sizeof twoBytes);
    key_.SetDword("WUQueue", 2, REG_BINARY);
    const BYTE sixBytes[] = {1, 0, 0, 0, 2, 0};
    key_.Set("QueueK", REG_BINARY, sixBytes, sizeof sixBytes);
    ServiceParams params;
    params.HourlyRestart = 0xAAAAAAAA;
    params.QueueK[1] = 0xBBBBBBBB;
    params.QueueK[2] = 0xCCCCCCCC;
    LoadInto(params);
    EXPECT_EQ(0x234u, params.HourlyRestart);
    EXPECT_EQ(1u, params.QueueK[0]);
    EXPECT_EQ(2u, params.QueueK[1]);
    // Beyond the buffer of WUQueue entries nothing is touched.
    EXPECT_EQ(0xCCCCCCCCu, params.QueueK[2]);
}

TEST_F(SettingsStore, CustomTypeTakesClientCountFromTheMaskList)
{
    key_.SetDword("NumClients", 4);
    key_.SetDword("AffType", 3);
    key_.SetWords("CustAff", {0x4, 0x8});
    ServiceParams params = Load();
    EXPECT_EQ(3u, params.AffType);
    EXPECT_EQ(2u, params.NumClients);
    EXPECT_EQ(0x4u, params.CustAff[0]);
    EXPECT_EQ(0x8u, params.CustAff[1]);
}

TEST_F(SettingsStore, CustomTypeWithoutUsableMaskListFallsBackToSeparate)
{
    key_.SetDword("NumClients", 4);
    key_.SetDword("AffType", 3);
    ServiceParams params = Load();
    EXPECT_EQ(0u, params.AffType);
    EXPECT_EQ(4u, params.NumClients);

    key_.SetWords("CustAff", std::vector<DWORD>(33, 1)); // 132 bytes
    params = Load();
    EXPECT_EQ(0u, params.AffType);
    EXPECT_EQ(4u, params.NumClients);

    // Not one whole mask: no client count of 0.
    for (DWORD length : {0u, 2u}) {
        const BYTE bytes[] = {1, 0};
        key_.Set("CustAff", REG_BINARY, bytes, length);
        params = Load();
        EXPECT_EQ(0u, params.AffType) << length;
        EXPECT_EQ(4u, params.NumClients) << length;
    }
}

TEST_F(SettingsStore, MaskListIsReadOnlyForTheCustomType)
{
    key_.SetDword("NumClients", 4);
    key_.SetDword("AffType", 7);
    key_.SetWords("CustAff", {0x4, 0x8});
    ServiceParams params;
    params.CustAff[0] = 0x99;
    LoadInto(params);
    EXPECT_EQ(0u, params.AffType);
    EXPECT_EQ(4u, params.NumClients);
    EXPECT_EQ(0x99u, params.CustAff[0]);
}

TEST_F(SettingsStore, RestartTimeLoadsOnlyWithDailyRestartOn)
{
    key_.SetDword("AutoRestart", 1, REG_BINARY);
    ServiceParams params = Load();
    EXPECT_EQ(1u, params.AutoRestart);
    EXPECT_EQ(0u, params.RestartTime);
    EXPECT_EQ(" AutoRestart at 00:00", LogLines().at(3));

    key_.SetDword("RestartTime", 930, REG_BINARY);
    params = Load();
    EXPECT_EQ(930u, params.RestartTime);
    EXPECT_EQ(" AutoRestart at 09:30", LogLines().at(3));

    key_.SetDword("AutoRestart", 0, REG_BINARY);
    params.RestartTime = 77;
    LoadInto(params);
    EXPECT_EQ(77u, params.RestartTime);
    EXPECT_EQ(" AutoRestart OFF", LogLines().at(3));
}

TEST_F(SettingsStore, QueueArraysLoadOnlyWhenTheQueueIsInUse)
{
    key_.SetWords("QueueK", {7, 8});
    ServiceParams params;
    params.QueueK[0] = 0x11;
    LoadInto(params);
    EXPECT_EQ(0x11u, params.QueueK[0]);

    key_.SetDword("WUQueue", 2, REG_BINARY);
    key_.SetWords("QueueN", {1, 2, 3}); // longer than 2 entries: not read
    params.QueueN[0] = 0x22;
    LoadInto(params);
    EXPECT_EQ(7u, params.QueueK[0]);
    EXPECT_EQ(8u, params.QueueK[1]);
    EXPECT_EQ(0x22u, params.QueueN[0]);
}

TEST_F(SettingsStore, FlagsAreLoggedAsTrueOrFalse)
{
    key_.SetDword("NumClients", 3);
    key_.SetDword("AffType", 2);
    key_.SetDword("TrueIdle", 5, REG_BINARY);
    key_.SetDword("StuckRestart", 1, REG_BINARY);
    key_.SetDword("NormalizeXP", 1, REG_BINARY);
    key_.SetDword("WUQueue", 4, REG_BINARY);
    key_.SetDword("HourlyRestart", 90, REG_BINARY);
    key_.SetDword("AutodialType", 1, REG_BINARY);
    Load();
    std::vector<std::string> lines = LogLines();
    ASSERT_EQ(5u, lines.size());
    EXPECT_EQ("Parms retrieved: NumClients = 3, AffType = 2, WUQueue = 4, PeriodicRestart = 90, AutodialType = 1",
              lines[0]);
    EXPECT_EQ(" TrueIdle = TRUE, MonitorRestart = FALSE, StuckRestart = TRUE, KeepVisible = FALSE", lines[1]);
    EXPECT_EQ(" NormalizeXP = TRUE", lines[2]);
}

TEST_F(SettingsStore, NineXLoadFixesClientLayoutWhenTheKeyExists)
{
    key_.SetDword("NumClients", 4);
    key_.SetDword("AffType", 2);
    key_.SetDword("KeepVisible", 1, REG_BINARY);
    ServiceParams params = Load(SettingsRules::Windows9x);
    EXPECT_EQ(1u, params.NumClients);
    EXPECT_EQ(0u, params.AffType);
    EXPECT_EQ(1u, params.KeepVisible);

    key_.Clear();
    params = Load(SettingsRules::Windows9x);
    EXPECT_EQ(DefaultClientCount(Processors()), params.NumClients);
    EXPECT_EQ(5u, LogLines().size());
}

// --- Saving ---------------------------------------------------------------

namespace {

ServiceParams SampleRecord()
{
    ServiceParams params;
    params.NumClients = 2;
    params.AffType = 3;
    params.CustAff[0] = 0x4;
    params.CustAff[1] = 0x8;
    params.AutoRestart = 1;
    params.RestartTime = 2359;
    params.TrueIdle = 5;
    params.NormalizeXP = 1;
    params.MonitorRestart = 0;
    params.StuckRestart = 1;
    params.KeepVisible = 1;
    params.WUQueue = 2;
    params.AutodialType = 2;
    params.HourlyRestart = 1440;
    for (DWORD i = 0; i < 2; ++i) {
        params.QueueK[i] = 10 + i;
        params.QueueN[i] = 20 + i;
        params.QueueState[i] = 2;
        params.QueueOrder[i] = 1 - i;
    }
    return params;
}

} // namespace

TEST_F(SettingsStore, SaveWritesTypesSizesAndNormalisedFlags)
{
    qel::UniqueHandle mutex(CreateMutexA(nullptr, FALSE, SettingsMutexName()));
    SaveParams(SampleRecord(), mutex.get());

    qeltest::RegistryValue value;
    ASSERT_TRUE(key_.Read("NumClients", value));
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), value.Type);
    ASSERT_TRUE(key_.Read("AffType", value));
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), value.Type);
    for (const char* name : {"AutoRestart", "RestartTime", "TrueIdle", "NormalizeXP", "MonitorRestart",
                             "StuckRestart", "KeepVisible", "HourlyRestart", "WUQueue", "AutodialType"}) {
        ASSERT_TRUE(key_.Read(name, value)) << name;
        EXPECT_EQ(static_cast<DWORD>(REG_BINARY), value.Type) << name;
        EXPECT_EQ(4u, value.Data.size()) << name;
    }
    EXPECT_EQ(1u, key_.Word("TrueIdle")); // 5 is saved as 1
    EXPECT_EQ(0u, key_.Word("MonitorRestart"));
    EXPECT_EQ(2359u, key_.Word("RestartTime"));
    EXPECT_EQ((std::vector<DWORD>{0x4, 0x8}), key_.Words("CustAff"));
    EXPECT_EQ((std::vector<DWORD>{10, 11}), key_.Words("QueueK"));
    EXPECT_EQ((std::vector<DWORD>{1, 0}), key_.Words("QueueOrder"));
    ASSERT_TRUE(key_.Read("QueueState", value));
    EXPECT_EQ(static_cast<DWORD>(REG_BINARY), value.Type);
    EXPECT_EQ(8u, value.Data.size());

    // The save let go of the mutex again.
    qeltest::ForeignMutexHolder other(SettingsMutexName());
    EXPECT_TRUE(other.Held());
}

TEST_F(SettingsStore, SaveAndLoadRoundTrip)
{
    qel::UniqueHandle mutex(CreateMutexA(nullptr, FALSE, SettingsMutexName()));
    ServiceParams saved = SampleRecord();
    SaveParams(saved, mutex.get());
    ServiceParams loaded = Load();
    EXPECT_EQ(saved.NumClients, loaded.NumClients);
    EXPECT_EQ(saved.AffType, loaded.AffType);
    EXPECT_EQ(0, memcmp(saved.CustAff, loaded.CustAff, 2 * sizeof(DWORD)));
    EXPECT_EQ(saved.RestartTime, loaded.RestartTime);
    EXPECT_EQ(1u, loaded.TrueIdle);
    EXPECT_EQ(saved.HourlyRestart, loaded.HourlyRestart);
    EXPECT_EQ(saved.AutodialType, loaded.AutodialType);
    EXPECT_EQ(saved.WUQueue, loaded.WUQueue);
    EXPECT_EQ(0, memcmp(saved.QueueN, loaded.QueueN, 2 * sizeof(DWORD)));
    EXPECT_EQ(0, memcmp(saved.QueueOrder, loaded.QueueOrder, 2 * sizeof(DWORD)));
}

TEST_F(SettingsStore, SaveLeavesSkippedValuesAsTheyWere)
{
    qel::UniqueHandle mutex(CreateMutexA(nullptr, FALSE, SettingsMutexName()));
    SaveParams(SampleRecord(), mutex.get());

    ServiceParams params = SampleRecord();
    params.AffType = 2;       // CustAff stays
    params.AutoRestart = 0;   // RestartTime stays
    params.RestartTime = 100;
    params.WUQueue = 0;       // the queue values stay
    params.QueueK[0] = 99;
    SaveParams(params, mutex.get());

    EXPECT_EQ(2u, key_.Word("AffType"));
    EXPECT_EQ((std::vector<DWORD>{0x4, 0x8}), key_.Words("CustAff"));
    EXPECT_EQ(0u, key_.Word("AutoRestart"));
    EXPECT_EQ(2359u, key_.Word("RestartTime"));
    EXPECT_EQ(0u, key_.Word("WUQueue"));
    EXPECT_EQ((std::vector<DWORD>{10, 11}), key_.Words("QueueK"));
}

TEST_F(SettingsStore, SaveWhileAnotherHoldsTheMutexSkipsOnlyTheQueue)
{
    qel::UniqueHandle mutex(CreateMutexA(nullptr, FALSE, SettingsMutexName()));
    SaveParams(SampleRecord(), mutex.get());

    ServiceParams params = SampleRecord();
    params.HourlyRestart = 60;
    params.WUQueue = 1;
    params.QueueK[0] = 99;
    {
        qeltest::ForeignMutexHolder supervisor(SettingsMutexName());
        ASSERT_TRUE(supervisor.Held());
        SaveParams(params, mutex.get());
    }
    EXPECT_EQ(60u, key_.Word("HourlyRestart"));
    EXPECT_EQ(1u, key_.Word("WUQueue"));
    EXPECT_EQ((std::vector<DWORD>{10, 11}), key_.Words("QueueK"));
    EXPECT_EQ((std::vector<DWORD>{20, 21}), key_.Words("QueueN"));

    // Without any mutex nothing tells that no supervisor runs: the queue is
    // not written either.
    SaveParams(params, nullptr);
    EXPECT_EQ((std::vector<DWORD>{10, 11}), key_.Words("QueueK"));
}

// --- Policy ---------------------------------------------------------------

TEST(PolicyRules, ViewFlagsOnlyWhereWindowsHasViewsAndMaskLists)
{
    PolicyKeyViews none = PolicyKeyViewsFor(false);
    ASSERT_EQ(1, none.Count);
    EXPECT_EQ(0u, none.View[0]); // NT 4.0, 2000 and the 9x family refuse the flags
    PolicyKeyViews both = PolicyKeyViewsFor(true);
    ASSERT_EQ(2, both.Count);
    EXPECT_EQ(static_cast<REGSAM>(KEY_WOW64_64KEY), both.View[0]); // where Group Policy writes
    EXPECT_EQ(static_cast<REGSAM>(KEY_WOW64_32KEY), both.View[1]);
#ifdef _WIN64
    EXPECT_TRUE(WindowsHasRegistryViews());
#endif
    DWORD masks[MAX_CLIENTS];
    EXPECT_EQ(3u, ParsePolicyMaskList(" 0x1, 2 ,0X80000000", masks));
    EXPECT_EQ(0x80000000u, masks[2]);
    ASSERT_EQ(1u, ParsePolicyMaskList("010", masks));
    EXPECT_EQ(10u, masks[0]); // decimal, not octal
    for (const char* bad : {"", " ", "1,", ",1", "1;2", "-1", "0x", "4294967296", "1 2"})
        EXPECT_EQ(0u, ParsePolicyMaskList(bad, masks)) << bad;
    std::string many(32 * 2 - 1, ',');
    for (size_t i = 0; i < many.size(); i += 2)
        many[i] = '1';
    EXPECT_EQ(32u, ParsePolicyMaskList(many.c_str(), masks));
    EXPECT_EQ(0u, ParsePolicyMaskList((many + ",1").c_str(), masks));
}

namespace {

// The policy key as Group Policy writes it: REG_DWORD numbers and a REG_SZ
// mask list, in the test's own view (for a 64-bit test the 64-bit one,
// where the 64-bit Group Policy client puts it).
class PolicyStore : public SettingsStore {
protected:
    void SetPolicyText(const char* name, const char* text)
    {
        policy_.Set(name, REG_SZ, text, static_cast<DWORD>(strlen(text) + 1));
    }
    RegistryScratch policy_{SETTINGS_POLICY_KEY};
};

} // namespace

// Every value of the templates is taken from the policy over the stored one
// and named in the log; without the policy the stored values are back.
TEST_F(PolicyStore, PolicyValuesWinWhileTheyApply)
{
    key_.SetDword("NumClients", 4);
    key_.SetDword("AffType", 2);
    key_.SetDword("AutoRestart", 0, REG_BINARY);
    key_.SetDword("HourlyRestart", 30, REG_BINARY);
    key_.SetDword("WUQueue", 3, REG_BINARY);
    for (const char* flag : {"MonitorRestart", "StuckRestart", "TrueIdle", "KeepVisible"})
        key_.SetDword(flag, 0, REG_BINARY);

    policy_.SetDword("NumClients", 9); // the masks set the count
    policy_.SetDword("AffType", 3);
    SetPolicyText("CustAff", "0x1,0x2");
    policy_.SetDword("AutoRestart", 1);
    policy_.SetDword("RestartTime", 2359);
    policy_.SetDword("HourlyRestart", 1440);
    for (const char* flag : {"MonitorRestart", "StuckRestart", "TrueIdle", "KeepVisible"})
        policy_.SetDword(flag, 1);
    ServiceParams params = Load();

    EXPECT_EQ(2u, params.NumClients);
    EXPECT_EQ(3u, params.AffType);
    EXPECT_EQ(0x2u, params.CustAff[1]);
    EXPECT_EQ(1u, params.AutoRestart);
    EXPECT_EQ(2359u, params.RestartTime);
    EXPECT_EQ(1440u, params.HourlyRestart);
    EXPECT_EQ(3u, params.WUQueue); // no policy for it
    std::string names;
    for (const PolicyValueRule& rule : POLICY_VALUES) {
        EXPECT_NE(0u, params.PolicyFixed & PolicyBit(rule.Name)) << rule.Name << " not marked";
        if (rule.Field && rule.Kind == PolicyValueKind::Switch) {
            EXPECT_EQ(1u, params.*rule.Field) << rule.Name;
        }
        names += (names.empty() ? "" : ", ") + std::string(rule.Name);
    }
    EXPECT_TRUE(IsFixedByPolicy(params, &ServiceParams::MonitorRestart));
    EXPECT_FALSE(IsFixedByPolicy(params, &ServiceParams::NormalizeXP));
    std::vector<std::string> lines = LogLines();
    ASSERT_EQ(6u, lines.size());
    EXPECT_EQ(" TrueIdle = TRUE, MonitorRestart = TRUE, StuckRestart = TRUE, KeepVisible = TRUE", lines[1]);
    EXPECT_EQ(" AutoRestart at 23:59", lines[3]);
    EXPECT_EQ(" Set by policy: " + names, lines[4]);
    EXPECT_EQ("** ZR Client version 1.10+ **", lines[5]);

    // A save leaves every policy value as stored (the whole client layout
    // too) and writes the rest.
    params.WUQueue = 0;
    params.AutodialType = 1;
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), SaveParams(params, nullptr));
    EXPECT_EQ(4u, key_.Word("NumClients"));
    EXPECT_EQ(2u, key_.Word("AffType"));
    EXPECT_FALSE(key_.Has("CustAff"));
    EXPECT_EQ(0u, key_.Word("AutoRestart"));
    EXPECT_FALSE(key_.Has("RestartTime"));
    EXPECT_EQ(30u, key_.Word("HourlyRestart"));
    EXPECT_EQ(0u, key_.Word("MonitorRestart"));
    EXPECT_EQ(1u, key_.Word("AutodialType"));

    policy_.Clear();
    params = Load();
    EXPECT_EQ(4u, params.NumClients);
    EXPECT_EQ(2u, params.AffType);
    EXPECT_EQ(0u, params.MonitorRestart);
    EXPECT_EQ(0u, params.PolicyFixed);
    EXPECT_EQ(5u, LogLines().size());
}

// A policy goes through the rules of a stored value; the 9x host keeps its
// own client layout; and a key only a 32-bit writer made is found too.
TEST_F(PolicyStore, PolicyValuesFollowTheLoadRules)
{
    key_.SetDword("NumClients", 2);
    key_.SetDword("AffType", 3);
    key_.SetWords("CustAff", {0x4, 0x8});
    key_.SetDword("AutoRestart", 1, REG_BINARY);
    key_.SetDword("RestartTime", 930, REG_BINARY);
    policy_.SetDword("NumClients", 40);   // 32; the stored two masks no longer fit
    policy_.SetDword("AutoRestart", 0);   // disabled: fixed off
    policy_.SetDword("RestartTime", 100); // not read with the restart off
    ServiceParams params = Load();
    EXPECT_EQ(32u, params.NumClients);
    EXPECT_EQ(0u, params.AffType);
    EXPECT_EQ(0u, params.AutoRestart);
    EXPECT_TRUE(IsFixedByPolicy(params, &ServiceParams::AutoRestart));
    EXPECT_EQ(" Set by policy: NumClients, AutoRestart", LogLines().at(4));

    policy_.Clear();
    policy_.SetDword("AffType", 3);
    for (const char* bad : {"", "1,,2", "0x1,-2"}) {
        SetPolicyText("CustAff", bad);
        params = Load();
        EXPECT_EQ(0u, params.AffType) << bad;
        EXPECT_EQ(2u, params.NumClients) << bad; // as the stored layout gave it
    }
    policy_.SetDword("AffType", 7);
    EXPECT_EQ(0u, Load().AffType);

    // Another tool's string is no policy: "1" as its bytes would be 0x31.
    policy_.Clear();
    SetPolicyText("MonitorRestart", "1");
    SetPolicyText("HourlyRestart", "60");
    params = Load();
    EXPECT_EQ(0u, params.MonitorRestart);
    EXPECT_EQ(0u, params.HourlyRestart);
    EXPECT_EQ(0u, params.PolicyFixed);

    policy_.SetDword("AffType", 1);
    policy_.SetDword("KeepVisible", 1);
    params = Load(SettingsRules::Windows9x);
    EXPECT_EQ(1u, params.NumClients);
    EXPECT_EQ(0u, params.AffType);
    EXPECT_EQ(1u, params.KeepVisible);
    EXPECT_EQ(PolicyBit("KeepVisible"), params.PolicyFixed);

#ifdef _WIN64
    // On XP x64 and Vista a 32-bit writer's key is in the 32-bit view only
    // (from Windows 7 on, and under Wine, the two views share this key).
    policy_.Clear();
    {
        qel::UniqueRegKey key32;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, SETTINGS_POLICY_KEY, 0, nullptr, 0,
                                                 KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, key32.put(), nullptr));
        DWORD on = 1;
        RegSetValueExA(key32.get(), "TrueIdle", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&on), sizeof on);
    }
    EXPECT_EQ(1u, Load().TrueIdle);
    qel::UniqueRegKey parent;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Policies\\Morl\\qel", 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY,
                      parent.put()) == ERROR_SUCCESS)
        RegDeleteKeyA(parent.get(), "svcparms");
#endif
}

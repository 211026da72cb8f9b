// Client launch against real copies of the stand-in client zr.exe.
#include <gtest/gtest.h>

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstring>
#include <string>

#include "activity_log.h"
#include "client_launch.h"
#include "standin_client.h"
#include "message_boxes.h"
#include "registry_scratch.h"
#include "windows_family.h"

using qeltest::ClientStateKey;
using qeltest::LaunchSlot;
using qeltest::OwnedProcess;

namespace {

const DWORD RECORD_WAIT_MS = 3000;
HANDLE const SENTINEL_HANDLE = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x1234));
HWND const SENTINEL_WINDOW = reinterpret_cast<HWND>(static_cast<ULONG_PTR>(0x5678));
const DWORD SENTINEL_ID = 0xABCDu;

// ---- Pure decisions --------------------------------------------------------

TEST(ClientStateKeyPath, EveryIndexHasItsSuffix)
{
    struct Case {
        unsigned index;
        const char* path;
    } const cases[] = {
        {0, "Software\\Morl\\qel\\cache"},   {1, "Software\\Morl\\qel\\cache2"},
        {8, "Software\\Morl\\qel\\cache9"},  {9, "Software\\Morl\\qel\\cachea"},
        {31, "Software\\Morl\\qel\\cachew"},
    };
    for (const Case& c : cases) {
        char path[64] = "junk";
        EXPECT_TRUE(ClientStateKeyPath(c.index, path, sizeof path)) << c.index;
        EXPECT_STREQ(c.path, path) << c.index;
    }
}

TEST(ClientStateKeyPath, RefusesIndexBeyondTableAndShortBuffer)
{
    char path[64] = "junk";
    EXPECT_FALSE(ClientStateKeyPath(32, path, sizeof path));
    EXPECT_STREQ("", path);
    char small[24];  // one short of "...cache2" and its terminator
    EXPECT_FALSE(ClientStateKeyPath(1, small, sizeof small));
    EXPECT_STREQ("", small);
}

TEST(FormatClientTitle, AppendsClientNumberAndNeverOverflows)
{
    std::string longTitle(250, 'T');
    std::string exactFit(199 - strlen(" - client 12"), 'x');
    struct Case {
        const char* title;
        unsigned index;
        size_t size;
        std::string expected;
    } const cases[] = {
        {"ZR", 0, TITLE_BUFFER_SIZE, "ZR - client 1"},
        {"ZR", 2, TITLE_BUFFER_SIZE, "ZR - client 3"},
        {"ZR - client 3", 2, TITLE_BUFFER_SIZE, "ZR - client 3 - client 3"},
        {"", 31, TITLE_BUFFER_SIZE, " - client 32"},
        {exactFit.c_str(), 11, TITLE_BUFFER_SIZE, exactFit + " - client 12"},
        // Too long: the title is cut, the client number kept.
        {longTitle.c_str(), 4, TITLE_BUFFER_SIZE, std::string(199 - 11, 'T') + " - client 5"},
        // Not even the suffix fits: cut, still terminated.
        {"ZR", 0, 6, " - cl"},
    };
    for (const Case& c : cases) {
        char out[TITLE_BUFFER_SIZE + 8];
        memset(out, '#', sizeof out);
        FormatClientTitle(c.title, c.index, out, c.size);
        EXPECT_EQ(c.expected, std::string(out)) << c.title << " / " << c.index;
        EXPECT_LT(strlen(out), c.size);
        EXPECT_EQ('#', out[c.size]) << "wrote past the buffer";
    }
}

// ---- The config key --------------------------------------------------------

TEST(WriteClientKey, PointsClientKeyAtTheClientsStateKey)
{
    qeltest::ConfigKeyGuard guard;
    const unsigned indices[] = {0, 1, 8, 9, 31};
    for (unsigned index : indices) {
        char expected[64];
        ASSERT_TRUE(ClientStateKeyPath(index, expected, sizeof expected));
        EXPECT_EQ(1, WriteClientKey(index)) << index;
        EXPECT_EQ(std::string(expected), qeltest::ReadClientKeyValue()) << index;
    }
    EXPECT_EQ(0, WriteClientKey(32));
}

// ---- Launches of real copies ----------------------------------------------

class ClientLaunch : public ::testing::Test {
protected:
    ClientLaunch() { qeltest::BringUpDesktop(); }

    int Launch(unsigned index, DWORD mask, int trueIdle, LaunchSlot& slot, bool withMainThreadId = true)
    {
        DWORD started = GetTickCount();
        int result = qeltest::LaunchInto(exe_, index, mask, trueIdle, slot, withMainThreadId);
        lastLaunchMs_ = GetTickCount() - started;
        if (result == LAUNCH_OK)
            owned_[ownedCount_++].reset(qeltest::WatchHandle(slot.ProcessHandle));
        return result;
    }

    // Outputs before a launch, so that the test sees which ones it wrote.
    static LaunchSlot SentinelSlot()
    {
        LaunchSlot slot;
        slot.ProcessHandle = SENTINEL_HANDLE;
        slot.ProcessId = SENTINEL_ID;
        slot.MainWindow = SENTINEL_WINDOW;
        slot.StartButton = SENTINEL_WINDOW;
        slot.MainThreadId = SENTINEL_ID;
        return slot;
    }

    // A failed launch: slot cleared but the main thread id, the copy ended
    // with the step's code as its full exit code.
    void ExpectFailedLaunch(int expected, int result, const LaunchSlot& slot, const OwnedProcess& copy)
    {
        EXPECT_EQ(expected, result);
        EXPECT_EQ(nullptr, slot.ProcessHandle);
        EXPECT_EQ(0u, slot.ProcessId);
        EXPECT_EQ(nullptr, slot.MainWindow);
        EXPECT_EQ(nullptr, slot.StartButton);
        EXPECT_EQ(SENTINEL_ID, slot.MainThreadId);
        ASSERT_TRUE(copy) << "the copy handed us no handle";
        EXPECT_EQ(static_cast<DWORD>(expected), copy.ExitCode(2000));
    }

    qeltest::ConfigKeyGuard configGuard_;
    std::string exe_ = qeltest::PathBesideTest("zr.exe");
    DWORD lastLaunchMs_ = 0;
    OwnedProcess owned_[8];
    int ownedCount_ = 0;
};

TEST_F(ClientLaunch, StartsWorkingMinimisedCopy)
{
    ClientStateKey state(2);
    LaunchSlot slot = SentinelSlot();
    // The supervisor's own directory must not leak into the copy.
    char ownDirectory[MAX_PATH], tempDirectory[MAX_PATH];
    ASSERT_NE(0u, GetCurrentDirectoryA(sizeof ownDirectory, ownDirectory));
    ASSERT_NE(0u, GetTempPathA(sizeof tempDirectory, tempDirectory));
    ASSERT_TRUE(SetCurrentDirectoryA(tempDirectory));
    int launched = Launch(2, 0x1, 0, slot);
    SetCurrentDirectoryA(ownDirectory);
    ASSERT_EQ(LAUNCH_OK, launched);

    EXPECT_EQ(state.Dword(zr::REC_PROCESS_ID), slot.ProcessId);
    DWORD exitCode = 0;
    EXPECT_TRUE(GetExitCodeProcess(slot.ProcessHandle, &exitCode));
    EXPECT_EQ(STILL_ACTIVE, exitCode);
    DWORD windowOwner = 0;
    GetWindowThreadProcessId(slot.MainWindow, &windowOwner);
    EXPECT_EQ(slot.ProcessId, windowOwner);
    EXPECT_EQ("Start!", qeltest::WindowText(slot.StartButton));
    EXPECT_EQ(slot.MainWindow, GetParent(slot.StartButton));
    EXPECT_NE(0u, slot.MainThreadId);
    EXPECT_NE(SENTINEL_ID, slot.MainThreadId);

    // What the copy received, as it recorded it.
    EXPECT_EQ(exe_.substr(0, exe_.find_last_of('\\')), state.Text(zr::REC_CURRENT_DIRECTORY));
    EXPECT_EQ("\"" + exe_ + "\"", state.Text(zr::REC_COMMAND_LINE));
    EXPECT_EQ("Software\\Morl\\qel\\cache3", qeltest::ReadClientKeyValue());
    EXPECT_EQ("ZR - client 3", state.Text(zr::REC_TITLE_AT_CLICK));
    EXPECT_EQ("ZR - client 3", qeltest::WindowText(slot.MainWindow));
    EXPECT_EQ(1u, state.Dword(zr::REC_CLICKS));
    EXPECT_TRUE(state.WaitForDword(zr::REC_MINIMIZES, 1, RECORD_WAIT_MS));
    EXPECT_TRUE(IsIconic(slot.MainWindow));
    EXPECT_EQ(0x1u, state.Qword(zr::REC_AFFINITY_MASK));

    // A worker other than the main thread does visible work.
    ASSERT_TRUE(state.WaitFor(zr::REC_WORKER_THREAD_ID, RECORD_WAIT_MS));
    EXPECT_NE(slot.MainThreadId, state.Dword(zr::REC_WORKER_THREAD_ID));
    EXPECT_TRUE(state.WaitForDword(zr::REC_WORKER_PRIORITY, THREAD_PRIORITY_NORMAL, RECORD_WAIT_MS));
    HWND progress = qeltest::ProgressTextOf(slot.StartButton);
    ASSERT_NE(nullptr, progress);
    std::string before = qeltest::WindowText(progress);
    Sleep(700);
    EXPECT_NE(before, qeltest::WindowText(progress));

    CloseHandle(slot.ProcessHandle);
}

TEST_F(ClientLaunch, EachCopyFindsItsOwnStateKey)
{
    const unsigned indices[] = {0, 1, 8, 9, 31};
    for (unsigned index : indices) {
        ClientStateKey state(index);
        LaunchSlot slot;
        ASSERT_EQ(LAUNCH_OK, Launch(index, 0x3, 0, slot)) << index;
        EXPECT_EQ(slot.ProcessId, state.Dword(zr::REC_PROCESS_ID)) << index;
        EXPECT_EQ("ZR - client " + std::to_string(index + 1), state.Text(zr::REC_TITLE_AT_CLICK));
        owned_[--ownedCount_].reset();
        CloseHandle(slot.ProcessHandle);
    }
}

// The real client is a 32-bit program: two 32-bit copies started by this
// (64-bit) supervisor code, both running, each find the key meant for them.
TEST_F(ClientLaunch, ThirtyTwoBitCopiesEachFindTheirOwnStateKey)
{
#ifndef _WIN64
    GTEST_SKIP() << "the 32-bit supervisor's copies are covered by every other launch test";
#else
    // Where a 32-bit program finds "ClientKey", even where none can run.
    ASSERT_EQ(1, WriteClientKey(1));
    EXPECT_EQ("Software\\Morl\\qel\\cache2",
              qeltest::ReadString(HKEY_LOCAL_MACHINE, qeltest::ThirtyTwoBitViewPath(CLIENT_CONFIG_KEY).c_str(),
                                  CLIENT_KEY_VALUE));

    std::string whyNot;
    std::string peer = qeltest::RunnableX86Peer("zr.exe", whyNot);
    if (peer.empty())
        GTEST_SKIP() << whyNot;
    exe_ = qeltest::PathBesideTest(peer);
    ClientStateKey first(0);
    ClientStateKey second(1);
    const ClientStateKey* states[] = {&first, &second};
    LaunchSlot slots[2];
    for (unsigned index = 0; index < 2; ++index)
        ASSERT_EQ(LAUNCH_OK, Launch(index, 0x3, 0, slots[index])) << index;
    for (unsigned index = 0; index < 2; ++index) {
        BOOL wow64 = FALSE;
        EXPECT_TRUE(IsWow64Process(slots[index].ProcessHandle, &wow64) && wow64) << index << " is no 32-bit copy";
        EXPECT_EQ(slots[index].ProcessId, states[index]->Dword(zr::REC_PROCESS_ID)) << index;
        EXPECT_EQ("ZR - client " + std::to_string(index + 1), states[index]->Text(zr::REC_TITLE_AT_CLICK)) << index;
        CloseHandle(slots[index].ProcessHandle);
    }
#endif
}

TEST_F(ClientLaunch, TrueIdleDropsWorkerToIdlePriorityEvenWithoutMainThreadOutput)
{
    // The main thread id then comes from process creation (with the output,
    // the stop tests see the same drop).
    ClientStateKey state(0);
    LaunchSlot slot = SentinelSlot();
    ASSERT_EQ(LAUNCH_OK, Launch(0, 0x3, 1, slot, false));
    EXPECT_EQ(SENTINEL_ID, slot.MainThreadId);
    EXPECT_TRUE(state.WaitForDword(zr::REC_WORKER_PRIORITY, static_cast<DWORD>(THREAD_PRIORITY_IDLE),
                                   RECORD_WAIT_MS));
    CloseHandle(slot.ProcessHandle);
}

TEST_F(ClientLaunch, LateWorkerKeepsItsPriorityAndLaunchSucceeds)
{
    ClientStateKey state(0);
    state.Set(zr::WORKER_DELAY_MS, 3500);
    LaunchSlot slot;
    ASSERT_EQ(LAUNCH_OK, Launch(0, 0x3, 1, slot));
    // Six walks 500 ms apart before giving up.
    EXPECT_GE(lastLaunchMs_, 2400u);
    ASSERT_TRUE(state.WaitFor(zr::REC_WORKER_PRIORITY, 3000));
    Sleep(200);
    EXPECT_EQ(static_cast<DWORD>(THREAD_PRIORITY_NORMAL), state.Dword(zr::REC_WORKER_PRIORITY));
    CloseHandle(slot.ProcessHandle);
}

TEST_F(ClientLaunch, WaitsForLateInputIdle)
{
    ClientStateKey state(0);
    state.Set(zr::IDLE_DELAY_MS, 1500);
    LaunchSlot slot;
    ASSERT_EQ(LAUNCH_OK, Launch(0, 0x3, 0, slot));
    EXPECT_GE(lastLaunchMs_, 1400u);
    EXPECT_EQ(1u, state.Dword(zr::REC_CLICKS));
    CloseHandle(slot.ProcessHandle);
}

TEST_F(ClientLaunch, FindsStartButtonNestedInPanels)
{
    ClientStateKey state(0);
    state.Set(zr::NEST_START_BUTTON, 1);
    LaunchSlot slot;
    ASSERT_EQ(LAUNCH_OK, Launch(0, 0x3, 0, slot));
    EXPECT_EQ("Start!", qeltest::WindowText(slot.StartButton));
    EXPECT_NE(slot.MainWindow, GetParent(slot.StartButton));
    EXPECT_EQ(slot.MainWindow, GetAncestor(slot.StartButton, GA_ROOT));
    EXPECT_EQ(1u, state.Dword(zr::REC_CLICKS));
    CloseHandle(slot.ProcessHandle);
}

TEST_F(ClientLaunch, CreateFailureWritesNoOutput)
{
    LaunchSlot slot = SentinelSlot();
    std::string missing = exe_.substr(0, exe_.size() - 6) + "no-such-client.exe";
    int result = qeltest::LaunchInto(missing, 0, 0x3, 1, slot);
    EXPECT_EQ(LAUNCH_CREATE_FAILED, result);
    EXPECT_EQ(SENTINEL_HANDLE, slot.ProcessHandle);
    EXPECT_EQ(SENTINEL_ID, slot.ProcessId);
    EXPECT_EQ(SENTINEL_WINDOW, slot.MainWindow);
    EXPECT_EQ(SENTINEL_WINDOW, slot.StartButton);
    EXPECT_EQ(SENTINEL_ID, slot.MainThreadId);
}

// Each misbehaving copy hands us a handle to itself at start, so that its
// exit code can be read after the launch has closed its own handle.
struct FailureCase {
    const char* name;
    const char* value;
    DWORD data;
    DWORD mask;
    int expected;
};

void PrintTo(const FailureCase& c, std::ostream* out)
{
    *out << c.name;
}

class ClientLaunchFailure : public ClientLaunch, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(ClientLaunchFailure, KillsCopyWithStepCodeAndClearsSlot)
{
    const FailureCase& c = GetParam();
    ClientStateKey state(5);
    state.Set(zr::OBSERVER_PID, GetCurrentProcessId());
    if (c.value)
        state.Set(c.value, c.data);
    qeltest::MessageBoxWatcher boxes("");
    LaunchSlot slot = SentinelSlot();
    int result = Launch(5, c.mask, 1, slot);
    OwnedProcess copy(qeltest::TakeObserverHandle(state, 1000));
    ExpectFailedLaunch(c.expected, result, slot, copy);
    // The first-run box belongs to the 9x family only.
    EXPECT_EQ(0, boxes.Count());
    if (c.expected != LAUNCH_NOT_IDLE) {
        EXPECT_EQ(0u, state.Dword(zr::REC_CLICKS));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Steps, ClientLaunchFailure,
    ::testing::Values(FailureCase{"NeverIdle", zr::IDLE_DELAY_MS, zr::NEVER, 0x3, LAUNCH_NOT_IDLE},
                      FailureCase{"NoWindow", zr::NO_WINDOWS, 1, 0x3, LAUNCH_NO_WINDOW},
                      FailureCase{"NoStart", zr::NO_START_BUTTON, 1, 0x3, LAUNCH_NO_START},
                      FailureCase{"OtherWindowFirst", zr::EXTRA_FIRST_WINDOW, 1, 0x3, LAUNCH_NO_START},
                      FailureCase{"MaskRefused", nullptr, 0, 0x0, LAUNCH_AFFINITY_FAILED}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

TEST_F(ClientLaunch, CopyEndingBeforeIdleGivesNotIdle)
{
    ClientStateKey state(5);
    state.Set(zr::OBSERVER_PID, GetCurrentProcessId());
    state.Set(zr::EXIT_BEFORE_IDLE, 1);
    LaunchSlot slot = SentinelSlot();
    int result = Launch(5, 0x3, 0, slot);
    OwnedProcess copy(qeltest::TakeObserverHandle(state, 1000));
    EXPECT_EQ(LAUNCH_NOT_IDLE, result);
    EXPECT_EQ(nullptr, slot.ProcessHandle);
    EXPECT_EQ(0u, slot.ProcessId);
    EXPECT_EQ(nullptr, slot.MainWindow);
    EXPECT_EQ(nullptr, slot.StartButton);
    ASSERT_TRUE(copy);
    // It ended by itself before the launch could terminate it.
    EXPECT_EQ(zr::EXIT_BEFORE_IDLE_CODE, copy.ExitCode(2000));
}

// ---- The key step, and LaunchLock ------------------------------------------

// Denies everyone access to the config key for the scope, then puts its
// security back.
class ConfigKeyLockedOut {
public:
    ConfigKeyLockedOut()
    {
        HKEY key = nullptr;
        REGSAM access = KEY_ALL_ACCESS | qeltest::ProductViewForTests();
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, CLIENT_CONFIG_KEY, 0, nullptr, 0, access, nullptr, &key, nullptr) !=
            ERROR_SUCCESS)
            return;
        qel::UniqueRegKey owned(key);
        DWORD size = sizeof saved_;
        if (RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, saved_, &size) != ERROR_SUCCESS)
            return;
        PSECURITY_DESCRIPTOR deny = nullptr;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorA("D:(D;;KA;;;WD)", SDDL_REVISION_1, &deny,
                                                                  nullptr))
            return;
        active_ = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, deny) == ERROR_SUCCESS;
        LocalFree(deny);
    }
    ~ConfigKeyLockedOut() { Restore(); }
    void Restore()
    {
        if (!active_)
            return;
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, CLIENT_CONFIG_KEY, 0, WRITE_DAC | qeltest::ProductViewForTests(), &key) ==
            ERROR_SUCCESS) {
            RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, saved_);
            RegCloseKey(key);
        }
        active_ = false;
    }
    bool Active() const { return active_; }

private:
    bool active_ = false;
    alignas(void*) BYTE saved_[4096] = {};
};

struct LaunchJob {
    std::string exe;
    unsigned index;
    LaunchSlot slot;
    int result = 99;
    DWORD finishedTick = 0;
};

DWORD WINAPI RunLaunchJob(void* context)
{
    LaunchJob* job = static_cast<LaunchJob*>(context);
    job->result = qeltest::LaunchInto(job->exe, job->index, 0x3, 0, job->slot);
    job->finishedTick = GetTickCount();
    return 0;
}

TEST_F(ClientLaunch, KeyFailureKillsCopyAndSecondLaunchWaitsForFirst)
{
    // Launch A holds LaunchLock while its copy is slow to become idle; launch B
    // creates its copy meanwhile and must wait before touching "ClientKey".
    // B's suspended copy is caught while it waits, and the key is locked out
    // so that B's key step fails.
    ClientStateKey stateA(3);
    ClientStateKey stateB(4);
    stateA.Set(zr::IDLE_DELAY_MS, 2500);
    LaunchJob jobA{exe_, 3, LaunchSlot()};
    LaunchJob jobB{exe_, 4, LaunchSlot()};
    jobB.slot.MainThreadId = SENTINEL_ID;

    qel::UniqueHandle threadA(CreateThread(nullptr, 0, RunLaunchJob, &jobA, 0, nullptr));
    ASSERT_TRUE(threadA);
    ASSERT_TRUE(stateA.WaitFor(zr::REC_PROCESS_ID, 3000));
    DWORD idA = stateA.Dword(zr::REC_PROCESS_ID);
    OwnedProcess copyA(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION, FALSE, idA));

    ConfigKeyLockedOut lockedOut;
    ASSERT_TRUE(lockedOut.Active());
    qel::UniqueHandle threadB(CreateThread(nullptr, 0, RunLaunchJob, &jobB, 0, nullptr));
    ASSERT_TRUE(threadB);

    OwnedProcess copyB;
    for (int tries = 0; tries < 100 && !copyB; ++tries) {
        DWORD ids[16];
        int count = qeltest::RunningStandinIds(ids, 16);
        for (int i = 0; i < count; ++i)
            if (ids[i] != idA)
                copyB.reset(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION, FALSE,
                                        ids[i]));
        if (!copyB)
            Sleep(10);
    }
    ASSERT_TRUE(copyB) << "B's copy was not seen while it waited";

    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(threadA.get(), 15000));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(threadB.get(), 15000));
    lockedOut.Restore();

    EXPECT_EQ(LAUNCH_OK, jobA.result);
    EXPECT_EQ("Software\\Morl\\qel\\cache4", qeltest::ReadClientKeyValue()) << "A's key was rewritten";
    EXPECT_LE(static_cast<LONG>(jobA.finishedTick - jobB.finishedTick), 0) << "B finished before A";
    ExpectFailedLaunch(LAUNCH_KEY_FAILED, jobB.result, jobB.slot, copyB);
    EXPECT_FALSE(stateB.Has(zr::REC_PROCESS_ID)) << "B's copy ran";
    if (jobA.result == LAUNCH_OK)
        CloseHandle(jobA.slot.ProcessHandle);
}

TEST_F(ClientLaunch, SimultaneousFirstLaunchesBothSucceed)
{
    // Run on its own (as CTest runs each test), these are the first launches
    // of the process: one thread binds, the other waits for it.
    ClientStateKey stateA(6);
    ClientStateKey stateB(7);
    LaunchJob jobA{exe_, 6, LaunchSlot()};
    LaunchJob jobB{exe_, 7, LaunchSlot()};
    qel::UniqueHandle threadA(CreateThread(nullptr, 0, RunLaunchJob, &jobA, 0, nullptr));
    qel::UniqueHandle threadB(CreateThread(nullptr, 0, RunLaunchJob, &jobB, 0, nullptr));
    ASSERT_TRUE(threadA && threadB);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(threadA.get(), 15000));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(threadB.get(), 15000));
    OwnedProcess copyA(jobA.result == LAUNCH_OK ? jobA.slot.ProcessHandle : nullptr);
    OwnedProcess copyB(jobB.result == LAUNCH_OK ? jobB.slot.ProcessHandle : nullptr);
    ASSERT_EQ(LAUNCH_OK, jobA.result);
    ASSERT_EQ(LAUNCH_OK, jobB.result);
    // Each copy read its own "ClientKey".
    EXPECT_EQ(jobA.slot.ProcessId, stateA.Dword(zr::REC_PROCESS_ID));
    EXPECT_EQ(jobB.slot.ProcessId, stateB.Dword(zr::REC_PROCESS_ID));
    EXPECT_EQ("ZR - client 7", stateA.Text(zr::REC_TITLE_AT_CLICK));
    EXPECT_EQ("ZR - client 8", stateB.Text(zr::REC_TITLE_AT_CLICK));
}

// ---- The stand-in's own misbehaviour switches -------------------------------

TEST_F(ClientLaunch, StandinCrashesAndFreezesOnRequest)
{
    ClientStateKey state(0);
    state.Set(zr::CRASH_AFTER_MS, 1500);
    state.Set(zr::FREEZE_PROGRESS, 1);
    LaunchSlot slot;
    ASSERT_EQ(LAUNCH_OK, Launch(0, 0x3, 0, slot));
    HWND progress = qeltest::ProgressTextOf(slot.StartButton);
    std::string before = qeltest::WindowText(progress);
    Sleep(600);
    EXPECT_EQ(before, qeltest::WindowText(progress));
    OwnedProcess copy(slot.ProcessHandle);
    EXPECT_EQ(static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION), copy.ExitCode(5000));
}

} // namespace

// ---- The 9x family ----------------------------------------------------------
//
// These run in a copy of this test program that Wine runs as Windows 98 (its
// AppDefaults "Version"); the test below starts it.  Named DISABLED_ so that
// they run only there.

const char FAMILY9X_EXE[] = "client_launch_9x.exe";

struct FirstRunSetUp {
    const ClientStateKey* state;
    qel::UniqueHandle firstCopy;
    bool setUpClient;
};

// Runs while the first-run box is up: the first copy is still running.
void OnFirstRunBox(void* context)
{
    FirstRunSetUp* setUp = static_cast<FirstRunSetUp*>(context);
    setUp->firstCopy.reset(qeltest::TakeObserverHandle(*setUp->state, 1000));
    if (setUp->setUpClient)
        setUp->state->Set(zr::NO_START_BUTTON, 0);
}

class ClientLaunchOn9x : public ClientLaunch {
protected:
    void SetUp() override { ASSERT_TRUE(qel::IsWindows9xFamily()) << "not run as Windows 98"; }
};

TEST_F(ClientLaunchOn9x, DISABLED_FirstRunBoxShowsOnceAndRetryFailsAlike)
{
    ClientStateKey state(0);
    state.Set(zr::NO_START_BUTTON, 1);
    state.Set(zr::OBSERVER_PID, GetCurrentProcessId());
    FirstRunSetUp setUp{&state, qel::UniqueHandle(), false};
    LaunchSlot slot = SentinelSlot();
    int result;
    int boxesShown;
    std::string boxText;
    {
        qeltest::MessageBoxWatcher boxes("", OnFirstRunBox, &setUp);
        result = Launch(0, 0x3, 0, slot);
        boxesShown = boxes.Count();
        boxText = boxes.LastText();
    }
    OwnedProcess secondCopy(qeltest::TakeObserverHandle(state, 1000));
    ExpectFailedLaunch(LAUNCH_NO_START, result, slot, secondCopy);
    EXPECT_EQ(1, boxesShown);
    EXPECT_EQ(FIRST_RUN_TEXT, boxText);
    OwnedProcess firstCopy(setUp.firstCopy.release());
    ASSERT_TRUE(firstCopy);
    EXPECT_EQ(static_cast<DWORD>(LAUNCH_NO_START), firstCopy.ExitCode(2000));
}

TEST_F(ClientLaunchOn9x, DISABLED_FirstRunRetrySucceedsOnceClientIsSetUp)
{
    ClientStateKey state(0);
    state.Set(zr::NO_START_BUTTON, 1);
    state.Set(zr::OBSERVER_PID, GetCurrentProcessId());
    FirstRunSetUp setUp{&state, qel::UniqueHandle(), true};
    LaunchSlot slot;
    int result;
    int boxesShown;
    {
        qeltest::MessageBoxWatcher boxes("", OnFirstRunBox, &setUp);
        result = Launch(0, 0x3, 0, slot);
        boxesShown = boxes.Count();
    }
    ASSERT_EQ(LAUNCH_OK, result);
    EXPECT_EQ(1, boxesShown);
    EXPECT_EQ(1u, state.Dword(zr::REC_CLICKS));
    EXPECT_EQ(slot.ProcessId, state.Dword(zr::REC_PROCESS_ID));
    OwnedProcess firstCopy(setUp.firstCopy.release());
    EXPECT_EQ(static_cast<DWORD>(LAUNCH_NO_START), firstCopy.ExitCode(2000));
    CloseHandle(qeltest::TakeObserverHandle(state, 1000));
    CloseHandle(slot.ProcessHandle);
}

TEST_F(ClientLaunchOn9x, DISABLED_MaskIsNeverApplied)
{
    ClientStateKey state(0);
    LaunchSlot slot;
    ASSERT_EQ(LAUNCH_OK, Launch(0, 0x0, 0, slot));
    DWORD_PTR processMask = 0;
    DWORD_PTR systemMask = 0;
    ASSERT_TRUE(GetProcessAffinityMask(GetCurrentProcess(), &processMask, &systemMask));
    EXPECT_EQ(static_cast<ULONGLONG>(systemMask), state.Qword(zr::REC_AFFINITY_MASK));
    CloseHandle(slot.ProcessHandle);
}

// Runs the tests above in a copy of this program that Wine treats as a
// Windows 98 program.
TEST(ClientLaunchFamily9x, FirstRunAndMaskUnderWindows98)
{
    qeltest::ProgramRun run = qeltest::RunSelfAsWindows98(
        FAMILY9X_EXE, "--gtest_filter=ClientLaunchOn9x.* --gtest_also_run_disabled_tests", 90000);
    ASSERT_TRUE(run.Started) << "the copy of this program did not start";
    ASSERT_FALSE(run.TimedOut) << "the Windows 98 run did not finish\n" << run.Output;
    EXPECT_EQ(0u, run.ExitCode) << "a test failed in the Windows 98 run:\n" << run.Output;
}

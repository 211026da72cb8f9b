// Client stop against real copies of the stand-in client zr.exe, started by
// the real launch.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <thread>
#include <vector>

#include "client_launch.h"
#include "client_stop.h"
#include "standin_client.h"

using qeltest::ClientStateKey;
using qeltest::LaunchSlot;
using qeltest::OwnedProcess;

namespace {

const DWORD RECORD_WAIT_MS = 3000;
const DWORD TERMINATED = 0xFFFFFFFFu;

class ClientStop : public ::testing::Test {
protected:
    ClientStop() { qeltest::BringUpDesktop(); }

    // Starts a copy of client `index`; `watch` gets a second handle to it, as
    // the slot's own handle goes to StopClient.
    void Start(unsigned index, int trueIdle, LaunchSlot& slot, OwnedProcess& watch)
    {
        ASSERT_EQ(LAUNCH_OK, qeltest::LaunchInto(qeltest::PathBesideTest("zr.exe"), index, 0x3, trueIdle, slot));
        watch.reset(qeltest::WatchHandle(slot.ProcessHandle));
        ASSERT_TRUE(watch);
    }

    // Runs the stop and tells how long it took.
    DWORD Stop(const LaunchSlot& slot, DWORD waitMs, const char* fileName = nullptr)
    {
        DWORD started = GetTickCount();
        EXPECT_EQ(0, StopClient(slot.ProcessHandle, slot.ProcessId, slot.MainWindow, waitMs, fileName,
                                slot.MainThreadId));
        DWORD took = GetTickCount() - started;
        // The slot's handle was closed by the stop.
        SetLastError(0xdeadbeef);
        DWORD flags = 0;
        EXPECT_FALSE(GetHandleInformation(slot.ProcessHandle, &flags));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
        return took;
    }

    qeltest::ConfigKeyGuard configGuard_;
};

TEST_F(ClientStop, ConfirmedExitEndsCopyAfterWaitWithWorkerBackToNormal)
{
    ClientStateKey state(0);
    LaunchSlot slot;
    OwnedProcess copy;
    ASSERT_NO_FATAL_FAILURE(Start(0, 1, slot, copy));
    ASSERT_TRUE(state.WaitForDword(zr::REC_WORKER_PRIORITY, static_cast<DWORD>(THREAD_PRIORITY_IDLE),
                                   RECORD_WAIT_MS));

    DWORD took = Stop(slot, 2000);

    EXPECT_EQ(0u, copy.ExitCode(0));
    EXPECT_EQ(1u, state.Dword(zr::REC_EXIT_PRESSES));
    EXPECT_EQ(1u, state.Dword(zr::REC_CONFIRMED));
    EXPECT_EQ(static_cast<DWORD>(THREAD_PRIORITY_NORMAL), state.Dword(zr::REC_WORKER_PRIORITY));
    DWORD shownToConfirmed = state.Dword(zr::REC_CONFIRMED_TICK) - state.Dword(zr::REC_CONFIRM_SHOWN_TICK);
    EXPECT_GE(shownToConfirmed, 2000u);
    EXPECT_LT(took, 4500u);
}

// A client shows "Close ZR?" a moment before its buttons exist; a search
// that meets the window in that moment must wait for them, not send the
// copy to the last resort.
TEST_F(ClientStop, ConfirmationWhoseButtonsComeLateIsStillConfirmed)
{
    ClientStateKey state(0);
    state.Set(zr::CONFIRM_BUTTONS_DELAY_MS, 400);
    LaunchSlot slot;
    OwnedProcess copy;
    ASSERT_NO_FATAL_FAILURE(Start(0, 0, slot, copy));

    Stop(slot, 0);

    EXPECT_EQ(0u, copy.ExitCode(0));
    EXPECT_EQ(1u, state.Dword(zr::REC_CONFIRMED));
}

TEST_F(ClientStop, CopyWithoutExitButtonGetsOnlyTheLastResort)
{
    ClientStateKey state(0);
    state.Set(zr::NO_EXIT_BUTTON, 1);
    LaunchSlot slot;
    OwnedProcess copy;
    ASSERT_NO_FATAL_FAILURE(Start(0, 1, slot, copy));
    ASSERT_TRUE(state.WaitForDword(zr::REC_WORKER_PRIORITY, static_cast<DWORD>(THREAD_PRIORITY_IDLE),
                                   RECORD_WAIT_MS));

    DWORD took = Stop(slot, 1000);

    // Ended by WM_DESTROY, untouched otherwise.
    EXPECT_EQ(0u, copy.ExitCode(0));
    EXPECT_FALSE(state.Has(zr::REC_EXIT_PRESSES));
    EXPECT_EQ(static_cast<DWORD>(THREAD_PRIORITY_IDLE), state.Dword(zr::REC_WORKER_PRIORITY));
    EXPECT_EQ(static_cast<DWORD>(NORMAL_PRIORITY_CLASS), state.Dword(zr::REC_PRIORITY_CLASS));
    EXPECT_LT(took, 1000u);
}

// Exit pressed, but the confirmation cannot be given: the copy ends through
// the last resort, unconfirmed.
struct UnconfirmedCase {
    const char* name;
    const char* value;
    DWORD data;
    bool confirmationShown;
};

void PrintTo(const UnconfirmedCase& c, std::ostream* out)
{
    *out << c.name;
}

class ClientStopUnconfirmed : public ClientStop, public ::testing::WithParamInterface<UnconfirmedCase> {};

TEST_P(ClientStopUnconfirmed, EndsThroughLastResort)
{
    const UnconfirmedCase& c = GetParam();
    ClientStateKey state(0);
    state.Set(c.value, c.data);
    LaunchSlot slot;
    OwnedProcess copy;
    ASSERT_NO_FATAL_FAILURE(Start(0, 0, slot, copy));

    DWORD took = Stop(slot, 200);

    EXPECT_EQ(0u, copy.ExitCode(0));
    EXPECT_EQ(1u, state.Dword(zr::REC_EXIT_PRESSES));
    EXPECT_EQ(c.confirmationShown, state.Has(zr::REC_CONFIRM_SHOWN_TICK));
    EXPECT_FALSE(state.Has(zr::REC_CONFIRMED));
    EXPECT_LT(took, 4000u);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, ClientStopUnconfirmed,
    ::testing::Values(UnconfirmedCase{"ExitIgnored", zr::IGNORE_EXIT, 1, false},
                      // Ten passes 100 ms apart: 1.5 s is too late.
                      UnconfirmedCase{"ConfirmationTooLate", zr::CONFIRM_DELAY_MS, 1500, false},
                      UnconfirmedCase{"NoControlSix", zr::NO_CONFIRM_ID6, 1, true}),
    [](const ::testing::TestParamInfo<UnconfirmedCase>& info) { return std::string(info.param.name); });

TEST_F(ClientStop, CopyHangingAfterConfirmationIsTerminated)
{
    ClientStateKey state(0);
    state.Set(zr::HANG_AFTER_CONFIRM, 1);
    LaunchSlot slot;
    OwnedProcess copy;
    ASSERT_NO_FATAL_FAILURE(Start(0, 0, slot, copy));

    DWORD took = Stop(slot, 0);

    EXPECT_EQ(1u, state.Dword(zr::REC_CONFIRMED));
    EXPECT_EQ(TERMINATED, copy.ExitCode(0));
    // One 5 s wait; the last resort's wait then returns at once.
    EXPECT_GE(took, 4900u);
    EXPECT_LT(took, 8000u);
}

TEST_F(ClientStop, JointStopEndsCopiesOneAtATimeInOrder)
{
    // Copy 0 hangs once confirmed, until it is terminated.
    ClientStateKey states[3] = {ClientStateKey(0), ClientStateKey(1), ClientStateKey(2)};
    states[0].Set(zr::HANG_AFTER_CONFIRM, 1);
    LaunchSlot slots[3];
    OwnedProcess copies[3];
    ClientStopOrder orders[3];
    for (unsigned i = 0; i < 3; ++i) {
        ASSERT_NO_FATAL_FAILURE(Start(i, 0, slots[i], copies[i]));
        orders[i] = {slots[i].ProcessHandle, slots[i].ProcessId, slots[i].MainWindow, slots[i].MainThreadId};
    }

    std::thread stop([&] { StopClients(orders, 3, 300); });
    // While copy 0 waits out its 5 s after the confirmation, the others wait
    // for their turn at the priority they had: computing copies raised all
    // at once would hold every processor for the whole stop.
    bool firstConfirmed = states[0].WaitForDword(zr::REC_CONFIRMED, 1, 5000);
    DWORD classes[3];
    for (unsigned i = 0; i < 3; ++i)
        classes[i] = GetPriorityClass(copies[i].get());
    stop.join();
    ASSERT_TRUE(firstConfirmed);
    EXPECT_EQ((std::vector<DWORD>{HIGH_PRIORITY_CLASS, NORMAL_PRIORITY_CLASS, NORMAL_PRIORITY_CLASS}),
              std::vector<DWORD>(classes, classes + 3));

    EXPECT_EQ(TERMINATED, copies[0].ExitCode(0));
    EXPECT_EQ(0u, copies[1].ExitCode(0));
    EXPECT_EQ(0u, copies[2].ExitCode(0));
    DWORD confirmed[3], shown[3];
    for (unsigned i = 0; i < 3; ++i) {
        ASSERT_EQ(1u, states[i].Dword(zr::REC_CONFIRMED)) << i;
        confirmed[i] = states[i].Dword(zr::REC_CONFIRMED_TICK);
        shown[i] = states[i].Dword(zr::REC_CONFIRM_SHOWN_TICK);
    }
    // Each confirmed only after the one before had ended: copy 1 waited out
    // copy 0's 5 s before its termination.
    EXPECT_GE(static_cast<LONG>(confirmed[1] - confirmed[0]), 4900);
    EXPECT_GE(static_cast<LONG>(confirmed[2] - confirmed[1]), 0);
    // The approaches overlapped: every copy showed its confirmation before
    // the first was confirmed.
    EXPECT_LT(static_cast<LONG>(shown[1] - confirmed[0]), 0);
    EXPECT_LT(static_cast<LONG>(shown[2] - confirmed[0]), 0);
}

TEST_F(ClientStop, HungCopyIsTerminatedByTheLastResort)
{
    // A copy whose main thread never pumps after creating its windows: it
    // still shows "Exit" (texts of other processes are read without their
    // help) but never confirms nor handles WM_DESTROY.  Started by hand, since
    // a launch refuses a copy that never becomes idle.
    ClientStateKey state(0);
    state.Set(zr::IDLE_DELAY_MS, zr::NEVER);
    ASSERT_EQ(1, WriteClientKey(0));
    std::string exe = qeltest::PathBesideTest("zr.exe");
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION created = {};
    ASSERT_TRUE(CreateProcessA(exe.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                               &created));
    CloseHandle(created.hThread);
    OwnedProcess copy(qeltest::WatchHandle(created.hProcess));
    WindowSearch search = {nullptr, created.dwProcessId};
    // Until the copy has put its main window first, another top-level window
    // of its own may come first; a loaded machine can take seconds to get
    // there.
    HWND exitButton = nullptr;
    for (int tries = 0; tries < 500 && !exitButton; ++tries) {
        Sleep(20);
        search.FoundWindow = nullptr;
        EnumWindows(FindMainWindow, reinterpret_cast<LPARAM>(&search));
        if (search.FoundWindow)
            exitButton = FindWindowExA(search.FoundWindow, nullptr, "BUTTON", "Exit");
    }
    ASSERT_NE(nullptr, exitButton);

    LaunchSlot slot;
    slot.ProcessHandle = created.hProcess;
    slot.ProcessId = created.dwProcessId;
    slot.MainWindow = search.FoundWindow;
    slot.MainThreadId = created.dwThreadId;
    DWORD took = Stop(slot, 0);

    EXPECT_EQ(TERMINATED, copy.ExitCode(0));
    // Ten passes without a confirmation (1 s), then one 5 s wait; plus 2.5 s
    // looking for a worker that never started when an earlier launch in this
    // process bound the thread functions.
    EXPECT_GE(took, 5900u);
    EXPECT_LT(took, 11000u);
}

TEST_F(ClientStop, CopyThatEndedAlreadyIsOnlyClosed)
{
    ClientStateKey state(0);
    state.Set(zr::CRASH_AFTER_MS, 200);
    LaunchSlot slot;
    OwnedProcess copy;
    ASSERT_NO_FATAL_FAILURE(Start(0, 0, slot, copy));
    ASSERT_TRUE(copy.WaitEnded(3000));

    DWORD took = Stop(slot, 1000);
    EXPECT_EQ(static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION), copy.ExitCode(0));
    EXPECT_LT(took, 500u);
}

// A decoy "Close ZR?" with a control 6, on a thread of this process that does
// not pump messages until released (or 15 s have passed): reading its title
// would stall the stop that long.
struct Decoy {
    qel::UniqueHandle created{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    qel::UniqueHandle release{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    qel::UniqueHandle thread;
    HWND window = nullptr;
    volatile LONG confirmed = 0;
};

LRESULT CALLBACK DecoyProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_COMMAND && LOWORD(wParam) == IDYES) {
        Decoy* decoy = reinterpret_cast<Decoy*>(GetWindowLongPtrA(window, GWLP_USERDATA));
        InterlockedIncrement(&decoy->confirmed);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

DWORD WINAPI DecoyThread(void* context)
{
    Decoy* decoy = static_cast<Decoy*>(context);
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = DecoyProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "QelTestDecoyConfirmation";
    RegisterClassA(&windowClass);
    decoy->window = CreateWindowExA(0, windowClass.lpszClassName, "Close ZR?", WS_POPUP, 0, 0, 100, 100, nullptr,
                                    nullptr, windowClass.hInstance, nullptr);
    SetWindowLongPtrA(decoy->window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(decoy));
    CreateWindowExA(0, "BUTTON", "Yes", WS_CHILD, 0, 0, 50, 20, decoy->window,
                    reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDYES)), windowClass.hInstance, nullptr);
    SetEvent(decoy->created.get());
    WaitForSingleObject(decoy->release.get(), 15000);
    MSG message;
    DWORD until = GetTickCount() + 300;
    while (static_cast<LONG>(until - GetTickCount()) > 0) {
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageA(&message);
        Sleep(10);
    }
    DestroyWindow(decoy->window);
    return 0;
}

TEST_F(ClientStop, NeverTakesAnotherProcessesConfirmation)
{
    // Copy 0 ignores Exit; copy 1 shows "Close ZR?" because we pressed its
    // Exit; this process shows a decoy on a thread that does not answer.
    ClientStateKey stateIgnoring(0);
    ClientStateKey stateOther(1);
    stateIgnoring.Set(zr::IGNORE_EXIT, 1);
    LaunchSlot ignoring, other;
    OwnedProcess ignoringCopy, otherCopy;
    ASSERT_NO_FATAL_FAILURE(Start(0, 0, ignoring, ignoringCopy));
    ASSERT_NO_FATAL_FAILURE(Start(1, 0, other, otherCopy));
    HWND otherExit = FindWindowExA(other.MainWindow, nullptr, "BUTTON", "Exit");
    ASSERT_NE(nullptr, otherExit);
    PostMessageA(other.MainWindow, WM_COMMAND, 0, reinterpret_cast<LPARAM>(otherExit));
    ASSERT_TRUE(stateOther.WaitFor(zr::REC_CONFIRM_SHOWN_TICK, RECORD_WAIT_MS));

    Decoy decoy;
    decoy.thread.reset(CreateThread(nullptr, 0, DecoyThread, &decoy, 0, nullptr));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(decoy.created.get(), 3000));

    DWORD took = Stop(ignoring, 0);

    EXPECT_EQ(0u, ignoringCopy.ExitCode(0));
    EXPECT_LT(took, 4000u) << "the search waited on a window of this process";
    EXPECT_FALSE(stateOther.Has(zr::REC_CONFIRMED));
    EXPECT_FALSE(otherCopy.WaitEnded(0));
    SetEvent(decoy.release.get());
    WaitForSingleObject(decoy.thread.get(), 5000);
    EXPECT_EQ(0, decoy.confirmed);
    CloseHandle(other.ProcessHandle);
}

TEST_F(ClientStop, ConfirmationWaitsUntilTheFileIsFree)
{
    char tempDir[MAX_PATH];
    ASSERT_NE(0u, GetTempPathA(sizeof tempDir, tempDir));
    std::string fileName = std::string(tempDir) + "qel-stop-test.dat";
    qel::UniqueFileHandle held(
        CreateFileA(fileName.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(held);

    ClientStateKey state(0);
    LaunchSlot slot;
    OwnedProcess copy;
    ASSERT_NO_FATAL_FAILURE(Start(0, 0, slot, copy));

    // Release the file 1.2 s from now, from another thread.
    struct Release {
        static DWORD WINAPI Run(void* file)
        {
            Sleep(1200);
            CloseHandle(static_cast<HANDLE>(file));
            return 0;
        }
    };
    DWORD releaseTick = GetTickCount() + 1200;
    qel::UniqueHandle releaser(CreateThread(nullptr, 0, Release::Run, held.release(), 0, nullptr));
    ASSERT_TRUE(releaser);

    Stop(slot, 0, fileName.c_str());
    WaitForSingleObject(releaser.get(), 5000);
    EXPECT_EQ(0u, copy.ExitCode(0));
    EXPECT_EQ(1u, state.Dword(zr::REC_CONFIRMED));
    EXPECT_GE(static_cast<LONG>(state.Dword(zr::REC_CONFIRMED_TICK) - releaseTick), -50);

    // A file that does not exist is not waited for.
    ASSERT_TRUE(DeleteFileA(fileName.c_str()));
    ClientStateKey again(1);
    LaunchSlot second;
    OwnedProcess secondCopy;
    ASSERT_NO_FATAL_FAILURE(Start(1, 0, second, secondCopy));
    DWORD took = Stop(second, 0, fileName.c_str());
    EXPECT_EQ(0u, secondCopy.ExitCode(0));
    EXPECT_LT(took, 1000u);
}

} // namespace

#include <gtest/gtest.h>

#include "supervisor_core.h"
#include "tray_keeper.h"

namespace {

class TrayKeeper : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(core.CreateSyncObjects());
        core.Timings.TrayPauseMs = 700;
    }

    void BroadcastTaskbarCreated()
    {
        UINT taskbarCreated = RegisterWindowMessageA("TaskbarCreated");
        ASSERT_NE(0u, taskbarCreated);
        ASSERT_TRUE(PostMessageA(HWND_BROADCAST, taskbarCreated, 0, 0));
    }

    SupervisorCore core{"qel keeper test"};
};

} // namespace

TEST_F(TrayKeeper, OwnsAHiddenTopLevelWindowThatHearsTheBroadcast)
{
    qel::UniqueHandle thread = StartTrayKeeper(core);
    ASSERT_TRUE(thread);
    HWND window = core.TrayWindow;
    ASSERT_NE(nullptr, window);

    char className[64] = {};
    GetClassNameA(window, className, sizeof className);
    EXPECT_STREQ("QELSRV WC", className);
    // Top level (a message-only window would miss the broadcast), never shown.
    EXPECT_EQ(GetDesktopWindow(), GetAncestor(window, GA_PARENT));
    EXPECT_FALSE(IsWindowVisible(window));
    LONG style = GetWindowLongA(window, GWL_STYLE);
    EXPECT_EQ(static_cast<LONG>(WS_POPUP | WS_DISABLED), style & (WS_POPUP | WS_DISABLED | WS_VISIBLE));
    RECT rect = {};
    ASSERT_TRUE(GetWindowRect(window, &rect));
    EXPECT_EQ(-20000, rect.left);
    EXPECT_EQ(-20000, rect.top);
    EXPECT_EQ(rect.left, rect.right);
    EXPECT_EQ(rect.top, rect.bottom);

    // The request comes only after the pause: the flag first, then the event.
    DWORD start = GetTickCount();
    BroadcastTaskbarCreated();
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(core.StopEvent.get(), 10000));
    EXPECT_GE(GetTickCount() - start, 650u);
    EXPECT_EQ(1, core.KeepVisibleRestart);

    // 1025 destroys the window and the thread ends on its own.
    EXPECT_EQ(0, SendMessageA(window, WM_TRAY_KEEPER_CLOSE, 0, 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread.get(), 5000));
    EXPECT_FALSE(IsWindow(window));
}

TEST_F(TrayKeeper, ALaterKeeperInTheSameProcessWorksToo)
{
    // The class stays registered from the first keeper of the process.
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        ResetEvent(core.StopEvent.get());
        core.KeepVisibleRestart = 0;
        qel::UniqueHandle thread = StartTrayKeeper(core);
        ASSERT_TRUE(thread);
        ASSERT_NE(nullptr, core.TrayWindow);

        BroadcastTaskbarCreated();
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(core.StopEvent.get(), 10000));
        EXPECT_EQ(1, core.KeepVisibleRestart);

        EndTrayKeeper(core, thread, 5000);
        EXPECT_FALSE(thread);
        EXPECT_EQ(nullptr, core.TrayWindow);
    }
}

TEST_F(TrayKeeper, CloseDuringThePauseWaitsForItAndTheRequestStillComes)
{
    core.Timings.TrayPauseMs = 1500;
    qel::UniqueHandle thread = StartTrayKeeper(core);
    HWND window = core.TrayWindow;
    ASSERT_NE(nullptr, window);

    BroadcastTaskbarCreated();
    Sleep(300);  // the keeper is now inside its pause
    DWORD start = GetTickCount();
    SendMessageA(window, WM_TRAY_KEEPER_CLOSE, 0, 0);
    DWORD blocked = GetTickCount() - start;
    EXPECT_GE(blocked, 800u);
    EXPECT_EQ(1, core.KeepVisibleRestart);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(core.StopEvent.get(), 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread.get(), 5000));
}

#include "tray_keeper.h"

#include "supervisor_core.h"

namespace {

// What the window procedure needs; written by the keeper thread before its
// window exists.  The window carries no data of its own, so one keeper runs
// per process at a time (the run loop ends one before it starts the next).
struct KeeperState {
    UINT TaskbarCreatedMessage = 0;
    HANDLE StopEvent = nullptr;
    volatile LONG* KeepVisibleRestart = nullptr;
    DWORD PauseMs = 20000;
};

KeeperState g_keeper;

// Set by the keeper thread once its window exists or cannot exist.  One
// event for the life of the process: a keeper that reports late can never
// signal a handle that was closed and reused meanwhile.
HANDLE KeeperReadyEvent()
{
    static HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return ready;
}

HWND CreateKeeperWindow()
{
    HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = TrayKeeperWndProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = TRAY_KEEPER_CLASS;
    ATOM atom = RegisterClassA(&windowClass);

    // Nothing unregisters the class, so a later keeper of the same process
    // (the 9x host runs the loop again after each restart request) finds it
    // registered: that class has this procedure and instance, so it is used
    // by name.
    LPCSTR classRef = TRAY_KEEPER_CLASS;
    if (atom != 0)
        classRef = reinterpret_cast<LPCSTR>(static_cast<ULONG_PTR>(atom));
    else if (GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
        return nullptr;

    // A top-level window, never shown: a message-only window would not get
    // the shell's broadcast.
    return CreateWindowExA(0, classRef, "", WS_POPUP | WS_DISABLED, -20000, -20000, 0, 0, nullptr,
                           nullptr, nullptr, nullptr);
}

} // namespace

LRESULT CALLBACK TrayKeeperWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == g_keeper.TaskbarCreatedMessage && message != 0) {
        // Give the new taskbar time to settle before the clients add their
        // icons again.  Nothing else is handled meanwhile, a stop included.
        Sleep(g_keeper.PauseMs);
        if (g_keeper.KeepVisibleRestart)
            InterlockedExchange(g_keeper.KeepVisibleRestart, 1);
        if (g_keeper.StopEvent)
            SetEvent(g_keeper.StopEvent);
        return 0;
    }
    if (message == WM_TRAY_KEEPER_CLOSE) {
        DestroyWindow(window);
        return 0;
    }
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

DWORD WINAPI TrayKeeperThread(LPVOID supervisor)
{
    SupervisorCore& core = *static_cast<SupervisorCore*>(supervisor);
    g_keeper.StopEvent = core.StopEvent.get();
    g_keeper.KeepVisibleRestart = &core.KeepVisibleRestart;
    g_keeper.PauseMs = core.Timings.TrayPauseMs;
    g_keeper.TaskbarCreatedMessage = RegisterWindowMessageA("TaskbarCreated");

    HWND window = CreateKeeperWindow();
    core.TrayWindow = window;
    if (HANDLE ready = KeeperReadyEvent())
        SetEvent(ready);

    // Without a window no message can reach this thread and nothing would
    // ever end its loop: such a keeper ends at once.
    if (!window)
        return 0;

    MSG message = {};
    for (;;) {
        BOOL got = GetMessageA(&message, nullptr, 0, 0);
        if (got == 0 || got == -1)
            break;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return static_cast<DWORD>(message.wParam);
}

qel::UniqueHandle StartTrayKeeper(SupervisorCore& core)
{
    core.TrayWindow = nullptr;
    HANDLE ready = KeeperReadyEvent();
    if (ready)
        ResetEvent(ready);

    qel::UniqueHandle thread(CreateThread(nullptr, 0, TrayKeeperThread, &core, 0, nullptr));
    if (thread) {
        HANDLE waits[2] = {thread.get(), ready};
        WaitForMultipleObjects(ready ? 2 : 1, waits, FALSE, 10000);
    }
    return thread;
}

void EndTrayKeeper(SupervisorCore& core, qel::UniqueHandle& keeperThread, DWORD waitMs)
{
    HWND window = core.TrayWindow;
    // Sent, not posted: when the keeper is inside its pause the stop waits
    // for it, and the keeper's request then meets a loop that is stopping.
    if (window)
        SendMessageA(window, WM_TRAY_KEEPER_CLOSE, 0, 0);
    if (keeperThread)
        WaitForSingleObject(keeperThread.get(), waitMs);
    keeperThread.reset();
    core.TrayWindow = nullptr;
}

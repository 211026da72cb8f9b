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
    // Raised by every start and end of a keeper.  A keeper whose window
    // carries an older number was ended while inside its pause: its request
    // would reach a loop that is stopping, or the next run of the 9x host,
    // and is dropped.
    volatile LONG Generation = 0;
};

// The stop's close message returns within this bound.  The keeper is our
// own thread and answers at once, except inside its pause after
// "TaskbarCreated" (20 s): the stop does not wait that out but posts the
// close, which the keeper handles once the pause is over.
const UINT CLOSE_SEND_TIMEOUT_MS = 2000;

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
    // by name.  The failure's code is not looked at: the 9x USER is not
    // documented to set ERROR_CLASS_ALREADY_EXISTS, and where the class truly
    // could not be registered the window creation below fails anyway.
    LPCSTR classRef = TRAY_KEEPER_CLASS;
    if (atom != 0)
        classRef = reinterpret_cast<LPCSTR>(static_cast<ULONG_PTR>(atom));

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
        if (GetWindowLongPtrA(window, GWLP_USERDATA) != static_cast<LONG_PTR>(g_keeper.Generation))
            return 0;
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
    if (window)
        SetWindowLongPtrA(window, GWLP_USERDATA, static_cast<LONG_PTR>(g_keeper.Generation));
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
    InterlockedIncrement(&g_keeper.Generation);
    HANDLE ready = KeeperReadyEvent();
    if (ready)
        ResetEvent(ready);

    qel::UniqueHandle thread = qel::StartThread(TrayKeeperThread, &core);
    if (thread) {
        HANDLE waits[2] = {thread.get(), ready};
        WaitForMultipleObjects(ready ? 2 : 1, waits, FALSE, 10000);
    }
    return thread;
}

void EndTrayKeeper(SupervisorCore& core, qel::UniqueHandle& keeperThread, DWORD waitMs)
{
    HWND window = core.TrayWindow;
    InterlockedIncrement(&g_keeper.Generation);
    // Sent, so that the window is gone before the first client is stopped;
    // with a bound, so that a keeper inside its pause cannot hold the stop.
    bool closed = true;
    if (window) {
        DWORD_PTR ignored = 0;
        closed = SendMessageTimeoutA(window, WM_TRAY_KEEPER_CLOSE, 0, 0, SMTO_NORMAL, CLOSE_SEND_TIMEOUT_MS,
                                     &ignored) != 0;
        if (!closed)
            PostMessageA(window, WM_TRAY_KEEPER_CLOSE, 0, 0);
    }
    // A keeper still in its pause ends on its own after it; the handle is
    // let go without waiting.
    if (keeperThread && closed)
        WaitForSingleObject(keeperThread.get(), waitMs);
    keeperThread.reset();
    core.TrayWindow = nullptr;
}

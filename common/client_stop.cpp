#include "client_stop.h"

#include "win_handles.h"

namespace {

const UINT TERMINATED_EXIT_CODE = static_cast<UINT>(-1);

// Waits for the process to end; terminates it only when the wait ran out (a
// failed wait says nothing about the process).
void WaitOrTerminate(HANDLE process)
{
    if (WaitForSingleObject(process, CLIENT_END_WAIT_MS) == WAIT_TIMEOUT)
        TerminateProcess(process, TERMINATED_EXIT_CODE);
}

// A window handle that is stale (the client ended and the handle was reused)
// must not receive the client's messages.
bool WindowBelongsTo(HWND window, DWORD processId)
{
    if (!window)
        return false;
    DWORD owner = 0;
    return GetWindowThreadProcessId(window, &owner) != 0 && owner == processId;
}

void WaitUntilFileFree(const char* fileName)
{
    if (!fileName || GetFileAttributesA(fileName) == INVALID_FILE_ATTRIBUTES)
        return;
    // Bounded: a file that some other program holds for good must not keep
    // the supervisor from stopping (and from stopping the other copies).
    for (int attempt = 0; attempt < FILE_FREE_TRIES; ++attempt) {
        qel::UniqueFileHandle file(
            CreateFileA(fileName, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        if (file)
            return;
        // A file that went away meanwhile holds nothing up any more.
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return;
        Sleep(FILE_FREE_INTERVAL_MS);
    }
}

// "Exit", "Close ZR?", confirm.  Returns when there is nothing more to do on
// the client's own exit path (found nothing, or confirmed and waited).
void CloseThroughExitPath(HANDLE process, DWORD processId, HWND mainWindow, DWORD waitMs, const char* fileName,
                          DWORD mainThreadId)
{
    WindowSearch search = {nullptr, processId};
    EnumChildWindows(mainWindow, FindExitButton, reinterpret_cast<LPARAM>(&search));
    HWND exitButton = search.FoundWindow;
    if (!exitButton)
        return;

    SetPriorityClass(process, HIGH_PRIORITY_CLASS);
    // Undo the idle priority that TrueIdle may have given the worker, so that
    // it finishes its shutdown in time.
    SetWorkerThreadPriority(processId, mainThreadId, THREAD_PRIORITY_NORMAL);
    PostMessageA(mainWindow, WM_COMMAND, 0, reinterpret_cast<LPARAM>(exitButton));

    search.FoundWindow = nullptr;
    for (int pass = 0; pass < CONFIRMATION_SEARCH_PASSES; ++pass) {
        EnumWindows(FindCloseConfirmation, reinterpret_cast<LPARAM>(&search));
        if (search.FoundWindow)
            break;
        Sleep(CONFIRMATION_SEARCH_INTERVAL_MS);
    }
    HWND confirmation = search.FoundWindow;
    if (!confirmation)
        return;

    search.FoundWindow = nullptr;
    EnumChildWindows(confirmation, FindConfirmButton, reinterpret_cast<LPARAM>(&search));
    HWND confirmButton = search.FoundWindow;
    if (!confirmButton)
        return;

    Sleep(waitMs);
    WaitUntilFileFree(fileName);
    PostMessageA(confirmation, WM_COMMAND, CONFIRM_BUTTON_ID, reinterpret_cast<LPARAM>(confirmButton));
    WaitOrTerminate(process);
}

struct StopThreadArgs {
    const ClientStopOrder* Order;
    DWORD WaitMs;
};

DWORD WINAPI StopThread(LPVOID context)
{
    const StopThreadArgs* args = static_cast<const StopThreadArgs*>(context);
    const ClientStopOrder& order = *args->Order;
    StopClient(order.ProcessHandle, order.ProcessId, order.MainWindow, args->WaitMs, nullptr, order.MainThreadId);
    return 0;
}

} // namespace

void StopClients(const ClientStopOrder* orders, size_t count, DWORD waitMs)
{
    // StopClient shares no state between calls (per-call window searches,
    // the launch's bound entry points only read), so the stops can overlap.
    // The arguments live on this stack: this call returns only after every
    // thread has ended, and every StopClient is bounded by its own waits.
    StopThreadArgs args[MAX_STOP_BATCH];
    qel::UniqueHandle threads[MAX_STOP_BATCH];
    size_t inlineStops[MAX_STOP_BATCH];
    size_t inlineCount = 0;
    for (size_t done = 0; done < count; done += MAX_STOP_BATCH) {
        size_t batch = count - done < MAX_STOP_BATCH ? count - done : MAX_STOP_BATCH;
        inlineCount = 0;
        for (size_t i = 0; i < batch; ++i) {
            args[i].Order = &orders[done + i];
            args[i].WaitMs = waitMs;
            threads[i] = qel::StartThread(StopThread, &args[i]);
            if (!threads[i])
                inlineStops[inlineCount++] = i;
        }
        // Without a thread of its own the client is still stopped, here,
        // while the others go on on theirs.
        for (size_t k = 0; k < inlineCount; ++k)
            StopThread(&args[inlineStops[k]]);
        for (size_t i = 0; i < batch; ++i) {
            if (threads[i])
                WaitForSingleObject(threads[i].get(), INFINITE);
            threads[i].reset();
        }
    }
}

int StopClient(HANDLE processHandle, DWORD processId, HWND mainWindow, DWORD waitMs, const char* fileName,
               DWORD mainThreadId)
{
    // The slot's handle is ours from here on: closed on every path.
    qel::UniqueHandle process(processHandle);

    // Without a window of its own (never fully started, crashed, handle
    // reused) the client gets no messages: a null window would make the child
    // search run over every top-level window of the desktop.
    bool windowIsClients = WindowBelongsTo(mainWindow, processId);
    if (windowIsClients)
        CloseThroughExitPath(process.get(), processId, mainWindow, waitMs, fileName, mainThreadId);

    // Last resort, on every path; after a confirmed exit the process has
    // usually ended and the wait returns at once.
    if (windowIsClients && WindowBelongsTo(mainWindow, processId))
        PostMessageA(mainWindow, WM_DESTROY, 0, 0);
    WaitOrTerminate(process.get());
    return 0;
}

BOOL CALLBACK FindExitButton(HWND window, LPARAM search)
{
    return StoreWindowWithText(window, search, EXIT_BUTTON_TEXT);
}

BOOL CALLBACK FindCloseConfirmation(HWND window, LPARAM search)
{
    // Owner first, then the text.
    if (!OwnedBySearchedProcess(window, search))
        return TRUE;
    return StoreWindowWithText(window, search, CLOSE_CONFIRMATION_TITLE);
}

BOOL CALLBACK FindConfirmButton(HWND window, LPARAM search)
{
    if (GetDlgCtrlID(window) != CONFIRM_BUTTON_ID)
        return TRUE;
    reinterpret_cast<WindowSearch*>(search)->FoundWindow = window;
    return FALSE;
}

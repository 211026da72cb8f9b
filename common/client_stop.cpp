// Ending client copies through their own exit path: "Exit" pressed, "Close
// ZR?" confirmed, then WM_DESTROY and termination as the last resorts, for
// one copy or for all copies of a stop at once (in order, one at a time).
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

// How far the client's own exit path got before its confirmation: the part
// of a stop that several clients may go through at the same time.
struct ExitPathProgress {
    bool WindowIsClients = false;
    HWND Confirmation = nullptr;
    HWND ConfirmButton = nullptr;
};

// "Exit", "Close ZR?" found, waitMs paused.  Confirmation and Confirm button
// stay null when there is nothing more to do on the client's exit path.
ExitPathProgress ApproachExit(DWORD processId, HWND mainWindow, DWORD waitMs, DWORD mainThreadId)
{
    ExitPathProgress progress;
    // Without a window of its own (never fully started, crashed, handle
    // reused) the client gets no messages: a null window would make the child
    // search run over every top-level window of the desktop.
    progress.WindowIsClients = WindowBelongsTo(mainWindow, processId);
    if (!progress.WindowIsClients)
        return progress;

    WindowSearch search = {nullptr, processId};
    EnumChildWindows(mainWindow, FindExitButton, reinterpret_cast<LPARAM>(&search));
    HWND exitButton = search.FoundWindow;
    if (!exitButton)
        return progress;

    // Undo the idle priority that TrueIdle may have given the worker, so that
    // it finishes its shutdown in time.  At normal priority in a normal class
    // it shares the processors fairly; the class is raised only in the
    // client's turn (EndClient).
    SetWorkerThreadPriority(processId, mainThreadId, THREAD_PRIORITY_NORMAL);
    PostMessageA(mainWindow, WM_COMMAND, 0, reinterpret_cast<LPARAM>(exitButton));

    // The window counts once its control 6 is there: a client shows
    // "Close ZR?" a moment before it has made the window's controls, and
    // a confirmation found in that moment must not send the copy to the last
    // resort (which costs it its latest work).
    for (int pass = 0; pass < CONFIRMATION_SEARCH_PASSES; ++pass) {
        search.FoundWindow = nullptr;
        EnumWindows(FindCloseConfirmation, reinterpret_cast<LPARAM>(&search));
        if (HWND confirmation = search.FoundWindow) {
            search.FoundWindow = nullptr;
            EnumChildWindows(confirmation, FindConfirmButton, reinterpret_cast<LPARAM>(&search));
            if (search.FoundWindow) {
                progress.Confirmation = confirmation;
                progress.ConfirmButton = search.FoundWindow;
                Sleep(waitMs);
                return progress;
            }
        }
        Sleep(CONFIRMATION_SEARCH_INTERVAL_MS);
    }
    return progress;
}

// Confirms (once the file is free), then the last resort; returns once the
// client has ended or has been told to terminate, its handle closed.
void EndClient(HANDLE processHandle, DWORD processId, HWND mainWindow, const char* fileName,
               const ExitPathProgress& progress)
{
    // The slot's handle is ours from here on: closed on every path.
    qel::UniqueHandle process(processHandle);
    // In a joint stop the confirmation may have waited seconds for its turn:
    // a window that is no longer the client's gets no message.
    if (progress.ConfirmButton && WindowBelongsTo(progress.Confirmation, processId)) {
        WaitUntilFileFree(fileName);
        // High priority for its own shutdown, and only now: clients are
        // computing programs, one per processor, and raised all at once at
        // the start of a joint stop they would hold every processor for the
        // whole stop, the supervisor's thread (which gives the confirmations)
        // and the desktop waiting behind them.
        SetPriorityClass(process.get(), HIGH_PRIORITY_CLASS);
        PostMessageA(progress.Confirmation, WM_COMMAND, CONFIRM_BUTTON_ID,
                     reinterpret_cast<LPARAM>(progress.ConfirmButton));
        WaitOrTerminate(process.get());
    }

    // Last resort, on every path; after a confirmed exit the process has
    // usually ended and the wait returns at once.
    if (progress.WindowIsClients && WindowBelongsTo(mainWindow, processId))
        PostMessageA(mainWindow, WM_DESTROY, 0, 0);
    WaitOrTerminate(process.get());
}

struct ApproachThreadArgs {
    const ClientStopOrder* Order;
    DWORD WaitMs;
    ExitPathProgress Progress;
};

DWORD WINAPI ApproachThread(LPVOID context)
{
    ApproachThreadArgs* args = static_cast<ApproachThreadArgs*>(context);
    const ClientStopOrder& order = *args->Order;
    args->Progress = ApproachExit(order.ProcessId, order.MainWindow, args->WaitMs, order.MainThreadId);
    return 0;
}

} // namespace

void StopClients(const ClientStopOrder* orders, size_t count, DWORD waitMs)
{
    // The client may save shared state as it exits, so the copies end one
    // at a time, in the order given, each only once the one before has ended
    // or been terminated.  What takes the time (the window searches, the
    // Exit presses, the pause before confirming) overlaps: each client goes
    // that far on a thread of its own, and this thread then ends them in
    // order.  A client whose thread cannot be created goes that far here, in
    // its turn.  The arguments live on this stack: every thread is waited
    // for before this call returns, and each is bounded by its own waits.
    ApproachThreadArgs args[MAX_STOP_BATCH];
    qel::UniqueHandle threads[MAX_STOP_BATCH];
    for (size_t done = 0; done < count; done += MAX_STOP_BATCH) {
        size_t batch = count - done < MAX_STOP_BATCH ? count - done : MAX_STOP_BATCH;
        for (size_t i = 0; i < batch; ++i) {
            args[i].Order = &orders[done + i];
            args[i].WaitMs = waitMs;
            args[i].Progress = ExitPathProgress();
            threads[i] = qel::StartThread(ApproachThread, &args[i]);
        }
        for (size_t i = 0; i < batch; ++i) {
            if (threads[i])
                WaitForSingleObject(threads[i].get(), INFINITE);
            else
                ApproachThread(&args[i]);
            threads[i].reset();
            const ClientStopOrder& order = *args[i].Order;
            EndClient(order.ProcessHandle, order.ProcessId, order.MainWindow, nullptr, args[i].Progress);
        }
    }
}

int StopClient(HANDLE processHandle, DWORD processId, HWND mainWindow, DWORD waitMs, const char* fileName,
               DWORD mainThreadId)
{
    ExitPathProgress progress = ApproachExit(processId, mainWindow, waitMs, mainThreadId);
    EndClient(processHandle, processId, mainWindow, fileName, progress);
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

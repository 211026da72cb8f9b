// The stand-in computing client "ZR": a small GUI program that keeps the
// client contract the supervisor relies on (state key, main window, "Start!",
// progress text, worker thread, "Exit" with its "Close ZR?" confirmation, tray
// icon).  By default it behaves well and searches for primes; values in its
// state key make a copy misbehave and the copy records what it received
// (see README.md).
#include <windows.h>
#include <shellapi.h>

#include <cstdio>

#include "../common/win_handles.h"
#include "standin_values.h"
#include "state_key.h"

namespace {

using namespace zr;

const char MAIN_CLASS[] = "ZrMainWindow";
const char PANEL_CLASS[] = "ZrPanel";
const char CONFIRM_CLASS[] = "ZrCloseConfirmation";
const char EXTRA_CLASS[] = "ZrNewsWindow";

enum ControlId : int {
    ID_PROGRESS = 100,
    ID_START = 101,
    ID_EXIT = 102,
    ID_CONFIRM_NO = 7,  // IDNO
    ID_FIRST_LABEL = 200,
    ID_PANEL = 300,
};
// Ids of the confirmation's buttons when it must lack id 6.
const int NO_ID6_YES = 16;
const int NO_ID6_NO = 17;

enum TimerId : UINT_PTR {
    TIMER_PROGRESS = 1,
    TIMER_CRASH = 2,
    TIMER_CONFIRM = 3,
    TIMER_WORKER = 4,
    TIMER_CONFIRM_BUTTONS = 5,
};
const UINT PROGRESS_INTERVAL_MS = 200;
const UINT WM_TRAY_NOTIFY = WM_APP + 1;

// Twelve labels sit between the progress text and "Start!" in z-order.
const char* const LABEL_TEXTS[PROGRESS_DISTANCE - 1] = {
    "Project:", "Prime search", "Work unit:", "1 of 1", "Deadline:", "none",
    "Version:", "1.10",         "Priority:",  "low",    "Status:",   "ready"};

struct Behaviour {
    DWORD crashAfterMs;
    DWORD freezeProgress;
    DWORD noStartButton;
    DWORD idleDelayMs;
    DWORD exitBeforeIdle;
    DWORD noWindows;
    DWORD extraFirstWindow;
    DWORD nestStartButton;
    DWORD noExitButton;
    DWORD ignoreExit;
    DWORD confirmDelayMs;
    DWORD noConfirmId6;
    DWORD confirmButtonsDelayMs;
    DWORD hangAfterConfirm;
    DWORD hangAfterStart;
    DWORD workerDelayMs;
    DWORD observerPid;
};

// Process-wide state of the one copy; the window procedures reach it here.
struct Client {
    HINSTANCE instance = nullptr;
    StateKey state;
    Behaviour behaviour = {};
    HWND mainWindow = nullptr;
    HWND startButton = nullptr;
    HWND exitButton = nullptr;
    HWND progressText = nullptr;
    HWND confirmWindow = nullptr;
    bool trayIconShown = false;
    qel::UniqueHandle worker;
    volatile LONG stopWorker = 0;
    volatile LONG numbersChecked = 0;
    volatile LONG primesFound = 0;
    LONG shownChecked = -1;
    bool crashDue = false;
};
Client g_client;

void ReadBehaviour(const StateKey& state, Behaviour& b)
{
    b.crashAfterMs = state.ReadDword(CRASH_AFTER_MS);
    b.freezeProgress = state.ReadDword(FREEZE_PROGRESS);
    b.noStartButton = state.ReadDword(NO_START_BUTTON);
    b.idleDelayMs = state.ReadDword(IDLE_DELAY_MS);
    b.exitBeforeIdle = state.ReadDword(EXIT_BEFORE_IDLE);
    b.noWindows = state.ReadDword(NO_WINDOWS);
    b.extraFirstWindow = state.ReadDword(EXTRA_FIRST_WINDOW);
    b.nestStartButton = state.ReadDword(NEST_START_BUTTON);
    b.noExitButton = state.ReadDword(NO_EXIT_BUTTON);
    b.ignoreExit = state.ReadDword(IGNORE_EXIT);
    b.confirmDelayMs = state.ReadDword(CONFIRM_DELAY_MS);
    b.noConfirmId6 = state.ReadDword(NO_CONFIRM_ID6);
    b.confirmButtonsDelayMs = state.ReadDword(CONFIRM_BUTTONS_DELAY_MS);
    b.hangAfterConfirm = state.ReadDword(HANG_AFTER_CONFIRM);
    b.hangAfterStart = state.ReadDword(HANG_AFTER_START);
    b.workerDelayMs = state.ReadDword(WORKER_DELAY_MS);
    b.observerPid = state.ReadDword(OBSERVER_PID);
}

// Records of an earlier run must not be mistaken for this run's.
void ClearRecords(const StateKey& state)
{
    const char* const records[] = {
        REC_PROCESS_ID,     REC_OBSERVER_HANDLE,  REC_TITLE_AT_CLICK,     REC_CLICKS,
        REC_AFFINITY_MASK,  REC_MINIMIZES,        REC_WORKER_THREAD_ID,   REC_WORKER_PRIORITY,
        REC_PRIORITY_CLASS, REC_EXIT_PRESSES,     REC_CONFIRM_SHOWN_TICK, REC_CONFIRMED,
        REC_CONFIRMED_TICK, REC_TRAY_ICON_ERROR,  REC_CURRENT_DIRECTORY,  REC_COMMAND_LINE};
    for (const char* name : records)
        state.Delete(name);
}

void HandOutObserverHandle(const StateKey& state, DWORD observerPid)
{
    qel::UniqueHandle observer(OpenProcess(PROCESS_DUP_HANDLE, FALSE, observerPid));
    if (!observer)
        return;
    HANDLE copy = nullptr;
    if (DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), observer.get(), &copy,
                        SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_TERMINATE, FALSE, 0))
        state.WriteQword(REC_OBSERVER_HANDLE, static_cast<ULONGLONG>(reinterpret_cast<ULONG_PTR>(copy)));
}

// A crash ends the process with the exception code as its exit code, at
// once: no debugger, no dialog waiting for a person.
LONG WINAPI EndOnCrash(EXCEPTION_POINTERS*)
{
    return EXCEPTION_EXECUTE_HANDLER;
}

void HangForever()
{
    for (;;)
        Sleep(1000);
}

bool IsPrime(LONG n)
{
    if (n < 2)
        return false;
    for (LONG d = 2; d <= n / d; ++d)
        if (n % d == 0)
            return false;
    return true;
}

// The worker: checks numbers for primality in small slices, so that a copy
// shows steady progress without taking a whole processor, and records the
// priority it runs at whenever that changes.
DWORD WINAPI WorkerMain(void*)
{
    Client& c = g_client;
    c.state.WriteDword(REC_WORKER_THREAD_ID, GetCurrentThreadId());
    int lastPriority = THREAD_PRIORITY_ERROR_RETURN;
    DWORD lastClass = 0;
    LONG next = 2;
    while (InterlockedCompareExchange(&c.stopWorker, 0, 0) == 0) {
        for (int i = 0; i < 200; ++i, ++next)
            if (IsPrime(next))
                InterlockedIncrement(&c.primesFound);
        InterlockedExchange(&c.numbersChecked, next);

        int priority = GetThreadPriority(GetCurrentThread());
        if (priority != lastPriority) {
            c.state.WriteDword(REC_WORKER_PRIORITY, static_cast<DWORD>(priority));
            lastPriority = priority;
        }
        DWORD priorityClass = GetPriorityClass(GetCurrentProcess());
        if (priorityClass != lastClass) {
            c.state.WriteDword(REC_PRIORITY_CLASS, priorityClass);
            lastClass = priorityClass;
        }
        Sleep(20);
    }
    return 0;
}

void StartWorker()
{
    Client& c = g_client;
    if (c.worker)
        return;
    DWORD threadId = 0;
    c.worker.reset(CreateThread(nullptr, 0, WorkerMain, nullptr, 0, &threadId));
}

void StopWorker()
{
    Client& c = g_client;
    if (!c.worker)
        return;
    InterlockedExchange(&c.stopWorker, 1);
    WaitForSingleObject(c.worker.get(), 2000);
    c.worker.reset();
}

void UpdateProgressText()
{
    Client& c = g_client;
    if (!c.progressText || c.behaviour.freezeProgress)
        return;
    LONG checked = InterlockedCompareExchange(&c.numbersChecked, 0, 0);
    if (checked == c.shownChecked || checked == 0)
        return;
    c.shownChecked = checked;
    char text[64];
    snprintf(text, sizeof text, "Primes: %ld of %ld checked", static_cast<long>(c.primesFound),
             static_cast<long>(checked));
    SetWindowTextA(c.progressText, text);
}

void OnStartPressed()
{
    Client& c = g_client;
    c.state.Increment(REC_CLICKS);
    char title[256] = {};
    GetWindowTextA(c.mainWindow, title, sizeof title);
    c.state.WriteString(REC_TITLE_AT_CLICK, title);
    DWORD_PTR processMask = 0;
    DWORD_PTR systemMask = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &processMask, &systemMask))
        c.state.WriteQword(REC_AFFINITY_MASK, processMask);
    if (c.behaviour.workerDelayMs)
        SetTimer(c.mainWindow, TIMER_WORKER, c.behaviour.workerDelayMs, nullptr);
    else
        StartWorker();
    if (c.behaviour.hangAfterStart)
        HangForever();
}

HWND AddButton(HWND parent, const char* text, int id, int x, int y, int width)
{
    return CreateWindowExA(0, "BUTTON", text, WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, x, y, width, 26, parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), g_client.instance, nullptr);
}

void AddConfirmButtons()
{
    Client& c = g_client;
    if (!c.confirmWindow)
        return;
    bool withId6 = c.behaviour.noConfirmId6 == 0;
    AddButton(c.confirmWindow, "Yes", withId6 ? CONFIRM_YES_ID : NO_ID6_YES, 30, 50, 80);
    AddButton(c.confirmWindow, "No", withId6 ? ID_CONFIRM_NO : NO_ID6_NO, 140, 50, 80);
}

void ShowCloseConfirmation()
{
    Client& c = g_client;
    if (c.confirmWindow)
        return;
    c.confirmWindow = CreateWindowExA(0, CONFIRM_CLASS, CONFIRM_TITLE, WS_POPUP | WS_CAPTION | WS_VISIBLE,
                                      200, 200, 260, 120, nullptr, nullptr, c.instance, nullptr);
    if (!c.confirmWindow)
        return;
    CreateWindowExA(0, "STATIC", "Stop computing and close ZR?", WS_CHILD | WS_VISIBLE, 10, 10, 230, 20,
                    c.confirmWindow, nullptr, c.instance, nullptr);
    c.state.WriteDword(REC_CONFIRM_SHOWN_TICK, GetTickCount());
    if (c.behaviour.confirmButtonsDelayMs)
        SetTimer(c.mainWindow, TIMER_CONFIRM_BUTTONS, c.behaviour.confirmButtonsDelayMs, nullptr);
    else
        AddConfirmButtons();
}

void OnExitPressed()
{
    Client& c = g_client;
    c.state.Increment(REC_EXIT_PRESSES);
    if (c.behaviour.ignoreExit || c.behaviour.confirmDelayMs == NEVER)
        return;
    if (c.behaviour.confirmDelayMs)
        SetTimer(c.mainWindow, TIMER_CONFIRM, c.behaviour.confirmDelayMs, nullptr);
    else
        ShowCloseConfirmation();
}

void OnConfirmed()
{
    Client& c = g_client;
    c.state.Increment(REC_CONFIRMED);
    c.state.WriteDword(REC_CONFIRMED_TICK, GetTickCount());
    if (c.behaviour.hangAfterConfirm)
        HangForever();
    DestroyWindow(c.confirmWindow);
    c.confirmWindow = nullptr;
    DestroyWindow(c.mainWindow);
}

void ShowTrayIcon()
{
    Client& c = g_client;
    NOTIFYICONDATAA icon = {};
    icon.cbSize = sizeof icon;
    icon.hWnd = c.mainWindow;
    icon.uID = 1;
    icon.uFlags = NIF_ICON | NIF_TIP | NIF_MESSAGE;
    icon.uCallbackMessage = WM_TRAY_NOTIFY;
    icon.hIcon = LoadIconA(nullptr, reinterpret_cast<LPCSTR>(IDI_APPLICATION));
    snprintf(icon.szTip, sizeof icon.szTip, "%s", MAIN_TITLE);
    // Without a shell (a service desktop, a headless test machine) there is
    // no notification area; the client works on without its icon.
    c.trayIconShown = Shell_NotifyIconA(NIM_ADD, &icon) != FALSE;
    c.state.WriteDword(REC_TRAY_ICON_ERROR, c.trayIconShown ? 0 : GetLastError());
}

void RemoveTrayIcon()
{
    Client& c = g_client;
    if (!c.trayIconShown)
        return;
    NOTIFYICONDATAA icon = {};
    icon.cbSize = sizeof icon;
    icon.hWnd = c.mainWindow;
    icon.uID = 1;
    Shell_NotifyIconA(NIM_DELETE, &icon);
    c.trayIconShown = false;
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    Client& c = g_client;
    switch (message) {
    case WM_COMMAND: {
        HWND control = reinterpret_cast<HWND>(lParam);
        // The supervisor posts wParam 0 with the button's handle; a person's
        // click carries the id: the handle decides.
        if (control && control == c.exitButton)
            OnExitPressed();
        else if (control && control == c.startButton && HIWORD(wParam) == BN_CLICKED)
            OnStartPressed();
        return 0;
    }
    case WM_SYSCOMMAND:
        if ((wParam & 0xFFF0) == SC_MINIMIZE)
            c.state.Increment(REC_MINIMIZES);
        break;
    case WM_TIMER:
        switch (wParam) {
        case TIMER_PROGRESS:
            UpdateProgressText();
            return 0;
        case TIMER_CRASH:
            KillTimer(window, TIMER_CRASH);
            // Raised outside the dispatch: some systems swallow exceptions
            // thrown inside a timer callback.
            c.crashDue = true;
            return 0;
        case TIMER_CONFIRM:
            KillTimer(window, TIMER_CONFIRM);
            ShowCloseConfirmation();
            return 0;
        case TIMER_CONFIRM_BUTTONS:
            KillTimer(window, TIMER_CONFIRM_BUTTONS);
            AddConfirmButtons();
            return 0;
        case TIMER_WORKER:
            KillTimer(window, TIMER_WORKER);
            StartWorker();
            return 0;
        }
        break;
    case WM_TRAY_NOTIFY:
        if (lParam == WM_LBUTTONDBLCLK)
            ShowWindow(window, SW_RESTORE);
        return 0;
    case WM_DESTROY:
        // Also the supervisor's last resort, posted without destroying the
        // window: either way the copy ends.
        StopWorker();
        RemoveTrayIcon();
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

// Panels pass their buttons' notifications on to the main window.
LRESULT CALLBACK PanelProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_COMMAND && g_client.mainWindow)
        return SendMessageA(g_client.mainWindow, message, wParam, lParam);
    return DefWindowProcA(window, message, wParam, lParam);
}

LRESULT CALLBACK ConfirmProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    Client& c = g_client;
    if (message == WM_COMMAND) {
        int id = LOWORD(wParam);
        int yesId = c.behaviour.noConfirmId6 ? NO_ID6_YES : CONFIRM_YES_ID;
        int noId = c.behaviour.noConfirmId6 ? NO_ID6_NO : ID_CONFIRM_NO;
        if (id == yesId) {
            OnConfirmed();
        } else if (id == noId) {
            DestroyWindow(window);
            c.confirmWindow = nullptr;
        }
        return 0;
    }
    if (message == WM_CLOSE) {
        DestroyWindow(window);
        c.confirmWindow = nullptr;
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

bool RegisterClasses()
{
    WNDCLASSA windowClass = {};
    windowClass.hInstance = g_client.instance;
    windowClass.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);

    windowClass.lpfnWndProc = MainWindowProc;
    windowClass.lpszClassName = MAIN_CLASS;
    windowClass.hIcon = LoadIconA(nullptr, reinterpret_cast<LPCSTR>(IDI_APPLICATION));
    if (!RegisterClassA(&windowClass))
        return false;
    windowClass.hIcon = nullptr;
    windowClass.lpfnWndProc = PanelProc;
    windowClass.lpszClassName = PANEL_CLASS;
    if (!RegisterClassA(&windowClass))
        return false;
    windowClass.lpfnWndProc = ConfirmProc;
    windowClass.lpszClassName = CONFIRM_CLASS;
    if (!RegisterClassA(&windowClass))
        return false;
    windowClass.lpfnWndProc = DefWindowProcA;
    windowClass.lpszClassName = EXTRA_CLASS;
    return RegisterClassA(&windowClass) != 0;
}

HWND AddPanel(HWND parent, int x, int y, int width, int height)
{
    return CreateWindowExA(0, PANEL_CLASS, "", WS_CHILD | WS_VISIBLE, x, y, width, height, parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(ID_PANEL)), g_client.instance, nullptr);
}

// The progress text, the twelve labels and "Start!", with the progress text
// exactly PROGRESS_DISTANCE windows before "Start!" in z-order.
void CreateWorkControls(HWND parent)
{
    Client& c = g_client;
    HWND ordered[PROGRESS_DISTANCE + 1] = {};
    int count = 0;
    c.progressText = CreateWindowExA(0, "STATIC", "Idle - press Start!", WS_CHILD | WS_VISIBLE, 10, 10, 380,
                                     20, parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(ID_PROGRESS)),
                                     c.instance, nullptr);
    ordered[count++] = c.progressText;
    for (int i = 0; i < PROGRESS_DISTANCE - 1; ++i) {
        int column = i % 2;
        int row = i / 2;
        ordered[count++] = CreateWindowExA(
            0, "STATIC", LABEL_TEXTS[i], WS_CHILD | WS_VISIBLE, 10 + column * 120, 40 + row * 22, 110, 20,
            parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(ID_FIRST_LABEL + i)), c.instance, nullptr);
    }
    if (!c.behaviour.noStartButton) {
        c.startButton = AddButton(parent, START_TEXT, ID_START, 10, 180, 90);
        ordered[count++] = c.startButton;
    }
    // New children normally go to the bottom of the z-order, but the layout
    // must not rest on that: put the chain in order explicitly.
    HWND after = HWND_TOP;
    for (int i = 0; i < count; ++i) {
        if (!ordered[i])
            continue;
        SetWindowPos(ordered[i], after, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        after = ordered[i];
    }
}

bool CreateWindows()
{
    Client& c = g_client;
    if (!RegisterClasses())
        return false;
    c.mainWindow = CreateWindowExA(0, MAIN_CLASS, MAIN_TITLE, WS_OVERLAPPEDWINDOW | WS_VISIBLE, CW_USEDEFAULT,
                                   CW_USEDEFAULT, 420, 300, nullptr, nullptr, c.instance, nullptr);
    if (!c.mainWindow)
        return false;
    HWND workParent = c.mainWindow;
    if (c.behaviour.nestStartButton) {
        HWND outer = AddPanel(c.mainWindow, 0, 0, 400, 220);
        workParent = AddPanel(outer, 0, 0, 400, 220);
    }
    CreateWorkControls(workParent);
    if (!c.behaviour.noExitButton)
        c.exitButton = AddButton(c.mainWindow, EXIT_TEXT, ID_EXIT, 300, 230, 90);

    // The main window must come first among this program's top-level
    // windows; the misbehaving variant puts another one before it.
    SetWindowPos(c.mainWindow, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    if (c.behaviour.extraFirstWindow) {
        HWND extra = CreateWindowExA(0, EXTRA_CLASS, "ZR news", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 50, 50, 300,
                                     200, nullptr, nullptr, c.instance, nullptr);
        SetWindowPos(extra, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    }
    SetTimer(c.mainWindow, TIMER_PROGRESS, PROGRESS_INTERVAL_MS, nullptr);
    if (c.behaviour.crashAfterMs)
        SetTimer(c.mainWindow, TIMER_CRASH, c.behaviour.crashAfterMs, nullptr);
    ShowTrayIcon();
    return true;
}

int RunMessageLoop()
{
    MSG message = {};
    for (;;) {
        BOOL got = GetMessageA(&message, nullptr, 0, 0);
        if (got == 0)
            return static_cast<int>(message.wParam);
        if (got == -1)
            return 1;
        TranslateMessage(&message);
        DispatchMessageA(&message);
        if (g_client.crashDue)
            RaiseException(EXCEPTION_ACCESS_VIOLATION, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    }
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    SetUnhandledExceptionFilter(EndOnCrash);

    Client& c = g_client;
    c.instance = instance;
    char statePath[MAX_PATH];
    ReadStateKeyPath(statePath, sizeof statePath);
    c.state.Open(statePath);
    ReadBehaviour(c.state, c.behaviour);
    ClearRecords(c.state);
    c.state.WriteDword(REC_PROCESS_ID, GetCurrentProcessId());
    char currentDirectory[MAX_PATH] = {};
    GetCurrentDirectoryA(sizeof currentDirectory, currentDirectory);
    c.state.WriteString(REC_CURRENT_DIRECTORY, currentDirectory);
    c.state.WriteString(REC_COMMAND_LINE, GetCommandLineA());
    if (c.behaviour.observerPid)
        HandOutObserverHandle(c.state, c.behaviour.observerPid);

    if (c.behaviour.exitBeforeIdle)
        ExitProcess(EXIT_BEFORE_IDLE_CODE);
    if (!c.behaviour.noWindows && !CreateWindows())
        return 1;
    // Busy start-up: input-idle comes only when the message loop runs.
    if (c.behaviour.idleDelayMs == NEVER)
        HangForever();
    if (c.behaviour.idleDelayMs)
        Sleep(c.behaviour.idleDelayMs);
    return RunMessageLoop();
}

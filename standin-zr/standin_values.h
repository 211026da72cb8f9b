// Registry value names of the stand-in client.  The stand-in reads its
// behaviour from its own state key (HKLM + the path in "ClientKey") at start
// and writes what it received there; the tests include this header so that
// both sides agree on the names.
#pragma once

#include <windows.h>

namespace zr {

// Where the supervisor tells a starting copy which state key is its own.
constexpr char CONFIG_KEY_PATH[] = "Software\\Morl\\qel\\config";
constexpr char CLIENT_KEY_VALUE[] = "ClientKey";
// Used when no supervisor set "ClientKey" (a person started the program).
constexpr char DEFAULT_STATE_KEY_PATH[] = "Software\\Morl\\qel\\cache";

// "Never" for the delay values below.
constexpr DWORD NEVER = 0xFFFFFFFFu;

// --- Behaviour, read once at start (DWORD values; missing means 0) ---------
// Raise an access violation this many ms after start (0: never).
constexpr char CRASH_AFTER_MS[] = "CrashAfterMs";
// Nonzero: the progress text never changes.
constexpr char FREEZE_PROGRESS[] = "FreezeProgress";
// Nonzero: the main window has no "Start!" button.
constexpr char NO_START_BUTTON[] = "NoStartButton";
// Stay busy this many ms before the first message loop (NEVER: never idle).
constexpr char IDLE_DELAY_MS[] = "IdleDelayMs";
// Nonzero: ExitProcess(EXIT_BEFORE_IDLE_CODE) before any window or message
// loop exists.
constexpr char EXIT_BEFORE_IDLE[] = "ExitBeforeIdle";
constexpr DWORD EXIT_BEFORE_IDLE_CODE = 7;
// Nonzero: create no window at all (but still reach input-idle).
constexpr char NO_WINDOWS[] = "NoWindows";
// Nonzero: another top-level window, without "Start!", comes first in
// window enumeration order.
constexpr char EXTRA_FIRST_WINDOW[] = "ExtraFirstWindow";
// Nonzero: "Start!" (with the progress text and its neighbours) sits in a
// panel inside a panel of the main window instead of directly in it.
constexpr char NEST_START_BUTTON[] = "NestStartButton";
// Nonzero: the main window has no "Exit" button.
constexpr char NO_EXIT_BUTTON[] = "NoExitButton";
// Nonzero: pressing "Exit" is recorded but does nothing.
constexpr char IGNORE_EXIT[] = "IgnoreExit";
// Show "Close ZR?" this many ms after "Exit" (NEVER: never).
constexpr char CONFIRM_DELAY_MS[] = "ConfirmDelayMs";
// Nonzero: "Close ZR?" has no control with id 6 (its buttons use 16 and 17).
constexpr char NO_CONFIRM_ID6[] = "NoConfirmId6";
// Show "Close ZR?" without its buttons, and add them this many ms later.
constexpr char CONFIRM_BUTTONS_DELAY_MS[] = "ConfirmButtonsDelayMs";
// Nonzero: after the confirmation the main thread hangs instead of ending.
constexpr char HANG_AFTER_CONFIRM[] = "HangAfterConfirm";
// Nonzero: once "Start!" has been pressed (and recorded) the main thread
// stops pumping messages for good: the button's sender waits in vain, the
// progress text freezes and "Exit" is never seen.
constexpr char HANG_AFTER_START[] = "HangAfterStart";
// Start the worker thread this many ms after "Start!" was pressed.
constexpr char WORKER_DELAY_MS[] = "WorkerDelayMs";
// Nonzero: at start, duplicate a handle to this process (SYNCHRONIZE,
// query, terminate) into the process with this id and store its value under
// OBSERVER_HANDLE.  Lets a test watch a copy that someone else started.
constexpr char OBSERVER_PID[] = "ObserverPid";

// --- Records, written while running (deleted at start) ----------------------
constexpr char REC_PROCESS_ID[] = "ProcessId";            // DWORD, at start
constexpr char REC_OBSERVER_HANDLE[] = "ObserverHandle";  // QWORD, at start
constexpr char REC_CURRENT_DIRECTORY[] = "CurrentDirectory"; // REG_SZ, at start
constexpr char REC_COMMAND_LINE[] = "CommandLine";        // REG_SZ, GetCommandLineA at start
constexpr char REC_TITLE_AT_CLICK[] = "TitleAtClick";     // REG_SZ, at "Start!"
constexpr char REC_CLICKS[] = "Clicks";                   // DWORD count
constexpr char REC_AFFINITY_MASK[] = "AffinityMask";      // QWORD, at "Start!"
constexpr char REC_MINIMIZES[] = "Minimizes";             // DWORD count of SC_MINIMIZE
constexpr char REC_WORKER_THREAD_ID[] = "WorkerThreadId"; // DWORD, worker's first act
constexpr char REC_WORKER_PRIORITY[] = "WorkerPriority";  // DWORD (signed), worker's view, on change
constexpr char REC_PRIORITY_CLASS[] = "PriorityClass";    // DWORD, worker's view, on change
constexpr char REC_EXIT_PRESSES[] = "ExitPresses";        // DWORD count
constexpr char REC_CONFIRM_SHOWN_TICK[] = "ConfirmShownTick"; // DWORD GetTickCount
constexpr char REC_CONFIRMED[] = "Confirmed";             // DWORD count
constexpr char REC_CONFIRMED_TICK[] = "ConfirmedTick";    // DWORD GetTickCount
constexpr char REC_TRAY_ICON_ERROR[] = "TrayIconError";   // DWORD, 0 when shown

// Window texts of the contract.
constexpr char MAIN_TITLE[] = "ZR";
constexpr char START_TEXT[] = "Start!";
constexpr char EXIT_TEXT[] = "Exit";
constexpr char CONFIRM_TITLE[] = "Close ZR?";
constexpr int CONFIRM_YES_ID = 6;  // IDYES
// The progress text is this many windows before "Start!" in z-order.
constexpr int PROGRESS_DISTANCE = 13;

} // namespace zr

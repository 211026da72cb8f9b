// Ending one running copy of the client the way a person would: "Exit", then
// "Close ZR?" confirmed; WM_DESTROY and termination as the last resorts.
#pragma once

#include <windows.h>

#include <cstddef>

#include "client_launch.h"

constexpr char EXIT_BUTTON_TEXT[] = "Exit";
constexpr char CLOSE_CONFIRMATION_TITLE[] = "Close ZR?";
constexpr int CONFIRM_BUTTON_ID = IDYES;  // 6
constexpr int CONFIRMATION_SEARCH_PASSES = 10;
constexpr DWORD CONFIRMATION_SEARCH_INTERVAL_MS = 100;
constexpr DWORD CLIENT_END_WAIT_MS = 5000;
// The optional file wait gives up after this many tries, 500 ms apart.
constexpr int FILE_FREE_TRIES = 60;
constexpr DWORD FILE_FREE_INTERVAL_MS = 500;
// StopClients approaches at most this many clients at once (one per client
// slot); longer lists are stopped in rounds of this size.
constexpr size_t MAX_STOP_BATCH = 32;

// Stops the client and closes processHandle on every path: the handle's
// ownership passes to this call.  Pauses waitMs between finding the
// confirmation and giving it; with a fileName, the confirmation also waits
// (bounded) until that file, if it exists, can be opened exclusively.
// Always returns 0.
int StopClient(HANDLE processHandle, DWORD processId, HWND mainWindow, DWORD waitMs, const char* fileName,
               DWORD mainThreadId);

// One client handed to StopClients: the values StopClient takes.
struct ClientStopOrder {
    HANDLE ProcessHandle;
    DWORD ProcessId;
    HWND MainWindow;
    DWORD MainThreadId;
};

// Stops every client of `orders` as StopClient would (waitMs, no file), and
// ends them one at a time in the order given: a client is confirmed (or gets
// the last resort) only once the one before it has ended or has been
// terminated.  The window searches, Exit presses and pauses before the
// confirmations run at the same time on a thread per client, so N
// well-behaved clients take little longer than one.  A client's priority
// class is raised only in its turn, just before its confirmation.
// Ownership of every ProcessHandle passes to this call, as with StopClient.
void StopClients(const ClientStopOrder* orders, size_t count, DWORD waitMs);

// EnumChildWindows callback: the first descendant whose text is "Exit".
BOOL CALLBACK FindExitButton(HWND window, LPARAM search);
// EnumWindows callback: the first top-level window of search->ProcessId
// titled "Close ZR?".
BOOL CALLBACK FindCloseConfirmation(HWND window, LPARAM search);
// EnumChildWindows callback: the first descendant with control id 6.
BOOL CALLBACK FindConfirmButton(HWND window, LPARAM search);

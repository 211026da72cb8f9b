// The tray-icon keeper: a hidden window that hears the shell announce a new
// taskbar ("TaskbarCreated") and then, after a pause, asks the run loop to
// restart every client so that their notification icons come back.
#pragma once

#include <windows.h>

#include "win_handles.h"

class SupervisorCore;

constexpr const char TRAY_KEEPER_CLASS[] = "QELSRV WC";
// Sent (not posted) by the stop sequence: the keeper destroys its window.
constexpr UINT WM_TRAY_KEEPER_CLOSE = WM_USER + 1;

// Thread procedure; the argument is the SupervisorCore.  Sets TrayWindow
// when its window exists and runs the window's message loop until
// WM_TRAY_KEEPER_CLOSE.
DWORD WINAPI TrayKeeperThread(LPVOID supervisor);

LRESULT CALLBACK TrayKeeperWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Starts the keeper thread and waits (bounded) until it has either created
// its window or given up, so that a stop arriving right after the start
// finds TrayWindow as it will stay.  Returns the thread's handle (empty when
// the thread could not be created) so that the stop can see the thread end.
qel::UniqueHandle StartTrayKeeper(SupervisorCore& core);

// The stop sequence's half: sends WM_TRAY_KEEPER_CLOSE to TrayWindow (when
// set), waits up to waitMs for the thread to end and clears TrayWindow.
void EndTrayKeeper(SupervisorCore& core, qel::UniqueHandle& keeperThread, DWORD waitMs);

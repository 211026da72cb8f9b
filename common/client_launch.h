// Starting one copy of the client program and bringing it into the working
// state: keyed, resumed, idle, main window and "Start!" found, pinned,
// retitled, started, minimised, worker thread at idle priority on request.
#pragma once

#include <windows.h>

#include <cstddef>

// Results of LaunchClient.  Codes 1..5 name the step that failed; the copy is
// then terminated with that code as its exit code.
enum LaunchResult : int {
    LAUNCH_CREATE_FAILED = -1,
    LAUNCH_OK = 0,
    LAUNCH_KEY_FAILED = 1,
    LAUNCH_NOT_IDLE = 2,
    LAUNCH_NO_WINDOW = 3,
    LAUNCH_NO_START = 4,
    LAUNCH_AFFINITY_FAILED = 5,
};

// Where every starting copy learns the path of its own state key.
constexpr char CLIENT_CONFIG_KEY[] = "Software\\Morl\\qel\\config";
constexpr char CLIENT_KEY_VALUE[] = "ClientKey";
// Suffix character of each client index's state key; index 0 has none.
constexpr char ClientKeySuffixTable[] = "123456789abcdefghijklmnopqrstuvw";

constexpr DWORD CLIENT_IDLE_TIMEOUT_MS = 10000;
// Window texts that are compared are read into buffers of this size.
constexpr size_t COMPARED_TEXT_SIZE = 20;
constexpr size_t TITLE_BUFFER_SIZE = 200;
constexpr char START_BUTTON_TEXT[] = "Start!";
constexpr char FIRST_RUN_TEXT[] = "Set up client, then dismiss this message box";

// Handed to the window enumeration callbacks: the window found (null before
// the search) and the process whose windows are wanted.
struct WindowSearch {
    HWND FoundWindow;
    DWORD ProcessId;
};

int LaunchClient(const char* exePath, unsigned clientIndex, DWORD affinityMask, HANDLE* processHandleOut,
                 DWORD* processIdOut, HWND* mainWindowOut, HWND* startButtonOut, int trueIdle,
                 DWORD* mainThreadIdOut);

// Points HKLM "Software\Morl\qel\config" "ClientKey" at the state key of
// clientIndex.  1 when the config key was opened or created, 0 otherwise.
int WriteClientKey(unsigned clientIndex);

// Sets the priority of the client's worker thread (its first thread, in
// snapshot order, other than mainThreadId), waiting up to about 2.5 s for it
// to appear.  1 when set, 0 otherwise.
int SetWorkerThreadPriority(DWORD processId, DWORD mainThreadId, int priority);

// EnumWindows callback: the first top-level window of search->ProcessId.
BOOL CALLBACK FindMainWindow(HWND window, LPARAM search);
// EnumChildWindows callback: the first descendant whose text is "Start!".
BOOL CALLBACK FindStartButton(HWND window, LPARAM search);

// The body of the text-matching enumeration callbacks: stores the window in
// the WindowSearch and returns FALSE (stop) when its text, read into a
// COMPARED_TEXT_SIZE buffer, equals `text` (case counts); TRUE otherwise.
BOOL StoreWindowWithText(HWND window, LPARAM search, const char* text);

// True when the window belongs to the WindowSearch's process.  Asked before
// any text is read: reading the text of a window of our own process sends it
// WM_GETTEXT and waits for its thread, which may be busy or hung.
bool OwnedBySearchedProcess(HWND window, LPARAM search);

// --- Pure decisions ---------------------------------------------------------

// The state key path of a client: "Software\Morl\qel\cache" for index 0,
// followed by the index's suffix character for 1..31.  False (and an empty
// out) for an index beyond the table or a buffer too small.
bool ClientStateKeyPath(unsigned clientIndex, char* out, size_t outSize);

// Writes title + " - client N" (N = clientIndex + 1) into out.  When both do
// not fit, the title is cut and the whole suffix kept.
void FormatClientTitle(const char* title, unsigned clientIndex, char* out, size_t outSize);

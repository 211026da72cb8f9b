// The control channel between copies of qelsvc9x: each copy owns a hidden
// control window on a thread of its own; a copy asks the running copy (the one
// that runs the supervisor) through the registered message "9xSvcReq" and is
// answered with "9xSvcAck".
#pragma once

#include <windows.h>

class C9xService;

// Request codes, the wParam of "9xSvcReq".
enum : WPARAM {
    REQ_PING = 1,    // is a copy running its supervisor?
    REQ_STOP = 2,    // stop the running copy for good
    REQ_RESTART = 3, // stop the running copy's clients; its loop starts them again
};

// Ends the control thread: the window destroys itself.
constexpr UINT WM_CONTROL_CLOSE = WM_USER + 1;
constexpr const char CONTROL_WINDOW_CLASS[] = "QELSRV 9X WC";

// One per process, shared by the entry's thread and the control thread.  The
// words are written by one thread and read by the other without a lock.
struct ControlChannelState {
    // Whose OnStop a stop or restart request calls; set by the control thread.
    C9xService* volatile RequestTarget = nullptr;
    // This copy's own control window; null until the control thread made it.
    HWND volatile ControlWindow = nullptr;
    UINT AckMessage = 0;
    UINT RequestMessage = 0;
    // Set while this copy runs its supervisor loop; decides how it answers.
    volatile LONG SupervisorActive = 0;
    // The running copy's control window, learnt from the first positive
    // acknowledgement and kept.
    HWND volatile PeerWindow = nullptr;
    // Manual reset; set by the control thread when a positive
    // acknowledgement arrives.  Created once and kept for the process.
    HANDLE volatile AckEvent = nullptr;
};

extern ControlChannelState ControlChannel;

// Asks the running copy and waits for its acknowledgement; true when it came
// within timeoutMs.
bool SendControlRequest(WPARAM code, DWORD timeoutMs);

// Thread routine of the control window; the parameter is the service object.
DWORD WINAPI ControlWindowThread(LPVOID service);

LRESULT CALLBACK ControlWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// What a copy does with a request it received.
enum class RequestAction {
    Ignore,
    AckPositive,     // answer a ping of the running copy
    AckNegative,     // answer a ping of a copy that runs no supervisor
    StopThenAck,     // QuitRequested, OnStop, then answer
    RestartThenAck,  // OnStop, then answer
};

RequestAction DecideRequestAction(bool supervisorActive, WPARAM code);

// WM_ENDSESSION: true when the running copy must stop its clients before
// returning, i.e. the session really ends (wParam set) and it is a shutdown,
// not a logoff (ENDSESSION_LOGOFF in lParam).  A service process outlives a
// logoff with its clients; at a shutdown they would otherwise be killed with
// their unsaved work.
bool EndSessionStopsClients(bool supervisorActive, WPARAM endingSession, LPARAM flags);

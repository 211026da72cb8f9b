#include "control_window.h"

#include "activity_log.h"
#include "service9x.h"

ControlChannelState ControlChannel;

RequestAction DecideRequestAction(bool supervisorActive, WPARAM code)
{
    if (!supervisorActive)
        return code == REQ_PING ? RequestAction::AckNegative : RequestAction::Ignore;
    switch (code) {
    case REQ_PING:
        return RequestAction::AckPositive;
    case REQ_STOP:
        return RequestAction::StopThenAck;
    case REQ_RESTART:
        return RequestAction::RestartThenAck;
    default:
        return RequestAction::Ignore;
    }
}

bool EndSessionStopsClients(bool supervisorActive, WPARAM endingSession, LPARAM flags)
{
    const DWORD logoff = 0x80000000u;  // ENDSESSION_LOGOFF
    return supervisorActive && endingSession != 0 && (static_cast<DWORD>(flags) & logoff) == 0;
}

bool SendControlRequest(WPARAM code, DWORD timeoutMs)
{
    HANDLE ackEvent = ControlChannel.AckEvent;
    if (!ackEvent)
        return false;
    ResetEvent(ackEvent);
    HWND peer = ControlChannel.PeerWindow;
    PostMessageA(peer ? peer : HWND_BROADCAST, ControlChannel.RequestMessage, code,
                 reinterpret_cast<LPARAM>(static_cast<HWND>(ControlChannel.ControlWindow)));
    return WaitForSingleObject(ackEvent, timeoutMs) == WAIT_OBJECT_0;
}

namespace {

void PostAck(HWND asker, WPARAM positive, HWND answerer)
{
    if (asker)
        PostMessageA(asker, ControlChannel.AckMessage, positive, reinterpret_cast<LPARAM>(answerer));
}

void HandleRequest(HWND window, WPARAM code, LPARAM lParam)
{
    HWND asker = reinterpret_cast<HWND>(lParam);
    C9xService* target = ControlChannel.RequestTarget;
    switch (DecideRequestAction(ControlChannel.SupervisorActive != 0, code)) {
    case RequestAction::Ignore:
        break;
    case RequestAction::AckPositive:
        PostAck(asker, 1, ControlChannel.ControlWindow);
        break;
    case RequestAction::AckNegative:
        PostAck(asker, 0, window);
        break;
    case RequestAction::StopThenAck:
        // The flag goes first: the run-again loop must see it once the
        // current pass has ended.
        if (target) {
            target->QuitRequested = 1;
            target->OnStop();
        }
        PostAck(asker, 1, ControlChannel.ControlWindow);
        break;
    case RequestAction::RestartThenAck:
        if (target)
            target->OnStop();
        PostAck(asker, 1, ControlChannel.ControlWindow);
        break;
    }
}

} // namespace

LRESULT CALLBACK ControlWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    // Registered ids are never 0; a failed registration must not turn
    // WM_NULL into a request.
    if (message != 0 && message == ControlChannel.AckMessage) {
        if (wParam != 0) {
            if (!ControlChannel.PeerWindow)
                ControlChannel.PeerWindow = reinterpret_cast<HWND>(lParam);
            if (ControlChannel.AckEvent)
                SetEvent(ControlChannel.AckEvent);
        }
        return DefWindowProcA(window, message, wParam, lParam);
    }
    if (message != 0 && message == ControlChannel.RequestMessage) {
        HandleRequest(window, wParam, lParam);
        return 0;
    }
    switch (message) {
    case WM_ENDSESSION:
        // The system may end the process as soon as this returns: the
        // clients are stopped here, within the stop's own bound, and the
        // run-again loop is told not to start them again.
        if (EndSessionStopsClients(ControlChannel.SupervisorActive != 0, wParam, lParam)) {
            if (C9xService* target = ControlChannel.RequestTarget) {
                target->QuitRequested = 1;
                target->OnShutdown();
            }
        }
        return 0;
    case WM_CONTROL_CLOSE:
        DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

DWORD WINAPI ControlWindowThread(LPVOID parameter)
{
    auto* service = static_cast<C9xService*>(parameter);
    ControlChannel.RequestTarget = service;
    // Kept for the whole process: the entry's thread may be waiting on it.
    if (!ControlChannel.AckEvent)
        ControlChannel.AckEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ControlChannel.AckMessage = service->AckMessage;
    ControlChannel.RequestMessage = service->RequestMessage;

    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = ControlWindowProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = CONTROL_WINDOW_CLASS;
    // A second control thread in one process finds the class registered.
    RegisterClassA(&windowClass);

    // Top-level (not message-only), so that broadcasts of other copies reach
    // it; disabled and far off screen, so that nobody sees or clicks it.
    HWND window = CreateWindowExA(0, CONTROL_WINDOW_CLASS, "", WS_POPUP | WS_DISABLED, -20000, -20000, 0, 0,
                                  nullptr, nullptr, nullptr, nullptr);
    if (!window) {
        DWORD error = GetLastError();
        TraceDebug(service->ServiceName, "Control window not created, error %lu", static_cast<unsigned long>(error));
        ControlChannel.RequestTarget = nullptr;
        return error ? error : 1;
    }
    ControlChannel.ControlWindow = window;

    MSG message = {};
    BOOL result;
    while ((result = GetMessageA(&message, nullptr, 0, 0)) != 0 && result != -1) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    // The window is gone: nothing may post to it or call the target through it.
    ControlChannel.ControlWindow = nullptr;
    ControlChannel.RequestTarget = nullptr;
    return static_cast<DWORD>(message.wParam);
}

// qelsvc9x: the supervisor for Windows 95, 98 and Me, a windowless program
// that also stops a running copy of itself (-q) and takes the configuration
// commands, answering in message boxes.
#include <windows.h>

#include "activity_log.h"
#include "config_rules.h"
#include "control_window.h"
#include "entry9x.h"
#include "status_store.h"
#include "supervisor9x.h"
#include "win_handles.h"

namespace {

// The control thread makes its window within milliseconds; a copy that has
// none after this long could never be reached by another copy (not even to
// stop it), so it ends instead of supervising.
constexpr DWORD CONTROL_WINDOW_LIMIT_MS = 10000;
constexpr DWORD PING_TIMEOUT_MS = 500;
constexpr DWORD STOP_TIMEOUT_MS = 10000;
constexpr DWORD RESTART_TIMEOUT_MS = 20000;
constexpr DWORD CONTROL_THREAD_END_MS = 10000;

void RunningCopyCourse(C9xSupervisorService& service)
{
    if (SendControlRequest(REQ_PING, PING_TIMEOUT_MS)) {
        // A copy already supervises: it restarts its clients, this one ends.
        SendControlRequest(REQ_RESTART, RESTART_TIMEOUT_MS);
        return;
    }
    ControlChannel.SupervisorActive = 1;
    if (!service.RegisterAsServiceProcess())
        TraceDebug(service.ServiceName, "Not registered as a service process (not the 9x family?)");
    service.RunUntilQuit();
    ControlChannel.SupervisorActive = 0;
}

// The exit code: 0 when the copy stopped or none ran (the state asked for),
// ERROR_SERVICE_REQUEST_TIMEOUT when the running copy did not acknowledge
// the stop in time, so that a script sees the failure.
DWORD StopCommandCourse()
{
    const char* text = "ZR 9x Service not running";
    DWORD exitCode = ERROR_SUCCESS;
    if (SendControlRequest(REQ_PING, PING_TIMEOUT_MS)) {
        if (SendControlRequest(REQ_STOP, STOP_TIMEOUT_MS)) {
            text = "ZR 9x Service Stopped";
        } else {
            text = "Unable to stop ZR 9x Service";
            exitCode = ERROR_SERVICE_REQUEST_TIMEOUT;
        }
    }
    MessageBoxA(nullptr, text, BOX_CAPTION_9X, MB_OK);
    return exitCode;
}

// The status listing in a box; the exit code as "qelsvc -l" gives it.
int StatusCommandCourse()
{
    StatusSnapshot snapshot = ReadStatusSnapshot();
    bool copyRuns = SendControlRequest(REQ_PING, PING_TIMEOUT_MS);
    char listing[MAX_CLIENTS * CLIENT_LINE_SIZE + 64];
    FormatStatusListing(listing, sizeof listing, snapshot, LocalNowFileTime());
    char text[sizeof listing + 64];
    FormatStatusBox(text, sizeof text, listing, copyRuns);
    MessageBoxA(nullptr, text, BOX_CAPTION_9X, MB_OK);
    return StatusExitCode(copyRuns ? SupervisorRunState::Runs : SupervisorRunState::NotRunning, snapshot);
}

void ConfigCommandCourse(C9xSupervisorService& service, char* argument)
{
    service.SkipRestartRequest = 0;
    // The whole remaining line is the one argument.
    char program[] = "";
    char* argv[] = {program, argument, nullptr};
    int showBox = service.HandleConfigCommand(2, argv);
    if (service.CommandError != ERROR_SUCCESS) {
        // Also for -w, -h and -a, which show nothing when they work: a
        // setting that was not saved must not pass unnoticed.  No restart
        // request: nothing changed.
        char text[SAVE_FAILURE_TEXT_SIZE];
        FormatSaveFailure(text, sizeof text, service.CommandError);
        MessageBoxA(nullptr, text, BOX_CAPTION_9X, MB_OK | MB_ICONERROR);
        return;
    }
    if (!showBox)
        return;
    char text[BOX_TEXT_SIZE];
    FormatParametersBox(text, sizeof text, service.Core.Params);
    MessageBoxA(nullptr, text, BOX_CAPTION_9X, MB_OK);
    if (!service.SkipRestartRequest && SendControlRequest(REQ_PING, PING_TIMEOUT_MS))
        SendControlRequest(REQ_RESTART, RESTART_TIMEOUT_MS);
}

// The control window's thread, from its start until its window is gone.
class ControlWindowRun {
public:
    explicit ControlWindowRun(C9xService& target) : thread_(qel::StartThread(ControlWindowThread, &target)) {}
    ~ControlWindowRun()
    {
        // Returns once the control thread has destroyed its window; that
        // thread is never busy here for long, since a request's OnStop has
        // returned before the run-again loop lets this thread go on.
        if (HWND controlWindow = ControlChannel.ControlWindow)
            SendMessageA(controlWindow, WM_CONTROL_CLOSE, 0, 0);
        if (thread_)
            WaitForSingleObject(thread_.get(), CONTROL_THREAD_END_MS);
    }
    ControlWindowRun(const ControlWindowRun&) = delete;
    ControlWindowRun& operator=(const ControlWindowRun&) = delete;

    bool Ready() { return WaitForControlWindow(thread_.get(), CONTROL_WINDOW_LIMIT_MS); }

private:
    qel::UniqueHandle thread_;
};

// "-l" reads the status and asks whether a copy runs, nothing else: no
// settings load (its log lines), no settings mutex.  So it needs only the
// framework's control window, not the supervisor.
int StatusOnlyCourse()
{
    C9xService framework(SERVICE_9X_NAME);
    ControlWindowRun control(framework);
    if (!control.Ready()) {
        TraceDebug(framework.ServiceName, "No control window: ending without doing anything");
        return STATUS_UNKNOWN;
    }
    return StatusCommandCourse();
}

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int)
{
    char* argument = TrimCommandLine(commandLine);
    const EntryCourse course = ChooseEntryCourse(argument);
    if (course == EntryCourse::StatusCommand)
        return StatusOnlyCourse();

    C9xSupervisorService service;
    {
        ControlWindowRun control(service);
        if (control.Ready()) {
            switch (course) {
            case EntryCourse::RunningCopy:
                RunningCopyCourse(service);
                break;
            case EntryCourse::StopCommand:
                service.CommandExitCode = StopCommandCourse();
                break;
            case EntryCourse::StatusCommand:  // answered above, without the supervisor
                break;
            case EntryCourse::ConfigCommand:
                ConfigCommandCourse(service, argument);
                break;
            }
        } else {
            TraceDebug(service.ServiceName, "No control window: ending without doing anything");
        }
    }
    return static_cast<int>(service.CommandError != ERROR_SUCCESS ? service.CommandError : service.CommandExitCode);
}

// The NT service framework: one service in its own process, installed,
// removed and described from the command line, run under the Service Control
// Manager.  A derived class gives it its work through the virtual operations.
#pragma once

#include <windows.h>

#include "win_handles.h"

class CNTService {
public:
    explicit CNTService(const char* serviceName);
    virtual ~CNTService();
    CNTService(const CNTService&) = delete;
    CNTService& operator=(const CNTService&) = delete;

    virtual void Run();
    virtual BOOL OnInit();
    virtual void OnStop();
    virtual void OnInterrogate();
    virtual void OnPause();
    virtual void OnContinue();
    virtual void OnShutdown();
    virtual BOOL OnUserControl(DWORD code);

    BOOL QueryInstalled();
    BOOL InstallService();
    // Software\Morl\qel and the keys below it to SYSTEM and Administrators
    // (Users read); part of -i, also on a service that is already installed.
    void SecureProductKeysTraced();
    BOOL RemoveService();
    void ReportServiceEvent(WORD type, DWORD eventId, const char* s1 = nullptr,
                            const char* s2 = nullptr, const char* s3 = nullptr);
    // The same with any number of insertion strings (the run loop's client
    // events carry up to five).
    void ReportServiceEventStrings(WORD type, DWORD eventId, const char* const* strings, WORD count);
    BOOL HandleStandardCommand(int argc, char** argv);
    BOOL RunDispatcher();
    void SetStatus(DWORD state);
    BOOL Initialize();

    // While a stop runs: the next checkpoint of the stop-pending state, with
    // a wait hint that covers the next step.  Any thread.
    void ReportStopProgress();
    // True when no stop work runs (any more) after waiting up to timeoutMs.
    bool WaitStopWork(DWORD timeoutMs);
    // The Win32 exit code that the final SERVICE_STOPPED report carries (and
    // the process ends with).  Any thread.
    void SetExitCode(DWORD exitCode);
    // Whether a stop that cannot finish may end the process: false once Run
    // has returned (the run's own end reports the stop then).  True makes
    // the final report this caller's, to be made by EndUnfinishedStop; the
    // decision is taken under the status lock, so the log line and event of
    // a forced end are never written for a run that ended by itself.
    bool ClaimForcedEnd();
    // After ClaimForcedEnd: reports SERVICE_STOPPED with no error (the stop
    // was asked for: Windows must not start the service again), reports
    // nothing after it, and ends the process through EndProcess.  The
    // clients end with it through their job.
    void EndUnfinishedStop();
    // The end of a service run, once Run has returned: no stop work starts
    // any more, the one running is waited for, and SERVICE_STOPPED is
    // reported (unless it was already, for good).
    void FinishRun();
    // At a start: sets the failure actions only where the service has none
    // (or exactly those of earlier versions), never over an administrator's,
    // and raises the pre-shutdown time where it is shorter than a stop
    // needs.  Traced; a failure changes nothing else.
    void ApplyRecoveryAtStart();

    // How EndUnfinishedStop ends the process: TerminateProcess on itself (no
    // DLL detach, no static destructors: a stuck thread may hold a lock they
    // need).  Tests put a recorder here instead.
    using EndProcessFunction = void (*)(DWORD exitCode);
    static void TerminateOwnProcess(DWORD exitCode);
    EndProcessFunction EndProcess = TerminateOwnProcess;

    static void WINAPI ServiceMain(DWORD argc, LPSTR* argv);
    static void WINAPI Handler(DWORD code);
    // Registered instead of Handler where the system has it (2000 and
    // later): only a HandlerEx can be sent the pre-shutdown control.
    static DWORD WINAPI HandlerEx(DWORD code, DWORD eventType, LPVOID eventData, LPVOID context);

    // The one service object of the process; the system's callbacks reach it
    // through this pointer.
    static CNTService* Instance;

    char ServiceName[64];
    // The exit code of a standard command (-i, -u) that did not do its
    // work; 0 otherwise.
    DWORD StandardCommandError = ERROR_SUCCESS;
    int MajorVersion = 1;
    int MinorVersion = 0;
    SERVICE_STATUS_HANDLE StatusHandle = nullptr;
    SERVICE_STATUS Status;
    volatile BOOL Running = FALSE;
    DWORD StopWaitHint = 0;
    qel::UniqueEventSource EventSource;

    // The wait hint of the stop-pending reports that follow the first: a
    // stop reports progress at least every second (STOP_PROGRESS_STEP_MS of
    // the supervisor), so three seconds cover the next step with room.
    static constexpr DWORD STOP_PROGRESS_HINT_MS = 3000;
    // How long the service thread waits, once Run has returned, for the
    // stop work to finish its log lines and event before it reports the
    // service stopped.  The stop work's own wait is bounded; this only
    // guards against a lost wake-up.
    static constexpr DWORD STOP_WORK_JOIN_MS = 30000;

private:
    // Stop, shutdown and pre-shutdown run their OnStop/OnShutdown on a
    // thread of their own: the Service Control Manager wants the handler
    // back within seconds, and a stop of many clients takes longer.
    void BeginStop(bool shutdown);
    void DoStopWork();
    static DWORD WINAPI StopWorkThread(LPVOID self);
    void ReportStatusLocked();
    // Sets and reports the state.  Traces nothing: a trace may wait (a
    // debug monitor that does not read), and the control handler waits for
    // this lock.  TraceStatus goes before the lock is taken.
    void SetStatusLocked(DWORD state);
    void TraceStatus(DWORD state);

    // Guards Status, StopWork and the flags below, so that a stop request
    // and the end of the run see one order: no stop-pending report after the
    // final stopped one.
    CRITICAL_SECTION StatusLock;
    qel::UniqueHandle StopWork;
    bool StopIsShutdown = false;
    bool RunEnded = false;       // Run has returned: the final report follows
    bool FinalReported = false;  // SERVICE_STOPPED reported for good
    // Why QueryInstalled last said "not installed" when it could not ask.
    DWORD QueryError = ERROR_SUCCESS;
};

#ifndef SERVICE_ACCEPT_PRESHUTDOWN
#define SERVICE_ACCEPT_PRESHUTDOWN 0x00000100
#endif
#ifndef SERVICE_CONTROL_PRESHUTDOWN
#define SERVICE_CONTROL_PRESHUTDOWN 0x0000000F
#endif

// The controls the service accepts.  Pre-shutdown exists from Vista on
// (major version 6) and only for a HandlerEx; older systems refuse the
// whole status report when the flag is set.  Inputs as GetVersion() reports
// them.
DWORD ControlsAcceptedFor(bool windows9xFamily, DWORD majorVersion, bool handlerEx);

// -i also asks Windows to restart the service after it failed (crashed, was
// killed, or stopped with an error code: the last only from Vista on), with
// pauses that grow, and gives its stop at shutdown time to stop every
// client.  Through ChangeServiceConfig2A, bound by name (2000 and later) and
// handed in here so that a test can see the settings (Wine stores none).
// Returns how many of the three settings were accepted.
using ChangeServiceConfig2Function = BOOL(WINAPI*)(SC_HANDLE service, DWORD infoLevel, LPVOID info);
using QueryServiceConfig2Function = BOOL(WINAPI*)(SC_HANDLE service, DWORD infoLevel, LPBYTE buffer, DWORD size,
                                                  LPDWORD needed);
int ApplyServiceRecovery(SC_HANDLE service, ChangeServiceConfig2Function change);

// Whether a start may set the failure actions: none are set, or exactly
// those earlier versions set at every start.  Anything else is an
// administrator's choice and stays.
bool FailureActionsAreOursToSet(const SERVICE_FAILURE_ACTIONSA& current);

// At every start (an upgrade that only replaced the executable): the failure
// actions of -i where the service has none of its own, and the stop time at
// shutdown raised to PRESHUTDOWN_TIMEOUT_MS where it is shorter.
struct RecoveryAtStart {
    bool ActionsRead = false;       // the current failure actions could be read
    bool ActionsApplied = false;    // ...and were replaced by the product's
    bool PreshutdownRaised = false;
};
RecoveryAtStart ApplyServiceRecoveryAtStart(SC_HANDLE service, QueryServiceConfig2Function query,
                                            ChangeServiceConfig2Function change);

// The pauses before the first, second and every later restart.
constexpr DWORD FAILURE_RESTART_DELAYS_MS[3] = {60000, 300000, 1800000};
constexpr DWORD FAILURE_RESET_PERIOD_S = 86400;
// The longest stop the supervisor allows itself (32 clients x 5 s, then 60 s
// more while the last ones close) with room for its last report; the
// supervisor checks its own limits against it.
constexpr DWORD PRESHUTDOWN_TIMEOUT_MS = 240000;

// "SYSTEM\CurrentControlSet\Services\EventLog\Application\" + the name.
constexpr const char EVENT_LOG_KEY_PREFIX[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

// The service's executable path as registered with the Service Control
// Manager: quoted, so that a path with blanks cannot be taken for a shorter
// program ("C:\Program.exe").  Cut to fit; returns false when it cannot.
bool QuoteServicePath(char* out, size_t outSize, const char* modulePath);

#include "nt_service.h"

#include <cstdio>
#include <cstring>
#include <utility>

#include "activity_log.h"
#include "messages.h"
#include "product_key_security.h"
#include "runtime_binding.h"

CNTService* CNTService::Instance = nullptr;

namespace {

void CopyName(char (&out)[64], const char* name)
{
    snprintf(out, sizeof out, "%s", name ? name : "");
}

} // namespace

DWORD ControlsAcceptedFor(bool windows9xFamily, DWORD majorVersion, bool handlerEx)
{
    DWORD accepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
    if (!windows9xFamily && majorVersion >= 6 && handlerEx)
        accepted |= SERVICE_ACCEPT_PRESHUTDOWN;
    return accepted;
}

namespace {

#ifndef SERVICE_CONFIG_FAILURE_ACTIONS_FLAG
#define SERVICE_CONFIG_FAILURE_ACTIONS_FLAG 4
#endif
#ifndef SERVICE_CONFIG_PRESHUTDOWN_INFO
#define SERVICE_CONFIG_PRESHUTDOWN_INFO 7
#endif
// The Vista structures, spelt out: older headers lack them.
struct FailureActionsFlag {
    BOOL fFailureActionsOnNonCrashFailures;
};
struct PreshutdownInfo {
    DWORD dwPreshutdownTimeout;
};

using RegisterHandlerExFunction = SERVICE_STATUS_HANDLE(WINAPI*)(LPCSTR name, LPHANDLER_FUNCTION_EX handler,
                                                                 LPVOID context);

template <typename Fn>
Fn Advapi32Function(const char* name)
{
    return qel::BindByName<Fn>(GetModuleHandleA("advapi32.dll"), name);
}

// Restarts that back off: a fault that lasts (a held settings mutex, a
// broken installation) costs a few dozen starts a day, not one a minute.
// Windows repeats the last action for every later failure until a day has
// passed without one.
bool ApplyFailureActions(SC_HANDLE service, ChangeServiceConfig2Function change)
{
    SC_ACTION actions[3];
    for (int i = 0; i < 3; ++i) {
        actions[i].Type = SC_ACTION_RESTART;
        actions[i].Delay = FAILURE_RESTART_DELAYS_MS[i];
    }
    SERVICE_FAILURE_ACTIONSA failure = {};
    failure.dwResetPeriod = FAILURE_RESET_PERIOD_S;
    failure.cActions = 3;
    failure.lpsaActions = actions;
    return change(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure) != FALSE;
}

// The same actions when the service stops by itself with an error code
// (another supervisor holds the settings mutex, a mutex it cannot use):
// without this flag Windows acts only on a crash.  Vista and later; older
// systems refuse the level, which is fine: there only a crash restarts the
// service.
bool ApplyOnErrorStops(SC_HANDLE service, ChangeServiceConfig2Function change)
{
    FailureActionsFlag onErrorStops = {TRUE};
    return change(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &onErrorStops) != FALSE;
}

// The restarts earlier versions set at every start: three after 60 s each.
constexpr DWORD EARLIER_RESTART_DELAY_MS = 60000;

} // namespace

int ApplyServiceRecovery(SC_HANDLE service, ChangeServiceConfig2Function change)
{
    if (!change)
        return 0;
    int applied = 0;
    if (ApplyFailureActions(service, change))
        ++applied;
    if (ApplyOnErrorStops(service, change))
        ++applied;
    // Vista and later, like the flag.
    PreshutdownInfo preshutdown = {PRESHUTDOWN_TIMEOUT_MS};
    if (change(service, SERVICE_CONFIG_PRESHUTDOWN_INFO, &preshutdown))
        ++applied;
    return applied;
}

bool FailureActionsAreOursToSet(const SERVICE_FAILURE_ACTIONSA& current)
{
    if (current.cActions == 0 || !current.lpsaActions)
        return true;
    // What earlier versions set at every start (a day's reset): a choice of
    // this program, not of an administrator, and one that restarts a service
    // with a lasting fault every minute for ever.  An administrator who set
    // exactly these gets the backing-off ones instead.
    if (current.cActions != 3 || current.dwResetPeriod != FAILURE_RESET_PERIOD_S || current.lpCommand ||
        current.lpRebootMsg)
        return false;
    for (DWORD i = 0; i < 3; ++i)
        if (current.lpsaActions[i].Type != SC_ACTION_RESTART || current.lpsaActions[i].Delay != EARLIER_RESTART_DELAY_MS)
            return false;
    return true;
}

RecoveryAtStart ApplyServiceRecoveryAtStart(SC_HANDLE service, QueryServiceConfig2Function query,
                                            ChangeServiceConfig2Function change)
{
    RecoveryAtStart result;
    if (!query || !change)
        return result;
    // The structure, its array and its strings come in one block.
    union {
        SERVICE_FAILURE_ACTIONSA Actions;
        BYTE Bytes[2048];
    } block;
    DWORD needed = 0;
    if (query(service, SERVICE_CONFIG_FAILURE_ACTIONS, block.Bytes, sizeof block, &needed)) {
        result.ActionsRead = true;
        // Never over an administrator's choice (sc failure, the Services
        // console); an upgrade from a version that set none gets them.
        if (FailureActionsAreOursToSet(block.Actions)) {
            result.ActionsApplied = ApplyFailureActions(service, change);
            if (result.ActionsApplied)
                ApplyOnErrorStops(service, change);
        }
    }
    // The time to stop at shutdown is only ever raised to what the longest
    // stop needs (Vista and later; older systems cannot read it).
    PreshutdownInfo preshutdown = {0};
    if (query(service, SERVICE_CONFIG_PRESHUTDOWN_INFO, reinterpret_cast<LPBYTE>(&preshutdown), sizeof preshutdown,
              &needed) &&
        preshutdown.dwPreshutdownTimeout < PRESHUTDOWN_TIMEOUT_MS) {
        preshutdown.dwPreshutdownTimeout = PRESHUTDOWN_TIMEOUT_MS;
        result.PreshutdownRaised = change(service, SERVICE_CONFIG_PRESHUTDOWN_INFO, &preshutdown) != FALSE;
    }
    return result;
}

bool QuoteServicePath(char* out, size_t outSize, const char* modulePath)
{
    int written = snprintf(out, outSize, "\"%s\"", modulePath);
    return written > 0 && static_cast<size_t>(written) < outSize;
}

CNTService::CNTService(const char* serviceName)
{
    CopyName(ServiceName, serviceName);
    memset(&Status, 0, sizeof Status);
    Status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    Status.dwCurrentState = SERVICE_STOPPED;
    Status.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
    InitializeCriticalSection(&StatusLock);
    Instance = this;
}

CNTService::~CNTService()
{
    TraceDebug(ServiceName, "CNTService::~CNTService()");
    // The stop work uses this object; its own waits are bounded, so this
    // wait is too.
    if (StopWork)
        WaitForSingleObject(StopWork.get(), INFINITE);
    DeleteCriticalSection(&StatusLock);
    EventSource.reset();
    if (Instance == this)
        Instance = nullptr;
}

void CNTService::Run()
{
    TraceDebug(ServiceName, "Entering CNTService::Run()");
    while (Running) {
        TraceDebug(ServiceName, "Sleeping...");
        Sleep(5000);
    }
    TraceDebug(ServiceName, "Leaving CNTService::Run()");
}

BOOL CNTService::OnInit()
{
    TraceDebug(ServiceName, "CNTService::OnInit()");
    return TRUE;
}

void CNTService::OnStop() { TraceDebug(ServiceName, "CNTService::OnStop()"); }
void CNTService::OnInterrogate() { TraceDebug(ServiceName, "CNTService::OnInterrogate()"); }
void CNTService::OnPause() { TraceDebug(ServiceName, "CNTService::OnPause()"); }
void CNTService::OnContinue() { TraceDebug(ServiceName, "CNTService::OnContinue()"); }
void CNTService::OnShutdown() { TraceDebug(ServiceName, "CNTService::OnShutdown()"); }

BOOL CNTService::OnUserControl(DWORD code)
{
    TraceDebug(ServiceName, "CNTService::OnUserControl(%8.8lXH)", static_cast<unsigned long>(code));
    return FALSE;
}

BOOL CNTService::QueryInstalled()
{
    QueryError = ERROR_SUCCESS;
    qel::UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        QueryError = GetLastError();
        return FALSE;
    }
    qel::UniqueServiceHandle service(OpenServiceA(manager.get(), ServiceName, SERVICE_QUERY_CONFIG));
    if (!service && GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST)
        QueryError = GetLastError();
    return service ? TRUE : FALSE;
}

void CNTService::SecureProductKeysTraced()
{
    // The settings, the clients' key and the status become administrators'
    // keys (Users read): under HKLM\Software other users could rewrite them.
    TraceDebug(ServiceName, "Product keys secured: status %ld", static_cast<long>(qel::SecureProductKeys()));
}

BOOL CNTService::InstallService()
{
    qel::UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager)
        return FALSE;

    char modulePath[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, modulePath, MAX_PATH);
    modulePath[MAX_PATH - 1] = '\0';

    // Registered quoted: an unquoted path with a blank lets Windows try a
    // shorter program name first, a privilege hole for a LocalSystem service.
    char binaryPath[MAX_PATH + 2];
    if (!QuoteServicePath(binaryPath, sizeof binaryPath, modulePath)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return FALSE;
    }

    qel::UniqueServiceHandle service(CreateServiceA(
        manager.get(), ServiceName, ServiceName, SERVICE_ALL_ACCESS,
        SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS, SERVICE_AUTO_START,
        SERVICE_ERROR_NORMAL, binaryPath, nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!service)
        return FALSE;
    // Not part of what -i reports: an older system without these settings
    // runs the service all the same.
    int recovery = ApplyServiceRecovery(
        service.get(), Advapi32Function<ChangeServiceConfig2Function>("ChangeServiceConfig2A"));
    TraceDebug(ServiceName, "Recovery settings applied: %d of 3", recovery);
    SecureProductKeysTraced();

    char keyPath[256];
    snprintf(keyPath, sizeof keyPath, "%s%s", EVENT_LOG_KEY_PREFIX, ServiceName);
    qel::UniqueRegKey key;
    // The registry functions return their error instead of setting it; -i
    // prints and ends with the last error.
    LONG created = RegCreateKeyA(HKEY_LOCAL_MACHINE, keyPath, key.put());
    if (created != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(created));
        return FALSE;
    }

    RegSetValueExA(key.get(), "EventMessageFile", 0, REG_EXPAND_SZ,
                   reinterpret_cast<const BYTE*>(modulePath), static_cast<DWORD>(strlen(modulePath) + 1));
    DWORD typesSupported = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    RegSetValueExA(key.get(), "TypesSupported", 0, REG_DWORD,
                   reinterpret_cast<const BYTE*>(&typesSupported), sizeof typesSupported);
    key.reset();

    ReportServiceEvent(EVENTLOG_INFORMATION_TYPE, EVMSG_INSTALLED, ServiceName);
    return TRUE;
}

BOOL CNTService::RemoveService()
{
    qel::UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager)
        return FALSE;
    qel::UniqueServiceHandle service(OpenServiceA(manager.get(), ServiceName, DELETE));
    if (!service)
        return FALSE;
    if (DeleteService(service.get())) {
        ReportServiceEvent(EVENTLOG_INFORMATION_TYPE, EVMSG_REMOVED, ServiceName);
        return TRUE;
    }
    DWORD error = GetLastError();
    ReportServiceEvent(EVENTLOG_ERROR_TYPE, EVMSG_NOTREMOVED, ServiceName);
    SetLastError(error);
    return FALSE;
}

void CNTService::ReportServiceEvent(WORD type, DWORD eventId, const char* s1, const char* s2,
                                    const char* s3)
{
    const char* strings[3] = {s1, s2, s3};
    WORD count = 0;
    while (count < 3 && strings[count])
        ++count;
    ReportServiceEventStrings(type, eventId, strings, count);
}

BOOL CNTService::HandleStandardCommand(int argc, char** argv)
{
    if (argc <= 1)
        return FALSE;
    const char* argument = argv[1];

    if (_stricmp(argument, "-v") == 0) {
        printf("%s Version %d.%d\n", ServiceName, MajorVersion, MinorVersion);
        printf("The service is %s installed\n", QueryInstalled() ? "currently" : "not");
        return TRUE;
    }
    // A command that did not do its work ends the program with an error
    // code (scripts check it); "already installed" and "not installed" are
    // the state asked for, and end with 0 unless the question itself failed.
    if (_stricmp(argument, "-i") == 0) {
        if (QueryInstalled()) {
            printf("%s is already installed\n", ServiceName);
            // A service installed otherwise (a Windows Installer package, a
            // version that did not secure them) gets the keys' rights too.
            SecureProductKeysTraced();
        } else if (InstallService()) {
            printf("%s installed\n", ServiceName);
        } else {
            DWORD error = GetLastError();
            printf("%s failed to install. Error %d\n", ServiceName, static_cast<int>(error));
            StandardCommandError = error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
        }
        return TRUE;
    }
    if (_stricmp(argument, "-u") == 0) {
        if (!QueryInstalled()) {
            printf("%s is not installed\n", ServiceName);
            // Not asked (for instance no administrator): it may well be.
            StandardCommandError = QueryError;
        } else if (RemoveService()) {
            char modulePath[MAX_PATH] = {};
            GetModuleFileNameA(nullptr, modulePath, MAX_PATH);
            modulePath[MAX_PATH - 1] = '\0';
            printf("%s removed. (You must delete the file (%s) yourself.)\n", ServiceName, modulePath);
        } else {
            DWORD error = GetLastError();
            printf("Could not remove %s. Error %d\n", ServiceName, static_cast<int>(error));
            StandardCommandError = error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
        }
        return TRUE;
    }
    return FALSE;
}

BOOL CNTService::RunDispatcher()
{
    SERVICE_TABLE_ENTRYA table[] = {
        {ServiceName, ServiceMain},
        {nullptr, nullptr},
    };
    TraceDebug(ServiceName, "Calling StartServiceCtrlDispatcher()");
    BOOL started = StartServiceCtrlDispatcherA(table);
    TraceDebug(ServiceName, "Returned from StartServiceCtrlDispatcher()");
    return started;
}

void CNTService::SetStatus(DWORD state)
{
    TraceStatus(state);
    qel::CriticalSectionLock hold(StatusLock);
    SetStatusLocked(state);
}

void CNTService::TraceStatus(DWORD state)
{
    TraceDebug(ServiceName, "CNTService::SetStatus(%lu, %lu)",
               static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(StatusHandle)),
               static_cast<unsigned long>(state));
}

void CNTService::SetStatusLocked(DWORD state)
{
    Status.dwCurrentState = state;
    ReportStatusLocked();
}

void CNTService::SetExitCode(DWORD exitCode)
{
    qel::CriticalSectionLock hold(StatusLock);
    Status.dwWin32ExitCode = exitCode;
}

void CNTService::TerminateOwnProcess(DWORD exitCode)
{
    // The trace's last lines say why the process ends.
    DrainDebugTrace();
    TerminateProcess(GetCurrentProcess(), exitCode);
}

bool CNTService::ClaimForcedEnd()
{
    qel::CriticalSectionLock hold(StatusLock);
    if (RunEnded || FinalReported)
        return false;
    // From here the final report is EndUnfinishedStop's: FinishRun, a late
    // stop request and the handler leave it alone.
    FinalReported = true;
    return true;
}

void CNTService::EndUnfinishedStop()
{
    // Before the report: once the service is reported stopped, Windows may
    // start it again at once, and a new process must not wait for this one
    // (which still holds the settings mutex) to finish sending its trace.
    DrainDebugTrace();
    TraceStatus(SERVICE_STOPPED);
    {
        qel::CriticalSectionLock hold(StatusLock);
        // No error: the stop was asked for and it has happened, if by force.
        // With an error code Windows (Vista and later) would start the
        // service again a minute later, against the request.
        Status.dwWin32ExitCode = NO_ERROR;
        Status.dwCheckPoint = 0;
        Status.dwWaitHint = 0;
        SetStatusLocked(SERVICE_STOPPED);
    }
    TraceDebug(ServiceName, "Ending the process: the stop did not finish");
    EndProcess(NO_ERROR);
}

void CNTService::FinishRun()
{
    {
        // From here on no stop work starts: StopWork stays as it is.
        qel::CriticalSectionLock hold(StatusLock);
        RunEnded = true;
    }
    // A stop's log lines and event come before the final report: once the
    // service is reported stopped, the process may be ended at any moment.
    if (!WaitStopWork(STOP_WORK_JOIN_MS))
        TraceDebug(ServiceName, "Stop work still running at the end of ServiceMain");
    TraceStatus(SERVICE_STOPPED);
    qel::CriticalSectionLock hold(StatusLock);
    if (FinalReported)
        return;
    Status.dwCheckPoint = 0;
    Status.dwWaitHint = 0;
    SetStatusLocked(SERVICE_STOPPED);
    FinalReported = true;
}

void CNTService::ApplyRecoveryAtStart()
{
    auto change = Advapi32Function<ChangeServiceConfig2Function>("ChangeServiceConfig2A");
    auto query = Advapi32Function<QueryServiceConfig2Function>("QueryServiceConfig2A");
    if (!change || !query) {
        TraceDebug(ServiceName, "Recovery settings at start: not on this Windows");
        return;
    }
    qel::UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    // Restart actions may be set only through a handle that may also start
    // the service.
    qel::UniqueServiceHandle service(
        manager ? OpenServiceA(manager.get(), ServiceName, SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG | SERVICE_START)
                : nullptr);
    if (!service) {
        TraceDebug(ServiceName, "Recovery settings at start: no access (error %lu)",
                   static_cast<unsigned long>(GetLastError()));
        return;
    }
    RecoveryAtStart done = ApplyServiceRecoveryAtStart(service.get(), query, change);
    TraceDebug(ServiceName, "Recovery settings at start: failure actions %s, stop time at shutdown %s",
               !done.ActionsRead ? "not readable (left as they are)"
                                 : done.ActionsApplied ? "applied" : "kept as set",
               done.PreshutdownRaised ? "raised" : "kept");
}

void CNTService::ReportStatusLocked()
{
    if (StatusHandle)
        SetServiceStatus(StatusHandle, &Status);
}

void CNTService::ReportStopProgress()
{
    qel::CriticalSectionLock hold(StatusLock);
    // Only while stop-pending: after the final report nothing may follow.
    if (Status.dwCurrentState != SERVICE_STOP_PENDING)
        return;
    ++Status.dwCheckPoint;
    Status.dwWaitHint = STOP_PROGRESS_HINT_MS;
    ReportStatusLocked();
}

bool CNTService::WaitStopWork(DWORD timeoutMs)
{
    return !StopWork || WaitForSingleObject(StopWork.get(), timeoutMs) != WAIT_TIMEOUT;
}

void CNTService::DoStopWork()
{
    if (StopIsShutdown) {
        OnShutdown();
    } else {
        OnStop();
        Running = FALSE;
    }
    ReportServiceEvent(EVENTLOG_INFORMATION_TYPE, EVMSG_STOPPED);
}

DWORD WINAPI CNTService::StopWorkThread(LPVOID self)
{
    static_cast<CNTService*>(self)->DoStopWork();
    return 0;
}

void CNTService::BeginStop(bool shutdown)
{
    TraceStatus(SERVICE_STOP_PENDING);
    {
        qel::CriticalSectionLock hold(StatusLock);
        // Once Run has returned the stopped report is on its way: a stop
        // request then must not turn the state back to stop-pending.
        if (RunEnded || FinalReported)
            return;
        // A stop already under way (a shutdown after a stop, or after the
        // pre-shutdown control) carries on; the handler restates the state.
        if (!WaitStopWork(0))
            return;
        Status.dwWaitHint = StopWaitHint;
        Status.dwCheckPoint = 1;
        SetStatusLocked(SERVICE_STOP_PENDING);
        StopIsShutdown = shutdown;
        StopWork = qel::StartThread(StopWorkThread, this);
        if (StopWork)
            return;
    }
    // No thread: stop here, the way it has to be done without one.
    TraceDebug(ServiceName, "No stop thread (error %lu): stopping in the handler",
               static_cast<unsigned long>(GetLastError()));
    DoStopWork();
}

BOOL CNTService::Initialize()
{
    TraceDebug(ServiceName, "Entering CNTService::Initialize()");
    SetStatus(SERVICE_START_PENDING);
    BOOL initialised = OnInit();
    SetExitCode(GetLastError());
    Status.dwCheckPoint = 0;
    Status.dwWaitHint = 0;
    if (!initialised) {
        // SERVICE_STOPPED, with this exit code, follows once, from FinishRun.
        ReportServiceEvent(EVENTLOG_ERROR_TYPE, EVMSG_FAILEDINIT);
        return FALSE;
    }
    ReportServiceEvent(EVENTLOG_INFORMATION_TYPE, EVMSG_STARTED);
    SetStatus(SERVICE_RUNNING);
    TraceDebug(ServiceName, "Leaving CNTService::Initialize()");
    return TRUE;
}

void WINAPI CNTService::ServiceMain(DWORD /*argc*/, LPSTR* /*argv*/)
{
    CNTService* service = Instance;
    if (!service)
        return;
    TraceDebug(service->ServiceName, "Entering CNTService::ServiceMain()");
    service->Status.dwCurrentState = SERVICE_START_PENDING;
    // RegisterServiceCtrlHandlerExA exists from Windows 2000 on; NT 4.0 has
    // only the plain handler, and no pre-shutdown control to send.
    auto registerEx = Advapi32Function<RegisterHandlerExFunction>("RegisterServiceCtrlHandlerExA");
    if (registerEx)
        service->StatusHandle = registerEx(service->ServiceName, HandlerEx, nullptr);
    else
        service->StatusHandle = RegisterServiceCtrlHandlerA(service->ServiceName, Handler);
    DWORD version = GetVersion();
    service->Status.dwControlsAccepted =
        ControlsAcceptedFor((version & 0x80000000u) != 0, LOBYTE(LOWORD(version)), registerEx != nullptr);
    if (!service->StatusHandle) {
        service->ReportServiceEvent(EVENTLOG_ERROR_TYPE, EVMSG_CTRLHANDLERNOTINSTALLED);
        return;
    }
    // Before the initialisation, which may refuse to run: the restart after
    // that failure needs these settings already.
    service->ApplyRecoveryAtStart();
    if (service->Initialize()) {
        service->Running = TRUE;
        service->Status.dwWin32ExitCode = 0;
        service->Status.dwCheckPoint = 0;
        service->Status.dwWaitHint = 0;
        service->Run();
    }
    service->FinishRun();
    TraceDebug(service->ServiceName, "Leaving CNTService::ServiceMain()");
}

void WINAPI CNTService::Handler(DWORD code)
{
    CNTService* service = Instance;
    if (!service)
        return;
    TraceDebug(service->ServiceName, "CNTService::Handler(%lu)", static_cast<unsigned long>(code));
    switch (code) {
    case SERVICE_CONTROL_STOP:
        service->BeginStop(false);
        break;
    case SERVICE_CONTROL_PAUSE:
        service->OnPause();
        break;
    case SERVICE_CONTROL_CONTINUE:
        service->OnContinue();
        break;
    case SERVICE_CONTROL_INTERROGATE:
        service->OnInterrogate();
        break;
    case SERVICE_CONTROL_SHUTDOWN:
    case SERVICE_CONTROL_PRESHUTDOWN:
        // Pre-shutdown comes first on Vista and later and waits while the
        // stop reports progress; the shutdown that may follow finds the
        // stop under way.
        service->BeginStop(true);
        break;
    default:
        if (code >= 128) {
            if (!service->OnUserControl(code))
                service->ReportServiceEvent(EVENTLOG_ERROR_TYPE, EVMSG_BADREQUEST);
        } else {
            service->ReportServiceEvent(EVENTLOG_ERROR_TYPE, EVMSG_BADREQUEST);
        }
        break;
    }
    TraceDebug(service->ServiceName, "Updating status (%lu, %lu)",
               static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(service->StatusHandle)),
               static_cast<unsigned long>(service->Status.dwCurrentState));
    qel::CriticalSectionLock hold(service->StatusLock);
    // After the final report the process may already be ending: nothing
    // more goes to the Service Control Manager.
    if (!service->FinalReported)
        service->ReportStatusLocked();
}

DWORD WINAPI CNTService::HandlerEx(DWORD code, DWORD /*eventType*/, LPVOID /*eventData*/, LPVOID /*context*/)
{
    Handler(code);
    return NO_ERROR;
}

void CNTService::ReportServiceEventStrings(WORD type, DWORD eventId, const char* const* strings, WORD count)
{
    // Events come from the run loop's thread and the stop thread alike: the
    // source is kept once, under the lock, but registered outside it (the
    // call may take its time, and the control handler waits for the lock).
    // Two threads that both found none keep the first and give back the
    // second.
    HANDLE source;
    {
        qel::CriticalSectionLock lock(StatusLock);
        source = EventSource.get();
    }
    if (!source) {
        qel::UniqueEventSource registered(RegisterEventSourceA(nullptr, ServiceName));
        qel::CriticalSectionLock lock(StatusLock);
        if (!EventSource)
            EventSource = std::move(registered);
        source = EventSource.get();
    }
    if (source)
        ReportEventA(source, type, 0, eventId, nullptr, count, 0, const_cast<const char**>(strings), nullptr);
}

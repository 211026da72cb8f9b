#include "supervisor_service.h"

#include <cstdio>

#include "affinity.h"
#include "event_sink.h"
#include "messages.h"

// Windows gives a stop at shutdown PRESHUTDOWN_TIMEOUT_MS (Vista and later):
// the longest stop the supervisor allows itself must end within it.
static_assert(static_cast<unsigned long long>(MAX_CLIENTS) * SupervisorTimings().StopWaitPerClientMs +
                      SupervisorTimings().StopProgressLimitMs <
                  PRESHUTDOWN_TIMEOUT_MS,
              "the pre-shutdown time must cover the longest bounded stop");

CSupervisorService::CSupervisorService() : CNTService(NT_SERVICE_NAME), Core(ServiceName)
{
    BuildAffinityTable(Core.AffinityTable);
    Core.SetLogPath();
    MajorVersion = 1;
    MinorVersion = 6;
    Core.SetVersion(MajorVersion, MinorVersion);
    Core.SetEventSink(ReportSupervisorEvent, static_cast<CNTService*>(this));
    Core.LoadParams(SettingsRules::NT);
    StopWaitHint = Core.Params.NumClients * 1500;
    if (!Core.CreateSyncObjects())
        SyncObjectsError = GetLastError();
}

CSupervisorService::~CSupervisorService() = default;

BOOL CSupervisorService::OnInit()
{
    CNTService::OnInit();
    if (!Core.StopEvent || !Core.StoppedEvent) {
        // Initialize reports this code as the service's exit code.
        SetLastError(SyncObjectsError ? SyncObjectsError : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // The service runs whenever it can have the settings mutex, whoever made
    // it: who holds it is decided by the run loop's wait.  It refuses only a
    // name it cannot open at all, with a failure code that lets Windows try
    // again later.
    qel::MutexTrust trust = qel::MutexTrust::Foreign;
    if (!Core.ClaimSettingsMutex(&trust)) {
        ReportSettingsMutexFailure(Core.SettingsMutexError, "it cannot be opened");
        SetLastError(Core.SettingsMutexError);
        return FALSE;
    }
    if (trust == qel::MutexTrust::Foreign)
        ReportServiceEvent(EVENTLOG_WARNING_TYPE, EVMSG_SETTINGSMUTEX_FOREIGN, SettingsMutexName());
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

void CSupervisorService::ReportSettingsMutexFailure(DWORD error, const char* what)
{
    char reason[96];
    snprintf(reason, sizeof reason, "%s (error %u).", what, static_cast<unsigned>(error));
    ReportServiceEvent(EVENTLOG_ERROR_TYPE, EVMSG_SETTINGSMUTEX, SettingsMutexName(), reason);
}

void CSupervisorService::Run()
{
    SupervisorCore::RunOutcome outcome = Core.Run();
    // A run that ended by itself (the settings mutex held or unusable) sets
    // no StoppedEvent; a stop that arrived meanwhile must not wait out its
    // whole bound for it.
    SetEvent(Core.StoppedEvent.get());
    // Not a normal end: the error code makes Windows count it as a failure
    // (and restart the service later where it can).
    if (outcome == SupervisorCore::RunOutcome::SettingsMutexBusy) {
        ReportServiceEvent(EVENTLOG_ERROR_TYPE, EVMSG_SETTINGSMUTEX, SettingsMutexName(),
                           "another program holds it.");
        // A stop asked for meanwhile has what it asked for: an error code
        // would have Windows start the service again.
        if (!Core.StopRequested)
            SetExitCode(EXIT_SUPERVISOR_RUNNING);
    } else if (outcome == SupervisorCore::RunOutcome::SettingsMutexFailed) {
        ReportSettingsMutexFailure(Core.SettingsMutexError, "it cannot be waited on");
        SetExitCode(Core.SettingsMutexError);
    }
}

namespace {

void StopProgressTick(void* service)
{
    static_cast<CNTService*>(service)->ReportStopProgress();
}

} // namespace

void CSupervisorService::OnStop()
{
    if (Core.StopAndWait(Running, StopProgressTick, static_cast<CNTService*>(this)))
        return;
    // A run that has ended meanwhile reports its own stop: nothing is forced.
    if (!ClaimForcedEnd())
        return;
    // Every client stop is bounded, so this is a run loop that cannot end.
    // The process ends instead (its clients with it, through their job), so
    // that the service can be started again.  The stop was asked for and
    // happens: it is reported without an error, and the log and the event
    // say that it was forced.
    unsigned limitSeconds = static_cast<unsigned>(Core.Timings.StopProgressLimitMs / 1000);
    WriteLog(Core, "Stop still unfinished after %u more seconds: ending the service process", limitSeconds);
    char seconds[16];
    snprintf(seconds, sizeof seconds, "%u", limitSeconds);
    ReportServiceEvent(EVENTLOG_WARNING_TYPE, EVMSG_STOP_FORCED, seconds);
    EndUnfinishedStop();
}

void CSupervisorService::OnShutdown()
{
    WriteLog(Core, "Service Shutdown");
    OnStop();
}

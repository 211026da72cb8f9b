#include "supervisor_service.h"

#include "affinity.h"
#include "event_sink.h"
#include "messages.h"

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
    SyncObjectsReady = Core.CreateSyncObjects();
    if (!SyncObjectsReady)
        SyncObjectsError = GetLastError();
}

CSupervisorService::~CSupervisorService() = default;

BOOL CSupervisorService::OnInit()
{
    CNTService::OnInit();
    if (!SyncObjectsReady) {
        // Initialize reports this code as the service's exit code.
        SetLastError(SyncObjectsError ? SyncObjectsError : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // A settings mutex made by another account while the service was down
    // could be held to keep it from running, or released behind its back:
    // the safest is not to run at all, and to say why.  The failure code
    // lets Windows try again later (the name goes when its maker ends).
    if (Core.CheckSettingsMutex() == qel::MutexTrust::Foreign) {
        WriteLog(Core, "Settings mutex %s belongs to another account...abort", SettingsMutexName());
        ReportServiceEvent(EVENTLOG_ERROR_TYPE, EVMSG_SETTINGSMUTEX, SettingsMutexName(),
                           "another account made it (only SYSTEM and Administrators may).");
        SetLastError(EXIT_SETTINGS_MUTEX_FOREIGN);
        return FALSE;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

void CSupervisorService::Run()
{
    SupervisorCore::RunOutcome outcome = Core.Run();
    // A run that ended by itself (another supervisor holds the mutex) sets
    // no StoppedEvent; a stop that arrived meanwhile must not wait out its
    // whole bound for it.
    SetEvent(Core.StoppedEvent.get());
    if (outcome == SupervisorCore::RunOutcome::SettingsMutexBusy) {
        // Not a normal end: the error code makes Windows count it as a
        // failure (and restart the service later where it can).
        ReportServiceEvent(EVENTLOG_ERROR_TYPE, EVMSG_SETTINGSMUTEX, SettingsMutexName(),
                           "another program holds it.");
        SetExitCode(EXIT_SUPERVISOR_RUNNING);
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
    // Every client stop is bounded, so this is a run loop that cannot end.
    // The process ends instead (its clients with it, through their job), so
    // that the service can be started again.
    WriteLog(Core, "Stop still unfinished after %u more seconds: ending the service process",
             static_cast<unsigned>(Core.Timings.StopProgressLimitMs / 1000));
    EndUnfinishedStop(EXIT_STOP_UNFINISHED);
}

void CSupervisorService::OnShutdown()
{
    WriteLog(Core, "Service Shutdown");
    OnStop();
}

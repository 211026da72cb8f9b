#include "supervisor_service.h"

#include "affinity.h"
#include "event_sink.h"

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
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

void CSupervisorService::Run()
{
    Core.Run();
    // A run that ended by itself (another supervisor holds the mutex) sets
    // no StoppedEvent; a stop that arrived meanwhile must not wait out its
    // whole bound for it.
    SetEvent(Core.StoppedEvent.get());
}

namespace {

void StopProgressTick(void* service)
{
    static_cast<CNTService*>(service)->ReportStopProgress();
}

} // namespace

void CSupervisorService::OnStop()
{
    Core.StopAndWait(Running, StopProgressTick, static_cast<CNTService*>(this));
}

void CSupervisorService::OnShutdown()
{
    WriteLog(Core, "Service Shutdown");
    OnStop();
}

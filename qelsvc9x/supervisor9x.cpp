#include "supervisor9x.h"

#include "affinity.h"
#include "windows_family.h"

C9xSupervisorService::C9xSupervisorService() : C9xService(SERVICE_9X_NAME), Core(ServiceName)
{
    InitializeCriticalSection(&PassLock);
    // Off the 9x family (the program started on NT, 2000 or XP) masks are
    // applied, and a settings key that cannot be opened leaves one client
    // per processor: every client then needs a defined mask, so the table is
    // built in full, exactly as the NT service builds it.
    if (qel::IsWindows9xFamily())
        BuildAffinityTable9x(Core.AffinityTable);
    else
        BuildAffinityTable(Core.AffinityTable);
    Core.SetLogPath();
    MajorVersion = 1;
    MinorVersion = 6;
    // No event sink: the 9x family has no event log.
    Core.SetVersion(MajorVersion, MinorVersion);
    Core.LoadParams(SettingsRules::Windows9x);
    SyncObjectsReady = Core.CreateSyncObjects();
}

C9xSupervisorService::~C9xSupervisorService()
{
    DeleteCriticalSection(&PassLock);
}

void C9xSupervisorService::Run()
{
    SupervisorCore::RunOutcome outcome = Core.Run();
    if (outcome == SupervisorCore::RunOutcome::SettingsMutexFailed) {
        // The pass has said why it cannot run; trying again at once would
        // only repeat that.  A request (stop, or restart: another try) ends
        // the wait.
        WaitForSingleObject(Core.StopEvent.get(), INFINITE);
        return;
    }
    if (outcome != SupervisorCore::RunOutcome::SettingsMutexBusy)
        return;
    // Another supervisor holds the settings mutex, and the pass has said so
    // once.  Trying again every few seconds would repeat that line for as
    // long as the other one runs (megabytes a day), so this copy now waits
    // without a word: for the mutex, and then supervises in its turn, or for
    // a request (a stop, or a restart, which runs the pass again).
    HANDLE handles[2] = {Core.StopEvent.get(), Core.SettingsMutex.get()};
    DWORD woken = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
    if (woken != WAIT_OBJECT_0 + 1 && woken != WAIT_ABANDONED_0 + 1) {
        // A failed wait must not turn the run-again loop into a spin.
        if (woken == WAIT_FAILED)
            Sleep(Core.Timings.MutexWaitMs);
        return;
    }
    // Kept across the pass, which takes the mutex again at once (a mutex is
    // recursive for its owner): nobody can slip in between.
    qel::MutexHold hold(Core.SettingsMutex.get());
    Core.Run();
}

void C9xSupervisorService::OnStop()
{
    // Held across the wait for StoppedEvent: the loop cannot prepare its
    // next pass (Running = 1) until Running = 0 of this stop is written, so
    // a later stop always finds Running set.
    qel::CriticalSectionLock hold(PassLock);
    Core.StopAndWait(Running);
}

void C9xSupervisorService::OnShutdown()
{
    WriteLog(Core, "Service Shutdown");
    OnStop();
}

void C9xSupervisorService::RunUntilQuit()
{
    // The running copy claims the settings mutex as the service does (on the
    // NT family a copy without administrator rights may have found none).
    qel::MutexTrust trust = qel::MutexTrust::Foreign;
    if (!Core.StopEvent || !Core.StoppedEvent || !Core.ClaimSettingsMutex(&trust)) {
        TraceDebug(ServiceName, "Supervisor not started: events or mutex missing");
        return;
    }
    for (;;) {
        {
            qel::CriticalSectionLock hold(PassLock);
            if (QuitRequested)
                break;
            Core.StopRequested = 0;
            Running = TRUE;
            ResetEvent(Core.StopEvent.get());
            ResetEvent(Core.StoppedEvent.get());
        }
        Run();
        // The pass is over: its clients are stopped, or it started none
        // because another supervisor holds the mutex.  Signalling that here
        // lets a stop that reached a pass ending by itself return at once
        // instead of holding PassLock until its time-out.
        SetEvent(Core.StoppedEvent.get());
    }
}

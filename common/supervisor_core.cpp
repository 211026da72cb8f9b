#include "supervisor_core.h"

#include "settings.h"

SupervisorCore::SupervisorCore(const char* serviceName)
{
    ServiceName = serviceName;
}

void SupervisorCore::SetLogPath()
{
    PathBesideExecutable(LogPath, sizeof LogPath, "qelsvc.log");
}

void SupervisorCore::LoadParams(SettingsRules rules)
{
    ::LoadParams(Params, *this, rules);
}

void SupervisorCore::SaveParams() const
{
    ::SaveParams(Params, SettingsMutex.get());
}

bool SupervisorCore::CreateSyncObjects()
{
    StopEvent.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    StoppedEvent.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    // An existing mutex (a running supervisor, a console command) is opened
    // as it is; who owns it is decided later, by waiting.
    SettingsMutex.reset(CreateMutexA(nullptr, FALSE, SETTINGS_MUTEX_NAME));
    StopRequested = 0;
    KeepVisibleRestart = 0;
    QueueEventPending = 0;
    TrayWindow = nullptr;
    return StopEvent && StoppedEvent && SettingsMutex;
}

void SupervisorCore::StopAndWait(volatile BOOL& running)
{
    StopRequested = 1;
    if (!running)
        return;
    SetEvent(StopEvent.get());
    DWORD waitMs = Params.NumClients * Timings.StopWaitPerClientMs;
    if (WaitForSingleObject(StoppedEvent.get(), waitMs) == WAIT_TIMEOUT)
        WriteLog(*this, "Timeout on client stop");
    running = FALSE;
    WriteLog(*this, "Service Stopped");
}

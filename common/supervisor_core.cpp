#include "supervisor_core.h"

#include <cstdio>
#include <utility>

#include "settings.h"

const char* SettingsMutexName()
{
    return MachineWideNamesApply() ? GLOBAL_SETTINGS_MUTEX_NAME : SETTINGS_MUTEX_NAME;
}

SupervisorCore::SupervisorCore(const char* serviceName)
{
    ServiceName = serviceName;
}

void SupervisorCore::SetVersion(int major, int minor)
{
    snprintf(Version, sizeof Version, "%d.%d", major, minor);
}

void SupervisorCore::SetLogPath()
{
    PathBesideExecutable(LogPath, sizeof LogPath, "qelsvc.log");
}

void SupervisorCore::LoadParams(SettingsRules rules)
{
    ::LoadParams(Params, *this, rules);
}

DWORD SupervisorCore::SaveParams() const
{
    return ::SaveParams(Params, SettingsMutex.get());
}

bool SupervisorCore::CreateSyncObjects()
{
    StopEvent.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    StoppedEvent.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    // An existing mutex (a running supervisor, a console command) is opened
    // as it is; who holds it is decided later, by waiting.
    SettingsMutex.reset(qel::OpenGuardedMutex(SettingsMutexName()));
    if (!SettingsMutex && GetLastError() == ERROR_FILE_NOT_FOUND)
        SettingsMutex.reset(CreateMutexA(nullptr, FALSE, nullptr));
    StopRequested = 0;
    KeepVisibleRestart = 0;
    QueueEventPending = 0;
    TrayWindow = nullptr;
    return StopEvent && StoppedEvent && SettingsMutex;
}

bool SupervisorCore::ClaimSettingsMutex(qel::MutexTrust* trust)
{
    const char* name = SettingsMutexName();
    qel::UniqueHandle claimed(qel::CreateGuardedMutex(name, trust));
    if (!claimed) {
        SettingsMutexError = GetLastError();
        if (SettingsMutexError == ERROR_SUCCESS)
            SettingsMutexError = ERROR_INVALID_HANDLE;
        WriteLog(*this, "Settings mutex %s cannot be used (error %u)...abort", name,
                 static_cast<unsigned>(SettingsMutexError));
        return false;
    }
    // Replaces the console's handle (the same object, or a stand-in).
    SettingsMutex = std::move(claimed);
    // Someone ran a command without administrator rights while no
    // supervisor ran, or another program took the name: neither is a reason
    // to leave the clients unsupervised.  Whoever holds the mutex (a second
    // supervisor, or a squatter) still keeps this one from running.
    if (*trust == qel::MutexTrust::Foreign)
        WriteLog(*this, "Settings mutex %s was made by another account - used all the same", name);
    return true;
}

bool SupervisorCore::StopAndWait(volatile BOOL& running, StopProgressCallback progress, void* progressContext)
{
    StopRequested = 1;
    if (!running)
        return true;
    SetEvent(StopEvent.get());
    // 64 bits: a count beyond the client slots must not wrap the bound.
    ULONGLONG bound = static_cast<ULONGLONG>(Params.NumClients) * Timings.StopWaitPerClientMs;
    DWORD waitMs = bound > 0xFFFFFFFEull ? 0xFFFFFFFEu : static_cast<DWORD>(bound);
    DWORD waited = WAIT_TIMEOUT;
    if (!progress) {
        waited = WaitForSingleObject(StoppedEvent.get(), waitMs);
    } else {
        DWORD left = waitMs;
        for (;;) {
            DWORD slice = left < STOP_PROGRESS_STEP_MS ? left : STOP_PROGRESS_STEP_MS;
            waited = WaitForSingleObject(StoppedEvent.get(), slice);
            left -= slice;
            if (waited != WAIT_TIMEOUT || left == 0)
                break;
            progress(progressContext);
        }
    }
    if (waited == WAIT_TIMEOUT)
        WriteLog(*this, "Timeout on client stop");
    running = FALSE;
    WriteLog(*this, "Service Stopped");
    // The bound above can be shorter than one client's own stop (a copy that
    // hangs takes up to about 15 s, whatever the client count): progress is
    // still reported until the clients really are stopped, so that Windows
    // is not told the stop hangs while it is only slow.  Every client stop
    // is bounded; the limit only guards against a run that never ends.
    if (progress && waited == WAIT_TIMEOUT) {
        for (DWORD spent = 0; spent < Timings.StopProgressLimitMs; spent += STOP_PROGRESS_STEP_MS) {
            DWORD slice = Timings.StopProgressLimitMs - spent;
            if (slice > STOP_PROGRESS_STEP_MS)
                slice = STOP_PROGRESS_STEP_MS;
            waited = WaitForSingleObject(StoppedEvent.get(), slice);
            if (waited != WAIT_TIMEOUT)
                break;
            progress(progressContext);
        }
        // Clients that ended during the last slice (its progress report
        // took a moment too) made a normal stop: one more look before the
        // caller ends anything by force.
        if (waited == WAIT_TIMEOUT)
            waited = WaitForSingleObject(StoppedEvent.get(), 0);
    }
    return waited != WAIT_TIMEOUT;
}

// The supervisor as an NT service: the framework's hooks drive the shared
// supervision core.
#pragma once

#include "nt_service.h"
#include "supervisor_core.h"

constexpr const char NT_SERVICE_NAME[] = "Korvane service";

// Exit codes (of the service, and of the program) when it could not do its
// work.  Non-zero, so that Windows counts the service's end as a failure and
// scripts see a refused command.
// Another supervisor holds the settings mutex (the service at start, -w).
constexpr DWORD EXIT_SUPERVISOR_RUNNING = ERROR_SERVICE_ALREADY_RUNNING;
// A settings mutex it cannot open or wait on ends the service with the
// system's error code for it.

class CSupervisorService : public CNTService {
public:
    CSupervisorService();
    ~CSupervisorService() override;

    // The supervisor run loop, on the service thread.
    void Run() override;
    BOOL OnInit() override;
    // On the framework's stop thread: re-reports stop-pending with a new
    // checkpoint every second while the clients stop.
    void OnStop() override;
    void OnShutdown() override;

    // The console configuration commands; 1 when the argument was handled
    // (the program ends), 0 when the service dispatcher is to run.  A command
    // whose save failed prints why, returns 1 and leaves the code in
    // CommandError, the program's exit code.
    virtual int HandleConfigCommand(int argc, char** argv);
    DWORD CommandError = ERROR_SUCCESS;

    SupervisorCore Core;
    // Why an event or the mutex could not be created as a console needs
    // them (0: all were).  The service refuses to start without its events;
    // the mutex it claims for itself at its start.
    DWORD SyncObjectsError = 0;

private:
    // Event 109 for a settings mutex that cannot be used.
    void ReportSettingsMutexFailure(DWORD error, const char* what);
};

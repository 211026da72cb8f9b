// The supervisor as an NT service: the framework's hooks drive the shared
// supervision core.
#pragma once

#include "nt_service.h"
#include "supervisor_core.h"

constexpr const char NT_SERVICE_NAME[] = "Korvane service";

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
    // False when an event or the mutex could not be created: the service
    // then refuses to start instead of running on a null handle.
    bool SyncObjectsReady = false;
    DWORD SyncObjectsError = 0;
};

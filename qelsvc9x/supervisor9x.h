// The supervisor on Windows 9x: the shared supervision core on top of the 9x
// framework.  One object per process, a local of WinMain.
#pragma once

#include "service9x.h"
#include "supervisor_core.h"

constexpr const char SERVICE_9X_NAME[] = "Korvane 9x service";

class C9xSupervisorService : public C9xService {
public:
    C9xSupervisorService();
    ~C9xSupervisorService() override;

    // One pass of the supervisor run loop.  When another supervisor holds
    // the settings mutex, the pass says so once and then waits quietly for
    // the mutex (and supervises) or for a request (and returns).
    void Run() override;
    // Stops the current pass: called on the control thread for a stop or a
    // restart request; returns when the clients have stopped or its wait ran
    // out.
    void OnStop() override;
    void OnShutdown() override;
    // The 9x configuration commands; 1 when the entry is to show the
    // parameters box, 0 when nothing is shown.
    virtual int HandleConfigCommand(int argc, char** argv);
    // The code of a save that failed (ERROR_SUCCESS otherwise): the entry
    // then shows the failure instead of the settings and ends with the code.
    DWORD CommandError = ERROR_SUCCESS;

    // The running copy: runs the supervisor again and again until a stop
    // request sets QuitRequested.
    void RunUntilQuit();

    SupervisorCore Core;
    // False when an event or the mutex could not be created: this copy then
    // runs no supervisor.
    bool SyncObjectsReady = false;

private:
    // Orders OnStop (control thread) against the preparation of the next pass
    // (entry's thread): OnStop holds it for its whole run, the loop takes it
    // to test QuitRequested and to set Running for the next pass.
    CRITICAL_SECTION PassLock;
};

// The Windows 9x service framework.  Windows 95, 98 and Me have no Service
// Control Manager: the program starts with the system through the RunServices
// key and runs as an ordinary windowless process; copies of it talk to each
// other through a hidden control window (control_window.h).
#pragma once

#include <windows.h>

#include <cstddef>

constexpr const char RUN_SERVICES_KEY[] = "Software\\Microsoft\\Windows\\CurrentVersion\\RunServices";
constexpr const char ACK_MESSAGE_NAME[] = "9xSvcAck";
constexpr const char REQUEST_MESSAGE_NAME[] = "9xSvcReq";
constexpr size_t BOX_TEXT_SIZE = 1024;

class C9xService {
public:
    explicit C9xService(const char* serviceName);
    virtual ~C9xService();
    C9xService(const C9xService&) = delete;
    C9xService& operator=(const C9xService&) = delete;

    // Default work: sleeps while Running is set.  The supervisor overrides it.
    virtual void Run();
    // Default stop: clears Running.  The supervisor overrides it.
    virtual void OnStop();
    // The system is shutting down (not a logoff): by default a stop.
    virtual void OnShutdown();

    // Tells Windows 95, 98 and Me that this process is a service process,
    // so that a logoff does not close it (a RunServices program that does not
    // is ended at the first logoff).  RegisterServiceProcess exists only in
    // the 9x family's kernel32, so it is bound by name; false where it is
    // missing (the NT family) or refused.
    bool RegisterAsServiceProcess();

    // The RunServices value named after ServiceName.
    bool QueryInstalled();
    bool InstallService();
    bool RemoveService();

    // -v, -i and -u, each answered in a message box; 1 when handled.
    int HandleStandardCommand(int argc, char** argv);
    // The box of a failed -i or -u: format takes the service name and the
    // error code (GetLastError), which also becomes CommandExitCode.
    void ShowFailure(const char* caption, const char* format);

    char ServiceName[64];
    int MajorVersion = 1;
    int MinorVersion = 6;
    // Written by one thread and read by another without a lock; BOOL so the
    // shared supervisor stop (SupervisorCore::StopAndWait) can clear it.
    volatile BOOL Running = FALSE;
    // Set by -v, -u and -d: the entry then asks no running copy to restart.
    volatile LONG SkipRestartRequest = 0;
    // A command that did not do its work (a failed -i or -u, a refused -w)
    // ends the program with this code, so that a script sees it; its box, if
    // any, says what happened.
    DWORD CommandExitCode = ERROR_SUCCESS;
    UINT AckMessage = 0;
    UINT RequestMessage = 0;
    // Set by a stop request; ends the running copy's run-again loop.
    volatile LONG QuitRequested = 0;
};

// The data stored in the RunServices value for the executable at modulePath:
// quoted when the path holds a blank, since the system splits an unquoted
// command line at the first blank it can take for a program
// ("C:\Program Files\..." would start "C:\Program.exe").  False when the
// result does not fit.
bool FormatRunServicesCommand(char* out, size_t outSize, const char* modulePath);

// The NT service framework: one service in its own process, installed,
// removed and described from the command line, run under the Service Control
// Manager.  A derived class gives it its work through the virtual operations.
#pragma once

#include <windows.h>

#include "win_handles.h"

class CNTService {
public:
    explicit CNTService(const char* serviceName);
    virtual ~CNTService();
    CNTService(const CNTService&) = delete;
    CNTService& operator=(const CNTService&) = delete;

    virtual void Run();
    virtual BOOL OnInit();
    virtual void OnStop();
    virtual void OnInterrogate();
    virtual void OnPause();
    virtual void OnContinue();
    virtual void OnShutdown();
    virtual BOOL OnUserControl(DWORD code);

    BOOL QueryInstalled();
    BOOL InstallService();
    BOOL RemoveService();
    void ReportServiceEvent(WORD type, DWORD eventId, const char* s1 = nullptr,
                            const char* s2 = nullptr, const char* s3 = nullptr);
    BOOL HandleStandardCommand(int argc, char** argv);
    BOOL RunDispatcher();
    void SetStatus(DWORD state);
    BOOL Initialize();

    static void WINAPI ServiceMain(DWORD argc, LPSTR* argv);
    static void WINAPI Handler(DWORD code);

    // The one service object of the process; the system's callbacks reach it
    // through this pointer.
    static CNTService* Instance;

    char ServiceName[64];
    int MajorVersion = 1;
    int MinorVersion = 0;
    SERVICE_STATUS_HANDLE StatusHandle = nullptr;
    SERVICE_STATUS Status;
    volatile BOOL Running = FALSE;
    DWORD StopWaitHint = 0;
    qel::UniqueEventSource EventSource;
};

// "SYSTEM\CurrentControlSet\Services\EventLog\Application\" + the name.
constexpr const char EVENT_LOG_KEY_PREFIX[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

// The service's executable path as registered with the Service Control
// Manager: quoted, so that a path with blanks cannot be taken for a shorter
// program ("C:\Program.exe").  Cut to fit; returns false when it cannot.
bool QuoteServicePath(char* out, size_t outSize, const char* modulePath);

#include "nt_service.h"

#include <cstdio>
#include <cstring>

#include "activity_log.h"
#include "messages.h"

CNTService* CNTService::Instance = nullptr;

namespace {

void CopyName(char (&out)[64], const char* name)
{
    snprintf(out, sizeof out, "%s", name ? name : "");
}

} // namespace

bool QuoteServicePath(char* out, size_t outSize, const char* modulePath)
{
    int written = snprintf(out, outSize, "\"%s\"", modulePath);
    return written > 0 && static_cast<size_t>(written) < outSize;
}

CNTService::CNTService(const char* serviceName)
{
    CopyName(ServiceName, serviceName);
    memset(&Status, 0, sizeof Status);
    Status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    Status.dwCurrentState = SERVICE_STOPPED;
    Status.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
    Instance = this;
}

CNTService::~CNTService()
{
    TraceDebug(ServiceName, "CNTService::~CNTService()");
    EventSource.reset();
    if (Instance == this)
        Instance = nullptr;
}

void CNTService::Run()
{
    TraceDebug(ServiceName, "Entering CNTService::Run()");
    while (Running) {
        TraceDebug(ServiceName, "Sleeping...");
        Sleep(5000);
    }
    TraceDebug(ServiceName, "Leaving CNTService::Run()");
}

BOOL CNTService::OnInit()
{
    TraceDebug(ServiceName, "CNTService::OnInit()");
    return TRUE;
}

void CNTService::OnStop() { TraceDebug(ServiceName, "CNTService::OnStop()"); }
void CNTService::OnInterrogate() { TraceDebug(ServiceName, "CNTService::OnInterrogate()"); }
void CNTService::OnPause() { TraceDebug(ServiceName, "CNTService::OnPause()"); }
void CNTService::OnContinue() { TraceDebug(ServiceName, "CNTService::OnContinue()"); }
void CNTService::OnShutdown() { TraceDebug(ServiceName, "CNTService::OnShutdown()"); }

BOOL CNTService::OnUserControl(DWORD code)
{
    TraceDebug(ServiceName, "CNTService::OnUserControl(%8.8lXH)", static_cast<unsigned long>(code));
    return FALSE;
}

BOOL CNTService::QueryInstalled()
{
    qel::UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager)
        return FALSE;
    qel::UniqueServiceHandle service(OpenServiceA(manager.get(), ServiceName, SERVICE_QUERY_CONFIG));
    return service ? TRUE : FALSE;
}

BOOL CNTService::InstallService()
{
    qel::UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager)
        return FALSE;

    char modulePath[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, modulePath, MAX_PATH);
    modulePath[MAX_PATH - 1] = '\0';

    // Registered quoted: an unquoted path with a blank lets Windows try a
    // shorter program name first, a privilege hole for a LocalSystem service.
    char binaryPath[MAX_PATH + 2];
    if (!QuoteServicePath(binaryPath, sizeof binaryPath, modulePath)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return FALSE;
    }

    qel::UniqueServiceHandle service(CreateServiceA(
        manager.get(), ServiceName, ServiceName, SERVICE_ALL_ACCESS,
        SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS, SERVICE_AUTO_START,
        SERVICE_ERROR_NORMAL, binaryPath, nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!service)
        return FALSE;

    char keyPath[256];
    snprintf(keyPath, sizeof keyPath, "%s%s", EVENT_LOG_KEY_PREFIX, ServiceName);
    qel::UniqueRegKey key;
    if (RegCreateKeyA(HKEY_LOCAL_MACHINE, keyPath, key.put()) != ERROR_SUCCESS)
        return FALSE;

    RegSetValueExA(key.get(), "EventMessageFile", 0, REG_EXPAND_SZ,
                   reinterpret_cast<const BYTE*>(modulePath), static_cast<DWORD>(strlen(modulePath) + 1));
    DWORD typesSupported = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    RegSetValueExA(key.get(), "TypesSupported", 0, REG_DWORD,
                   reinterpret_cast<const BYTE*>(&typesSupported), sizeof typesSupported);
    key.reset();

    ReportServiceEvent(EVENTLOG_INFORMATION_TYPE, EVMSG_INSTALLED, ServiceName);
    return TRUE;
}

BOOL CNTService::RemoveService()
{
    qel::UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager)
        return FALSE;
    qel::UniqueServiceHandle service(OpenServiceA(manager.get(), ServiceName, DELETE));
    if (!service)
        return FALSE;
    if (DeleteService(service.get())) {
        ReportServiceEvent(EVENTLOG_INFORMATION_TYPE, EVMSG_REMOVED, ServiceName);
        return TRUE;
    }
    DWORD error = GetLastError();
    ReportServiceEvent(EVENTLOG_ERROR_TYPE, EVMSG_NOTREMOVED, ServiceName);
    SetLastError(error);
    return FALSE;
}

void CNTService::ReportServiceEvent(WORD type, DWORD eventId, const char* s1, const char* s2,
                                    const char* s3)
{
    if (!EventSource)
        EventSource.reset(RegisterEventSourceA(nullptr, ServiceName));
    if (!EventSource)
        return;

    const char* strings[3] = {s1, s2, s3};
    WORD count = 0;
    while (count < 3 && strings[count])
        ++count;
    ReportEventA(EventSource.get(), type, 0, eventId, nullptr, count, 0, strings, nullptr);
}

BOOL CNTService::HandleStandardCommand(int argc, char** argv)
{
    if (argc <= 1)
        return FALSE;
    const char* argument = argv[1];

    if (_stricmp(argument, "-v") == 0) {
        printf("%s Version %d.%d\n", ServiceName, MajorVersion, MinorVersion);
        printf("The service is %s installed\n", QueryInstalled() ? "currently" : "not");
        return TRUE;
    }
    if (_stricmp(argument, "-i") == 0) {
        if (QueryInstalled())
            printf("%s is already installed\n", ServiceName);
        else if (InstallService())
            printf("%s installed\n", ServiceName);
        else
            printf("%s failed to install. Error %d\n", ServiceName, static_cast<int>(GetLastError()));
        return TRUE;
    }
    if (_stricmp(argument, "-u") == 0) {
        if (!QueryInstalled()) {
            printf("%s is not installed\n", ServiceName);
        } else if (RemoveService()) {
            char modulePath[MAX_PATH] = {};
            GetModuleFileNameA(nullptr, modulePath, MAX_PATH);
            modulePath[MAX_PATH - 1] = '\0';
            printf("%s removed. (You must delete the file (%s) yourself.)\n", ServiceName, modulePath);
        } else {
            printf("Could not remove %s. Error %d\n", ServiceName, static_cast<int>(GetLastError()));
        }
        return TRUE;
    }
    return FALSE;
}

BOOL CNTService::RunDispatcher()
{
    SERVICE_TABLE_ENTRYA table[] = {
        {ServiceName, ServiceMain},
        {nullptr, nullptr},
    };
    TraceDebug(ServiceName, "Calling StartServiceCtrlDispatcher()");
    BOOL started = StartServiceCtrlDispatcherA(table);
    TraceDebug(ServiceName, "Returned from StartServiceCtrlDispatcher()");
    return started;
}

void CNTService::SetStatus(DWORD state)
{
    TraceDebug(ServiceName, "CNTService::SetStatus(%lu, %lu)",
               static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(StatusHandle)),
               static_cast<unsigned long>(state));
    Status.dwCurrentState = state;
    SetServiceStatus(StatusHandle, &Status);
}

BOOL CNTService::Initialize()
{
    TraceDebug(ServiceName, "Entering CNTService::Initialize()");
    SetStatus(SERVICE_START_PENDING);
    BOOL initialised = OnInit();
    Status.dwWin32ExitCode = GetLastError();
    Status.dwCheckPoint = 0;
    Status.dwWaitHint = 0;
    if (!initialised) {
        ReportServiceEvent(EVENTLOG_ERROR_TYPE, EVMSG_FAILEDINIT);
        SetStatus(SERVICE_STOPPED);
        return FALSE;
    }
    ReportServiceEvent(EVENTLOG_INFORMATION_TYPE, EVMSG_STARTED);
    SetStatus(SERVICE_RUNNING);
    TraceDebug(ServiceName, "Leaving CNTService::Initialize()");
    return TRUE;
}

void WINAPI CNTService::ServiceMain(DWORD /*argc*/, LPSTR* /*argv*/)
{
    CNTService* service = Instance;
    if (!service)
        return;
    TraceDebug(service->ServiceName, "Entering CNTService::ServiceMain()");
    service->Status.dwCurrentState = SERVICE_START_PENDING;
    service->StatusHandle = RegisterServiceCtrlHandlerA(service->ServiceName, Handler);
    if (!service->StatusHandle) {
        service->ReportServiceEvent(EVENTLOG_ERROR_TYPE, EVMSG_CTRLHANDLERNOTINSTALLED);
        return;
    }
    if (service->Initialize()) {
        service->Running = TRUE;
        service->Status.dwWin32ExitCode = 0;
        service->Status.dwCheckPoint = 0;
        service->Status.dwWaitHint = 0;
        service->Run();
    }
    service->SetStatus(SERVICE_STOPPED);
    TraceDebug(service->ServiceName, "Leaving CNTService::ServiceMain()");
}

void WINAPI CNTService::Handler(DWORD code)
{
    CNTService* service = Instance;
    if (!service)
        return;
    TraceDebug(service->ServiceName, "CNTService::Handler(%lu)", static_cast<unsigned long>(code));
    switch (code) {
    case SERVICE_CONTROL_STOP:
        service->Status.dwWaitHint = service->StopWaitHint;
        service->SetStatus(SERVICE_STOP_PENDING);
        service->OnStop();
        service->Running = FALSE;
        service->ReportServiceEvent(EVENTLOG_INFORMATION_TYPE, EVMSG_STOPPED);
        break;
    case SERVICE_CONTROL_PAUSE:
        service->OnPause();
        break;
    case SERVICE_CONTROL_CONTINUE:
        service->OnContinue();
        break;
    case SERVICE_CONTROL_INTERROGATE:
        service->OnInterrogate();
        break;
    case SERVICE_CONTROL_SHUTDOWN:
        service->Status.dwWaitHint = service->StopWaitHint;
        service->SetStatus(SERVICE_STOP_PENDING);
        service->OnShutdown();
        service->ReportServiceEvent(EVENTLOG_INFORMATION_TYPE, EVMSG_STOPPED);
        break;
    default:
        if (code >= 128) {
            if (!service->OnUserControl(code))
                service->ReportServiceEvent(EVENTLOG_ERROR_TYPE, EVMSG_BADREQUEST);
        } else {
            service->ReportServiceEvent(EVENTLOG_ERROR_TYPE, EVMSG_BADREQUEST);
        }
        break;
    }
    TraceDebug(service->ServiceName, "Updating status (%lu, %lu)",
               static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(service->StatusHandle)),
               static_cast<unsigned long>(service->Status.dwCurrentState));
    SetServiceStatus(service->StatusHandle, &service->Status);
}

#include "service_control.h"

#include "win_handles.h"

namespace {

qel::UniqueServiceHandle OpenNamedService(const char* serviceName, DWORD access)
{
    qel::UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager)
        return qel::UniqueServiceHandle();
    return qel::UniqueServiceHandle(OpenServiceA(manager.get(), serviceName, access));
}

} // namespace

DWORD QueryServiceState(const char* serviceName)
{
    qel::UniqueServiceHandle service = OpenNamedService(serviceName, SERVICE_QUERY_STATUS);
    SERVICE_STATUS status = {};
    if (!service || !QueryServiceStatus(service.get(), &status))
        return 0;
    return status.dwCurrentState;
}

bool WaitForServiceState(const char* serviceName, DWORD state, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    while (QueryServiceState(serviceName) != state) {
        if (GetTickCount() - start >= timeoutMs)
            return false;
        Sleep(50);
    }
    return true;
}

bool StartServiceByName(const char* serviceName)
{
    qel::UniqueServiceHandle service = OpenNamedService(serviceName, SERVICE_START);
    return service && StartServiceA(service.get(), 0, nullptr);
}

bool ControlServiceByName(const char* serviceName, DWORD control)
{
    qel::UniqueServiceHandle service =
        OpenNamedService(serviceName, SERVICE_STOP | SERVICE_USER_DEFINED_CONTROL | SERVICE_INTERROGATE);
    SERVICE_STATUS status = {};
    return service && ControlService(service.get(), control, &status);
}

void RemoveServiceIfPresent(const char* serviceName, DWORD timeoutMs)
{
    DWORD state = QueryServiceState(serviceName);
    if (state != 0 && state != SERVICE_STOPPED) {
        ControlServiceByName(serviceName, SERVICE_CONTROL_STOP);
        WaitForServiceState(serviceName, SERVICE_STOPPED, timeoutMs);
    }
    qel::UniqueServiceHandle service = OpenNamedService(serviceName, DELETE);
    if (service)
        DeleteService(service.get());
    service.reset();
    DWORD start = GetTickCount();
    while (QueryServiceState(serviceName) != 0 && GetTickCount() - start < timeoutMs)
        Sleep(50);
}

void MakeConsoleDispatcherFailFast()
{
    // Wine reads the pipe number from the default value of this key.
    qel::UniqueRegKey key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\ServiceCurrent", 0, nullptr, 0,
                        KEY_ALL_ACCESS, nullptr, key.put(), nullptr) != ERROR_SUCCESS)
        return;
    DWORD unusedPipeNumber = 0x7FFF0000;
    RegSetValueExA(key.get(), nullptr, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&unusedPipeNumber),
                   sizeof unusedPipeNumber);
}

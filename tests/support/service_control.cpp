#include "service_control.h"

#include "win_handles.h"

namespace qeltest {

namespace {

qel::UniqueServiceHandle OpenNamedService(const char* serviceName, DWORD access)
{
    qel::UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager)
        return qel::UniqueServiceHandle();
    return qel::UniqueServiceHandle(OpenServiceA(manager.get(), serviceName, access));
}

} // namespace

namespace {

SERVICE_STATUS QueryStatus(const char* serviceName)
{
    qel::UniqueServiceHandle service = OpenNamedService(serviceName, SERVICE_QUERY_STATUS);
    SERVICE_STATUS status = {};
    if (!service || !QueryServiceStatus(service.get(), &status))
        return SERVICE_STATUS{};
    return status;
}

} // namespace

DWORD QueryServiceState(const char* serviceName)
{
    return QueryStatus(serviceName).dwCurrentState;
}

DWORD QueryServiceControlsAccepted(const char* serviceName)
{
    return QueryStatus(serviceName).dwControlsAccepted;
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

bool WatchStopPending(const char* serviceName, DWORD timeoutMs, std::vector<DWORD>& checkpoints)
{
    qel::UniqueServiceHandle service = OpenNamedService(serviceName, SERVICE_QUERY_STATUS);
    for (DWORD start = GetTickCount(); service && GetTickCount() - start < timeoutMs; Sleep(50)) {
        SERVICE_STATUS status = {};
        if (!QueryServiceStatus(service.get(), &status))
            return false;
        if (status.dwCurrentState == SERVICE_STOPPED)
            return true;
        if (status.dwCurrentState == SERVICE_STOP_PENDING &&
            (checkpoints.empty() || checkpoints.back() != status.dwCheckPoint))
            checkpoints.push_back(status.dwCheckPoint);
    }
    return false;
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

namespace {

// Wine keeps the number in the default value of this key.
constexpr char SERVICE_CURRENT_KEY[] = "System\\CurrentControlSet\\Control\\ServiceCurrent";
constexpr const char* SERVICE_CURRENT_VALUE = nullptr;

} // namespace

FastDispatcherFailure::FastDispatcherFailure()
{
    qel::UniqueRegKey key;
    hadKey_ = RegOpenKeyExA(HKEY_LOCAL_MACHINE, SERVICE_CURRENT_KEY, 0, KEY_READ, key.put()) == ERROR_SUCCESS;
    key.reset();
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, SERVICE_CURRENT_KEY, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, key.put(), nullptr) != ERROR_SUCCESS)
        return;
    DWORD size = sizeof oldValue_;
    hadValue_ = RegQueryValueExA(key.get(), SERVICE_CURRENT_VALUE, nullptr, nullptr,
                                 reinterpret_cast<BYTE*>(&oldValue_), &size) == ERROR_SUCCESS;
    DWORD unused = 0x7FFF0000;
    RegSetValueExA(key.get(), SERVICE_CURRENT_VALUE, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&unused),
                   sizeof unused);
}

FastDispatcherFailure::~FastDispatcherFailure()
{
    if (!hadKey_) {
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, SERVICE_CURRENT_KEY);
        return;
    }
    qel::UniqueRegKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SERVICE_CURRENT_KEY, 0, KEY_ALL_ACCESS, key.put()) != ERROR_SUCCESS)
        return;
    if (hadValue_)
        RegSetValueExA(key.get(), SERVICE_CURRENT_VALUE, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&oldValue_),
                       sizeof oldValue_);
    else
        RegDeleteValueA(key.get(), SERVICE_CURRENT_VALUE);
}

} // namespace qeltest

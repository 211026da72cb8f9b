// Drives the real Service Control Manager from a test.
#pragma once

#include <windows.h>

#include <vector>

namespace qeltest {

// The service's current state, or 0 when it cannot be queried.
DWORD QueryServiceState(const char* serviceName);
// The controls the running service accepts (0 when it cannot be queried).
DWORD QueryServiceControlsAccepted(const char* serviceName);
bool WaitForServiceState(const char* serviceName, DWORD state, DWORD timeoutMs);
bool StartServiceByName(const char* serviceName);
// Polls the service's status every 50 ms until it is stopped (true) or
// timeoutMs ran out (false); `checkpoints` receives each distinct checkpoint
// reported while it was stop-pending, in the order seen.
bool WatchStopPending(const char* serviceName, DWORD timeoutMs, std::vector<DWORD>& checkpoints);
bool ControlServiceByName(const char* serviceName, DWORD control);
// Stops (when running) and deletes the service, waiting until it is gone.
void RemoveServiceIfPresent(const char* serviceName, DWORD timeoutMs);

// Sets HKLM\System\CurrentControlSet\Control\ServiceCurrent (the key's
// default value) to a number no service uses, so that
// StartServiceCtrlDispatcherA outside the Service Control Manager fails at
// once under Wine instead of after ~10 s; restores the old value on
// destruction.
class FastDispatcherFailure {
public:
    FastDispatcherFailure();
    ~FastDispatcherFailure();
    FastDispatcherFailure(const FastDispatcherFailure&) = delete;
    FastDispatcherFailure& operator=(const FastDispatcherFailure&) = delete;

private:
    bool hadKey_ = false;
    bool hadValue_ = false;
    DWORD oldValue_ = 0;
};

} // namespace qeltest

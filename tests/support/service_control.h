// Drives the real Service Control Manager from a test.
#pragma once

#include <windows.h>

// The service's current state, or 0 when it cannot be queried.
DWORD QueryServiceState(const char* serviceName);
bool WaitForServiceState(const char* serviceName, DWORD state, DWORD timeoutMs);
bool StartServiceByName(const char* serviceName);
bool ControlServiceByName(const char* serviceName, DWORD control);
// Stops (when running) and deletes the service, waiting until it is gone.
void RemoveServiceIfPresent(const char* serviceName, DWORD timeoutMs);

// Makes StartServiceCtrlDispatcherA fail at once from a console (Wine
// otherwise looks for its control pipe for about ten seconds).
void MakeConsoleDispatcherFailFast();

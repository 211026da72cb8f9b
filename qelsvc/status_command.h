// "qelsvc -l": what every client of the running service is doing, read
// from the status key, and the service's state from the Service Control
// Manager.
#pragma once

#include <windows.h>

#include <cstddef>

#include "status_store.h"

// How a state of the Service Control Manager counts for the exit code: a
// service that is starting, pausing or paused still runs; one that is
// stopping does not.
SupervisorRunState RunStateOfService(DWORD scmState);
const char* ServiceStateText(DWORD scmState);

// The service's line, at most 79 characters, for example "Korvane service:
// running (version 1.6, since 2026-12-07T20:10:03)"; writerRuns: the process that recorded the
// states still runs.
void FormatServiceLine(char* out, size_t outSize, const char* serviceName, const char* stateText,
                       SupervisorRunState runState, const StatusSnapshot& snapshot, bool writerRuns);

// Prints the listing and returns the exit code (0, 1, 3 or 4).
int ListStatusCommand(const char* serviceName);

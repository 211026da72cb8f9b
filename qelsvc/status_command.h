// "qelsvc -l": what every client of the running service is doing, read
// from the status key, and the service's state from the Service Control
// Manager, on this machine or on another one (Remote Registry and the
// remote Service Control Manager, with the caller's own rights).
//
// The status commands read and print, nothing else: no settings load, no
// log line, no named object.  A monitoring account that asks every minute
// must neither fill the log nor make the settings mutex before the service
// does.
#pragma once

#include <windows.h>

#include <cstddef>

#include "status_store.h"

// How a state of the Service Control Manager counts for the exit code: a
// service that is starting, pausing or paused still runs; one that is
// stopping does not.
SupervisorRunState RunStateOfService(DWORD scmState);
const char* ServiceStateText(DWORD scmState);

// Whether the process that recorded the states still runs: known only on
// this machine.
enum class WriterProcess { Runs, Ended, NotKnown };

// The service's line, at most 79 characters, for example "Korvane service:
// running (version 1.6, since 2026-12-07T20:10:03)".
void FormatServiceLine(char* out, size_t outSize, const char* serviceName, const char* stateText,
                       SupervisorRunState runState, const StatusSnapshot& snapshot, WriterProcess writer);

constexpr size_t MACHINE_NAME_SIZE = 256;
// The name a 9x machine's supervisor goes by.
constexpr const char SERVICE_9X_LABEL[] = "Korvane 9x service";

// What one machine told about itself.  Filled by QueryMachineStatus (or a
// test's stand-in); everything shown and decided is taken from it by the
// plain functions below.
struct MachineStatus {
    char Machine[MACHINE_NAME_SIZE] = {};  // "" for this machine
    // Connecting to its registry (remote only); the status key's own
    // opening is Snapshot.ReadError.
    LONG RegistryError = ERROR_SUCCESS;
    StatusSnapshot Snapshot;
    // Connecting to its Service Control Manager, opening the service or
    // asking its state: ERROR_SUCCESS and the state, or the error
    // (ERROR_SERVICE_DOES_NOT_EXIST: not installed).
    DWORD ServiceError = ERROR_SUCCESS;
    DWORD ServiceState = 0;
    // The registry answered but there is no Service Control Manager and
    // none of the NT family's product keys: a Windows 95/98/Me machine,
    // whose status key alone tells whether it supervises.
    bool NoServiceManager = false;
    WriterProcess Writer = WriterProcess::NotKnown;
    // Not answered within the bound (the asking gave up waiting), or not
    // asked at all (no thread: AskError).
    bool TimedOut = false;
    DWORD AskError = ERROR_SUCCESS;
};

// Asks a machine ("" or null: this one).  Blocks for as long as the
// network calls take (they cannot be cancelled).
void QueryMachineStatus(const char* machine, MachineStatus& status);

// How the asking went, for the summary and the check.
enum class MachineAnswer {
    Answered,      // at least one of registry and service manager answered
    NotReachable,  // neither: the network, or no such machine
    AccessDenied,  // neither, and at least one refused the caller
    NoAnswer,      // not within the bound, or not asked
};
MachineAnswer AnswerOf(const MachineStatus& status);
bool IsAccessError(DWORD error);

SupervisorRunState RunStateOf(const MachineStatus& status);

// The lines of the local "-l" for the machine: the client lines and the
// service's line, each ending in a line feed; for a machine that did not
// answer, one line that says why.  Control characters masked.
void FormatMachineBlock(char* out, size_t outSize, const char* serviceName, const MachineStatus& status,
                        unsigned boundSeconds);
constexpr size_t MACHINE_BLOCK_SIZE = MAX_CLIENTS * CLIENT_LINE_SIZE + 3 * CLIENT_LINE_SIZE;

// The exit code of "-l" for the machine: that of StatusExitCode when it
// answered, 4 (not known) when it did not.
int MachineExitCode(const MachineStatus& status);

// Clients of the run recorded as working, of how many.
struct WorkingCount {
    unsigned Working = 0;
    unsigned Clients = 0;
};
WorkingCount CountWorking(const StatusSnapshot& snapshot);

// "3d02:10": days, hours and minutes between two local times.
void FormatUptime(char* out, size_t outSize, ULONGLONG since, ULONGLONG now);

// Prints this machine's listing and returns the exit code (0, 1, 3 or 4).
int ListStatusCommand(const char* serviceName);

// The entry's first look at the command line: "-l", "-l:..." and "-c..."
// are run here, before anything else is built.  True when the argument was
// one of them, with the program's exit code in *exitCode.
bool RunStatusCommand(int argc, char** argv, const char* serviceName, int* exitCode);

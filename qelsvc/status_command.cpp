#include "status_command.h"

#include <cstdio>

#include "win_handles.h"

SupervisorRunState RunStateOfService(DWORD scmState)
{
    switch (scmState) {
    case SERVICE_RUNNING:
    case SERVICE_START_PENDING:
    case SERVICE_CONTINUE_PENDING:
    case SERVICE_PAUSE_PENDING:
    case SERVICE_PAUSED:
        return SupervisorRunState::Runs;
    case SERVICE_STOPPED:
    case SERVICE_STOP_PENDING:
        return SupervisorRunState::NotRunning;
    default:
        return SupervisorRunState::Unknown;
    }
}

const char* ServiceStateText(DWORD scmState)
{
    switch (scmState) {
    case SERVICE_RUNNING: return "running";
    case SERVICE_START_PENDING: return "starting";
    case SERVICE_CONTINUE_PENDING: return "continuing";
    case SERVICE_PAUSE_PENDING: return "pausing";
    case SERVICE_PAUSED: return "paused";
    case SERVICE_STOPPED: return "stopped";
    case SERVICE_STOP_PENDING: return "stopping";
    default: return "in an unknown state";
    }
}

void FormatServiceLine(char* out, size_t outSize, const char* serviceName, const char* stateText,
                       SupervisorRunState runState, const StatusSnapshot& snapshot, bool writerRuns)
{
    if (!snapshot.Present)
        snprintf(out, outSize, "%s: %s", serviceName, stateText);
    else if (snapshot.Ended[0] != '\0')
        snprintf(out, outSize, "%s: %s (last run ended %s)", serviceName, stateText, snapshot.Ended);
    else if (runState == SupervisorRunState::Runs)
        snprintf(out, outSize, "%s: %s (version %s, since %s)", serviceName, stateText, snapshot.Version,
                 snapshot.Started);
    else if (writerRuns)
        // Another program supervises (qelsvc9x, or a copy run by hand).
        snprintf(out, outSize, "%s: %s (supervised by process 0x%x)", serviceName, stateText,
                 static_cast<unsigned>(snapshot.SupervisorProcessId));
    else
        // The run that wrote the states never ended them: its process died.
        snprintf(out, outSize, "%s: %s (as left by ended process 0x%x)", serviceName, stateText,
                 static_cast<unsigned>(snapshot.SupervisorProcessId));
}

namespace {

// The service's state; stateText "not installed" or the reason it is not
// known when the manager cannot say.
SupervisorRunState QueryService(const char* serviceName, const char** stateText, char* reason, size_t reasonSize)
{
    // Connect access only: any user may ask for a service's state.
    qel::UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        snprintf(reason, reasonSize, "unknown (error %lu)", GetLastError());
        *stateText = reason;
        return SupervisorRunState::Unknown;
    }
    qel::UniqueServiceHandle service(OpenServiceA(manager.get(), serviceName, SERVICE_QUERY_STATUS));
    if (!service) {
        DWORD error = GetLastError();
        if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
            *stateText = "not installed";
            return SupervisorRunState::NotRunning;
        }
        snprintf(reason, reasonSize, "unknown (error %lu)", error);
        *stateText = reason;
        return SupervisorRunState::Unknown;
    }
    SERVICE_STATUS status = {};
    if (!QueryServiceStatus(service.get(), &status)) {
        snprintf(reason, reasonSize, "unknown (error %lu)", GetLastError());
        *stateText = reason;
        return SupervisorRunState::Unknown;
    }
    *stateText = ServiceStateText(status.dwCurrentState);
    return RunStateOfService(status.dwCurrentState);
}

bool ProcessRuns(DWORD processId)
{
    if (!processId)
        return false;
    qel::UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, processId));
    return process && WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}

} // namespace

int ListStatusCommand(const char* serviceName)
{
    StatusSnapshot snapshot = ReadStatusSnapshot();
    const char* stateText = "";
    char reason[64] = {};
    SupervisorRunState runState = QueryService(serviceName, &stateText, reason, sizeof reason);

    char listing[MAX_CLIENTS * CLIENT_LINE_SIZE + 64];
    FormatStatusListing(listing, sizeof listing, snapshot, LocalNowFileTime());
    char serviceLine[CLIENT_LINE_SIZE];
    FormatServiceLine(serviceLine, sizeof serviceLine, serviceName, stateText, runState, snapshot,
                      ProcessRuns(snapshot.SupervisorProcessId));
    printf("%s%s\n", listing, serviceLine);
    return StatusExitCode(runState, snapshot);
}

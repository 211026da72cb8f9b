// The status of one machine: gathered from its registry and its Service
// Control Manager, and turned into the lines and exit code of "qelsvc -l".
#include "status_command.h"

#include <cstdio>
#include <cstring>

#include "config_rules.h"
#include "fleet_status.h"
#include "monitor_check.h"
#include "supervisor_service.h"
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
                       SupervisorRunState runState, const StatusSnapshot& snapshot, WriterProcess writer)
{
    if (!snapshot.Present)
        snprintf(out, outSize, "%s: %s", serviceName, stateText);
    else if (snapshot.Ended[0] != '\0')
        snprintf(out, outSize, "%s: %s (last run ended %s)", serviceName, stateText, snapshot.Ended);
    else if (runState == SupervisorRunState::Runs)
        snprintf(out, outSize, "%s: %s (version %s, since %s)", serviceName, stateText,
                 snapshot.Version[0] ? snapshot.Version : "?", snapshot.Started[0] ? snapshot.Started : "?");
    else if (writer == WriterProcess::Runs)
        // Another program supervises (qelsvc9x, or a copy run by hand).
        snprintf(out, outSize, "%s: %s (supervised by process 0x%x)", serviceName, stateText,
                 static_cast<unsigned>(snapshot.SupervisorProcessId));
    else if (writer == WriterProcess::Ended)
        // The run that wrote the states never ended them: its process died.
        snprintf(out, outSize, "%s: %s (as left by ended process 0x%x)", serviceName, stateText,
                 static_cast<unsigned>(snapshot.SupervisorProcessId));
    else
        snprintf(out, outSize, "%s: %s (states written by process 0x%x)", serviceName, stateText,
                 static_cast<unsigned>(snapshot.SupervisorProcessId));
}

namespace {

bool ProcessRuns(DWORD processId)
{
    if (!processId)
        return false;
    qel::UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, processId));
    return process && WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}

// The service's state through the machine's Service Control Manager.
void QueryService(const char* machine, const char* serviceName, MachineStatus& status)
{
    // Connect access only: any user may ask for a service's state.
    qel::UniqueServiceHandle manager(OpenSCManagerA(machine, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        status.ServiceError = GetLastError();
        return;
    }
    qel::UniqueServiceHandle service(OpenServiceA(manager.get(), serviceName, SERVICE_QUERY_STATUS));
    SERVICE_STATUS state = {};
    if (!service || !QueryServiceStatus(service.get(), &state)) {
        status.ServiceError = GetLastError();
        return;
    }
    status.ServiceState = state.dwCurrentState;
}

// Every machine of the NT family has this key, and Remote Registry lets any
// caller who may connect read it; a 95/98/Me machine has none.
bool LacksNtProductKeys(HKEY root)
{
    qel::UniqueRegKey key;
    LONG opened = RegOpenKeyExA(root, "System\\CurrentControlSet\\Control\\ProductOptions", 0, KEY_QUERY_VALUE,
                                key.put());
    if (opened != ERROR_SUCCESS)
        key.release();
    return opened == ERROR_FILE_NOT_FOUND;
}

void QueryRemoteRegistry(const char* machine, MachineStatus& status, bool* lacksNtKeys)
{
    char uncName[MACHINE_NAME_SIZE + 2];
    snprintf(uncName, sizeof uncName, "\\\\%s", machine);
    qel::UniqueRegKey root;
    status.RegistryError = RegConnectRegistryA(uncName, HKEY_LOCAL_MACHINE, root.put());
    if (status.RegistryError != ERROR_SUCCESS) {
        root.release();
        return;
    }
    qel::UniqueRegKey key;
    LONG opened = OpenRemoteStatusKey(root.get(), key);
    if (opened == ERROR_SUCCESS)
        status.Snapshot = ReadStatusSnapshotFrom(key.get());
    else
        status.Snapshot.ReadError = opened;
    *lacksNtKeys = LacksNtProductKeys(root.get());
}

} // namespace

void QueryMachineStatus(const char* machine, MachineStatus& status)
{
    status = MachineStatus();
    const bool remote = machine && machine[0];
    if (remote)
        snprintf(status.Machine, sizeof status.Machine, "%s", machine);
    const char* serviceName = NT_SERVICE_NAME;
    if (!remote) {
        status.Snapshot = ReadStatusSnapshot();
        QueryService(nullptr, serviceName, status);
        status.Writer = ProcessRuns(status.Snapshot.SupervisorProcessId) ? WriterProcess::Runs : WriterProcess::Ended;
        return;
    }
    bool lacksNtKeys = false;
    QueryRemoteRegistry(machine, status, &lacksNtKeys);
    // The bare name: the Service Control Manager's binding takes a network
    // address, with or without the leading backslashes.
    QueryService(machine, serviceName, status);
    status.NoServiceManager = status.ServiceError != ERROR_SUCCESS && status.RegistryError == ERROR_SUCCESS &&
                              !IsAccessError(status.ServiceError) && lacksNtKeys;
}

bool IsAccessError(DWORD error)
{
    switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_LOGON_FAILURE:
    case ERROR_ACCOUNT_RESTRICTION:
    case ERROR_ACCOUNT_DISABLED:
    case ERROR_PASSWORD_EXPIRED:
    case ERROR_ACCOUNT_LOCKED_OUT:
    case ERROR_LOGON_TYPE_NOT_GRANTED:
        return true;
    default:
        return false;
    }
}

MachineAnswer AnswerOf(const MachineStatus& status)
{
    if (status.TimedOut)
        return MachineAnswer::NoAnswer;
    if (status.NoServiceManager)
        return MachineAnswer::Answered;
    const bool registryAnswered = status.RegistryError == ERROR_SUCCESS;
    const bool managerAnswered =
        status.ServiceError == ERROR_SUCCESS || status.ServiceError == ERROR_SERVICE_DOES_NOT_EXIST;
    if (registryAnswered || managerAnswered)
        return MachineAnswer::Answered;
    if (IsAccessError(static_cast<DWORD>(status.RegistryError)) || IsAccessError(status.ServiceError))
        return MachineAnswer::AccessDenied;
    return MachineAnswer::NotReachable;
}

SupervisorRunState RunStateOf(const MachineStatus& status)
{
    if (status.NoServiceManager)
        // Removed at the end of every run, but a supervisor that died leaves
        // it: only a key with a recent sign of life is a run.
        return StatusShowsLiveRun(status.Snapshot, NowAtWriter(status.Snapshot)) ? SupervisorRunState::Runs
                                                                                  : SupervisorRunState::NotRunning;
    if (status.ServiceError == ERROR_SERVICE_DOES_NOT_EXIST)
        return SupervisorRunState::NotRunning;
    if (status.ServiceError != ERROR_SUCCESS)
        return SupervisorRunState::Unknown;
    return RunStateOfService(status.ServiceState);
}

int MachineExitCode(const MachineStatus& status)
{
    if (AnswerOf(status) != MachineAnswer::Answered)
        return STATUS_UNKNOWN;
    return StatusExitCode(RunStateOf(status), status.Snapshot);
}

WorkingCount CountWorking(const StatusSnapshot& snapshot)
{
    WorkingCount count;
    count.Clients = snapshot.Clients;
    for (unsigned i = 0; i < snapshot.Clients; ++i)
        if (snapshot.SlotRecorded[i] && snapshot.Slots[i].State == SlotState::Working)
            ++count.Working;
    return count;
}

void FormatUptime(char* out, size_t outSize, ULONGLONG since, ULONGLONG now)
{
    ULONGLONG minutes = now > since ? (now - since) / (60 * 1000 * FILETIME_PER_MS) : 0;
    ULONGLONG days = minutes / (24 * 60);
    snprintf(out, outSize, "%ud%02u:%02u", static_cast<unsigned>(days > 9999 ? 9999 : days),
             static_cast<unsigned>(minutes / 60 % 24), static_cast<unsigned>(minutes % 60));
}

void FormatMachineBlock(char* out, size_t outSize, const char* serviceName, const MachineStatus& status,
                        unsigned boundSeconds)
{
    if (outSize == 0)
        return;
    out[0] = '\0';
    switch (AnswerOf(status)) {
    case MachineAnswer::NoAnswer:
        if (status.AskError != ERROR_SUCCESS)
            snprintf(out, outSize, "Not asked (error %lu).\n", static_cast<unsigned long>(status.AskError));
        else
            snprintf(out, outSize, "No answer within %u s.\n", boundSeconds);
        return;
    case MachineAnswer::NotReachable:
    case MachineAnswer::AccessDenied:
        snprintf(out, outSize, "%s (registry: error %ld, service manager: error %lu).\n",
                 AnswerOf(status) == MachineAnswer::AccessDenied ? "Access denied" : "Not reachable",
                 static_cast<long>(status.RegistryError), static_cast<unsigned long>(status.ServiceError));
        return;
    case MachineAnswer::Answered:
        break;
    }

    const StatusSnapshot& snapshot = status.Snapshot;
    char listing[MAX_CLIENTS * CLIENT_LINE_SIZE + 64];
    if (status.RegistryError != ERROR_SUCCESS)
        snprintf(listing, sizeof listing, "Status not readable (registry: error %ld).\n",
                 static_cast<long>(status.RegistryError));
    else if (!snapshot.Present && snapshot.ReadError != ERROR_FILE_NOT_FOUND)
        snprintf(listing, sizeof listing, "Status not readable (error %ld).\n", static_cast<long>(snapshot.ReadError));
    else
        FormatStatusListing(listing, sizeof listing, snapshot, NowAtWriter(snapshot));

    const SupervisorRunState runState = RunStateOf(status);
    const char* stateText;
    char reason[64];
    if (status.NoServiceManager) {
        serviceName = SERVICE_9X_LABEL;
        stateText = runState == SupervisorRunState::Runs ? "running (no service manager)"
                                                         : "not running (no service manager)";
    } else if (status.ServiceError == ERROR_SERVICE_DOES_NOT_EXIST) {
        stateText = "not installed";
    } else if (status.ServiceError != ERROR_SUCCESS) {
        snprintf(reason, sizeof reason, "unknown (error %lu)", static_cast<unsigned long>(status.ServiceError));
        stateText = reason;
    } else {
        stateText = ServiceStateText(status.ServiceState);
    }
    char serviceLine[CLIENT_LINE_SIZE];
    FormatServiceLine(serviceLine, sizeof serviceLine, serviceName, stateText, runState, snapshot, status.Writer);
    snprintf(out, outSize, "%s%s\n", listing, serviceLine);
    MaskControlCharacters(out);
}

int ListStatusCommand(const char* serviceName)
{
    MachineStatus status;
    QueryMachineStatus(nullptr, status);
    char block[MACHINE_BLOCK_SIZE];
    FormatMachineBlock(block, sizeof block, serviceName, status, 0);
    fputs(block, stdout);
    return MachineExitCode(status);
}

bool RunStatusCommand(int argc, char** argv, const char* serviceName, int* exitCode)
{
    if (argc <= 1 || !argv[1])
        return false;
    const char* argument = argv[1];
    if (MatchesCommand(argument, "-l:"))
        *exitCode = ListFleetCommand(argument + 3, serviceName);
    else if (MatchesCommand(argument, "-l"))
        *exitCode = ListStatusCommand(serviceName);
    else if (MatchesCommand(argument, "-c"))
        *exitCode = CheckCommand(argument, argc - 2, argv + 2);
    else
        return false;
    fflush(stdout);
    return true;
}

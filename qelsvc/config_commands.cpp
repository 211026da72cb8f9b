// The console configuration commands of qelsvc: each changes the settings
// record through the shared rules, saves it, and prints the new state.
#include "supervisor_service.h"

#include <cstdio>

#include "affinity.h"
#include "client_stop.h"
#include "config_rules.h"
#include "settings.h"
#include "status_command.h"
#include "win_handles.h"

namespace {

// What -q waits beyond the service's own stop limits: the last reports and
// the process's end.
constexpr DWORD STOP_WAIT_MARGIN_MS = 30000;

// One line per client mask; never beyond the 32 entries of the arrays.
void PrintClientMasks(const DWORD (&masks)[MAX_CLIENTS], DWORD clientCount)
{
    DWORD count = clientCount > MAX_CLIENTS ? MAX_CLIENTS : clientCount;
    for (DWORD i = 0; i < count; ++i)
        printf("  Client %d: Affinity = 0x%x\n", static_cast<int>(i), static_cast<unsigned>(masks[i]));
}

// The listing marks each line whose setting a policy fixes; the answers of
// the commands that change a setting never need the mark.
const char* PolicyMark(bool fixed) { return fixed ? " (set by policy)" : ""; }

void PrintAffinity(const ServiceParams& params, const char* mark = "")
{
    printf("CPU Affinity = %s, %d Clients%s\n", AffinityTypeName(params.AffType), static_cast<int>(params.NumClients),
           mark);
    if (params.AffType == AFFINITY_CUSTOM)
        PrintClientMasks(params.CustAff, params.NumClients);
}

void PrintRestartTime(const ServiceParams& params, const char* mark = "")
{
    if (params.AutoRestart)
        printf("AutoRestart ON - Time = %02d:%02d%s\n", static_cast<int>(params.RestartTime / 100),
               static_cast<int>(params.RestartTime % 100), mark);
    else
        printf("AutoRestart OFF%s\n", mark);
}

void PrintOptimisedLayout(const AffinityLayout& layout)
{
    switch (layout.Outcome) {
    case OptimiseOutcome::OneProcessor:
        // The stored type is Separate; on one processor it pins exactly as
        // None would, which is what the message tells.
        printf("Optimized: CPU Affinity = None, 1 Client\n");
        break;
    case OptimiseOutcome::NoSharedPackages:
        printf("Optimized: CPU Affinity = Separate, %d Clients\n", static_cast<int>(layout.NumClients));
        break;
    case OptimiseOutcome::Custom:
        printf("Optimized: Affinity = Custom, %d Clients\n", static_cast<int>(layout.NumClients));
        PrintClientMasks(layout.CustAff, layout.NumClients);
        break;
    }
}

void PrintListing(const ServiceParams& params)
{
    auto mark = [&params](DWORD ServiceParams::*field) { return PolicyMark(IsFixedByPolicy(params, field)); };
    PrintAffinity(params, PolicyMark((params.PolicyFixed & ClientLayoutPolicyBits()) != 0));
    PrintRestartTime(params, mark(&ServiceParams::AutoRestart));
    printf("TrueIdle = %s%s\n", FlagText(params.TrueIdle), mark(&ServiceParams::TrueIdle));
    printf("NormalizeXP = %s\n", FlagText(params.NormalizeXP));
    printf("Monitor and Restart = %s%s\n", FlagText(params.MonitorRestart), mark(&ServiceParams::MonitorRestart));
    printf("Restart Stuck Clients = %s%s\n", FlagText(params.StuckRestart), mark(&ServiceParams::StuckRestart));
    printf("Keep Icons Visible = %s%s\n", FlagText(params.KeepVisible), mark(&ServiceParams::KeepVisible));
    printf("WU Queue Size = %d\n", static_cast<int>(params.WUQueue));
    printf("Autodial Type = %d\n", static_cast<int>(params.AutodialType));
    printf("Periodic Restart = %d%s\n", static_cast<int>(params.HourlyRestart), mark(&ServiceParams::HourlyRestart));
}

// A save that failed: one line instead of the new setting, and the command
// ends (even -w, -h and -a: nothing is left for the dispatcher to do) with
// the error code as the program's exit code.
int ReportSaveFailure(DWORD error, DWORD& commandError)
{
    char line[SAVE_FAILURE_TEXT_SIZE];
    FormatSaveFailure(line, sizeof line, error);
    printf("%s\n", line);
    commandError = error;
    return 1;
}

// The configuration commands proper; 1 handled, 0 not (or -w, -h, -a, which
// go on to the dispatcher like an unknown argument).  A failed save sets
// commandError.
int RunConfigCommand(SupervisorCore& core, const char* argument, DWORD& commandError)
{
    ServiceParams& params = core.Params;
    DWORD saved = ERROR_SUCCESS;

    // A setting a policy fixes stays as the policy has it; like a failed
    // save, the refusal ends the program (even for -h) with its code.
    if (const char* fixedSetting = PolicyFixedSettingOf(params, argument)) {
        printf("%s is set by policy - not changed\n", fixedSetting);
        commandError = ERROR_ACCESS_DISABLED_BY_POLICY;
        return 1;
    }

    if (MatchesCommand(argument, "-p:")) {
        if (ApplyClientsCommand(params, argument)) {
            if ((saved = core.SaveParams()) != ERROR_SUCCESS)
                return ReportSaveFailure(saved, commandError);
            PrintAffinity(params);
        }
        return 1;
    }
    if (MatchesCommand(argument, "-o")) {
        AffinityLayout layout = OptimiseAffinity(argument[2] == '2');
        params.NumClients = layout.NumClients;
        params.AffType = layout.AffType;
        if (layout.Outcome == OptimiseOutcome::Custom)
            for (DWORD i = 0; i < layout.NumClients && i < MAX_CLIENTS; ++i)
                params.CustAff[i] = layout.CustAff[i];
        if ((saved = core.SaveParams()) != ERROR_SUCCESS)
            return ReportSaveFailure(saved, commandError);
        PrintOptimisedLayout(layout);
        return 1;
    }
    if (MatchesCommand(argument, "-r")) {
        RestartCommandResult result = ApplyRestartCommand(params, argument);
        if (result == RestartCommandResult::Invalid) {
            printf("Invalid restart time...ignored\n");
        } else {
            if ((saved = core.SaveParams()) != ERROR_SUCCESS)
                return ReportSaveFailure(saved, commandError);
            PrintRestartTime(params);
        }
        return 1;
    }
    if (MatchesCommand(argument, "-f")) {
        const ToggleCommand* toggle = ApplySetFlagCommand(params, argument);
        if (!toggle) {
            printf("Invalid flag setting...ignored (use -f:L:0 or -f:L:1, L one of m s x k n)\n");
            commandError = ERROR_INVALID_PARAMETER;  // a script or installer must see it
            return 1;
        }
        if ((saved = core.SaveParams()) != ERROR_SUCCESS)
            return ReportSaveFailure(saved, commandError);
        printf(toggle->ConsoleFormat, FlagText(params.*toggle->Flag));
        return 1;
    }
    if (const ToggleCommand* toggle = FindToggleCommand(argument)) {
        ApplyToggle(params.*toggle->Flag);
        if ((saved = core.SaveParams()) != ERROR_SUCCESS)
            return ReportSaveFailure(saved, commandError);
        printf(toggle->ConsoleFormat, FlagText(params.*toggle->Flag));
        return 1;
    }
    if (MatchesCommand(argument, "-w")) {
        if (!ApplyQueueSizeCommand(params, argument, core.SettingsMutex.get(), QUEUE_RESIZE_WAIT_MS, &saved)) {
            printf("Service is running - can't alter the queue\n");
            commandError = EXIT_SUPERVISOR_RUNNING;  // refused: a script must see it
        } else if (saved != ERROR_SUCCESS)
            return ReportSaveFailure(saved, commandError);
        printf("Work Unit Queue Size = %d\n", static_cast<int>(params.WUQueue));
        return 0;
    }
    if (MatchesCommand(argument, "-h")) {
        ApplyHourlyRestartCommand(params, argument);
        if ((saved = core.SaveParams()) != ERROR_SUCCESS)
            return ReportSaveFailure(saved, commandError);
        printf("PeriodicRestart = %d minutes\n", static_cast<int>(params.HourlyRestart));
        return 0;
    }
    if (MatchesCommand(argument, "-a")) {
        ApplyAutodialCommand(params, argument);
        if ((saved = core.SaveParams()) != ERROR_SUCCESS)
            return ReportSaveFailure(saved, commandError);
        printf("Autodial Type = %d\n", static_cast<int>(params.AutodialType));
        return 0;
    }
    if (MatchesCommand(argument, "-d")) {
        PrintListing(params);
        return 1;
    }
    return 0;
}

// -q: stops the service and returns once it has stopped, its clients
// closed through their Exit path; "qelsvc9x -q" does the same for its copy.
// Installers and scripts need the wait: Windows Installer waits at most 30 s
// for a stop (and Wine's not at all) before it removes or replaces the
// service.  The wait ends at the latest when the service's own stop limits
// have run out (every client's wait, then the stop's last grace period).
// Returns the program's exit code: 0 when the service is stopped (or was
// not running, or is not installed).
DWORD StopServiceAndWait(const char* serviceName, DWORD waitLimitMs)
{
    qel::UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    qel::UniqueServiceHandle service(
        manager ? OpenServiceA(manager.get(), serviceName, SERVICE_STOP | SERVICE_QUERY_STATUS) : nullptr);
    DWORD error = service ? ERROR_SUCCESS : GetLastError();
    if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
        printf("%s is not installed\n", serviceName);
        return ERROR_SUCCESS;
    }
    SERVICE_STATUS status = {};
    if (!error && !QueryServiceStatus(service.get(), &status))
        error = GetLastError();
    if (!error && status.dwCurrentState == SERVICE_STOPPED) {
        printf("%s is not running\n", serviceName);
        return ERROR_SUCCESS;
    }
    bool stopSent = status.dwCurrentState == SERVICE_STOP_PENDING;
    DWORD start = GetTickCount();
    while (!error && status.dwCurrentState != SERVICE_STOPPED) {
        if (GetTickCount() - start >= waitLimitMs) {
            printf("%s did not stop within %u seconds\n", serviceName, static_cast<unsigned>(waitLimitMs / 1000));
            return ERROR_SERVICE_REQUEST_TIMEOUT;
        }
        // A service that is still starting takes no stop yet: asked again.
        if (!stopSent) {
            if (ControlService(service.get(), SERVICE_CONTROL_STOP, &status))
                stopSent = true;
            else if (GetLastError() != ERROR_SERVICE_CANNOT_ACCEPT_CTRL && GetLastError() != ERROR_SERVICE_NOT_ACTIVE)
                error = GetLastError();
        }
        if (!error) {
            Sleep(250);
            if (!QueryServiceStatus(service.get(), &status))
                error = GetLastError();
        }
    }
    if (error) {
        printf("Could not stop %s. Error %d\n", serviceName, static_cast<int>(error));
        return error;
    }
    printf("%s stopped\n", serviceName);
    return ERROR_SUCCESS;
}

} // namespace

int CSupervisorService::HandleConfigCommand(int argc, char** argv)
{
    if (HandleStandardCommand(argc, argv))
        return 1;
    if (argc <= 1 || argv[1] == nullptr)
        return 0;
    // "-l" and "-c" never get here: the entry runs them before this object
    // is built (RunStatusCommand).
    if (MatchesCommand(argv[1], "-q")) {
        DWORD clients = Core.Params.NumClients > MAX_CLIENTS ? MAX_CLIENTS : Core.Params.NumClients;
        CommandError = StopServiceAndWait(ServiceName, clients * CLIENT_END_WAIT_MS + Core.Timings.StopProgressLimitMs +
                                                           STOP_WAIT_MARGIN_MS);
        fflush(stdout);
        return 1;
    }
    int handled = RunConfigCommand(Core, argv[1], CommandError);
    // The entry may go on to the dispatcher, which can block: the answer
    // must reach the console first.
    fflush(stdout);
    return handled;
}

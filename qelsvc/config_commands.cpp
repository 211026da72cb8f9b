// The console configuration commands of qelsvc: each changes the settings
// record through the shared rules, saves it, and prints the new state.
#include "supervisor_service.h"

#include <cstdio>

#include "affinity.h"
#include "config_rules.h"
#include "settings.h"

namespace {

// One line per client mask; never beyond the 32 entries of the arrays.
void PrintClientMasks(const DWORD (&masks)[MAX_CLIENTS], DWORD clientCount)
{
    DWORD count = clientCount > MAX_CLIENTS ? MAX_CLIENTS : clientCount;
    for (DWORD i = 0; i < count; ++i)
        printf("  Client %d: Affinity = 0x%x\n", static_cast<int>(i), static_cast<unsigned>(masks[i]));
}

void PrintAffinity(const ServiceParams& params)
{
    printf("CPU Affinity = %s, %d Clients\n", AffinityTypeName(params.AffType), static_cast<int>(params.NumClients));
    if (params.AffType == AFFINITY_CUSTOM)
        PrintClientMasks(params.CustAff, params.NumClients);
}

void PrintRestartTime(const ServiceParams& params)
{
    if (params.AutoRestart)
        printf("AutoRestart ON - Time = %02d:%02d\n", static_cast<int>(params.RestartTime / 100),
               static_cast<int>(params.RestartTime % 100));
    else
        printf("AutoRestart OFF\n");
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
    PrintAffinity(params);
    PrintRestartTime(params);
    printf("TrueIdle = %s\n", FlagText(params.TrueIdle));
    printf("NormalizeXP = %s\n", FlagText(params.NormalizeXP));
    printf("Monitor and Restart = %s\n", FlagText(params.MonitorRestart));
    printf("Restart Stuck Clients = %s\n", FlagText(params.StuckRestart));
    printf("Keep Icons Visible = %s\n", FlagText(params.KeepVisible));
    printf("WU Queue Size = %d\n", static_cast<int>(params.WUQueue));
    printf("Autodial Type = %d\n", static_cast<int>(params.AutodialType));
    printf("Periodic Restart = %d\n", static_cast<int>(params.HourlyRestart));
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

} // namespace

int CSupervisorService::HandleConfigCommand(int argc, char** argv)
{
    if (HandleStandardCommand(argc, argv))
        return 1;
    if (argc <= 1 || argv[1] == nullptr)
        return 0;
    // "-l" and "-c" never get here: the entry runs them before this object
    // is built (RunStatusCommand).
    int handled = RunConfigCommand(Core, argv[1], CommandError);
    // The entry may go on to the dispatcher, which can block: the answer
    // must reach the console first.
    fflush(stdout);
    return handled;
}

// The configuration commands of qelsvc9x: the subset of the console
// commands that applies to it, silent (the program has no console; the entry
// shows the resulting settings in a box when the result is 1, or the failure
// in a box when CommandError is set).
#include "supervisor9x.h"

#include "config_rules.h"

int C9xSupervisorService::HandleConfigCommand(int argc, char** argv)
{
    if (HandleStandardCommand(argc, argv))
        return 1;
    if (argc < 2 || !argv[1])
        return 0;
    const char* argument = argv[1];
    CommandError = ERROR_SUCCESS;
    ServiceParams& params = Core.Params;

    // A setting a policy fixes is left alone; the entry shows why in a box.
    if (PolicyFixedSettingOf(params, argument)) {
        CommandError = ERROR_ACCESS_DISABLED_BY_POLICY;
        return 1;
    }

    // No -p and no -o: the 9x settings load fixes the client count and type.
    if (MatchesCommand(argument, "-r")) {
        // An invalid time changes nothing; the box then shows the settings
        // as they are.
        if (ApplyRestartCommand(params, argument) != RestartCommandResult::Invalid)
            CommandError = Core.SaveParams();
        return 1;
    }
    if (MatchesCommand(argument, "-f")) {
        // A malformed setting changes nothing: the box shows the settings
        // as they are, and the exit code tells a script.
        if (ApplySetFlagCommand(params, argument)) {
            CommandError = Core.SaveParams();
        } else {
            CommandExitCode = ERROR_INVALID_PARAMETER;
            SkipRestartRequest = 1;
        }
        return 1;
    }
    if (const ToggleCommand* toggle = FindToggleCommand(argument)) {
        ApplyToggle(params.*toggle->Flag);
        CommandError = Core.SaveParams();
        return 1;
    }
    if (MatchesCommand(argument, "-w")) {
        // Refused silently while a supervisor holds the settings mutex, but
        // with an exit code that says so.
        if (!ApplyQueueSizeCommand(params, argument, Core.SettingsMutex.get(), QUEUE_RESIZE_WAIT_MS, &CommandError))
            CommandExitCode = ERROR_SERVICE_ALREADY_RUNNING;
        return 0;
    }
    if (MatchesCommand(argument, "-h")) {
        ApplyHourlyRestartCommand(params, argument);
        CommandError = Core.SaveParams();
        return 0;
    }
    if (MatchesCommand(argument, "-a")) {
        ApplyAutodialCommand(params, argument);
        CommandError = Core.SaveParams();
        return 0;
    }
    if (MatchesCommand(argument, "-d")) {
        SkipRestartRequest = 1;
        return 1;
    }
    return 0;
}

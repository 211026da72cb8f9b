#include "status_command.h"
#include "supervisor_service.h"

int main(int argc, char** argv)
{
    // The status commands come first, before the supervisor object exists:
    // building it loads the settings (five log lines) and creates the
    // settings mutex, and a status check run every minute by any account
    // must do neither.
    int statusExitCode = 0;
    if (RunStatusCommand(argc, argv, NT_SERVICE_NAME, &statusExitCode))
        return statusExitCode;

    DWORD exitCode = 0;
    {
        CSupervisorService service;
        if (!service.HandleConfigCommand(argc, argv))
            service.RunDispatcher();
        // A command that did not do its work, else how the service ended.
        if (service.StandardCommandError != ERROR_SUCCESS)
            exitCode = service.StandardCommandError;
        else if (service.CommandError != ERROR_SUCCESS)
            exitCode = service.CommandError;
        else
            exitCode = service.Status.dwWin32ExitCode;
    }
    return static_cast<int>(exitCode);
}

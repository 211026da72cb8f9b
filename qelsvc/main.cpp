#include "supervisor_service.h"

int main(int argc, char** argv)
{
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

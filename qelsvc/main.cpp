#include "supervisor_service.h"

int main(int argc, char** argv)
{
    DWORD exitCode = 0;
    {
        CSupervisorService service;
        if (!service.HandleConfigCommand(argc, argv))
            service.RunDispatcher();
        exitCode = service.CommandError != ERROR_SUCCESS ? service.CommandError : service.Status.dwWin32ExitCode;
    }
    return static_cast<int>(exitCode);
}

#include "supervisor_service.h"

// Until the configuration commands exist only the standard ones are taken.
int CSupervisorService::HandleConfigCommand(int argc, char** argv)
{
    return HandleStandardCommand(argc, argv) ? 1 : 0;
}

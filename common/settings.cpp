#include "settings.h"

#include "supervisor_core.h"

// Placeholder until the registry store lands.
void LoadParams(ServiceParams& params, const ServiceLogContext& log, SettingsRules)
{
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    params.NumClients = info.dwNumberOfProcessors;
    WriteLog(log, "Parms retrieved: NumClients = %d", static_cast<int>(params.NumClients));
}

void SaveParams(const ServiceParams&, HANDLE) {}

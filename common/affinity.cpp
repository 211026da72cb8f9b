#include "affinity.h"

// Placeholder until the topology code lands: every client on every processor.
void BuildAffinityTable(AffinityTableType& table)
{
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    for (auto& type : table)
        for (auto& row : type)
            for (auto& mask : row)
                mask = static_cast<DWORD>(info.dwActiveProcessorMask);
}

DWORD ClientAffinityMask(const ServiceParams& params, const AffinityTableType& table, unsigned clientIndex)
{
    if (params.AffType == AFFINITY_CUSTOM)
        return params.CustAff[clientIndex % MAX_CLIENTS];
    return table[params.AffType % 3][params.NumClients % MAX_CLIENTS][clientIndex % MAX_CLIENTS];
}

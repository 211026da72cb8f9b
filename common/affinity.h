// Processor topology and the affinity masks of the clients.
#pragma once

#include "service_params.h"

// Fills the table from the machine's active processors (GetSystemInfo).
void BuildAffinityTable(AffinityTableType& table);

// Client i's mask: CustAff[i] for the custom type, else the table entry.
DWORD ClientAffinityMask(const ServiceParams& params, const AffinityTableType& table, unsigned clientIndex);

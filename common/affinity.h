// Processor topology and the affinity masks of the clients.
//
// The arithmetic (processor list, table rows, APIC-id split, optimised
// layout) lives in plain functions over plain integers; the functions without
// inputs gather them from the machine (GetSystemInfo, CPUID) and call those.
#pragma once

#include "service_params.h"

// Fills the table from the machine's active processors (GetSystemInfo).
void BuildAffinityTable(AffinityTableType& table);

// The 9x host's table: only the one-client entries of types 0 to 2, each on
// processor 0 (mask 0x1).
void BuildAffinityTable9x(AffinityTableType& table);

// Client i's mask: CustAff[i] for the custom type, else the table entry.
DWORD ClientAffinityMask(const ServiceParams& params, const AffinityTableType& table, unsigned clientIndex);

// --- Processor list -------------------------------------------------------

// Entry i is the one-bit mask of the i-th lowest set bit of activeMask, for
// at most processorCount entries and at most MAX_CLIENTS (masks are 32 bits).
// Returns the number of entries filled.
unsigned ActiveProcessorMasks(unsigned processorCount, DWORD activeMask, DWORD masks[MAX_CLIENTS]);

// --- Affinity table arithmetic -------------------------------------------

// The mask of client j of a row of `count` clients for affinity type 0, 1 or
// 2, with the processor list P[0..n-1] and active mask A.  Defined for every
// count from 1 to MAX_CLIENTS (the table stores counts 1 to 31 only).
DWORD ComputeAffinityMask(DWORD affType, unsigned count, unsigned clientIndex, unsigned n, const DWORD processorMasks[],
                          DWORD activeMask);

// Fills rows 1 to 31 of all three types; row 0 and entries at or beyond a
// row's count are left alone.
void FillAffinityTable(AffinityTableType& table, unsigned n, const DWORD processorMasks[], DWORD activeMask);

// --- Topology ------------------------------------------------------------

// The logical-processors-per-package count from CPUID leaves 0 and 1
// ({EAX, EBX, ECX, EDX} each): 1 unless the vendor is GenuineIntel, leaf 1
// exists and EDX bit 28 (hyper-threading) is set; then EBX bits 16 to 23.
unsigned LogicalProcessorsFromCpuid(const int leaf0[4], const int leaf1[4]);

// Mask of the logical-id bits of an APIC id: the smallest power of two that
// is at least logicalPerPackage and at least 2, minus 1.
DWORD LogicalIdBits(unsigned logicalPerPackage);

// Splits the APIC ids of processors 0..n-1 into logical ids and package
// numbers; package numbers are the list position of the first processor with
// the same package value.
void SplitApicIds(unsigned n, const DWORD apicIds[], unsigned logicalPerPackage, DWORD logicalIds[],
                  DWORD packageNumbers[]);

// 1 when the processor offers no hyper-threading information.
unsigned LogicalProcessorsPerPackage();

// The initial APIC id (0 to 255) of the processor with the one-bit mask.
// Moves the calling thread for the moment and then sets its affinity to the
// process mask: not for threads whose affinity matters afterwards.
DWORD ReadInitialApicId(DWORD processorMask);

// Fills the first n entries of both arrays (one entry when n is below 2).
// Returns 1.
int GetProcessorTopology(DWORD logicalIds[MAX_CLIENTS], DWORD packageNumbers[MAX_CLIENTS]);

// --- Optimised layout ----------------------------------------------------

enum class OptimiseOutcome {
    OneProcessor,      // NumClients 1, AffType 0
    NoSharedPackages,  // NumClients = processors, AffType 0
    Custom,            // NumClients and CustAff[0..NumClients-1], AffType 3
};

struct AffinityLayout {
    OptimiseOutcome Outcome = OptimiseOutcome::OneProcessor;
    DWORD NumClients = 1;
    DWORD AffType = 0;
    DWORD CustAff[MAX_CLIENTS] = {};
};

// The layout for n processors (list P, active mask A) with the given
// topology.  withExtraClients adds half as many clients again (rounded up)
// on the processors the package clients leave free.
AffinityLayout ComputeOptimisedLayout(unsigned n, const DWORD processorMasks[], DWORD activeMask,
                                      const DWORD logicalIds[], const DWORD packageNumbers[], bool withExtraClients);

// The same for this machine.  Moves the calling thread across processors
// while it reads the APIC ids (see ReadInitialApicId).
AffinityLayout OptimiseAffinity(bool withExtraClients);

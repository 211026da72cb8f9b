// The processors the clients run on: the machine's processor list and
// hyper-threading layout (GetSystemInfo, CPUID), the table of masks for every
// affinity type and client count, and the optimised layout of -o.
#include "affinity.h"

#include <cstring>

#include "runtime_binding.h"

#if defined(_M_IX86) || defined(_M_X64) || defined(__i386__) || defined(__x86_64__)
#define QEL_HAS_CPUID 1
#include <intrin.h>
#else
#define QEL_HAS_CPUID 0
#endif

namespace {

// The active mask as the 32-bit masks of the table see it: processors beyond
// the 32nd cannot be named in a 32-bit mask.
DWORD ActiveMask32(const SYSTEM_INFO& info)
{
    return static_cast<DWORD>(info.dwActiveProcessorMask & 0xFFFFFFFFu);
}

// The processor list of this machine; never empty (a machine reports at
// least its own processor, and a list of one keeps every formula defined).
unsigned MachineProcessors(DWORD masks[MAX_CLIENTS], DWORD& activeMask)
{
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    activeMask = ActiveMask32(info);
    unsigned n = ActiveProcessorMasks(info.dwNumberOfProcessors, activeMask, masks);
    if (n == 0) {
        masks[0] = 1;
        activeMask = 1;
        n = 1;
    }
    return n;
}

bool CpuidAvailable()
{
#if defined(_M_X64) || defined(__x86_64__)
    return true; // every x86-64 processor has CPUID
#elif defined(_M_IX86) && defined(_MSC_VER)
    // CPUID exists when bit 21 of EFLAGS (the ID flag) can be flipped.
    const unsigned idFlag = 1u << 21;
    unsigned original = __readeflags();
    __writeeflags(original ^ idFlag);
    unsigned flipped = __readeflags();
    __writeeflags(original);
    return ((original ^ flipped) & idFlag) != 0;
#elif defined(__i386__) && defined(__GNUC__)
    unsigned original, flipped;
    __asm__ volatile("pushfl\n\t"
                     "popl %0\n\t"
                     "movl %0, %1\n\t"
                     "xorl $0x200000, %1\n\t"
                     "pushl %1\n\t"
                     "popfl\n\t"
                     "pushfl\n\t"
                     "popl %1\n\t"
                     "pushl %0\n\t"
                     "popfl"
                     : "=&r"(original), "=&r"(flipped)
                     :
                     : "cc");
    return ((original ^ flipped) & 0x200000u) != 0;
#else
    return false;
#endif
}

void Cpuid(int regs[4], int leaf)
{
#if QEL_HAS_CPUID
    __cpuid(regs, leaf);
#else
    regs[0] = regs[1] = regs[2] = regs[3] = 0;
    (void)leaf;
#endif
}

} // namespace

unsigned ActiveProcessorMasks(unsigned processorCount, DWORD activeMask, DWORD masks[MAX_CLIENTS])
{
    unsigned found = 0;
    for (unsigned bit = 0; bit < 32 && found < processorCount && found < MAX_CLIENTS; ++bit) {
        DWORD mask = 1u << bit;
        if (activeMask & mask)
            masks[found++] = mask;
    }
    return found;
}

DWORD ComputeAffinityMask(DWORD affType, unsigned count, unsigned clientIndex, unsigned n, const DWORD processorMasks[],
                          DWORD activeMask)
{
    if (n == 0)
        return activeMask;
    switch (affType) {
    case AFFINITY_NONE:
        return activeMask;
    case AFFINITY_MIXED: {
        unsigned firstHalf = (count + 1) / 2;
        if (clientIndex < firstHalf)
            return processorMasks[clientIndex % n];
        if (count >= n)
            return activeMask;
        // The processors that the count leaves spare.
        DWORD spare = 0;
        for (unsigned i = count; i < n; ++i)
            spare |= processorMasks[i];
        return spare;
    }
    case AFFINITY_SEPARATE:
    default:
        return processorMasks[clientIndex % n];
    }
}

void FillAffinityTable(AffinityTableType& table, unsigned n, const DWORD processorMasks[], DWORD activeMask)
{
    for (DWORD type = 0; type < 3; ++type)
        for (unsigned count = 1; count < MAX_CLIENTS; ++count)
            for (unsigned j = 0; j < count; ++j)
                table[type][count][j] = ComputeAffinityMask(type, count, j, n, processorMasks, activeMask);
}

void BuildAffinityTable(AffinityTableType& table)
{
    DWORD masks[MAX_CLIENTS] = {};
    DWORD activeMask = 0;
    unsigned n = MachineProcessors(masks, activeMask);
    FillAffinityTable(table, n, masks, activeMask);
}

void BuildAffinityTable9x(AffinityTableType& table)
{
    for (auto& type : table)
        type[1][0] = 0x1;
}

DWORD ClientAffinityMask(const ServiceParams& params, const AffinityTableType& table, unsigned clientIndex)
{
    if (params.AffType == AFFINITY_CUSTOM)
        return clientIndex < MAX_CLIENTS ? params.CustAff[clientIndex] : 0;

    // The None row of one client is the whole active mask (the 9x table sets
    // it to processor 0); the cases the table cannot answer are computed
    // from it.
    DWORD activeMask = table[AFFINITY_NONE][1][0];
    DWORD affType = params.AffType < 3 ? params.AffType : AFFINITY_SEPARATE;
    unsigned count = params.NumClients;
    if (count == 0 || clientIndex >= count || clientIndex >= MAX_CLIENTS)
        return activeMask;
    DWORD mask = 0;
    if (count < MAX_CLIENTS) {
        mask = table[affType][count][clientIndex];
    } else {
        // Decision: the table has no row for 32 clients (its counts stop at
        // 31), so 32 clients get the row the same formulas give for a count
        // of 32, over the processors of the active mask.
        DWORD masks[MAX_CLIENTS] = {};
        unsigned n = ActiveProcessorMasks(MAX_CLIENTS, activeMask, masks);
        mask = ComputeAffinityMask(affType, MAX_CLIENTS, clientIndex, n, masks, activeMask);
    }
    // Rows the 9x table leaves unbuilt hold 0, which no process can be
    // pinned to: such clients run on the active mask instead.
    return mask ? mask : activeMask;
}

unsigned LogicalProcessorsFromCpuid(const int leaf0[4], const int leaf1[4])
{
    // The vendor id is spread over EBX, EDX and ECX, in that order.
    char vendor[13] = {};
    memcpy(vendor + 0, &leaf0[1], 4);
    memcpy(vendor + 4, &leaf0[3], 4);
    memcpy(vendor + 8, &leaf0[2], 4);
    if (strcmp(vendor, "GenuineIntel") != 0 || static_cast<unsigned>(leaf0[0]) < 1)
        return 1;
    const unsigned hyperThreading = 1u << 28;
    if ((static_cast<unsigned>(leaf1[3]) & hyperThreading) == 0)
        return 1;
    return (static_cast<unsigned>(leaf1[1]) >> 16) & 0xFF;
}

unsigned LogicalProcessorsPerPackage()
{
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    // A 64-bit process is told PROCESSOR_ARCHITECTURE_AMD64 for the same x86
    // processors that a 32-bit one sees as PROCESSOR_ARCHITECTURE_INTEL;
    // testing for INTEL alone would switch the detection off in the x64 build.
    bool x86Family = info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_INTEL ||
                     info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64;
    if (info.dwNumberOfProcessors < 2 || !x86Family || info.wProcessorLevel < 6 || !CpuidAvailable())
        return 1;
    int leaf0[4] = {};
    int leaf1[4] = {};
    Cpuid(leaf0, 0);
    if (static_cast<unsigned>(leaf0[0]) >= 1)
        Cpuid(leaf1, 1);
    return LogicalProcessorsFromCpuid(leaf0, leaf1);
}

DWORD LogicalIdBits(unsigned logicalPerPackage)
{
    DWORD power = 2;
    while (power < logicalPerPackage && power < 0x100)
        power <<= 1;
    return power - 1;
}

void SplitApicIds(unsigned n, const DWORD apicIds[], unsigned logicalPerPackage, DWORD logicalIds[],
                  DWORD packageNumbers[])
{
    DWORD bits = LogicalIdBits(logicalPerPackage);
    // First list position of each package value; 0xFF = not seen yet.
    BYTE firstPosition[256];
    memset(firstPosition, 0xFF, sizeof firstPosition);
    if (n > MAX_CLIENTS)
        n = MAX_CLIENTS;
    for (unsigned i = 0; i < n; ++i) {
        DWORD apicId = apicIds[i] & 0xFF;
        logicalIds[i] = apicId & bits;
        DWORD packageValue = apicId & ~bits;
        if (firstPosition[packageValue] == 0xFF)
            firstPosition[packageValue] = static_cast<BYTE>(i);
        packageNumbers[i] = firstPosition[packageValue];
    }
}

DWORD ReadInitialApicId(DWORD processorMask)
{
    // Bound by name: the Windows 95/98/Me kernel32 is not documented to export
    // the affinity functions, and qelsvc9x carries this code too.  Without
    // them the CPUID below reads whichever processor the thread is on.
    using GetProcessAffinityMaskFn = BOOL(WINAPI*)(HANDLE, PDWORD_PTR, PDWORD_PTR);
    using SetThreadAffinityMaskFn = DWORD_PTR(WINAPI*)(HANDLE, DWORD_PTR);
    auto getProcessAffinityMask = qel::BindKernel32<GetProcessAffinityMaskFn>("GetProcessAffinityMask");
    auto setThreadAffinityMask = qel::BindKernel32<SetThreadAffinityMaskFn>("SetThreadAffinityMask");

    DWORD_PTR processMask = 0;
    DWORD_PTR systemMask = 0;
    HANDLE thread = GetCurrentThread();
    if (getProcessAffinityMask)
        getProcessAffinityMask(GetCurrentProcess(), &processMask, &systemMask);
    if (setThreadAffinityMask)
        setThreadAffinityMask(thread, processorMask);
    Sleep(0); // let the scheduler move the thread onto that processor
    int regs[4] = {};
    Cpuid(regs, 1);
    if (setThreadAffinityMask)
        setThreadAffinityMask(thread, processMask);
    return (static_cast<unsigned>(regs[1]) >> 24) & 0xFF;
}

int GetProcessorTopology(DWORD logicalIds[MAX_CLIENTS], DWORD packageNumbers[MAX_CLIENTS])
{
    DWORD masks[MAX_CLIENTS] = {};
    DWORD activeMask = 0;
    unsigned n = MachineProcessors(masks, activeMask);
    if (n < 2) {
        logicalIds[0] = 0;
        packageNumbers[0] = 0;
        return 1;
    }
    unsigned logicalPerPackage = LogicalProcessorsPerPackage();
    if (logicalPerPackage <= 1) {
        for (unsigned i = 0; i < n; ++i) {
            logicalIds[i] = 0;
            packageNumbers[i] = i;
        }
        return 1;
    }
    DWORD apicIds[MAX_CLIENTS] = {};
    for (unsigned i = 0; i < n; ++i)
        apicIds[i] = ReadInitialApicId(masks[i]);
    SplitApicIds(n, apicIds, logicalPerPackage, logicalIds, packageNumbers);
    return 1;
}

AffinityLayout ComputeOptimisedLayout(unsigned n, const DWORD processorMasks[], DWORD activeMask,
                                      const DWORD logicalIds[], const DWORD packageNumbers[], bool withExtraClients)
{
    AffinityLayout layout;
    if (n <= 1)
        return layout; // one processor: every type gives the same mask
    if (n > MAX_CLIENTS)
        n = MAX_CLIENTS;

    bool sharedPackages = false;
    DWORD highestPackage = 0;
    for (unsigned i = 0; i < n; ++i) {
        sharedPackages = sharedPackages || logicalIds[i] != 0;
        if (packageNumbers[i] > highestPackage)
            highestPackage = packageNumbers[i];
    }
    if (!sharedPackages) {
        layout.Outcome = OptimiseOutcome::NoSharedPackages;
        layout.NumClients = n;
        return layout;
    }

    // Package numbers are list positions, so they stay below n (<= 32).
    unsigned packages = highestPackage + 1 < MAX_CLIENTS ? highestPackage + 1 : MAX_CLIENTS;
    DWORD used = 0;
    for (unsigned k = 0; k < packages; ++k) {
        bool found = false;
        DWORD bestLogicalId = 0;
        for (unsigned i = 0; i < n; ++i) {
            if (packageNumbers[i] != k)
                continue;
            // Strictly higher: of equal logical ids the first in the list wins.
            if (!found || logicalIds[i] > bestLogicalId) {
                found = true;
                bestLogicalId = logicalIds[i];
                layout.CustAff[k] = processorMasks[i];
            }
        }
        // A package number without processor (a gap in the numbering)
        // repeats the previous client's mask; package 0 always has one.
        if (!found)
            layout.CustAff[k] = k > 0 ? layout.CustAff[k - 1] : processorMasks[0];
        used |= layout.CustAff[k];
    }

    unsigned clients = packages;
    if (withExtraClients) {
        DWORD spare = activeMask & ~used;
        DWORD extraMask = spare ? spare : activeMask;
        unsigned extra = (packages + 1) / 2;
        // Decision: the client slots hold 32 entries; extra clients beyond
        // them are dropped rather than stored past the end.
        for (unsigned e = 0; e < extra && clients < MAX_CLIENTS; ++e)
            layout.CustAff[clients++] = extraMask;
    }
    layout.Outcome = OptimiseOutcome::Custom;
    layout.NumClients = clients;
    layout.AffType = AFFINITY_CUSTOM;
    return layout;
}

AffinityLayout OptimiseAffinity(bool withExtraClients)
{
    DWORD masks[MAX_CLIENTS] = {};
    DWORD activeMask = 0;
    unsigned n = MachineProcessors(masks, activeMask);
    if (n <= 1)
        return AffinityLayout();
    DWORD logicalIds[MAX_CLIENTS] = {};
    DWORD packageNumbers[MAX_CLIENTS] = {};
    GetProcessorTopology(logicalIds, packageNumbers);
    return ComputeOptimisedLayout(n, masks, activeMask, logicalIds, packageNumbers, withExtraClients);
}

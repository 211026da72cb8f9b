// Affinity tables, the APIC-id split and the optimised layout, fed with known
// machines; plus a check that the machine functions agree with them here.
#include <gtest/gtest.h>

#include <vector>

#include "affinity.h"

namespace {

struct Machine {
    unsigned N;
    DWORD Active;
    DWORD P[MAX_CLIENTS];
};

Machine MakeMachine(unsigned n, DWORD active)
{
    Machine m = {};
    m.N = ActiveProcessorMasks(n, active, m.P);
    m.Active = active;
    return m;
}

std::vector<DWORD> Row(const AffinityTableType& table, DWORD type, unsigned count)
{
    return std::vector<DWORD>(table[type][count], table[type][count] + count);
}

using Masks = std::vector<DWORD>;

} // namespace

TEST(ProcessorList, TakesTheSetBitsFromTheLowestUp)
{
    DWORD masks[MAX_CLIENTS] = {};
    ASSERT_EQ(3u, ActiveProcessorMasks(3, 0x2C, masks));
    EXPECT_EQ(0x4u, masks[0]);
    EXPECT_EQ(0x8u, masks[1]);
    EXPECT_EQ(0x20u, masks[2]);
    // A count above the mask's bits, or above 32, stops at what exists.
    EXPECT_EQ(2u, ActiveProcessorMasks(4, 0x3, masks));
    EXPECT_EQ(32u, ActiveProcessorMasks(64, 0xFFFFFFFF, masks));
    EXPECT_EQ(0x80000000u, masks[31]);
}

TEST(AffinityTable, TwoProcessorRows)
{
    Machine m = MakeMachine(2, 0x3);
    AffinityTableType table = {};
    FillAffinityTable(table, m.N, m.P, m.Active);

    EXPECT_EQ((Masks{0x1}), Row(table, 0, 1));
    EXPECT_EQ((Masks{0x1, 0x2}), Row(table, 0, 2));
    EXPECT_EQ((Masks{0x1, 0x2, 0x1}), Row(table, 0, 3));
    EXPECT_EQ((Masks{0x1, 0x2, 0x1, 0x2, 0x1}), Row(table, 0, 5));
    for (unsigned count = 1; count < MAX_CLIENTS; ++count)
        EXPECT_EQ(Masks(count, 0x3), Row(table, 1, count)) << count;
    EXPECT_EQ((Masks{0x1}), Row(table, 2, 1));
    EXPECT_EQ((Masks{0x1, 0x3}), Row(table, 2, 2));
    EXPECT_EQ((Masks{0x1, 0x2, 0x3}), Row(table, 2, 3));
    EXPECT_EQ((Masks{0x1, 0x2, 0x3, 0x3}), Row(table, 2, 4));
    EXPECT_EQ((Masks{0x1, 0x2, 0x1, 0x3, 0x3}), Row(table, 2, 5));
    // Row 0 and the entries beyond a row's count are not written.
    EXPECT_EQ(0u, table[0][0][0]);
    EXPECT_EQ(0u, table[2][3][3]);
}

TEST(AffinityTable, MixedRowsLeaveSpareProcessorsToTheSecondHalf)
{
    Machine four = MakeMachine(4, 0xF);
    AffinityTableType table = {};
    FillAffinityTable(table, four.N, four.P, four.Active);
    EXPECT_EQ((Masks{0x1, 0xC}), Row(table, 2, 2));
    EXPECT_EQ((Masks{0x1, 0x2, 0x8}), Row(table, 2, 3));
    EXPECT_EQ((Masks{0x1, 0x2, 0xF, 0xF}), Row(table, 2, 4));

    Machine eight = MakeMachine(8, 0xFF);
    FillAffinityTable(table, eight.N, eight.P, eight.Active);
    EXPECT_EQ((Masks{0x1, 0xFC}), Row(table, 2, 2));
    EXPECT_EQ((Masks{0x1, 0x2, 0xF0, 0xF0}), Row(table, 2, 4));
    // Separate wraps round the list: client 8 is back on processor 0.
    EXPECT_EQ(0x1u, table[0][9][8]);
}

TEST(AffinityTable, OneProcessorPinsEveryClientToIt)
{
    Machine m = MakeMachine(1, 0x4);
    AffinityTableType table = {};
    FillAffinityTable(table, m.N, m.P, m.Active);
    for (DWORD type = 0; type < 3; ++type)
        for (unsigned count = 1; count < MAX_CLIENTS; ++count)
            EXPECT_EQ(Masks(count, 0x4), Row(table, type, count)) << type << "/" << count;
}

TEST(ClientMask, CustomTypeUsesTheStoredList)
{
    AffinityTableType table = {};
    ServiceParams params;
    params.AffType = AFFINITY_CUSTOM;
    params.NumClients = 2;
    params.CustAff[1] = 0x8;
    EXPECT_EQ(0x8u, ClientAffinityMask(params, table, 1));
}

TEST(ClientMask, ThirtyTwoClientsGetTheFormulaForThatCount)
{
    Machine m = MakeMachine(4, 0xF);
    AffinityTableType table = {};
    FillAffinityTable(table, m.N, m.P, m.Active);
    ServiceParams params;
    params.NumClients = 32;
    params.AffType = AFFINITY_SEPARATE;
    EXPECT_EQ(0x1u, ClientAffinityMask(params, table, 0));
    EXPECT_EQ(0x8u, ClientAffinityMask(params, table, 31));
    params.AffType = AFFINITY_MIXED;
    EXPECT_EQ(0x2u, ClientAffinityMask(params, table, 13));
    EXPECT_EQ(0x8u, ClientAffinityMask(params, table, 15));
    EXPECT_EQ(0xFu, ClientAffinityMask(params, table, 16));
    params.AffType = AFFINITY_NONE;
    EXPECT_EQ(0xFu, ClientAffinityMask(params, table, 31));
    // Below 32 the table answers.
    params.NumClients = 3;
    params.AffType = AFFINITY_MIXED;
    EXPECT_EQ(0x8u, ClientAffinityMask(params, table, 2));
}

TEST(ClientMask, NineXTableGivesEveryClientProcessorZero)
{
    AffinityTableType table = {};
    BuildAffinityTable9x(table);
    for (DWORD type = 0; type < 3; ++type)
        EXPECT_EQ(0x1u, table[type][1][0]);
    EXPECT_EQ(0u, table[0][2][0]);
    // Rows the 9x table leaves empty must still give a usable mask.
    ServiceParams params;
    params.NumClients = 4;
    params.AffType = AFFINITY_MIXED;
    EXPECT_EQ(0x1u, ClientAffinityMask(params, table, 3));
    params.NumClients = 32;
    EXPECT_EQ(0x1u, ClientAffinityMask(params, table, 31));
}

TEST(Topology, LogicalIdBits)
{
    EXPECT_EQ(0x1u, LogicalIdBits(0));
    EXPECT_EQ(0x1u, LogicalIdBits(2));
    EXPECT_EQ(0x3u, LogicalIdBits(3));
    EXPECT_EQ(0x3u, LogicalIdBits(4));
    EXPECT_EQ(0x7u, LogicalIdBits(5));
    EXPECT_EQ(0xFFu, LogicalIdBits(255));
}

TEST(Topology, CpuidLeavesGiveLogicalCountOnlyForIntelHyperThreading)
{
    // "GenuineIntel" is spread over EBX, EDX, ECX.
    const int intel[4] = {5, 0x756E6547, 0x6C65746E, 0x49656E69};
    const int other[4] = {5, 0x68747541, 0x444D4163, 0x69746E65};
    const int noLeafOne[4] = {0, 0x756E6547, 0x6C65746E, 0x49656E69};
    const int ht[4] = {0, 0x00020000, 0, 1 << 28};
    const int noHt[4] = {0, 0x00020000, 0, 0};
    EXPECT_EQ(2u, LogicalProcessorsFromCpuid(intel, ht));
    EXPECT_EQ(1u, LogicalProcessorsFromCpuid(intel, noHt));
    EXPECT_EQ(1u, LogicalProcessorsFromCpuid(other, ht));
    EXPECT_EQ(1u, LogicalProcessorsFromCpuid(noLeafOne, ht));
}

TEST(Topology, ApicIdsSplitIntoLogicalIdsAndRenumberedPackages)
{
    const DWORD apicIds[] = {0, 6, 1, 7};
    DWORD logical[4] = {};
    DWORD package[4] = {};
    SplitApicIds(4, apicIds, 2, logical, package);
    EXPECT_EQ((Masks{0, 0, 1, 1}), Masks(logical, logical + 4));
    EXPECT_EQ((Masks{0, 1, 0, 1}), Masks(package, package + 4));

    // Four logical processors per package: two id bits.
    const DWORD four[] = {4, 5, 0, 7};
    SplitApicIds(4, four, 4, logical, package);
    EXPECT_EQ((Masks{0, 1, 0, 3}), Masks(logical, logical + 4));
    EXPECT_EQ((Masks{0, 0, 2, 0}), Masks(package, package + 4));
}

namespace {

AffinityLayout Optimise(const Machine& m, const std::vector<DWORD>& apicIds, unsigned logicalPerPackage, bool extra)
{
    DWORD logical[MAX_CLIENTS] = {};
    DWORD package[MAX_CLIENTS] = {};
    SplitApicIds(m.N, apicIds.data(), logicalPerPackage, logical, package);
    return ComputeOptimisedLayout(m.N, m.P, m.Active, logical, package, extra);
}

Masks Clients(const AffinityLayout& layout)
{
    return Masks(layout.CustAff, layout.CustAff + layout.NumClients);
}

} // namespace

TEST(OptimisedLayout, OnePackageWithTwoLogicalProcessors)
{
    Machine m = MakeMachine(2, 0x3);
    AffinityLayout plain = Optimise(m, {0, 1}, 2, false);
    EXPECT_EQ(OptimiseOutcome::Custom, plain.Outcome);
    EXPECT_EQ(3u, plain.AffType);
    EXPECT_EQ((Masks{0x2}), Clients(plain));
    AffinityLayout extra = Optimise(m, {0, 1}, 2, true);
    EXPECT_EQ((Masks{0x2, 0x1}), Clients(extra));
}

TEST(OptimisedLayout, TwoPackagesTakeTheirHighestLogicalProcessor)
{
    Machine m = MakeMachine(4, 0xF);
    EXPECT_EQ((Masks{0x4, 0x8}), Clients(Optimise(m, {0, 6, 1, 7}, 2, false)));
    EXPECT_EQ((Masks{0x4, 0x8, 0x3}), Clients(Optimise(m, {0, 6, 1, 7}, 2, true)));
}

TEST(OptimisedLayout, ExtraClientsGetEverythingWhenNothingIsSpare)
{
    // Two packages of two logical processors but only the second logical
    // processor of each is active: the package clients cover all of A.
    Machine m = MakeMachine(2, 0xA);
    AffinityLayout layout = Optimise(m, {1, 3}, 2, true);
    EXPECT_EQ((Masks{0x2, 0x8, 0xA}), Clients(layout));
}

TEST(OptimisedLayout, GapsInPackageNumbersRepeatThePreviousMask)
{
    // Package values 0 and 2 take positions 0 and 2: package number 1 has
    // no processor.
    Machine m = MakeMachine(4, 0xF);
    AffinityLayout layout = Optimise(m, {0, 1, 2, 3}, 2, false);
    EXPECT_EQ((Masks{0x2, 0x2, 0x8}), Clients(layout));
}

TEST(OptimisedLayout, NoSharedPackagesAndSingleProcessor)
{
    Machine m = MakeMachine(4, 0xF);
    AffinityLayout layout = Optimise(m, {0, 2, 4, 6}, 2, true);
    EXPECT_EQ(OptimiseOutcome::NoSharedPackages, layout.Outcome);
    EXPECT_EQ(4u, layout.NumClients);
    EXPECT_EQ(0u, layout.AffType);

    Machine one = MakeMachine(1, 0x1);
    AffinityLayout single = Optimise(one, {0}, 1, true);
    EXPECT_EQ(OptimiseOutcome::OneProcessor, single.Outcome);
    EXPECT_EQ(1u, single.NumClients);
    EXPECT_EQ(0u, single.AffType);
}

TEST(OptimisedLayout, ExtraClientsStopAtThirtyTwo)
{
    // 32 processors, each its own package number but with a nonzero logical
    // id somewhere: K = 32 packages leave no room for extra clients.
    Machine m = MakeMachine(32, 0xFFFFFFFF);
    DWORD logical[MAX_CLIENTS] = {};
    DWORD package[MAX_CLIENTS] = {};
    for (unsigned i = 0; i < MAX_CLIENTS; ++i)
        package[i] = i;
    logical[5] = 1;
    AffinityLayout layout = ComputeOptimisedLayout(m.N, m.P, m.Active, logical, package, true);
    EXPECT_EQ(32u, layout.NumClients);
    EXPECT_EQ(0x80000000u, layout.CustAff[31]);

    // 22 packages: 22 + 11 would be 33.
    for (unsigned i = 22; i < MAX_CLIENTS; ++i)
        package[i] = 21;
    layout = ComputeOptimisedLayout(m.N, m.P, m.Active, logical, package, true);
    EXPECT_EQ(32u, layout.NumClients);
}

TEST(MachineTopology, AgreesWithTheMachine)
{
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    AffinityTableType table = {};
    BuildAffinityTable(table);
    EXPECT_EQ(static_cast<DWORD>(info.dwActiveProcessorMask & 0xFFFFFFFF), table[AFFINITY_NONE][1][0]);

    DWORD logical[MAX_CLIENTS] = {};
    DWORD package[MAX_CLIENTS] = {};
    EXPECT_EQ(1, GetProcessorTopology(logical, package));
    EXPECT_EQ(0u, package[0]);
    EXPECT_GE(LogicalProcessorsPerPackage(), 1u);

    // Reading an APIC id puts the thread back on the process mask.
    DWORD_PTR processMask = 0, systemMask = 0;
    GetProcessAffinityMask(GetCurrentProcess(), &processMask, &systemMask);
    EXPECT_LE(ReadInitialApicId(0x1), 255u);
    DWORD_PTR previous = SetThreadAffinityMask(GetCurrentThread(), processMask);
    EXPECT_EQ(processMask, previous);

    AffinityLayout layout = OptimiseAffinity(true);
    EXPECT_GE(layout.NumClients, 1u);
    EXPECT_LE(layout.NumClients, MAX_CLIENTS);
}

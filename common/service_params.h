// The settings record and the per-client limits shared by every part of the
// supervisor.
#pragma once

#include <windows.h>

constexpr unsigned MAX_CLIENTS = 32;

// One field per registry value of "Software\Morl\qel\svcparms", named after
// it.  Flags hold 0 or 1 when saved; any non-zero value read counts as set.
struct ServiceParams {
    DWORD AutoRestart = 0;
    DWORD MonitorRestart = 0;
    DWORD StuckRestart = 0;
    DWORD KeepVisible = 0;
    DWORD RestartTime = 0;
    DWORD TrueIdle = 0;
    DWORD NormalizeXP = 0;
    DWORD WUQueue = 0;
    DWORD AutodialType = 0;
    DWORD HourlyRestart = 0;
    DWORD NumClients = 1;
    DWORD AffType = 0;
    // Start values of the arrays are 0: nothing reads them before a load
    // fills them, and a queue grown by -w keeps its old QueueN entries.
    DWORD CustAff[MAX_CLIENTS] = {};
    // The work-unit queue: the first WUQueue entries of each array are in use.
    DWORD QueueK[MAX_CLIENTS] = {};
    DWORD QueueN[MAX_CLIENTS] = {};
    DWORD QueueState[MAX_CLIENTS] = {};
    DWORD QueueOrder[MAX_CLIENTS] = {};
    // Not a registry value: which values the load took from the policy key
    // (one bit per row of POLICY_VALUES, common/settings.h).  A save leaves
    // them as stored, and the commands refuse to change them.
    DWORD PolicyFixed = 0;
};

// Affinity types.
enum AffinityType : DWORD {
    AFFINITY_SEPARATE = 0,
    AFFINITY_NONE = 1,
    AFFINITY_MIXED = 2,
    AFFINITY_CUSTOM = 3,
};

// Masks per affinity type (0..2), client count (0..31) and client index.
using AffinityTableType = DWORD[3][MAX_CLIENTS][MAX_CLIENTS];

// The five per-client arrays that the run loop owns.  A non-zero ProcessId
// marks a live slot.
struct ClientSlots {
    HANDLE ProcessHandle[MAX_CLIENTS] = {};
    DWORD ProcessId[MAX_CLIENTS] = {};
    DWORD MainThreadId[MAX_CLIENTS] = {};
    HWND MainWindow[MAX_CLIENTS] = {};
    HWND StartButton[MAX_CLIENTS] = {};
};

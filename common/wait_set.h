// The run loop's wait list: entry 0 is StopEvent, every further entry the
// process handle of one live client with that client's index, in the order
// the clients were started.
#pragma once

#include <windows.h>

#include "service_params.h"

struct WaitSet {
    HANDLE Handles[1 + MAX_CLIENTS] = {};
    int ClientIndex[1 + MAX_CLIENTS] = {};
    DWORD Count = 0;
};

// One wait covers the stop event and every client: no Windows waits on more
// than MAXIMUM_WAIT_OBJECTS handles at once.
static_assert(1 + MAX_CLIENTS <= MAXIMUM_WAIT_OBJECTS, "the run loop's wait must fit one WaitForMultipleObjects");

// Entry 0 alone: stopEvent, client index -1.
void WaitSetReset(WaitSet& set, HANDLE stopEvent);

// Adds a client at the end; false when the set is full.
bool WaitSetAppend(WaitSet& set, HANDLE process, int clientIndex);

// The entry of a client (1 or more), or 0 when it has none.
DWORD WaitSetFind(const WaitSet& set, int clientIndex);

// A relaunched client keeps its place: its entry gets the new handle.
// False when the client has no entry.
bool WaitSetReplace(WaitSet& set, int clientIndex, HANDLE process);

// Removes entry n (1 <= n < Count); the entries behind it move up one place.
void WaitSetRemoveAt(WaitSet& set, DWORD n);

// Removes the entry of a client, if it has one.
void WaitSetRemoveClient(WaitSet& set, int clientIndex);

// What a return of WaitForMultipleObjects over the set means.
enum class WakeReason { StopEvent, ClientEnded, Timeout, Failed };

// Classifies a wait result; for ClientEnded, *entry is the entry (1..Count-1).
// Anything else (WAIT_FAILED, an abandoned or unknown value) is Failed and
// never yields an entry.
WakeReason ClassifyWait(DWORD waitResult, DWORD count, DWORD* entry);

#include "wait_set.h"

void WaitSetReset(WaitSet& set, HANDLE stopEvent)
{
    set.Handles[0] = stopEvent;
    set.ClientIndex[0] = -1;
    set.Count = 1;
}

bool WaitSetAppend(WaitSet& set, HANDLE process, int clientIndex)
{
    if (set.Count >= 1 + MAX_CLIENTS)
        return false;
    set.Handles[set.Count] = process;
    set.ClientIndex[set.Count] = clientIndex;
    ++set.Count;
    return true;
}

DWORD WaitSetFind(const WaitSet& set, int clientIndex)
{
    for (DWORD n = 1; n < set.Count; ++n) {
        if (set.ClientIndex[n] == clientIndex)
            return n;
    }
    return 0;
}

bool WaitSetReplace(WaitSet& set, int clientIndex, HANDLE process)
{
    DWORD n = WaitSetFind(set, clientIndex);
    if (n == 0)
        return false;
    set.Handles[n] = process;
    return true;
}

void WaitSetRemoveAt(WaitSet& set, DWORD n)
{
    if (n == 0 || n >= set.Count)
        return;
    for (DWORD k = n; k + 1 < set.Count; ++k) {
        set.Handles[k] = set.Handles[k + 1];
        set.ClientIndex[k] = set.ClientIndex[k + 1];
    }
    --set.Count;
    set.Handles[set.Count] = nullptr;
    set.ClientIndex[set.Count] = 0;
}

void WaitSetRemoveClient(WaitSet& set, int clientIndex)
{
    WaitSetRemoveAt(set, WaitSetFind(set, clientIndex));
}

WakeReason ClassifyWait(DWORD waitResult, DWORD count, DWORD* entry)
{
    if (waitResult == WAIT_OBJECT_0)
        return WakeReason::StopEvent;
    if (waitResult == WAIT_TIMEOUT)
        return WakeReason::Timeout;
    if (waitResult > WAIT_OBJECT_0 && waitResult < WAIT_OBJECT_0 + count) {
        *entry = waitResult - WAIT_OBJECT_0;
        return WakeReason::ClientEnded;
    }
    return WakeReason::Failed;
}

// Plays a debug-output monitor that never reads: it makes the shared-memory
// protocol's objects and never says that the buffer is ready, so that every
// OutputDebugStringA of the session waits for it (up to 10 s a call).
#pragma once

#include <windows.h>

#include "win_handles.h"

namespace qeltest {

class SilentDebugMonitor {
public:
    SilentDebugMonitor();
    SilentDebugMonitor(const SilentDebugMonitor&) = delete;
    SilentDebugMonitor& operator=(const SilentDebugMonitor&) = delete;

    // False when the objects could not be made, or another monitor (a
    // DebugTraceCapture) owns them.
    bool Active() const { return active_; }

private:
    bool active_ = false;
    qel::UniqueHandle mapping_;
    qel::UniqueHandle bufferReady_;
    qel::UniqueHandle dataReady_;
};

} // namespace qeltest

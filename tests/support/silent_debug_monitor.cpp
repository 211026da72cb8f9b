#include "silent_debug_monitor.h"

namespace qeltest {

SilentDebugMonitor::SilentDebugMonitor()
{
    // All three must exist, or a writer finds no monitor and does not wait.
    bufferReady_.reset(CreateEventA(nullptr, FALSE, FALSE, "DBWIN_BUFFER_READY"));
    if (!bufferReady_ || GetLastError() == ERROR_ALREADY_EXISTS)
        return;
    dataReady_.reset(CreateEventA(nullptr, FALSE, FALSE, "DBWIN_DATA_READY"));
    mapping_.reset(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, "DBWIN_BUFFER"));
    active_ = dataReady_ && mapping_;
}

} // namespace qeltest

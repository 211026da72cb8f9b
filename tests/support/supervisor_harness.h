// Runs the real supervisor run loop in the test process: a SupervisorCore with
// shortened timings and a scratch log, Run on a thread of its own, stand-in
// clients configured and read back through their state keys.
#pragma once

#include <windows.h>

#include <mutex>
#include <string>
#include <vector>

#include "log_lines.h"
#include "standin_client.h"
#include "supervisor_core.h"
#include "win_handles.h"

namespace qeltest {

class RunLoopHarness {
public:
    // numClients copies of the stand-in, behaviour keys of those slots
    // cleared; short timings; the log in a scratch file.
    explicit RunLoopHarness(DWORD numClients);
    ~RunLoopHarness();
    RunLoopHarness(const RunLoopHarness&) = delete;
    RunLoopHarness& operator=(const RunLoopHarness&) = delete;

    // Starts Run on its own thread (Running set as the service framework
    // does just before calling it).
    void Start();
    // Start, then waits until the log holds `count` successful client starts.
    bool StartClients(int count, DWORD timeoutMs);
    // The host's stop request (OnStop's body); then waits up to joinMs for
    // Run to return.  True when it returned.
    bool Stop(DWORD joinMs = 60000);
    // True when Run returned within timeoutMs.
    bool WaitRunEnd(DWORD timeoutMs);

    std::vector<std::string> Log() const { return ReadLogLines(core.LogPath); }
    // The log as text, for failure messages.
    std::string LogDump() const;
    // Waits until the log holds `count` lines equal to (or starting with)
    // text.
    bool WaitForLog(const std::string& text, DWORD timeoutMs, int count = 1, bool prefix = false) const;
    // Ends the copy with this process id from outside and waits until the
    // log tells that the copy of slot `index` (client index + 1) ended.
    bool EndClient(DWORD processId, unsigned index, DWORD timeoutMs) const;
    // The tray keeper's window once it exists (null after timeoutMs).
    HWND WaitForTrayWindow(DWORD timeoutMs) const;
    // Waits until every slot below numClients is live.
    bool WaitAllLive(DWORD timeoutMs) const;

    // The events the loop handed to its event sink, in order.
    struct CapturedEvent {
        WORD Type;
        DWORD Id;
        std::vector<std::string> Strings;
    };
    std::vector<CapturedEvent> Events() const;
    int CountEvents(DWORD id) const;

    SupervisorCore core{"qel run loop test"};
    volatile BOOL running = FALSE;

private:
    static DWORD WINAPI RunThread(void* self);
    static void CaptureEvent(void* self, const SupervisorEvent& event);
    mutable std::mutex eventsLock_;
    std::vector<CapturedEvent> events_;
    void EndLeftoverClients();

    DWORD numClients_;
    qel::UniqueHandle thread_;
};

} // namespace qeltest

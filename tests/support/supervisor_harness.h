// Runs the real supervisor run loop in the test process: a SupervisorCore with
// shortened timings and a scratch log, Run on a thread of its own, stand-in
// clients configured and read back through their state keys.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "supervisor_core.h"

// HKLM path of the stand-in state key of a client index (cache, cache2, ...).
std::string StandInKeyPath(unsigned clientIndex);
void SetStandInValue(unsigned clientIndex, const char* name, DWORD value);
DWORD ReadStandInDword(unsigned clientIndex, const char* name, DWORD missing = 0);
std::string ReadStandInString(unsigned clientIndex, const char* name);
void DeleteStandInKey(unsigned clientIndex);

// Terminates a process by id (when it still runs) and waits for it, bounded.
void EndProcessById(DWORD processId);
// True when the process has ended (or no longer exists) within timeoutMs.
bool WaitProcessEnd(DWORD processId, DWORD timeoutMs, DWORD* exitCode = nullptr);

// The texts of the log lines, without their time stamps.
std::vector<std::string> ReadLogTexts(const char* path);

// Index of the first line equal to `text` (or starting with it, when
// `prefix`) at or after `from`; -1 when none.
int FindLine(const std::vector<std::string>& lines, const std::string& text, size_t from = 0,
             bool prefix = false);
int CountLines(const std::vector<std::string>& lines, const std::string& text, bool prefix = false);

// "0x%x" as the log prints values.
std::string Hex(DWORD value);

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
    // The host's stop request (OnStop's body); then waits up to joinMs for
    // Run to return.  True when it returned.
    bool Stop(DWORD joinMs = 60000);
    // True when Run returned within timeoutMs.
    bool WaitRunEnd(DWORD timeoutMs);

    std::vector<std::string> Log() const { return ReadLogTexts(core.LogPath); }
    // Waits until the log holds `count` lines equal to (or starting with)
    // text.
    bool WaitForLog(const std::string& text, DWORD timeoutMs, int count = 1, bool prefix = false) const;
    // Waits until every slot below numClients is live.
    bool WaitAllLive(DWORD timeoutMs) const;

    SupervisorCore core{"qel run loop test"};
    volatile BOOL running = FALSE;

private:
    static DWORD WINAPI RunThread(void* self);
    void EndLeftoverClients();

    DWORD numClients_;
    qel::UniqueHandle thread_;
};

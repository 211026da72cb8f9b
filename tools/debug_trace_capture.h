// Collects OutputDebugStringA lines of every process of the Wine session
// (services included) through the shared-memory debug-output protocol.
#pragma once

#include <windows.h>

#include <mutex>
#include <string>
#include <vector>

#include "win_handles.h"

class DebugTraceCapture {
public:
    struct Line {
        DWORD ProcessId;
        std::string Text;
    };

    DebugTraceCapture();
    ~DebugTraceCapture();
    DebugTraceCapture(const DebugTraceCapture&) = delete;
    DebugTraceCapture& operator=(const DebugTraceCapture&) = delete;

    // False when another listener owns the protocol objects.
    bool active() const { return active_; }

    std::vector<Line> Lines() const;
    // Waits up to timeoutMs for a line that contains `needle`.
    bool WaitForText(const std::string& needle, DWORD timeoutMs) const;

private:
    static DWORD WINAPI ListenThread(LPVOID self);
    void Listen();

    bool active_ = false;
    qel::UniqueHandle mapping_;
    qel::UniqueHandle bufferReady_;
    qel::UniqueHandle dataReady_;
    qel::UniqueHandle stop_;
    qel::UniqueHandle thread_;
    void* view_ = nullptr;
    mutable std::mutex mutex_;
    std::vector<Line> lines_;
};

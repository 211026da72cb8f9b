#include "debug_trace_capture.h"

#include <cstring>

namespace {
constexpr DWORD kBufferSize = 4096;
}

DebugTraceCapture::DebugTraceCapture()
{
    bufferReady_.reset(CreateEventA(nullptr, FALSE, FALSE, "DBWIN_BUFFER_READY"));
    if (!bufferReady_ || GetLastError() == ERROR_ALREADY_EXISTS)
        return;
    dataReady_.reset(CreateEventA(nullptr, FALSE, FALSE, "DBWIN_DATA_READY"));
    mapping_.reset(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kBufferSize,
                                      "DBWIN_BUFFER"));
    if (!dataReady_ || !mapping_)
        return;
    view_ = MapViewOfFile(mapping_.get(), FILE_MAP_READ, 0, 0, kBufferSize);
    stop_.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!view_ || !stop_)
        return;
    thread_.reset(CreateThread(nullptr, 0, ListenThread, this, 0, nullptr));
    active_ = thread_.valid();
}

DebugTraceCapture::~DebugTraceCapture()
{
    if (thread_) {
        SetEvent(stop_.get());
        WaitForSingleObject(thread_.get(), 5000);
    }
    if (view_)
        UnmapViewOfFile(view_);
}

DWORD WINAPI DebugTraceCapture::ListenThread(LPVOID self)
{
    static_cast<DebugTraceCapture*>(self)->Listen();
    return 0;
}

void DebugTraceCapture::Listen()
{
    HANDLE waits[2] = {stop_.get(), dataReady_.get()};
    SetEvent(bufferReady_.get());
    for (;;) {
        DWORD which = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
        if (which != WAIT_OBJECT_0 + 1)
            return;
        const char* block = static_cast<const char*>(view_);
        DWORD processId = 0;
        memcpy(&processId, block, sizeof processId);
        std::string text(block + sizeof(DWORD), strnlen(block + sizeof(DWORD), kBufferSize - sizeof(DWORD)));
        {
            std::lock_guard<std::mutex> lock(mutex_);
            lines_.push_back({processId, text});
        }
        SetEvent(bufferReady_.get());
    }
}

std::vector<DebugTraceCapture::Line> DebugTraceCapture::Lines() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

bool DebugTraceCapture::WaitForText(const std::string& needle, DWORD timeoutMs) const
{
    DWORD start = GetTickCount();
    for (;;) {
        for (const Line& line : Lines())
            if (line.Text.find(needle) != std::string::npos)
                return true;
        if (GetTickCount() - start >= timeoutMs)
            return false;
        Sleep(20);
    }
}

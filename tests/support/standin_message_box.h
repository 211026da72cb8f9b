// Watches this process for message boxes with a given caption, counts them,
// records their text and dismisses them, as a person would.
#pragma once

#include <windows.h>

#include <string>

#include "win_handles.h"

namespace standin {

class MessageBoxWatcher {
public:
    // onShown, when given, runs on the watcher thread before a box is
    // dismissed (the box stays up meanwhile).
    using ShownCallback = void (*)(void* context);
    explicit MessageBoxWatcher(const char* caption, ShownCallback onShown = nullptr, void* context = nullptr);
    ~MessageBoxWatcher();
    MessageBoxWatcher(const MessageBoxWatcher&) = delete;
    MessageBoxWatcher& operator=(const MessageBoxWatcher&) = delete;

    int Count() const { return InterlockedCompareExchange(&count_, 0, 0); }
    // Text of the last box seen (read once the watcher has stopped or while
    // no box is expected).
    std::string LastText() const;

private:
    static DWORD WINAPI ThreadMain(void* self);
    static BOOL CALLBACK Visit(HWND window, LPARAM self);
    void Handle(HWND box);

    std::string caption_;
    ShownCallback onShown_;
    void* context_;
    mutable volatile LONG count_ = 0;
    HWND lastBox_ = nullptr;
    char lastText_[256] = {};
    mutable CRITICAL_SECTION textLock_;
    qel::UniqueHandle stop_;
    qel::UniqueHandle thread_;
};

} // namespace standin

// Finding, reading and dismissing message boxes of a program under test, the
// way a person at the screen would.
#pragma once

#include <windows.h>

#include <string>

#include "win_handles.h"

namespace qeltest {

// A dialog box (class "#32770") with this caption owned by processId (0: any
// process), if one is up right now; null otherwise.
HWND FindMessageBoxNow(const char* caption, DWORD processId);

// The text of the box as it is now ("" while it is still being built).
std::string MessageBoxText(HWND box);

// Presses OK on the box.
void DismissMessageBox(HWND box);

struct ShownBox {
    HWND Window = nullptr;
    std::string Text;
    explicit operator bool() const { return Window != nullptr; }
};

// Waits up to timeoutMs for a box with this caption owned by processId and
// reads its text once it is filled in.
ShownBox FindMessageBox(const char* caption, DWORD processId, DWORD timeoutMs);

// FindMessageBox, then DismissMessageBox; the text of the box ("" and no
// window when none came within timeoutMs).
ShownBox TakeMessageBox(const char* caption, DWORD processId, DWORD timeoutMs);

// True when a box with that caption of processId exists right now.
bool MessageBoxShown(const char* caption, DWORD processId);

// Watches this process for message boxes with a given caption from a thread
// of its own, counts them, records their text and dismisses them.
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
    void Handle(HWND box);

    std::string caption_;
    ShownCallback onShown_;
    void* context_;
    mutable volatile LONG count_ = 0;
    HWND lastBox_ = nullptr;
    std::string lastText_;
    mutable CRITICAL_SECTION textLock_;
    qel::UniqueHandle stop_;
    qel::UniqueHandle thread_;
};

} // namespace qeltest

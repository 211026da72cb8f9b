#include "standin_message_box.h"

#include <cstring>

namespace standin {

namespace {
const DWORD WATCH_INTERVAL_MS = 50;
const DWORD STOP_WAIT_MS = 5000;
}

MessageBoxWatcher::MessageBoxWatcher(const char* caption, ShownCallback onShown, void* context)
    : caption_(caption), onShown_(onShown), context_(context)
{
    InitializeCriticalSection(&textLock_);
    stop_.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    thread_.reset(CreateThread(nullptr, 0, ThreadMain, this, 0, nullptr));
}

MessageBoxWatcher::~MessageBoxWatcher()
{
    SetEvent(stop_.get());
    WaitForSingleObject(thread_.get(), STOP_WAIT_MS);
    thread_.reset();
    DeleteCriticalSection(&textLock_);
}

std::string MessageBoxWatcher::LastText() const
{
    qel::CriticalSectionLock lock(textLock_);
    return lastText_;
}

DWORD WINAPI MessageBoxWatcher::ThreadMain(void* self)
{
    MessageBoxWatcher* watcher = static_cast<MessageBoxWatcher*>(self);
    while (WaitForSingleObject(watcher->stop_.get(), WATCH_INTERVAL_MS) == WAIT_TIMEOUT)
        EnumWindows(Visit, reinterpret_cast<LPARAM>(watcher));
    return 0;
}

BOOL CALLBACK MessageBoxWatcher::Visit(HWND window, LPARAM self)
{
    MessageBoxWatcher* watcher = reinterpret_cast<MessageBoxWatcher*>(self);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != GetCurrentProcessId())
        return TRUE;
    char className[32] = {};
    GetClassNameA(window, className, sizeof className);
    if (strcmp(className, "#32770") != 0)
        return TRUE;
    // Our own box: its thread is in the box's modal loop and answers.
    char caption[128] = {};
    GetWindowTextA(window, caption, sizeof caption);
    if (watcher->caption_ != caption)
        return TRUE;
    watcher->Handle(window);
    return FALSE;
}

void MessageBoxWatcher::Handle(HWND box)
{
    if (box == lastBox_)
        return;  // dismissed already, not yet gone
    lastBox_ = box;
    {
        qel::CriticalSectionLock lock(textLock_);
        GetDlgItemTextA(box, 0xFFFF, lastText_, sizeof lastText_);
    }
    InterlockedIncrement(&count_);
    if (onShown_)
        onShown_(context_);
    PostMessageA(box, WM_COMMAND, IDOK, 0);
}

} // namespace standin

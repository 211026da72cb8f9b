#include "message_boxes.h"

#include <cstring>

namespace qeltest {

namespace {

const DWORD WATCH_INTERVAL_MS = 50;
const DWORD STOP_WAIT_MS = 5000;

struct BoxSearch {
    const char* Caption;
    DWORD ProcessId;
    HWND Found;
};

BOOL CALLBACK FindBoxCallback(HWND window, LPARAM parameter)
{
    auto* search = reinterpret_cast<BoxSearch*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (search->ProcessId != 0 && owner != search->ProcessId)
        return TRUE;
    char className[16] = {};
    GetClassNameA(window, className, sizeof className);
    if (strcmp(className, "#32770") != 0)
        return TRUE;
    char caption[128] = {};
    GetWindowTextA(window, caption, sizeof caption);
    if (strcmp(caption, search->Caption) != 0)
        return TRUE;
    search->Found = window;
    return FALSE;
}

} // namespace

HWND FindMessageBoxNow(const char* caption, DWORD processId)
{
    BoxSearch search = {caption, processId, nullptr};
    EnumWindows(FindBoxCallback, reinterpret_cast<LPARAM>(&search));
    return search.Found;
}

std::string MessageBoxText(HWND box)
{
    char text[1100] = {};
    GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
    return text;
}

void DismissMessageBox(HWND box)
{
    if (box)
        PostMessageA(box, WM_COMMAND, IDOK, 0);
}

ShownBox FindMessageBox(const char* caption, DWORD processId, DWORD timeoutMs)
{
    ShownBox box;
    DWORD start = GetTickCount();
    for (;;) {
        box.Window = FindMessageBoxNow(caption, processId);
        if (box.Window) {
            // The static text (id 0xFFFF) is filled while the box is built;
            // read it until it is there.
            for (int attempt = 0; attempt < 50 && box.Text.empty(); ++attempt) {
                box.Text = MessageBoxText(box.Window);
                if (box.Text.empty())
                    Sleep(20);
            }
            return box;
        }
        if (GetTickCount() - start >= timeoutMs)
            return box;
        Sleep(25);
    }
}

ShownBox TakeMessageBox(const char* caption, DWORD processId, DWORD timeoutMs)
{
    ShownBox box = FindMessageBox(caption, processId, timeoutMs);
    DismissMessageBox(box.Window);
    return box;
}

bool MessageBoxShown(const char* caption, DWORD processId)
{
    return FindMessageBoxNow(caption, processId) != nullptr;
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
    // Our own boxes: their threads are in the boxes' modal loops and answer.
    while (WaitForSingleObject(watcher->stop_.get(), WATCH_INTERVAL_MS) == WAIT_TIMEOUT) {
        if (HWND box = FindMessageBoxNow(watcher->caption_.c_str(), GetCurrentProcessId()))
            watcher->Handle(box);
    }
    return 0;
}

void MessageBoxWatcher::Handle(HWND box)
{
    if (box == lastBox_)
        return;  // dismissed already, not yet gone
    lastBox_ = box;
    {
        std::string text = MessageBoxText(box);
        qel::CriticalSectionLock lock(textLock_);
        lastText_ = text;
    }
    InterlockedIncrement(&count_);
    if (onShown_)
        onShown_(context_);
    DismissMessageBox(box);
}

} // namespace qeltest

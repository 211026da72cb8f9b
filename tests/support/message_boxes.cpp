#include "message_boxes.h"

#include <cstring>

namespace {

struct BoxSearch {
    const char* Caption;
    DWORD ProcessId;
    HWND Found;
};

BOOL CALLBACK FindBoxCallback(HWND window, LPARAM parameter)
{
    auto* search = reinterpret_cast<BoxSearch*>(parameter);
    char className[16] = {};
    GetClassNameA(window, className, sizeof className);
    if (strcmp(className, "#32770") != 0)
        return TRUE;
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (search->ProcessId != 0 && owner != search->ProcessId)
        return TRUE;
    char caption[128] = {};
    GetWindowTextA(window, caption, sizeof caption);
    if (strcmp(caption, search->Caption) != 0)
        return TRUE;
    search->Found = window;
    return FALSE;
}

HWND FindBoxNow(const char* caption, DWORD processId)
{
    BoxSearch search = {caption, processId, nullptr};
    EnumWindows(FindBoxCallback, reinterpret_cast<LPARAM>(&search));
    return search.Found;
}

} // namespace

ShownBox FindMessageBox(const char* caption, DWORD processId, DWORD timeoutMs)
{
    ShownBox box;
    DWORD start = GetTickCount();
    for (;;) {
        box.Window = FindBoxNow(caption, processId);
        if (box.Window) {
            // The static text (id 0xFFFF) is filled while the box is built;
            // read it until it is there.
            for (int attempt = 0; attempt < 50; ++attempt) {
                char text[1100] = {};
                GetDlgItemTextA(box.Window, 0xFFFF, text, sizeof text);
                if (text[0] != '\0') {
                    box.Text = text;
                    break;
                }
                Sleep(20);
            }
            return box;
        }
        if (GetTickCount() - start >= timeoutMs)
            return box;
        Sleep(25);
    }
}

void DismissMessageBox(HWND box)
{
    if (box)
        PostMessageA(box, WM_COMMAND, IDOK, 0);
}

ShownBox TakeMessageBox(const char* caption, DWORD processId, DWORD timeoutMs)
{
    ShownBox box = FindMessageBox(caption, processId, timeoutMs);
    if (box)
        DismissMessageBox(box.Window);
    return box;
}

bool MessageBoxShown(const char* caption, DWORD processId)
{
    return FindBoxNow(caption, processId) != nullptr;
}

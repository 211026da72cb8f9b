// Finding, reading and dismissing message boxes of a program under test.
#pragma once

#include <windows.h>

#include <string>

struct ShownBox {
    HWND Window = nullptr;
    std::string Text;
    explicit operator bool() const { return Window != nullptr; }
};

// Waits up to timeoutMs for a visible-or-not dialog box (class "#32770") with
// this caption, owned by processId (0: any process), and reads its text.
ShownBox FindMessageBox(const char* caption, DWORD processId, DWORD timeoutMs);

// Presses OK on the box.
void DismissMessageBox(HWND box);

// FindMessageBox, then DismissMessageBox; the text of the box ("" and no
// window when none came within timeoutMs).
ShownBox TakeMessageBox(const char* caption, DWORD processId, DWORD timeoutMs);

// True when a box with that caption of processId exists right now.
bool MessageBoxShown(const char* caption, DWORD processId);

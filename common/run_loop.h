// Pieces of the supervisor run loop (SupervisorCore::Run) that stand on
// their own: the stall probe and the stall countdown.
#pragma once

#include <windows.h>

constexpr int STALL_PROBE_TEXT_SIZE = 20;
// The client's progress text lies this many windows above "Start!" in
// z-order.
constexpr int STALL_PROBE_DEPTH = 13;

struct StallProbe {
    HWND ProbeWindow = nullptr;
    char ProbeText[STALL_PROBE_TEXT_SIZE] = {};
};

// Finds the progress-text window above a client's Start button and saves its
// text.  With fewer windows above, ProbeWindow becomes null and ProbeText is
// left as it was.
void CaptureStallProbe(HWND startButton, StallProbe& probe);

// Compares the probe with the text now shown (both cut to 19 characters).
// True when it has not changed; otherwise the new text is saved.
bool ProbeTextUnchanged(StallProbe& probe, const char* currentText);

// The decisions of the 9x program entry, kept apart from WinMain so that
// they can be tested without starting the program.
#pragma once

#include <windows.h>

#include <cstddef>

#include "service_params.h"

constexpr const char BOX_CAPTION_9X[] = "ZR 9x Service";
constexpr size_t PARAMETERS_FIRST_LINE_SIZE = 100;

// Skips leading blanks (0x20 only) and overwrites trailing blanks with NUL,
// in place; returns the first kept character.
char* TrimCommandLine(char* commandLine);

// What a copy does, chosen by its trimmed command line.
enum class EntryCourse {
    RunningCopy,   // empty: supervise, or ask the running copy to restart
    StopCommand,   // "-q...": stop the running copy
    StatusCommand, // "-l...": show what the running copy's clients do
    ConfigCommand, // anything else
};

EntryCourse ChooseEntryCourse(const char* trimmedCommandLine);

// The text of the status box: the client lines, then whether a copy runs.
void FormatStatusBox(char* out, size_t outSize, const char* listing, bool copyRuns);

// The text of the "Service Parameters:" box.
void FormatParametersBox(char* out, size_t outSize, const ServiceParams& params);

// Waits until the control thread has made its window.  Polls every 100 ms,
// gives up when the thread has ended (the window could not be made) or after
// limitMs.
bool WaitForControlWindow(HANDLE controlThread, DWORD limitMs);

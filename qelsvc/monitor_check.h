// "qelsvc -c[:MACHINE] [crashes=WARN[,CRIT]]": the check that monitoring
// agents and pollers run.  Exactly one line in the form their plug-ins
// share ("QELSVC OK - text | performance data") and the plug-in exit codes.
// Like "-l" it reads and prints only.
#pragma once

#include <windows.h>

#include <cstddef>

#include "status_command.h"

enum CheckCode : int { CHECK_OK = 0, CHECK_WARNING = 1, CHECK_CRITICAL = 2, CHECK_UNKNOWN = 3 };

// Crashes of all clients together in the last 24 hours: more than Warning
// is a warning, more than Critical (when not 0) critical.
struct CheckThresholds {
    DWORD CrashesWarning = 3;
    DWORD CrashesCritical = 0;
};

constexpr size_t CHECK_LINE_SIZE = 256;

// The words after the command ("crashes=3" or "crashes=3,10"); false, with
// the reason (CHECK_LINE_SIZE), for one it does not know.
bool ParseCheckOptions(int count, char* const* options, CheckThresholds& thresholds, char* problem);

// The machine of "-c" ("" for this one) or "-c:NAME", into machine
// (MACHINE_NAME_SIZE); false for a name that is not one.
bool ParseCheckMachine(const char* argument, char* machine);

// A monitoring agent kills a check at its own time-out, commonly 10 s: the
// check answers UNKNOWN before that.
constexpr DWORD CHECK_ANSWER_BOUND_MS = 8000;

// The line (without a line feed) and the code for what the machine told.
int EvaluateCheck(const MachineStatus& status, const CheckThresholds& thresholds, unsigned boundSeconds, char* line,
                  size_t lineSize);

// The command: argument "-c..." and the words after it; prints the line and
// returns the code.
int CheckCommand(const char* argument, int optionCount, char* const* options);

#include "entry9x.h"

#include <cstdio>
#include <cstring>

#include "control_window.h"
#include "settings.h"

char* TrimCommandLine(char* commandLine)
{
    if (!commandLine)
        return commandLine;
    while (*commandLine == ' ')
        ++commandLine;
    size_t length = strlen(commandLine);
    while (length > 0 && commandLine[length - 1] == ' ')
        commandLine[--length] = '\0';
    return commandLine;
}

EntryCourse ChooseEntryCourse(const char* trimmedCommandLine)
{
    if (!trimmedCommandLine || trimmedCommandLine[0] == '\0')
        return EntryCourse::RunningCopy;
    if (_strnicmp(trimmedCommandLine, "-q", 2) == 0)
        return EntryCourse::StopCommand;
    if (_strnicmp(trimmedCommandLine, "-l", 2) == 0)
        return EntryCourse::StatusCommand;
    return EntryCourse::ConfigCommand;
}

void FormatStatusBox(char* out, size_t outSize, const char* listing, bool copyRuns)
{
    snprintf(out, outSize, "%sKorvane 9x service: %s", listing, copyRuns ? "running" : "not running");
}

void FormatParametersBox(char* out, size_t outSize, const ServiceParams& params)
{
    // With the daily restart on, the first line carries a line feed of its
    // own; "Auto Restart OFF" has none.
    char firstLine[PARAMETERS_FIRST_LINE_SIZE];
    if (params.AutoRestart)
        snprintf(firstLine, sizeof firstLine, "AutoRestart ON - Time = %02u:%02u\n",
                 static_cast<unsigned>(params.RestartTime / 100), static_cast<unsigned>(params.RestartTime % 100));
    else
        snprintf(firstLine, sizeof firstLine, "Auto Restart OFF");

    // The values a policy fixes are named on one more line.
    char policyLine[300] = "";
    if (params.PolicyFixed) {
        char names[260];
        FormatPolicyValueNames(names, sizeof names, params.PolicyFixed);
        snprintf(policyLine, sizeof policyLine, "\nSet by policy: %s", names);
    }
    snprintf(out, outSize,
             "Service Parameters:\n%s\nTrue Idle=%s\nMonitor and Restart=%s\nRestart Stalled Clients=%s\n"
             "Keep Icons Visible=%s\nWUQueue=%d\nAutodialType=%d\nPeriodicRestart=%d%s",
             firstLine, FlagText(params.TrueIdle), FlagText(params.MonitorRestart), FlagText(params.StuckRestart),
             FlagText(params.KeepVisible), static_cast<int>(params.WUQueue), static_cast<int>(params.AutodialType),
             static_cast<int>(params.HourlyRestart), policyLine);
}

bool WaitForControlWindow(HANDLE controlThread, DWORD limitMs)
{
    if (!controlThread)
        return false;
    for (DWORD waited = 0;; waited += 100) {
        if (ControlChannel.ControlWindow)
            return true;
        if (waited >= limitMs)
            return false;
        // The wait on the thread is the 100 ms poll; it ends early when the
        // thread has ended without a window.
        if (WaitForSingleObject(controlThread, 100) == WAIT_OBJECT_0)
            return ControlChannel.ControlWindow != nullptr;
    }
}

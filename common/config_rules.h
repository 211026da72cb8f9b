// The rules of the configuration commands that both hosts share: argument
// matching, number reading, the changes each command makes to the settings
// record, and the work-unit queue resize.  Nothing here prints; each host
// reports the outcome in its own way (console lines, message boxes).
#pragma once

#include <windows.h>

#include <cstddef>

#include "service_params.h"

// True when the first strlen(prefix) characters of argument equal prefix,
// compared case-insensitively ("-X" and "-xyz" both match "-x").
bool MatchesCommand(const char* argument, const char* prefix);

// True when the argument carries a value: its third character is ':'.
bool HasCommandValue(const char* argument);

// Reads a signed decimal number with scanf's %d rules (leading blanks, an
// optional sign) starting at text; stores it into value as an unsigned 32-bit
// word and returns true, or returns false and leaves value alone.
bool ReadCommandNumber(const char* text, DWORD& value);

// Unsigned clamp: a "negative" number read into a DWORD is above every limit.
inline DWORD ClampUnsigned(DWORD value, DWORD limit) { return value > limit ? limit : value; }

// True for a daily restart time HHMM below 2400 with minutes below 60.
bool IsValidRestartTime(DWORD hhmm);

// -r / -r:HHMM.  Off: AutoRestart = 0.  On: RestartTime and AutoRestart = 1.
// Invalid (out of range, or no number after "-r:"): nothing changes.
// The caller saves on Off and On.
enum class RestartCommandResult { Off, On, Invalid };
RestartCommandResult ApplyRestartCommand(ServiceParams& params, const char* argument);

// The toggles: 0 becomes 1, anything else 0.  The caller saves.
void ApplyToggle(DWORD& flag);

// The five toggle commands, with the line the console prints for each.
struct ToggleCommand {
    const char* Prefix;
    DWORD ServiceParams::*Flag;
    const char* ConsoleFormat;  // takes "TRUE" or "FALSE"
};
// The toggle the argument names, or null.
const ToggleCommand* FindToggleCommand(const char* argument);

// -f:L:V sets the flag that the toggle -L switches (L one of x n m s k, in
// either case) to V, 0 or 1.  Unlike a toggle, the same command given twice
// leaves the same state, which scripts and installers need.  Returns the
// toggle named, its flag now set; null when the argument is not exactly of
// that form, and then nothing changed.  The caller saves.
const ToggleCommand* ApplySetFlagCommand(ServiceParams& params, const char* argument);

// -w waits this long for a running supervisor to let go of the settings.
constexpr DWORD QUEUE_RESIZE_WAIT_MS = 2000;

// -h / -h:min: HourlyRestart, at most 1440, 0 without a value.  No save.
void ApplyHourlyRestartCommand(ServiceParams& params, const char* argument);

// -a / -a:type: AutodialType, at most 2, 0 without a value.  No save.
void ApplyAutodialCommand(ServiceParams& params, const char* argument);

// -w / -w:n as a whole: read the new size (at most 32, 0 without a value),
// wait up to waitMs for settingsMutex, resize, save while holding it and
// release it.  Returns false when the mutex was not free in time: WUQueue is
// then back at its old value and nothing was saved.  saveError, when given,
// receives the save's result (ERROR_SUCCESS when nothing was saved).
bool ApplyQueueSizeCommand(ServiceParams& params, const char* argument, HANDLE settingsMutex, DWORD waitMs,
                           DWORD* saveError = nullptr);

// The queue moves of a resize from oldSize to newSize entries (both at most
// MAX_CLIENTS): grow initialises the new entries, shrink puts the entries into
// queue order and moves entries of state 0 and 1 towards the back.
void ResizeWorkUnitQueue(ServiceParams& params, DWORD oldSize, DWORD newSize);

// -p:n[:t[:m1,m2,...]] on the record.  Returns false when not even the client
// count could be read (nothing to save or print); true when the record was
// changed and must be saved.  A count of 0 becomes 1 and one above
// MAX_CLIENTS becomes MAX_CLIENTS; a custom type needs one mask per client
// as given, else it becomes Separate.
bool ApplyClientsCommand(ServiceParams& params, const char* argument);

// The setting that the command in argument would change and that a policy
// fixes (IsFixedByPolicy), by the name the listing gives it ("Monitor and
// Restart"), or null when the command may go ahead.  Such a command changes
// and saves nothing; the hosts say so and end with
// ERROR_ACCESS_DISABLED_BY_POLICY.
const char* PolicyFixedSettingOf(const ServiceParams& params, const char* argument);

// The one line both hosts show when a command's save failed:
// "Settings not saved: error <code> (<system text>)", with
// " - run it from an elevated prompt" for ERROR_ACCESS_DENIED; for
// ERROR_ACCESS_DISABLED_BY_POLICY the refusal of PolicyFixedSettingOf.  The
// command then ends with the error code as its exit code.
void FormatSaveFailure(char* out, size_t outSize, DWORD error);
constexpr size_t SAVE_FAILURE_TEXT_SIZE = 400;

// The names of the affinity types as the commands print them.
const char* AffinityTypeName(DWORD affType);

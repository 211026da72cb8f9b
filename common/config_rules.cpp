// The configuration commands' rules, shared by both hosts: how an argument
// is matched and its number read, what each command changes in the settings
// record, and how the work-unit queue is resized.  Printing and saving are
// left to the host that runs the command.
#include "config_rules.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "settings.h"
#include "win_handles.h"

namespace {

constexpr DWORD MAX_AUTODIAL_TYPE = 2;

// Where the value of "-x:value" starts.  Commands are recognised without
// regard to case, so the value is taken from the fourth character on rather
// than by matching the command letters again.
const char* CommandValue(const char* argument) { return argument + 3; }

// Reads one number like ReadCommandNumber and reports where it ended.
bool ReadNumberAt(const char* text, DWORD& value, const char** end)
{
    // %d takes blanks, an optional sign and at least one digit.
    const char* p = text;
    while (isspace(static_cast<unsigned char>(*p)))
        ++p;
    if (*p == '+' || *p == '-')
        ++p;
    if (!isdigit(static_cast<unsigned char>(*p)))
        return false;
    // strtol saturates instead of wrapping: 99999999999 must not turn into a
    // small valid-looking number.  long is 32 bits on Windows; the explicit
    // limits keep the same outcome where it is wider.
    char* stop = nullptr;
    long long number = strtoll(text, &stop, 10);
    if (number > 0x7FFFFFFFLL)
        number = 0x7FFFFFFFLL;
    if (number < -0x80000000LL)
        number = -0x80000000LL;
    value = static_cast<DWORD>(static_cast<long>(number));
    if (end)
        *end = stop;
    return true;
}

} // namespace

bool MatchesCommand(const char* argument, const char* prefix)
{
    size_t length = strlen(prefix);
    return argument && _strnicmp(argument, prefix, length) == 0;
}

bool HasCommandValue(const char* argument)
{
    return argument && argument[0] && argument[1] && argument[2] == ':';
}

bool ReadCommandNumber(const char* text, DWORD& value)
{
    return ReadNumberAt(text, value, nullptr);
}

bool IsValidRestartTime(DWORD hhmm)
{
    return hhmm <= LATEST_RESTART_TIME && hhmm % 100 <= 59;
}

RestartCommandResult ApplyRestartCommand(ServiceParams& params, const char* argument)
{
    if (!HasCommandValue(argument)) {
        params.AutoRestart = 0;
        return RestartCommandResult::Off;
    }
    // Decision: "-r:" without a number is an invalid time, like one out of
    // range: nothing changes.
    DWORD hhmm = 0;
    if (!ReadCommandNumber(CommandValue(argument), hhmm) || !IsValidRestartTime(hhmm))
        return RestartCommandResult::Invalid;
    params.RestartTime = hhmm;
    params.AutoRestart = 1;
    return RestartCommandResult::On;
}

void ApplyToggle(DWORD& flag)
{
    flag = flag == 0 ? 1 : 0;
}

const ToggleCommand* FindToggleCommand(const char* argument)
{
    static const ToggleCommand toggles[] = {
        {"-x", &ServiceParams::TrueIdle, "TrueIdle = %s\n"},
        {"-n", &ServiceParams::NormalizeXP, "NormalizeXP = %s\n"},
        {"-m", &ServiceParams::MonitorRestart, "Monitor and Restart = %s\n"},
        {"-s", &ServiceParams::StuckRestart, "Restart Stuck Clients = %s\n"},
        {"-k", &ServiceParams::KeepVisible, "Keep Icons Visible = %s\n"},
    };
    for (const ToggleCommand& toggle : toggles)
        if (MatchesCommand(argument, toggle.Prefix))
            return &toggle;
    return nullptr;
}

namespace {

// The toggle that "-f:L:V" names and V, or null when the argument is not
// exactly of that form.
const ToggleCommand* ParseSetFlagCommand(const char* argument, DWORD* state)
{
    if (!HasCommandValue(argument))
        return nullptr;
    // The letter, ':', one digit 0 or 1 and nothing after: "-f:m:10" or
    // "-f:m:yes" is a mistake to report, not a state to guess.
    const char* value = CommandValue(argument);
    if (value[0] == '\0' || value[1] != ':' || (value[2] != '0' && value[2] != '1') || value[3] != '\0')
        return nullptr;
    const char toggleArgument[] = {'-', value[0], '\0'};
    *state = value[2] == '1' ? 1 : 0;
    return FindToggleCommand(toggleArgument);
}

} // namespace

const ToggleCommand* ApplySetFlagCommand(ServiceParams& params, const char* argument)
{
    DWORD state = 0;
    const ToggleCommand* toggle = ParseSetFlagCommand(argument, &state);
    if (toggle)
        params.*toggle->Flag = state;
    return toggle;
}

namespace {

// -h and -a: 0 without a value; an unreadable value keeps the old one; the
// result is clamped unsigned.
void ApplyClampedValueCommand(DWORD& field, const char* argument, DWORD limit)
{
    if (!HasCommandValue(argument))
        field = 0;
    else
        ReadCommandNumber(CommandValue(argument), field);
    field = ClampUnsigned(field, limit);
}

} // namespace

void ApplyHourlyRestartCommand(ServiceParams& params, const char* argument)
{
    ApplyClampedValueCommand(params.HourlyRestart, argument, MAX_HOURLY_RESTART);
}

void ApplyAutodialCommand(ServiceParams& params, const char* argument)
{
    ApplyClampedValueCommand(params.AutodialType, argument, MAX_AUTODIAL_TYPE);
}

bool ApplyQueueSizeCommand(ServiceParams& params, const char* argument, HANDLE settingsMutex, DWORD waitMs,
                           DWORD* saveError)
{
    if (saveError)
        *saveError = ERROR_SUCCESS;
    DWORD oldSize = params.WUQueue;
    if (!HasCommandValue(argument))
        params.WUQueue = 0;
    else
        ReadCommandNumber(CommandValue(argument), params.WUQueue);
    params.WUQueue = ClampUnsigned(params.WUQueue, MAX_CLIENTS);

    // A running supervisor holds the mutex for its whole run.  A failed wait
    // (no mutex could be created) is a refusal too: without the mutex nothing
    // tells that no supervisor runs.
    DWORD waited = settingsMutex ? WaitForSingleObject(settingsMutex, waitMs) : WAIT_FAILED;
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        params.WUQueue = oldSize;
        return false;
    }
    qel::MutexHold hold(settingsMutex);
    ResizeWorkUnitQueue(params, oldSize, params.WUQueue);
    // SaveParams takes the mutex once more (it is recursive for this thread)
    // and releases that hold itself; ours ends with the scope.
    DWORD saved = SaveParams(params, settingsMutex);
    if (saveError)
        *saveError = saved;
    return true;
}

void ResizeWorkUnitQueue(ServiceParams& params, DWORD oldSize, DWORD newSize)
{
    oldSize = ClampUnsigned(oldSize, MAX_CLIENTS);
    newSize = ClampUnsigned(newSize, MAX_CLIENTS);

    if (newSize > oldSize) {
        // QueueN of the new entries keeps what it held.
        for (DWORD i = oldSize; i < newSize; ++i) {
            params.QueueK[i] = 0;
            params.QueueState[i] = 0;
            params.QueueOrder[i] = i;
        }
        return;
    }
    if (newSize == oldSize)
        return;

    // Decision: a QueueOrder that is not a permutation of 0..old-1 (only
    // hand-edited data holds one) is taken as the identity.  An index out of
    // range would read outside the queue, a repeated one would duplicate one
    // entry and lose another.
    bool seen[MAX_CLIENTS] = {};
    bool permutation = true;
    for (DWORD j = 0; j < oldSize && permutation; ++j) {
        DWORD index = params.QueueOrder[j];
        permutation = index < oldSize && !seen[index];
        if (permutation)
            seen[index] = true;
    }
    if (permutation) {
        DWORD* arrays[] = {params.QueueK, params.QueueN, params.QueueState};
        for (DWORD* entries : arrays) {
            DWORD unpermuted[MAX_CLIENTS];
            memcpy(unpermuted, entries, sizeof unpermuted);
            for (DWORD j = 0; j < oldSize; ++j)
                entries[j] = unpermuted[params.QueueOrder[j]];
        }
    }
    for (DWORD j = 0; j < oldSize; ++j)
        params.QueueOrder[j] = j;

    // One pass moving entries of state 0 and 1 to the back.  The triple that
    // slides into position j after a move is not looked at again.
    for (DWORD j = 0; j + 1 < oldSize; ++j) {
        if (params.QueueState[j] > 1)
            continue;
        DWORD* arrays[] = {params.QueueK, params.QueueN, params.QueueState};
        for (DWORD* entries : arrays) {
            DWORD taken = entries[j];
            memmove(&entries[j], &entries[j + 1], (oldSize - 1 - j) * sizeof(DWORD));
            entries[oldSize - 1] = taken;
        }
    }
    // Entries from newSize on stay in memory, outside the queue.
}

bool ApplyClientsCommand(ServiceParams& params, const char* argument)
{
    // "-p:n:t": the client count, then a ':' right after it, then the type.
    const char* end = nullptr;
    int valuesRead = 0;
    if (ReadNumberAt(CommandValue(argument), params.NumClients, &end)) {
        valuesRead = 1;
        if (*end == ':' && ReadNumberAt(end + 1, params.AffType, nullptr))
            valuesRead = 2;
    }
    if (params.AffType > AFFINITY_CUSTOM)
        params.AffType = AFFINITY_SEPARATE;
    if (valuesRead == 0)
        return false;

    if (params.AffType == AFFINITY_CUSTOM) {
        // The mask list follows the third ':' (the one after the type): a
        // ':' and then up to 32 numbers separated by ','.
        const char* colon = strchr(argument, ':');
        if (colon)
            colon = strchr(colon + 1, ':');
        if (colon)
            colon = strchr(colon + 1, ':');
        DWORD masksRead = 0;
        if (colon) {
            const char* p = colon + 1;
            while (masksRead < MAX_CLIENTS && ReadNumberAt(p, params.CustAff[masksRead], &end)) {
                ++masksRead;
                if (*end != ',')
                    break;
                p = end + 1;
            }
        }
        // "-p:0:3:" lists no mask for its no clients: not a layout either.
        if (!colon || masksRead != params.NumClients || masksRead == 0)
            params.AffType = AFFINITY_SEPARATE;
    }
    // The count is brought into range as a load would, so that what is
    // stored and shown is what the service will run: never 0 clients.
    if (params.NumClients == 0)
        params.NumClients = 1;
    params.NumClients = ClampUnsigned(params.NumClients, MAX_CLIENTS);
    return true;
}

const char* PolicyFixedSettingOf(const ServiceParams& params, const char* argument)
{
    DWORD ServiceParams::*changed[2] = {};
    if (MatchesCommand(argument, "-p:") || MatchesCommand(argument, "-o")) {
        changed[0] = &ServiceParams::NumClients;
        changed[1] = &ServiceParams::AffType;
    } else if (MatchesCommand(argument, "-r")) {
        changed[0] = &ServiceParams::AutoRestart;
    } else if (MatchesCommand(argument, "-h")) {
        changed[0] = &ServiceParams::HourlyRestart;
    } else if (const ToggleCommand* toggle = FindToggleCommand(argument)) {
        changed[0] = toggle->Flag;
    } else if (MatchesCommand(argument, "-f")) {
        DWORD state = 0;
        if (const ToggleCommand* named = ParseSetFlagCommand(argument, &state))
            changed[0] = named->Flag;
    }
    for (DWORD ServiceParams::*field : changed)
        if (field && IsFixedByPolicy(params, field))
            return FindPolicyRule(field)->Label;
    return nullptr;
}

const char* AffinityTypeName(DWORD affType)
{
    switch (affType) {
    case AFFINITY_SEPARATE: return "Separate";
    case AFFINITY_NONE: return "None";
    case AFFINITY_MIXED: return "Mixed";
    case AFFINITY_CUSTOM: return "Custom";
    default: return "Separate";
    }
}

void FormatSaveFailure(char* out, size_t outSize, DWORD error)
{
    if (outSize == 0)
        return;
    if (error == ERROR_ACCESS_DISABLED_BY_POLICY) {
        snprintf(out, outSize, "Not changed: the setting is set by policy (error %u)", static_cast<unsigned>(error));
        return;
    }
    char text[256] = {};
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                                  sizeof text, nullptr);
    if (length >= sizeof text)
        length = sizeof text - 1;
    // The system's texts end in ".\r\n"; the line supplies its own ending.
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' || text[length - 1] == ' ' ||
                          text[length - 1] == '.'))
        --length;
    text[length] = '\0';
    snprintf(out, outSize, "Settings not saved: error %u (%s)%s", static_cast<unsigned>(error),
             length ? text : "no text for this code",
             error == ERROR_ACCESS_DENIED ? " - run it from an elevated prompt" : "");
}

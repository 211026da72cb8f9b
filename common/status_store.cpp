#include "status_store.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "activity_log.h"
#include "settings.h"
#include "windows_family.h"

namespace {

const char* const kStateNames[] = {"empty", "starting", "working", "retry", "throttled", "stopping"};
const char* const kEndNames[] = {"-", "crash", "stall", "timed", "tray", "stop"};

template <typename Enum, size_t N>
bool EnumFromName(const char* text, const char* const (&names)[N], Enum* value)
{
    for (size_t i = 0; i < N; ++i) {
        if (strcmp(text, names[i]) == 0) {
            *value = static_cast<Enum>(i);
            return true;
        }
    }
    return false;
}

FILETIME ToFileTime(ULONGLONG value)
{
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(value);
    time.dwHighDateTime = static_cast<DWORD>(value >> 32);
    return time;
}

ULONGLONG FromFileTime(const FILETIME& time)
{
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// Appends to a bounded buffer; a text that does not fit is cut.
void Append(char* out, size_t outSize, const char* format, ...)
{
    size_t used = strlen(out);
    if (used + 1 >= outSize)
        return;
    va_list args;
    va_start(args, format);
    FormatBounded(out + used, outSize - used, format, args);
    va_end(args);
}

void ClientValueName(char* out, size_t outSize, unsigned index)
{
    snprintf(out, outSize, "Client %u", index + 1);
}

bool ReadString(HKEY key, const char* name, char* out, DWORD outSize)
{
    DWORD type = 0;
    DWORD size = outSize - 1;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(out), &size) != ERROR_SUCCESS ||
        type != REG_SZ) {
        out[0] = '\0';
        return false;
    }
    out[size < outSize ? size : outSize - 1] = '\0';
    return true;
}

DWORD ReadDword(HKEY key, const char* name)
{
    DWORD value = 0;
    DWORD size = sizeof value;
    if (RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS)
        return 0;
    return value;
}

} // namespace

const char* SlotStateName(SlotState state)
{
    size_t i = static_cast<size_t>(state);
    return i < sizeof kStateNames / sizeof kStateNames[0] ? kStateNames[i] : "?";
}

const char* EndKindName(EndKind kind)
{
    size_t i = static_cast<size_t>(kind);
    return i < sizeof kEndNames / sizeof kEndNames[0] ? kEndNames[i] : "?";
}

ULONGLONG LocalNowFileTime()
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    FILETIME time = {};
    SystemTimeToFileTime(&now, &time);
    return FromFileTime(time);
}

void FormatStatusTime(char* out, size_t outSize, ULONGLONG localFileTime)
{
    FILETIME time = ToFileTime(localFileTime);
    SYSTEMTIME t = {};
    if (!FileTimeToSystemTime(&time, &t)) {
        snprintf(out, outSize, "-");
        return;
    }
    snprintf(out, outSize, "%04u-%02u-%02uT%02u:%02u:%02u", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
             t.wSecond);
}

bool ParseStatusTime(const char* text, ULONGLONG* localFileTime)
{
    // "yyyy-mm-ddThh:mm:ss": six numbers, each followed by its separator.
    const char separators[] = {'-', '-', 'T', ':', ':', '\0'};
    unsigned long parts[6] = {};
    const char* at = text;
    for (int i = 0; i < 6; ++i) {
        char* end = nullptr;
        parts[i] = strtoul(at, &end, 10);
        if (end == at || *end != separators[i] || parts[i] > 0xFFFF)
            return false;
        at = end + 1;
    }
    SYSTEMTIME t = {};
    t.wYear = static_cast<WORD>(parts[0]);
    t.wMonth = static_cast<WORD>(parts[1]);
    t.wDay = static_cast<WORD>(parts[2]);
    t.wHour = static_cast<WORD>(parts[3]);
    t.wMinute = static_cast<WORD>(parts[4]);
    t.wSecond = static_cast<WORD>(parts[5]);
    FILETIME time = {};
    if (!SystemTimeToFileTime(&t, &time))
        return false;
    *localFileTime = FromFileTime(time);
    return true;
}

void FormatClientRecord(char* out, size_t outSize, const ClientStatus& status)
{
    if (outSize == 0)
        return;
    out[0] = '\0';
    char when[24];
    Append(out, outSize, "state=%s", SlotStateName(status.State));
    if (status.ProcessId)
        Append(out, outSize, " pid=0x%x", static_cast<unsigned>(status.ProcessId));
    if (status.State == SlotState::Working || status.State == SlotState::Retry ||
        status.State == SlotState::Throttled) {
        FormatStatusTime(when, sizeof when, status.At);
        Append(out, outSize, " %s=%s", status.State == SlotState::Working ? "since" : "until", when);
    }
    if (status.State == SlotState::Retry)
        Append(out, outSize, " code=%d", status.LaunchCode);
    Append(out, outSize, " restarts=%u last=%s", static_cast<unsigned>(status.Restarts), EndKindName(status.LastEnd));
    if (status.LastEnd != EndKind::None)
        Append(out, outSize, " exit=0x%x", static_cast<unsigned>(status.LastExitCode));
    Append(out, outSize, " mask=0x%x", static_cast<unsigned>(status.Mask));
}

namespace {

// One name=value pair of a record; false for one that cannot be read.
bool ApplyField(ClientStatus& status, const char* name, const char* value, bool* haveState)
{
    if (strcmp(name, "state") == 0)
        return *haveState = EnumFromName(value, kStateNames, &status.State);
    if (strcmp(name, "last") == 0)
        return EnumFromName(value, kEndNames, &status.LastEnd);
    if (strcmp(name, "pid") == 0)
        status.ProcessId = strtoul(value, nullptr, 16);
    else if (strcmp(name, "since") == 0 || strcmp(name, "until") == 0)
        return ParseStatusTime(value, &status.At);
    else if (strcmp(name, "restarts") == 0)
        status.Restarts = strtoul(value, nullptr, 10);
    else if (strcmp(name, "exit") == 0)
        status.LastExitCode = strtoul(value, nullptr, 16);
    else if (strcmp(name, "mask") == 0)
        status.Mask = strtoul(value, nullptr, 16);
    else if (strcmp(name, "code") == 0)
        status.LaunchCode = atoi(value);
    // Names a later version adds are skipped.
    return true;
}

} // namespace

bool ParseClientRecord(const char* text, ClientStatus& status)
{
    ClientStatus parsed;
    bool haveState = false;
    char copy[CLIENT_RECORD_SIZE];
    snprintf(copy, sizeof copy, "%s", text);
    for (char* token = copy; *token;) {
        char* end = strchr(token, ' ');
        if (end)
            *end = '\0';
        char* equals = strchr(token, '=');
        if (*token) {
            if (!equals)
                return false;
            *equals = '\0';
            if (!ApplyField(parsed, token, equals + 1, &haveState))
                return false;
        }
        if (!end)
            break;
        token = end + 1;
    }
    if (!haveState)
        return false;
    status = parsed;
    return true;
}

void FormatClientLine(char* out, size_t outSize, int clientNumber, const ClientStatus& status, ULONGLONG nowLocal)
{
    if (outSize == 0)
        return;
    out[0] = '\0';
    Append(out, outSize, "Client %d: %s", clientNumber, SlotStateName(status.State));
    char when[24];
    FormatStatusTime(when, sizeof when, status.At);
    // Only the time of day: a retry or a throttled relaunch is minutes away.
    const char* timeOfDay = strchr(when, 'T') ? strchr(when, 'T') + 1 : when;
    switch (status.State) {
    case SlotState::Working: {
        ULONGLONG minutes = nowLocal > status.At ? (nowLocal - status.At) / (60 * 1000 * FILETIME_PER_MS) : 0;
        ULONGLONG days = minutes / (24 * 60);
        if (days > 999)
            days = 999;
        Append(out, outSize, " 0x%x up %ud%02u:%02u", static_cast<unsigned>(status.ProcessId),
               static_cast<unsigned>(days), static_cast<unsigned>(minutes / 60 % 24),
               static_cast<unsigned>(minutes % 60));
        break;
    }
    case SlotState::Stopping:
        Append(out, outSize, " 0x%x", static_cast<unsigned>(status.ProcessId));
        break;
    case SlotState::Retry:
        Append(out, outSize, " at %s code %d", timeOfDay, status.LaunchCode);
        break;
    case SlotState::Throttled:
        Append(out, outSize, " until %s", timeOfDay);
        break;
    case SlotState::Empty:
    case SlotState::Starting:
        break;
    }
    Append(out, outSize, " restarts %u last %s", static_cast<unsigned>(status.Restarts), EndKindName(status.LastEnd));
    if (status.LastEnd != EndKind::None)
        Append(out, outSize, " 0x%x", static_cast<unsigned>(status.LastExitCode));
}

StatusSnapshot ReadStatusSnapshot()
{
    StatusSnapshot snapshot;
    HKEY raw = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, STATUS_KEY, 0, KEY_READ | PRODUCT_KEY_VIEW, &raw) != ERROR_SUCCESS)
        return snapshot;
    qel::UniqueRegKey key(raw);
    snapshot.Present = true;
    ReadString(key.get(), "Version", snapshot.Version, sizeof snapshot.Version);
    ReadString(key.get(), "Started", snapshot.Started, sizeof snapshot.Started);
    ReadString(key.get(), "Ended", snapshot.Ended, sizeof snapshot.Ended);
    snapshot.SupervisorProcessId = ReadDword(key.get(), "ProcessId");
    snapshot.Clients = ReadDword(key.get(), "Clients");
    if (snapshot.Clients > MAX_CLIENTS)
        snapshot.Clients = MAX_CLIENTS;
    for (unsigned i = 0; i < MAX_CLIENTS; ++i) {
        char name[16];
        char record[CLIENT_RECORD_SIZE];
        ClientValueName(name, sizeof name, i);
        if (ReadString(key.get(), name, record, sizeof record))
            snapshot.SlotRecorded[i] = ParseClientRecord(record, snapshot.Slots[i]);
    }
    return snapshot;
}

void FormatStatusListing(char* out, size_t outSize, const StatusSnapshot& snapshot, ULONGLONG nowLocal)
{
    if (outSize == 0)
        return;
    out[0] = '\0';
    for (unsigned i = 0; i < snapshot.Clients; ++i) {
        char line[CLIENT_LINE_SIZE];
        if (snapshot.SlotRecorded[i])
            FormatClientLine(line, sizeof line, static_cast<int>(i + 1), snapshot.Slots[i], nowLocal);
        else
            snprintf(line, sizeof line, "Client %u: not recorded", i + 1);
        Append(out, outSize, "%s\n", line);
    }
    if (out[0] == '\0')
        Append(out, outSize, "No client status recorded.\n");
}

int StatusExitCode(SupervisorRunState supervisor, const StatusSnapshot& snapshot)
{
    if (supervisor == SupervisorRunState::Unknown)
        return STATUS_UNKNOWN;
    if (supervisor == SupervisorRunState::NotRunning)
        return STATUS_NOT_RUNNING;
    // Running: only a complete record of working clients is good news.
    if (!snapshot.Present || snapshot.Clients == 0 || snapshot.Ended[0] != '\0')
        return STATUS_NOT_ALL_WORKING;
    for (unsigned i = 0; i < snapshot.Clients; ++i) {
        if (!snapshot.SlotRecorded[i] || snapshot.Slots[i].State != SlotState::Working)
            return STATUS_NOT_ALL_WORKING;
    }
    return STATUS_ALL_WORKING;
}

bool StatusStore::Open()
{
    if (key_)
        return true;
    // The parent is an ordinary key (the settings live under it too); only
    // the leaf is volatile, and a volatile key cannot have lasting children.
    HKEY parent = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, STATUS_PARENT_KEY, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_CREATE_SUB_KEY | PRODUCT_KEY_VIEW, nullptr, &parent, nullptr) != ERROR_SUCCESS)
        return false;
    qel::UniqueRegKey parentKey(parent);
    // The 9x family has no volatile keys; there End() removes the key.
    DWORD options = qel::IsWindows9xFamily() ? REG_OPTION_NON_VOLATILE : REG_OPTION_VOLATILE;
    HKEY raw = nullptr;
    if (RegCreateKeyExA(parentKey.get(), STATUS_KEY_NAME, 0, nullptr, options, KEY_SET_VALUE | PRODUCT_KEY_VIEW,
                        nullptr, &raw, nullptr) != ERROR_SUCCESS)
        return false;
    key_.reset(raw);
    return true;
}

void StatusStore::SetString(const char* name, const char* text)
{
    ++writes_;
    if (!Open() || RegSetValueExA(key_.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                                  static_cast<DWORD>(strlen(text) + 1)) != ERROR_SUCCESS) {
        // Someone may have deleted the key: the next write opens it again.
        ++failed_;
        key_.reset();
    }
}

void StatusStore::SetDword(const char* name, DWORD value)
{
    ++writes_;
    if (!Open() ||
        RegSetValueExA(key_.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value) !=
            ERROR_SUCCESS) {
        ++failed_;
        key_.reset();
    }
}

void StatusStore::Begin(const char* version, DWORD clients)
{
    key_.reset();
    // Made anew, so that a key some earlier program left lasting, or the
    // states of more slots than this run has, do not survive.
    DeleteProductKey(STATUS_KEY);
    char started[24];
    FormatStatusTime(started, sizeof started, LocalNowFileTime());
    SetString("Version", version);
    SetString("Started", started);
    SetDword("ProcessId", GetCurrentProcessId());
    SetDword("Clients", clients);
}

void StatusStore::WriteClient(unsigned index, const ClientStatus& status)
{
    char name[16];
    char record[CLIENT_RECORD_SIZE];
    ClientValueName(name, sizeof name, index);
    FormatClientRecord(record, sizeof record, status);
    SetString(name, record);
}

void StatusStore::End()
{
    if (qel::IsWindows9xFamily()) {
        key_.reset();
        DeleteProductKey(STATUS_KEY);
        return;
    }
    char ended[24];
    FormatStatusTime(ended, sizeof ended, LocalNowFileTime());
    SetString("Ended", ended);
    key_.reset();
}

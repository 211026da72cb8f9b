#include "status_store.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "activity_log.h"
#include "product_key_security.h"
#include "product_keys.h"
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

void ClientValueName(char* out, size_t outSize, unsigned index)
{
    snprintf(out, outSize, "Client %u", index + 1);
}

enum class ValueRead { Missing, Read, Bad };

// A REG_SZ value that fits; Bad for one of another type or too long.
ValueRead ReadString(HKEY key, const char* name, char* out, DWORD outSize)
{
    DWORD type = 0;
    DWORD size = outSize - 1;
    LONG result = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(out), &size);
    if (result == ERROR_FILE_NOT_FOUND)
        return ValueRead::Missing;
    if (result != ERROR_SUCCESS || type != REG_SZ) {
        out[0] = '\0';
        return ValueRead::Bad;
    }
    out[size < outSize ? size : outSize - 1] = '\0';
    return ValueRead::Read;
}

// A REG_DWORD value; false for a missing one or one of another type or size.
bool ReadDword(HKEY key, const char* name, DWORD* value)
{
    DWORD type = 0;
    DWORD size = sizeof *value;
    DWORD read = 0;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&read), &size) != ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof read)
        return false;
    *value = read;
    return true;
}

// A whole token of digits in `base` (no sign, no blank), at most `limit`.
bool ReadRecordNumber(const char* text, int base, unsigned long limit, unsigned long* value)
{
    if (text[0] == '\0' || text[0] == '-' || text[0] == '+' || text[0] == ' ')
        return false;
    if (base == 16 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        text += 2;
    const char first = text[0];
    const bool digit = (first >= '0' && first <= '9') ||
                       (base == 16 && ((first >= 'a' && first <= 'f') || (first >= 'A' && first <= 'F')));
    if (!digit)
        return false;
    errno = 0;
    char* end = nullptr;
    unsigned long read = strtoul(text, &end, base);
    if (errno == ERANGE || *end != '\0' || read > limit)
        return false;
    *value = read;
    return true;
}

bool ReadRecordDword(const char* text, int base, DWORD* value)
{
    unsigned long read = 0;
    if (!ReadRecordNumber(text, base, 0xFFFFFFFFul, &read))
        return false;
    *value = static_cast<DWORD>(read);
    return true;
}

// A launch code: -2147483648 to 2147483647.
bool ReadRecordCode(const char* text, int* value)
{
    bool negative = text[0] == '-';
    unsigned long magnitude = 0;
    if (!ReadRecordNumber(negative ? text + 1 : text, 10, negative ? 0x80000000ul : 0x7FFFFFFFul, &magnitude))
        return false;
    *value = negative ? static_cast<int>(0 - static_cast<long long>(magnitude)) : static_cast<int>(magnitude);
    return true;
}

// The names StatusStore writes, for clearing a key it could not delete.
const char* const kRunValueNames[] = {"Version", "Started", "Ended", "Alive", "ProcessId", "Clients", "UtcOffset"};

constexpr ULONGLONG FILETIME_PER_HOUR = 60ull * 60 * 1000 * FILETIME_PER_MS;
constexpr ULONGLONG FILETIME_PER_DAY = 24 * FILETIME_PER_HOUR;

// The code of the start that failed: a slot waiting for its retry, or an
// empty one that nothing retries (no Monitor and Restart), whose code is the
// only word on why no copy works there (-1: zr.exe could not be started).
bool ShowsLaunchCode(const ClientStatus& status)
{
    return status.State == SlotState::Retry || (status.State == SlotState::Empty && status.LaunchCode != 0);
}

} // namespace

void AppendBounded(char* out, size_t outSize, const char* format, ...)
{
    size_t used = strlen(out);
    if (used + 1 >= outSize)
        return;
    va_list args;
    va_start(args, format);
    FormatBounded(out + used, outSize - used, format, args);
    va_end(args);
}

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
        if (!isdigit(static_cast<unsigned char>(*at)))
            return false;
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
    AppendBounded(out, outSize, "state=%s", SlotStateName(status.State));
    if (status.ProcessId)
        AppendBounded(out, outSize, " pid=0x%x", static_cast<unsigned>(status.ProcessId));
    if (status.State == SlotState::Working || status.State == SlotState::Retry ||
        status.State == SlotState::Throttled) {
        FormatStatusTime(when, sizeof when, status.At);
        AppendBounded(out, outSize, " %s=%s", status.State == SlotState::Working ? "since" : "until", when);
    }
    if (ShowsLaunchCode(status))
        AppendBounded(out, outSize, " code=%d", status.LaunchCode);
    AppendBounded(out, outSize, " restarts=%u last=%s", static_cast<unsigned>(status.Restarts),
                  EndKindName(status.LastEnd));
    if (status.LastEnd != EndKind::None)
        AppendBounded(out, outSize, " exit=0x%x", static_cast<unsigned>(status.LastExitCode));
    AppendBounded(out, outSize, " mask=0x%x", static_cast<unsigned>(status.Mask));
    if (status.LastCrashAt) {
        FormatStatusTime(when, sizeof when, status.LastCrashAt);
        AppendBounded(out, outSize, " crashes=%u crashed=%s", static_cast<unsigned>(status.CrashesDay), when);
    }
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
        return ReadRecordDword(value, 16, &status.ProcessId);
    if (strcmp(name, "since") == 0 || strcmp(name, "until") == 0)
        return ParseStatusTime(value, &status.At);
    if (strcmp(name, "restarts") == 0)
        return ReadRecordDword(value, 10, &status.Restarts);
    if (strcmp(name, "exit") == 0)
        return ReadRecordDword(value, 16, &status.LastExitCode);
    if (strcmp(name, "mask") == 0)
        return ReadRecordDword(value, 16, &status.Mask);
    if (strcmp(name, "code") == 0)
        return ReadRecordCode(value, &status.LaunchCode);
    if (strcmp(name, "crashes") == 0)
        return ReadRecordDword(value, 10, &status.CrashesDay);
    if (strcmp(name, "crashed") == 0)
        return ParseStatusTime(value, &status.LastCrashAt);
    // Names a later version adds are skipped, as long as they are plain.
    for (const char* c = value; *c; ++c)
        if (*c < 0x21 || *c > 0x7E)
            return false;
    return true;
}

} // namespace

bool ParseClientRecord(const char* text, ClientStatus& status)
{
    ClientStatus parsed;
    bool haveState = false;
    char copy[CLIENT_RECORD_SIZE];
    if (strlen(text) >= sizeof copy)
        return false;
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
    AppendBounded(out, outSize, "Client %d: %s", clientNumber, SlotStateName(status.State));
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
        AppendBounded(out, outSize, " 0x%x up %ud%02u:%02u", static_cast<unsigned>(status.ProcessId),
               static_cast<unsigned>(days), static_cast<unsigned>(minutes / 60 % 24),
               static_cast<unsigned>(minutes % 60));
        break;
    }
    case SlotState::Stopping:
        AppendBounded(out, outSize, " 0x%x", static_cast<unsigned>(status.ProcessId));
        break;
    case SlotState::Retry:
        AppendBounded(out, outSize, " at %s code %d", timeOfDay, status.LaunchCode);
        break;
    case SlotState::Throttled:
        AppendBounded(out, outSize, " until %s", timeOfDay);
        break;
    case SlotState::Empty:
        if (ShowsLaunchCode(status))
            AppendBounded(out, outSize, " code %d", status.LaunchCode);
        break;
    case SlotState::Starting:
        break;
    }
    AppendBounded(out, outSize, " restarts %u last %s", static_cast<unsigned>(status.Restarts),
                  EndKindName(status.LastEnd));
    if (status.LastEnd != EndKind::None)
        AppendBounded(out, outSize, " 0x%x", static_cast<unsigned>(status.LastExitCode));
}

void NoteCrash(ClientStatus& status, ULONGLONG localNow)
{
    CrashWindow& window = status.Crashes;
    const ULONGLONG hour = localNow / FILETIME_PER_HOUR;
    if (hour > window.NewestHour) {
        // Shift the window on to this hour; hours that leave it are dropped.
        ULONGLONG shift = hour - window.NewestHour;
        for (int k = static_cast<int>(sizeof window.Hours / sizeof window.Hours[0]) - 1; k >= 0; --k)
            window.Hours[k] = shift <= static_cast<ULONGLONG>(k) ? window.Hours[k - static_cast<int>(shift)] : 0;
        window.NewestHour = hour;
    }
    // A clock set back counts into the newest hour.
    if (window.Hours[0] < 0xFFFF)
        ++window.Hours[0];
    DWORD day = 0;
    for (WORD count : window.Hours)
        day += count;
    status.CrashesDay = day;
    status.LastCrashAt = localNow;
}

DWORD CrashesInLastDay(const ClientStatus& status, ULONGLONG nowAtMachine)
{
    if (!status.LastCrashAt || nowAtMachine >= status.LastCrashAt + FILETIME_PER_DAY)
        return 0;
    return status.CrashesDay;
}

bool IsVersionText(const char* text)
{
    if (!isdigit(static_cast<unsigned char>(text[0])))
        return false;
    for (const char* c = text; *c; ++c)
        if (!isdigit(static_cast<unsigned char>(*c)) && *c != '.')
            return false;
    return true;
}

LONG LocalUtcOffsetMinutes()
{
    FILETIME utc = {};
    GetSystemTimeAsFileTime(&utc);
    const ULONGLONG local = LocalNowFileTime();
    const ULONGLONG universal = FromFileTime(utc);
    const ULONGLONG minute = 60 * 1000 * FILETIME_PER_MS;
    // Rounded: the two clocks are read a moment apart.
    if (local >= universal)
        return static_cast<LONG>((local - universal + minute / 2) / minute);
    return -static_cast<LONG>((universal - local + minute / 2) / minute);
}

ULONGLONG NowAtWriter(const StatusSnapshot& snapshot)
{
    if (!snapshot.HasUtcOffset)
        return LocalNowFileTime();
    FILETIME utc = {};
    GetSystemTimeAsFileTime(&utc);
    const LONGLONG offset =
        static_cast<LONGLONG>(snapshot.UtcOffsetMinutes) * 60 * 1000 * static_cast<LONGLONG>(FILETIME_PER_MS);
    return static_cast<ULONGLONG>(static_cast<LONGLONG>(FromFileTime(utc)) + offset);
}

void MaskControlCharacters(char* text)
{
    for (char* c = text; *c; ++c) {
        const unsigned char byte = static_cast<unsigned char>(*c);
        if ((byte < 0x20 && byte != '\n') || byte == 0x7F)
            *c = '?';
    }
}

namespace {

// A text value shown only in the writer's form: "" when missing, "?" when
// it has another form.
void ReadCheckedText(HKEY key, const char* name, char* out, DWORD outSize, bool (*wellFormed)(const char*))
{
    if (ReadString(key, name, out, outSize) == ValueRead::Missing)
        return;
    if (!out[0] || !wellFormed(out))
        snprintf(out, outSize, "?");
}

bool IsStatusTimeText(const char* text)
{
    ULONGLONG ignored = 0;
    return ParseStatusTime(text, &ignored);
}

} // namespace

StatusSnapshot ReadStatusSnapshotFrom(HKEY key)
{
    StatusSnapshot snapshot;
    snapshot.Present = true;
    snapshot.ReadError = ERROR_SUCCESS;
    ReadCheckedText(key, "Version", snapshot.Version, sizeof snapshot.Version, IsVersionText);
    ReadCheckedText(key, "Started", snapshot.Started, sizeof snapshot.Started, IsStatusTimeText);
    ReadCheckedText(key, "Ended", snapshot.Ended, sizeof snapshot.Ended, IsStatusTimeText);
    ReadCheckedText(key, "Alive", snapshot.Alive, sizeof snapshot.Alive, IsStatusTimeText);
    ReadDword(key, "ProcessId", &snapshot.SupervisorProcessId);
    ReadDword(key, "Clients", &snapshot.Clients);
    if (snapshot.Clients > MAX_CLIENTS)
        snapshot.Clients = MAX_CLIENTS;
    DWORD offset = 0;
    if (ReadDword(key, "UtcOffset", &offset)) {
        const LONG minutes = static_cast<LONG>(offset);
        // Time zones lie within 14 hours of UTC.
        snapshot.HasUtcOffset = minutes >= -14 * 60 && minutes <= 14 * 60;
        snapshot.UtcOffsetMinutes = snapshot.HasUtcOffset ? minutes : 0;
    }
    for (unsigned i = 0; i < MAX_CLIENTS; ++i) {
        char name[16];
        char record[CLIENT_RECORD_SIZE];
        ClientValueName(name, sizeof name, i);
        ValueRead read = ReadString(key, name, record, sizeof record);
        if (read == ValueRead::Missing)
            continue;
        snapshot.SlotRecorded[i] = read == ValueRead::Read && ParseClientRecord(record, snapshot.Slots[i]);
        snapshot.SlotUnreadable[i] = !snapshot.SlotRecorded[i];
    }
    return snapshot;
}

StatusSnapshot ReadStatusSnapshot()
{
    qel::UniqueRegKey key;
    LONG opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, STATUS_KEY, 0, KEY_READ | PRODUCT_KEY_VIEW, key.put());
    if (opened != ERROR_SUCCESS) {
        key.release();
        StatusSnapshot missing;
        missing.ReadError = opened;
        return missing;
    }
    return ReadStatusSnapshotFrom(key.get());
}

LONG OpenRemoteStatusKey(HKEY root, qel::UniqueRegKey& key)
{
    struct Attempt {
        const char* Path;
        REGSAM View;
    };
    const Attempt attempts[] = {
        {STATUS_KEY, PRODUCT_KEY_VIEW},
        {"Software\\Wow6432Node\\Morl\\qel\\status", 0},
        {STATUS_KEY, 0},
    };
    LONG reported = ERROR_FILE_NOT_FOUND;
    for (const Attempt& attempt : attempts) {
        // The 32-bit build passes no flag: its first and last attempt agree.
        if (&attempt == &attempts[2] && PRODUCT_KEY_VIEW == 0)
            break;
        LONG opened = RegOpenKeyExA(root, attempt.Path, 0, KEY_READ | attempt.View, key.put());
        if (opened == ERROR_SUCCESS)
            return opened;
        key.release();
        if (reported == ERROR_FILE_NOT_FOUND)
            reported = opened;
    }
    return reported;
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
        else if (snapshot.SlotUnreadable[i])
            snprintf(line, sizeof line, "Client %u: status not readable", i + 1);
        else
            snprintf(line, sizeof line, "Client %u: not recorded", i + 1);
        AppendBounded(out, outSize, "%s\n", line);
    }
    if (out[0] == '\0')
        AppendBounded(out, outSize, "No client status recorded.\n");
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
    // Both are made administrators' keys that Users may read (the NT
    // family); an existing one keeps the descriptor it has.
    qel::ProductKeySecurity security;
    HKEY parent = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, STATUS_PARENT_KEY, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_CREATE_SUB_KEY | PRODUCT_KEY_VIEW, security.Attributes(), &parent,
                        nullptr) != ERROR_SUCCESS)
        return false;
    qel::UniqueRegKey parentKey(parent);
    // The 9x family has no volatile keys; there End() removes the key.
    DWORD options = qel::IsWindows9xFamily() ? REG_OPTION_NON_VOLATILE : REG_OPTION_VOLATILE;
    HKEY raw = nullptr;
    if (RegCreateKeyExA(parentKey.get(), STATUS_KEY_NAME, 0, nullptr, options, KEY_SET_VALUE | PRODUCT_KEY_VIEW,
                        security.Attributes(), &raw, nullptr) != ERROR_SUCCESS)
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

void StatusStore::ClearStaleValues(DWORD clients)
{
    if (!Open())
        return;
    for (const char* name : kRunValueNames)
        RegDeleteValueA(key_.get(), name);
    for (unsigned i = clients; i < MAX_CLIENTS; ++i) {
        char name[16];
        ClientValueName(name, sizeof name, i);
        RegDeleteValueA(key_.get(), name);
    }
}

void StatusStore::WriteUtcOffsetIfChanged()
{
    // Written again when daylight saving time begins or ends, so that a
    // reader in another time zone keeps measuring from the writer's clock.
    const LONG offset = LocalUtcOffsetMinutes();
    if (offset == utcOffsetWritten_)
        return;
    utcOffsetWritten_ = offset;
    SetDword("UtcOffset", static_cast<DWORD>(offset));
}

void StatusStore::Begin(const char* version, DWORD clients)
{
    key_.reset();
    utcOffsetWritten_ = 0x7FFFFFFF;
    // Made anew, so that a key some earlier program left lasting, or the
    // states of more slots than this run has, do not survive.  A key that
    // cannot go keeps only what this run writes again.
    LONG deleted = DeleteProductKey(STATUS_KEY);
    if (deleted != ERROR_SUCCESS && deleted != ERROR_FILE_NOT_FOUND)
        ClearStaleValues(clients);
    char started[24];
    FormatStatusTime(started, sizeof started, LocalNowFileTime());
    SetString("Version", version);
    SetString("Started", started);
    SetString("Alive", started);
    SetDword("ProcessId", GetCurrentProcessId());
    SetDword("Clients", clients);
    WriteUtcOffsetIfChanged();
}

void StatusStore::WriteClient(unsigned index, const ClientStatus& status)
{
    char name[16];
    char record[CLIENT_RECORD_SIZE];
    ClientValueName(name, sizeof name, index);
    FormatClientRecord(record, sizeof record, status);
    WriteUtcOffsetIfChanged();
    SetString(name, record);
}

void StatusStore::Touch()
{
    char now[24];
    FormatStatusTime(now, sizeof now, LocalNowFileTime());
    SetString("Alive", now);
}

bool StatusShowsLiveRun(const StatusSnapshot& snapshot, ULONGLONG nowAtWriter)
{
    if (!snapshot.Present || snapshot.Ended[0] != '\0')
        return false;
    // A key from a version that wrote no sign of life: taken as it stands.
    ULONGLONG lastSign = 0;
    if (!ParseStatusTime(snapshot.Alive, &lastSign))
        return true;
    // A clock set back since then proves nothing either way: alive.
    return nowAtWriter < lastSign || nowAtWriter - lastSign <= STATUS_ALIVE_LIMIT_MS * FILETIME_PER_MS;
}

void StatusStore::End()
{
    if (qel::IsWindows9xFamily()) {
        key_.reset();
        // A key that stays (a subkey in it) must not read as a run that
        // still supervises.
        if (DeleteProductKey(STATUS_KEY) == ERROR_SUCCESS)
            return;
    }
    char ended[24];
    FormatStatusTime(ended, sizeof ended, LocalNowFileTime());
    SetString("Ended", ended);
    key_.reset();
}

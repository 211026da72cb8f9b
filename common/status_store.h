// The live status of a running supervisor: one line per client slot and a
// few values about the run, in a volatile registry key beside the settings.
// The registry is the channel because Windows already carries it everywhere:
// "reg query" reads it on this machine, and through the Remote Registry
// service from any other one, with no port or agent of our own.
#pragma once

#include <windows.h>

#include <cstddef>

#include "service_params.h"
#include "win_handles.h"

constexpr const char STATUS_PARENT_KEY[] = "Software\\Morl\\qel";
constexpr const char STATUS_KEY_NAME[] = "status";
constexpr const char STATUS_KEY[] = "Software\\Morl\\qel\\status";

// What a slot is doing.  "Retry" is an empty slot that waits for its next
// start attempt, "Throttled" one whose copy keeps ending soon after its start
// and whose relaunch waits.
enum class SlotState { Empty, Starting, Working, Retry, Throttled, Stopping };

// How the slot's last copy ended.
enum class EndKind { None, Crash, Stall, Timed, Tray, Stop };

// The crashes of one slot over the last day, counted by the hour: enough
// for a monitoring check to tell one crash a day from one an hour without
// keeping a time per crash.  The current hour and the 24 before it, so that
// the count never misses a crash of the last 24 hours (it may count one up
// to an hour older).  Kept by the writer only.
struct CrashWindow {
    ULONGLONG NewestHour = 0;  // hours since 1601 (local) of Hours[0]
    WORD Hours[25] = {};       // Hours[k]: crashes in the hour NewestHour - k
};

// One slot as it is recorded.  Times are local FILETIME values (100 ns).
struct ClientStatus {
    SlotState State = SlotState::Empty;
    DWORD ProcessId = 0;
    ULONGLONG At = 0;        // Working: since; Retry and Throttled: until
    DWORD Restarts = 0;      // launches after the first since the service started
    EndKind LastEnd = EndKind::None;
    DWORD LastExitCode = 0;
    DWORD Mask = 0;
    int LaunchCode = 0;      // Retry: the code of the launch that failed
    // Crashes in the 24 hours up to the last one, counted when it happened,
    // and when it happened (0: none since the service started).
    DWORD CrashesDay = 0;
    ULONGLONG LastCrashAt = 0;
    CrashWindow Crashes;     // the writer's count behind CrashesDay; not recorded
};

// A crash of the slot's copy at localNow: counted in the window, and
// CrashesDay and LastCrashAt set from it.
void NoteCrash(ClientStatus& status, ULONGLONG localNow);

// The crashes of a recorded slot in the 24 hours before nowAtMachine: its
// day's count while its last crash is less than a day old, else 0.  An
// upper bound: crashes that left the day since the last one still count.
DWORD CrashesInLastDay(const ClientStatus& status, ULONGLONG nowAtMachine);

const char* SlotStateName(SlotState state);

// Appends to a bounded text; what does not fit is cut.
void AppendBounded(char* out, size_t outSize, const char* format, ...);
const char* EndKindName(EndKind kind);

// The current local time as a FILETIME count.
ULONGLONG LocalNowFileTime();
constexpr ULONGLONG FILETIME_PER_MS = 10000;

// "2026-12-07T20:15:03" (no blank: the record is blank-separated).
void FormatStatusTime(char* out, size_t outSize, ULONGLONG localFileTime);
bool ParseStatusTime(const char* text, ULONGLONG* localFileTime);

// The registry text of a slot: blank-separated name=value pairs, for
// example "state=working pid=0x1a4 since=2026-12-07T20:15:03 restarts=2
// last=crash exit=0xc0000005 mask=0x1" (with "crashes=N crashed=TIME" once
// the slot has crashed).  Both ends of the channel use these two, so a
// record always reads back as it was written; a record with a number out of
// range, a time that does not parse or a character of another kind is not
// read at all (any user who may set values under the key could forge one).
constexpr size_t CLIENT_RECORD_SIZE = 192;
void FormatClientRecord(char* out, size_t outSize, const ClientStatus& status);
bool ParseClientRecord(const char* text, ClientStatus& status);

// The line "qelsvc -l" shows for a slot, at most 79 characters so that it
// fits an 80-column console, for example
// "Client 3: working 0x1a4 up 2d03:12 restarts 2 last crash 0xc0000005".
constexpr size_t CLIENT_LINE_SIZE = 80;
void FormatClientLine(char* out, size_t outSize, int clientNumber, const ClientStatus& status,
                      ULONGLONG nowLocal);

// What the status key held when it was read.  The texts are shown only in
// the form the writer gives them: a value of any other form reads as "?".
struct StatusSnapshot {
    bool Present = false;     // the key exists
    LONG ReadError = ERROR_FILE_NOT_FOUND;  // of opening the key; ERROR_SUCCESS when Present
    char Version[16] = {};    // digits and dots
    char Started[24] = {};    // a status time
    char Ended[24] = {};      // set when the run that wrote it ended
    char Alive[24] = {};      // the run's last sign of life (a status time)
    DWORD SupervisorProcessId = 0;
    DWORD Clients = 0;        // slots of that run
    // The writer's local time minus UTC, in minutes, so that durations can
    // be told from another time zone; HasUtcOffset false for a key without it.
    bool HasUtcOffset = false;
    LONG UtcOffsetMinutes = 0;
    ClientStatus Slots[MAX_CLIENTS];
    bool SlotRecorded[MAX_CLIENTS] = {};    // a record that reads
    bool SlotUnreadable[MAX_CLIENTS] = {};  // a value that does not
};

// Reads the key on this machine (any process, any user who may read HKLM).
StatusSnapshot ReadStatusSnapshot();

// How long a run may go without a sign of life before a reader that has
// only the key takes it for dead: many ticks of the run loop, and more than
// its longest stretch of work between two (a restart of every client).
constexpr ULONGLONG STATUS_ALIVE_LIMIT_MS = 10 * 60 * 1000;
// Whether the key shows a run that still works, judged by the key alone:
// present, not ended, and alive within the limit by the writer's clock (a
// key of an earlier version, without Alive, counts as alive).
bool StatusShowsLiveRun(const StatusSnapshot& snapshot, ULONGLONG nowAtWriter);

// Opens the status key of a machine whose HKEY_LOCAL_MACHINE is `root`
// (from RegConnectRegistryA) for reading.  The key lives in the 32-bit view;
// a 64-bit machine's registry server shows a caller its 32-bit view only
// when both ends are XP x64 / Server 2003 SP1 or later and the caller asks
// for it (the view flag) or is 32-bit itself, so the key is looked for with
// the view flag (64-bit build), then by its 64-bit name under Wow6432Node
// (any caller, any server), then without the flag (a server before XP that
// refuses it).  The registry status of the first failure that says more
// than "not found".
LONG OpenRemoteStatusKey(HKEY root, qel::UniqueRegKey& key);

// Reads an opened status key.
StatusSnapshot ReadStatusSnapshotFrom(HKEY key);

// Whether a text has the form the writer gives a version: digits and dots,
// beginning with a digit.
bool IsVersionText(const char* text);

// The writer's local time now, as far as the snapshot tells (its UTC offset;
// this machine's local time for a key without one).
ULONGLONG NowAtWriter(const StatusSnapshot& snapshot);

// This machine's local time minus UTC, in whole minutes.
LONG LocalUtcOffsetMinutes();

// Replaces every control character but the line feed (C0 controls, DEL)
// with '?', in place: text that came from another process's values must not
// steer the console or a monitoring tool that shows it.
void MaskControlCharacters(char* text);

// The per-client lines of a snapshot, one per line feed; "No client status
// recorded." when there are none.  Shared by the console and the 9x box.
void FormatStatusListing(char* out, size_t outSize, const StatusSnapshot& snapshot, ULONGLONG nowLocal);

// The exit code of the status command, as service status commands report
// it: 0 running and every client working, 1 running but some client not
// working (or no status recorded), 3 not running, 4 not known.
enum class SupervisorRunState { Runs, NotRunning, Unknown };
int StatusExitCode(SupervisorRunState supervisor, const StatusSnapshot& snapshot);
constexpr int STATUS_ALL_WORKING = 0;
constexpr int STATUS_NOT_ALL_WORKING = 1;
constexpr int STATUS_NOT_RUNNING = 3;
constexpr int STATUS_UNKNOWN = 4;

// The writing end, used only by the run loop that holds the settings mutex.
// Every write is best effort: a failed one is counted and changes nothing
// else; the key is opened again at the next write.
class StatusStore {
public:
    // Clears whatever an earlier run left and records this run.  A key that
    // cannot be deleted (a subkey in it, or one it cannot open for that)
    // keeps no value that the run would not write again: Ended and the
    // slots beyond `clients` are removed from it.
    void Begin(const char* version, DWORD clients);
    void WriteClient(unsigned index, const ClientStatus& status);
    // The run is over: on the NT family the final states stay until the
    // next run or the next boot (the key is volatile); on the 9x family,
    // which has no volatile keys, the key is removed so that nothing stale
    // survives a reboot.
    void End();
    // A sign of life, every tick of the run loop: a reader that cannot ask
    // the supervisor itself (a 9x machine, read remotely) tells a run that
    // still works from one whose process died without ending it.
    void Touch();

    unsigned Writes() const { return writes_; }
    unsigned FailedWrites() const { return failed_; }

private:
    bool Open();
    void SetString(const char* name, const char* text);
    void SetDword(const char* name, DWORD value);
    void ClearStaleValues(DWORD clients);
    void WriteUtcOffsetIfChanged();

    qel::UniqueRegKey key_;
    LONG utcOffsetWritten_ = 0x7FFFFFFF;
    unsigned writes_ = 0;
    unsigned failed_ = 0;
};

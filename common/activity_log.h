// The activity log ("qelsvc.log" beside the executable) and the debug trace.
#pragma once

#include <windows.h>

#include <cstdarg>
#include <cstddef>

constexpr size_t LOG_LINE_SIZE = 1024;

// Once the log has reached this size it is renamed to "<log>.1" (replacing
// the older one) and a new file starts: two files of about 4 MiB hold months
// of ordinary activity, and the disk use stays bounded for ever.
constexpr DWORD LOG_ROTATE_BYTES = 4u * 1024u * 1024u;

// While the log cannot be rotated (the file is held open elsewhere, or both
// older names are stuck) it grows to this many times the rotation size; new
// lines are then dropped until a rotation succeeds, so that a stuck file can
// never fill the disk; the log's last line says so.
constexpr DWORD LOG_CAP_FACTOR = 2;

// While the log cannot be opened at all (another program holds it without
// write sharing, or made it read-only), its lines go to "<log>.held" beside
// it, up to this size; the next line that can open the log again moves them
// into it.
constexpr DWORD LOG_HELD_BYTES = 1024u * 1024u;

// One event for the host's event log (the NT service's; the 9x host has
// none): the run loop's client events and the log's own trouble.
constexpr WORD SUPERVISOR_EVENT_MAX_STRINGS = 5;
struct SupervisorEvent {
    WORD Type = EVENTLOG_INFORMATION_TYPE;
    DWORD Id = 0;
    const char* Strings[SUPERVISOR_EVENT_MAX_STRINGS] = {};
    WORD Count = 0;
};
using SupervisorEventSink = void (*)(void* context, const SupervisorEvent& event);

// Warning: the log cannot be opened; %1 the log, %2 the error, %3 a
// sentence: where its lines are kept meanwhile, or that they are lost.
constexpr DWORD EVENT_LOG_HELD = 120;

// What the log remembers between lines, so that each trouble is told once
// (a trace line, and for the log that cannot be opened an event), not once
// per line.  Kept per log context; every field is read and written only
// while the process's writers take their turn (see WriteLog).
struct LogReports {
    bool RotationFailed = false;   // cleared once the log is below the rotation size
    bool LogDropping = false;      // likewise
    bool OpenFailed = false;       // cleared once the log opens again
    bool HeldDropping = false;     // likewise
    // The size could not be read: the log was rotated then, and is rotated
    // again after this many bytes written by this process.
    bool SizeUnknown = false;
    ULONGLONG BytesSinceRotation = 0;
};

// The file calls that a test must be able to make fail where the system
// would not.  The shipped programs keep the defaults.
struct LogFileCalls {
    using MoveFileExFn = BOOL(WINAPI*)(LPCSTR from, LPCSTR to, DWORD flags);
    static MoveFileExFn BoundMoveFileEx();

    DWORD(WINAPI* ReadSize)(HANDLE file, LPDWORD high) = GetFileSize;
    BOOL(WINAPI* Rename)(LPCSTR from, LPCSTR to) = MoveFileA;
    // The replacing rename of the NT family, bound by name (the 9x family
    // exports only a failing stub, and renames in two steps instead).  Null:
    // two steps on every system.
    MoveFileExFn RenameReplacing = BoundMoveFileEx();
};

// What the log and trace need of a service object: its name (for the trace
// prefix), the path of its log file, the size at which it is rotated, and
// where its events go.
struct ServiceLogContext {
    const char* ServiceName = "";
    char LogPath[MAX_PATH] = {};
    DWORD LogRotateBytes = LOG_ROTATE_BYTES;
    DWORD LogHeldBytes = LOG_HELD_BYTES;
    LogFileCalls FileCalls;
    mutable LogReports Reports;
    // The host's event log: the NT service sets it; null writes none.
    // Called on the thread that wrote the line, never while a lock of the
    // log is held.
    SupervisorEventSink EventSink = nullptr;
    void* EventContext = nullptr;
};

// Appends one time-stamped line to LogPath and echoes the text to the trace;
// rotates the file first when it has reached LogRotateBytes (unless another
// writer is rotating it at that moment: the line never waits for that).
// Nothing is dropped without a word: a log that cannot be opened, a log at
// its cap and a size that cannot be read are each told once.
void WriteLog(const ServiceLogContext& service, const char* format, ...);

// Whether a named object shared by the service and a console must carry the
// "Global\" prefix: from Windows 2000 on a plain name lives in the caller's
// session (the service is in session 0, a console in session 1 on Vista and
// later); NT 4.0 and the 9x family know no prefix (NT 4.0 would take it as
// part of the name).  The inputs as GetVersion() reports them.
bool MachineWideNamesApplyFor(bool windows9xFamily, DWORD majorVersion);
bool MachineWideNamesApply();

// "<logPath>.<generation>"; false when it does not fit.
bool RotatedLogPath(char* out, size_t outSize, const char* logPath, unsigned generation = 1);

// The name of the mutex that lets one writer at a time rotate the log, among
// all the processes that write it.
const char* LogMutexName();

// Sends "[name](thread id): text\n" to OutputDebugStringA, never waiting
// for it: a debug monitor that does not read makes each OutputDebugStringA
// wait up to 10 s, so the lines go through a bounded queue to a thread of
// their own, in order.  What does not fit is dropped and counted, and the
// count is traced where the lines went missing.
void TraceDebug(const char* serviceName, const char* format, ...);

// Waits, bounded, until the queued trace lines have been sent: at most a
// few seconds, and half a second once no line has gone out for that long (a
// monitor that does not read).  Runs by itself when the process ends
// through exit(); a path that ends the process otherwise calls it first.
void DrainDebugTrace();

// Formats into a fixed buffer; a text that does not fit is cut, never
// overflows, and the buffer is always terminated.
void FormatBounded(char* buffer, size_t size, const char* format, va_list args);

// "[yyyy/mm/dd hh:mm:ss.mmm]: " for the given local time.
void FormatLogTimestamp(char* buffer, size_t size, const SYSTEMTIME& localTime);

// Replaces everything after the last backslash of modulePath by fileName.
// The result is cut to fit outSize.
void ReplaceFileName(char* out, size_t outSize, const char* modulePath, const char* fileName);

// Fills `out` (MAX_PATH) with the path of fileName beside this executable.
void PathBesideExecutable(char* out, size_t outSize, const char* fileName);

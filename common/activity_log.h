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
// never fill the disk.
constexpr DWORD LOG_CAP_FACTOR = 2;

// The one-time reports of a rotation that fails: set when the trace line was
// written, cleared by the next line that finds the log below the rotation
// size again.  Updated with Interlocked calls; the log's writers share it.
struct LogRotationReports {
    LONG FailureReported = 0;
    LONG DroppingReported = 0;
};

// What the log and trace need of a service object: its name (for the trace
// prefix), the path of its log file and the size at which it is rotated.
struct ServiceLogContext {
    const char* ServiceName = "";
    char LogPath[MAX_PATH] = {};
    DWORD LogRotateBytes = LOG_ROTATE_BYTES;
    mutable LogRotationReports RotationReports;
};

// Appends one time-stamped line to LogPath and echoes the text to the trace;
// rotates the file first when it has reached LogRotateBytes (unless another
// writer is rotating it at that moment: the line never waits for that).
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

// Sends "[name](thread id): text\n" to OutputDebugStringA.
void TraceDebug(const char* serviceName, const char* format, ...);

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

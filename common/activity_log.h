// The activity log ("qelsvc.log" beside the executable) and the debug trace.
#pragma once

#include <windows.h>

#include <cstdarg>
#include <cstddef>

constexpr size_t LOG_LINE_SIZE = 1024;

// What the log and trace need of a service object: its name (for the trace
// prefix) and the path of its log file.
struct ServiceLogContext {
    const char* ServiceName = "";
    char LogPath[MAX_PATH] = {};
};

// Appends one time-stamped line to LogPath and echoes the text to the trace.
void WriteLog(const ServiceLogContext& service, const char* format, ...);

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

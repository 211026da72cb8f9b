#include "activity_log.h"

#include <cstdio>
#include <cstring>

#include "object_security.h"

void FormatBounded(char* buffer, size_t size, const char* format, va_list args)
{
    if (size == 0)
        return;
    int written = vsnprintf(buffer, size, format, args);
    if (written < 0)
        buffer[0] = '\0';
    buffer[size - 1] = '\0';
}

void FormatLogTimestamp(char* buffer, size_t size, const SYSTEMTIME& t)
{
    snprintf(buffer, size, "[%04d/%02d/%02d %02d:%02d:%02d.%03d]: ", t.wYear, t.wMonth, t.wDay,
             t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
}

void ReplaceFileName(char* out, size_t outSize, const char* modulePath, const char* fileName)
{
    if (outSize == 0)
        return;
    const char* lastBackslash = strrchr(modulePath, '\\');
    size_t directoryLength = lastBackslash ? static_cast<size_t>(lastBackslash - modulePath) + 1 : 0;
    if (directoryLength >= outSize)
        directoryLength = outSize - 1;
    memcpy(out, modulePath, directoryLength);
    snprintf(out + directoryLength, outSize - directoryLength, "%s", fileName);
}

void PathBesideExecutable(char* out, size_t outSize, const char* fileName)
{
    char modulePath[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, modulePath, MAX_PATH);
    modulePath[MAX_PATH - 1] = '\0';
    ReplaceFileName(out, outSize, modulePath, fileName);
}

void TraceDebug(const char* serviceName, const char* format, ...)
{
    char line[LOG_LINE_SIZE];
    int prefixLength = snprintf(line, sizeof line, "[%s](%lu): ", serviceName,
                                static_cast<unsigned long>(GetCurrentThreadId()));
    if (prefixLength < 0 || static_cast<size_t>(prefixLength) >= sizeof line - 2)
        prefixLength = 0;

    // Leave room for the line feed: a text that is too long is cut.
    va_list args;
    va_start(args, format);
    FormatBounded(line + prefixLength, sizeof line - 1 - prefixLength, format, args);
    va_end(args);

    size_t length = strlen(line);
    line[length] = '\n';
    line[length + 1] = '\0';
    OutputDebugStringA(line);
}

bool MachineWideNamesApplyFor(bool windows9xFamily, DWORD majorVersion)
{
    return !windows9xFamily && majorVersion >= 5;
}

bool MachineWideNamesApply()
{
    DWORD version = GetVersion();
    return MachineWideNamesApplyFor((version & 0x80000000u) != 0, LOBYTE(LOWORD(version)));
}

bool RotatedLogPath(char* out, size_t outSize, const char* logPath)
{
    int written = snprintf(out, outSize, "%s.1", logPath);
    return written > 0 && static_cast<size_t>(written) < outSize;
}

namespace {

// Serialises the size check, the rotation and the append of one line among
// every thread and process that writes a log: the service thread and the
// main thread both log, and so does a console command while the service
// runs.  Without it two writers could both find the file full and the second
// would delete the first one's freshly rotated file.  Named per machine like
// the settings mutex, so the service in session 0 and a console meet.
HANDLE LogMutex()
{
    // Made once (the initialisation of a local static is thread-safe) and
    // kept for the process.
    static const HANDLE mutex =
        qel::OpenGuardedMutex(MachineWideNamesApply() ? "Global\\KorvaneSvcLogMutex" : "KorvaneSvcLogMutex");
    return mutex;
}

// A bounded wait: a writer that died holding the mutex (abandoned) hands it
// on, and a lasting failure only costs the rotation, never the line.
constexpr DWORD LOG_MUTEX_WAIT_MS = 2000;

// The log as it is opened for one line: rotated first when it has reached
// the limit.  The size comes from the open file itself (no
// GetFileAttributesExA, which Windows 95 lacks).
FILE* OpenForAppend(const ServiceLogContext& service, bool mayRotate)
{
    FILE* file = fopen(service.LogPath, "a+t");
    if (!file || !mayRotate)
        return file;
    if (fseek(file, 0, SEEK_END) != 0)
        return file;
    long size = ftell(file);
    if (size < 0 || static_cast<unsigned long>(size) < service.LogRotateBytes)
        return file;
    fclose(file);
    char older[MAX_PATH + 2];
    if (RotatedLogPath(older, sizeof older, service.LogPath)) {
        // MoveFileExA with MOVEFILE_REPLACE_EXISTING does not exist on the
        // 9x family: delete, then rename.  When the rename fails (the file
        // is open elsewhere) the log grows until a later line succeeds.
        DeleteFileA(older);
        MoveFileA(service.LogPath, older);
    }
    return fopen(service.LogPath, "a+t");
}

} // namespace

void WriteLog(const ServiceLogContext& service, const char* format, ...)
{
    char text[LOG_LINE_SIZE];
    va_list args;
    va_start(args, format);
    // One byte stays free for the line feed added below.
    FormatBounded(text, sizeof text - 1, format, args);
    va_end(args);

    // The echo carries the text as it is: it must not be formatted again.
    TraceDebug(service.ServiceName, "%s", text);

    size_t length = strlen(text);
    text[length] = '\n';
    text[length + 1] = '\0';

    SYSTEMTIME now;
    GetLocalTime(&now);

    HANDLE mutex = LogMutex();
    DWORD waited = mutex ? WaitForSingleObject(mutex, LOG_MUTEX_WAIT_MS) : WAIT_FAILED;
    const bool held = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
    // Opened and closed per line so the file can be read, copied or deleted
    // while the service runs.  A line that cannot be written is dropped.
    // Only a writer holding the mutex may rotate; the others still append.
    FILE* file = OpenForAppend(service, held);
    if (file) {
        char stamp[64];
        FormatLogTimestamp(stamp, sizeof stamp, now);
        fprintf(file, "%s", stamp);
        fprintf(file, "%s", text);
        fclose(file);
    }
    if (held)
        ReleaseMutex(mutex);
}

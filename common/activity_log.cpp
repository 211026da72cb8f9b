#include "activity_log.h"

#include <cstdio>
#include <cstring>

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

    // Opened and closed per line so the file can be read, copied or deleted
    // while the service runs.  A line that cannot be written is dropped.
    FILE* file = fopen(service.LogPath, "a+t");
    if (!file)
        return;
    char stamp[64];
    FormatLogTimestamp(stamp, sizeof stamp, now);
    fprintf(file, "%s", stamp);
    fprintf(file, "%s", text);
    fclose(file);
}

#include "activity_log.h"

#include <cstdio>
#include <cstring>

#include "object_security.h"
#include "runtime_binding.h"
#include "win_handles.h"
#include "windows_family.h"

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

bool RotatedLogPath(char* out, size_t outSize, const char* logPath, unsigned generation)
{
    int written = snprintf(out, outSize, "%s.%u", logPath, generation);
    return written > 0 && static_cast<size_t>(written) < outSize;
}

const char* LogMutexName()
{
    return MachineWideNamesApply() ? "Global\\KorvaneSvcLogMutex" : "KorvaneSvcLogMutex";
}

// Renames `from` to `to`, replacing the file `to`.  Either `to` then holds
// what `from` held, or both are left as they were (false, GetLastError set):
// the file `to` is never removed unless `from` has taken its place.  A
// read-only `to`, or a folder, is never replaced.
// inOneStep: one MoveFileExA (the NT family).  Otherwise (the 9x family has
// no replacing rename) `to` is first renamed to "<to>.old", `from` renamed to
// `to` (on failure "<to>.old" is put back), and only then "<to>.old" is
// deleted; a "<to>.old" that cannot be deleted stays, and holds `to` stuck.
static bool ReplaceFileByRename(const char* from, const char* to, bool inOneStep)
{
    // A folder of that name is not the log's to move about, and a file made
    // read-only was protected on purpose.  (MoveFileExA refuses a read-only
    // target on Windows itself, not everywhere: the rule is kept here.)
    DWORD attributes = GetFileAttributesA(to);
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }

    using MoveFileExFn = BOOL(WINAPI*)(LPCSTR, LPCSTR, DWORD);
    // Bound by name: the 9x family exports only a failing stub.
    static const MoveFileExFn moveFileEx = qel::BindKernel32<MoveFileExFn>("MoveFileExA");
    if (inOneStep && moveFileEx)
        return moveFileEx(from, to, MOVEFILE_REPLACE_EXISTING) != FALSE;

    char aside[MAX_PATH + 8];
    int written = snprintf(aside, sizeof aside, "%s.old", to);
    if (written <= 0 || static_cast<size_t>(written) >= sizeof aside) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    // A leftover of an attempt that was cut short holds history older than
    // `to`: it goes first, as `to` itself would.
    DeleteFileA(aside);
    const bool setAside = MoveFileA(to, aside) != FALSE;
    if (!setAside && GetLastError() != ERROR_FILE_NOT_FOUND)
        return false;
    if (!MoveFileA(from, to)) {
        DWORD error = GetLastError();
        if (setAside)
            MoveFileA(aside, to);
        SetLastError(error);
        return false;
    }
    if (setAside)
        DeleteFileA(aside);
    return true;
}

namespace {

// Lets one writer at a time rotate, among every thread and process that
// writes the log (the service thread and the main thread both log, and so
// does a console command while the service runs): two writers that both
// found the file full would otherwise rotate twice, and the second would put
// a nearly empty file in place of the older one.  Ordinary lines never wait
// for it; a writer that finds it taken leaves the rotation to its holder.
// Named per machine like the settings mutex, so the service in session 0 and
// a console meet.
// Only a rotation takes the lock.  One made first by another account could
// be held forever to keep the log from rotating until it reaches its cap: the
// writers of this process then rotate without it, as they would with none.
HANDLE OpenTrustedLogMutex()
{
    qel::MutexTrust trust = qel::MutexTrust::Created;
    HANDLE mutex = qel::OpenGuardedMutex(LogMutexName(), &trust);
    if (mutex && trust == qel::MutexTrust::Foreign) {
        CloseHandle(mutex);
        return nullptr;
    }
    return mutex;
}

HANDLE LogMutex()
{
    // Made once (the initialisation of a local static is thread-safe) and
    // kept for the process.
    static const HANDLE mutex = OpenTrustedLogMutex();
    return mutex;
}

// The log's writers within this process take turns: the time stamp is read
// and the line written in one turn, so a line never lands after a
// later-stamped one, and a rotation never finds the file held open by
// another thread of this process (the 9x family cannot rename an open
// file).  A turn is one open, write and close, or a rotation: milliseconds.
// Other processes never wait for it.
CRITICAL_SECTION& AppendSection()
{
    struct Section {
        CRITICAL_SECTION Value;
        Section() { InitializeCriticalSection(&Value); }
    };
    static Section section;
    return section.Value;
}

// Opened and closed per line so the file can be read, copied, renamed or
// deleted while the service runs.
//
// On the NT family the handle has append access only: the system then puts
// every write at the end of the file as it stands at that moment, so whole
// lines written with one WriteFile each by several processes follow one
// another and never overwrite or cut into one another.  Delete sharing lets
// a rotation rename the file while another process appends.  The 9x family
// knows neither (FILE_SHARE_DELETE is refused there): the writer moves to
// the end itself, and two processes writing in the same instant could write
// at the same offset; the 9x program has one running copy, and only a
// configuration command started by hand writes beside it.
qel::UniqueFileHandle OpenForAppend(const char* path, bool windows9x)
{
    const DWORD access = windows9x ? GENERIC_WRITE : (FILE_APPEND_DATA | SYNCHRONIZE);
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | (windows9x ? 0 : FILE_SHARE_DELETE);
    return qel::UniqueFileHandle(
        CreateFileA(path, access, share, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

// The size in 64 bits: a log that has passed 4 GiB still rotates.  0 when it
// cannot be read.
ULONGLONG FileSize64(HANDLE file)
{
    DWORD high = 0;
    DWORD low = GetFileSize(file, &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR)
        return 0;
    return (static_cast<ULONGLONG>(high) << 32) | low;
}

enum class Rotation {
    Done,          // into "<log>.1"
    DoneAside,     // into "<log>.2": "<log>.1" is stuck
    NotDue,
    Busy,
    Failed,
};

// Renames the full log to "<log>.1", or to "<log>.2" when "<log>.1" is stuck
// (read-only, a folder of that name, held open elsewhere): the stuck file is
// left alone and the log still starts afresh.  The error of the first
// failing rename is left in `error`.
Rotation Rotate(const ServiceLogContext& service, bool windows9x, DWORD& error)
{
    // Without a lock (none could be had, or one not to be trusted) this
    // process rotates on its own; the size is read again below either way.
    HANDLE mutex = LogMutex();
    if (mutex) {
        DWORD waited = WaitForSingleObject(mutex, 0);
        if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED)
            return Rotation::Busy;
    }
    qel::MutexHold hold(mutex);

    // Another writer may have rotated between this writer's look at the size
    // and its taking the mutex: only the size seen now counts.
    {
        qel::UniqueFileHandle file = OpenForAppend(service.LogPath, windows9x);
        if (!file || FileSize64(file.get()) < service.LogRotateBytes)
            return Rotation::NotDue;
    }
    char older[MAX_PATH + 8];
    error = ERROR_SUCCESS;
    for (unsigned generation = 1; generation <= 2; ++generation) {
        if (!RotatedLogPath(older, sizeof older, service.LogPath, generation)) {
            error = error ? error : ERROR_FILENAME_EXCED_RANGE;
            continue;
        }
        if (ReplaceFileByRename(service.LogPath, older, !windows9x))
            return generation == 1 ? Rotation::Done : Rotation::DoneAside;
        error = error ? error : GetLastError();
    }
    return Rotation::Failed;
}

void Report(const ServiceLogContext& service, LONG& flag, const char* format, ...)
{
    if (InterlockedExchange(&flag, 1) != 0)
        return;
    char text[LOG_LINE_SIZE];
    va_list args;
    va_start(args, format);
    FormatBounded(text, sizeof text, format, args);
    va_end(args);
    TraceDebug(service.ServiceName, "%s", text);
}

// The line as it goes to disk: time stamp, text, and every line feed as
// carriage return and line feed, as the log has always been written.
size_t BuildDiskLine(char* out, size_t outSize, const SYSTEMTIME& now, const char* text)
{
    FormatLogTimestamp(out, outSize, now);
    size_t length = strlen(out);
    for (const char* c = text; *c && length + 2 < outSize; ++c) {
        if (*c == '\n')
            out[length++] = '\r';
        out[length++] = *c;
    }
    out[length] = '\0';
    return length;
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

    // A line that cannot be written is dropped without a report.
    const bool windows9x = qel::IsWindows9xFamily();
    qel::CriticalSectionLock turn(AppendSection());
    qel::UniqueFileHandle file = OpenForAppend(service.LogPath, windows9x);
    if (!file)
        return;
    LogRotationReports& reports = service.RotationReports;
    if (FileSize64(file.get()) < service.LogRotateBytes) {
        // Below the limit (rotated, or emptied by hand): a later failure is
        // news again.
        if (reports.FailureReported || reports.DroppingReported) {
            InterlockedExchange(&reports.FailureReported, 0);
            InterlockedExchange(&reports.DroppingReported, 0);
        }
    } else {
        file.reset();
        DWORD error = ERROR_SUCCESS;
        Rotation rotation = Rotate(service, windows9x, error);
        if (rotation == Rotation::Failed) {
            Report(service, reports.FailureReported,
                   "Log rotation failed (error %lu): %s grows until it can be renamed",
                   static_cast<unsigned long>(error), service.LogPath);
        } else if (rotation == Rotation::DoneAside) {
            // Once per rotation, not per line: worth knowing why the newest
            // history is not where it is looked for first.
            TraceDebug(service.ServiceName, "Log rotated into %s.2: %s.1 cannot be replaced (error %lu)",
                       service.LogPath, service.LogPath, static_cast<unsigned long>(error));
        }
        file = OpenForAppend(service.LogPath, windows9x);
        if (!file)
            return;
        const ULONGLONG cap = static_cast<ULONGLONG>(service.LogRotateBytes) * LOG_CAP_FACTOR;
        if (FileSize64(file.get()) >= cap) {
            Report(service, reports.DroppingReported,
                   "Log not rotated and at its limit of %lu bytes: new lines are dropped",
                   static_cast<unsigned long>(cap));
            return;
        }
    }

    char line[LOG_LINE_SIZE * 2 + 64];
    SYSTEMTIME now;
    GetLocalTime(&now);
    size_t lineLength = BuildDiskLine(line, sizeof line, now, text);
    if (windows9x)
        SetFilePointer(file.get(), 0, nullptr, FILE_END);
    DWORD written = 0;
    WriteFile(file.get(), line, static_cast<DWORD>(lineLength), &written, nullptr);
}

#include "activity_log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

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

namespace {

// The trace's queue: a ring of whole lines (a 16-bit length, then the bytes)
// that one thread empties into OutputDebugStringA.  64 KiB hold several
// hundred ordinary lines: a burst (a start of 32 clients) passes while a
// slow monitor catches up, and a monitor that does not read costs this much
// memory and no more.
constexpr DWORD TRACE_QUEUE_BYTES = 64u * 1024u;
// DrainDebugTrace: the whole wait, and the wait once no line goes out.
constexpr DWORD TRACE_DRAIN_LIMIT_MS = 3000;
constexpr DWORD TRACE_DRAIN_STALLED_MS = 500;
constexpr size_t TRACE_NAME_SIZE = 64;

class TraceQueue {
public:
    // Made on the first trace and never destroyed: a line traced while the
    // process ends (by a static destructor, after the drain) still finds it.
    // Null when it could not be made; the trace then goes nowhere.
    static TraceQueue* Instance()
    {
        static TraceQueue* const queue = Create();
        return queue;
    }

    void Put(const char* serviceName, const char* line, size_t length);
    void Drain();

private:
    TraceQueue()
        : work_(CreateEventA(nullptr, FALSE, FALSE, nullptr)), idle_(CreateEventA(nullptr, TRUE, TRUE, nullptr))
    {
        InitializeCriticalSection(&lock_);
    }

    static TraceQueue* Create()
    {
        TraceQueue* queue = new (std::nothrow) TraceQueue;
        if (queue && (!queue->work_ || !queue->idle_)) {
            DeleteCriticalSection(&queue->lock_);
            delete queue;
            queue = nullptr;
        }
        if (queue)
            atexit(DrainDebugTrace);
        return queue;
    }

    static DWORD WINAPI SendThread(LPVOID self)
    {
        static_cast<TraceQueue*>(self)->Send();
        return 0;
    }
    void Send();

    bool Fits(size_t length) const { return used_ + sizeof(WORD) + length <= TRACE_QUEUE_BYTES; }
    void Push(const char* line, size_t length);
    size_t Pop(char* out);
    void FormatDropNotice(char* out, size_t outSize);
    void Copy(char* out, DWORD from, size_t length) const;

    CRITICAL_SECTION lock_;
    qel::UniqueHandle work_;  // auto-reset: a line waits
    qel::UniqueHandle idle_;  // manual-reset: nothing waits, nothing is being sent
    qel::UniqueHandle thread_;
    DWORD head_ = 0;  // offset of the oldest line's length
    DWORD used_ = 0;
    // Lines dropped since the last one queued, and the name of the first.
    DWORD dropped_ = 0;
    char droppedName_[TRACE_NAME_SIZE] = {};
    // Lines handed to OutputDebugStringA (the drain's sign of progress).
    volatile LONG sent_ = 0;
    char ring_[TRACE_QUEUE_BYTES];
};

void TraceQueue::Push(const char* line, size_t length)
{
    const WORD length16 = static_cast<WORD>(length);
    const char* parts[2] = {reinterpret_cast<const char*>(&length16), line};
    const size_t sizes[2] = {sizeof length16, length};
    for (int part = 0; part < 2; ++part) {
        for (size_t i = 0; i < sizes[part]; ++i)
            ring_[(head_ + used_ + i) % TRACE_QUEUE_BYTES] = parts[part][i];
        used_ += static_cast<DWORD>(sizes[part]);
    }
}

void TraceQueue::Copy(char* out, DWORD from, size_t length) const
{
    for (size_t i = 0; i < length; ++i)
        out[i] = ring_[(from + i) % TRACE_QUEUE_BYTES];
}

size_t TraceQueue::Pop(char* out)
{
    WORD length = 0;
    Copy(reinterpret_cast<char*>(&length), head_, sizeof length);
    Copy(out, head_ + sizeof length, length);
    out[length] = '\0';
    head_ = (head_ + sizeof length + length) % TRACE_QUEUE_BYTES;
    used_ -= sizeof length + length;
    return length;
}

void TraceQueue::FormatDropNotice(char* out, size_t outSize)
{
    snprintf(out, outSize, "[%s](%lu): %lu debug trace lines dropped here: the debug output was not read in time\n",
             droppedName_, static_cast<unsigned long>(GetCurrentThreadId()), static_cast<unsigned long>(dropped_));
    dropped_ = 0;
}

void TraceQueue::Put(const char* serviceName, const char* line, size_t length)
{
    {
        qel::CriticalSectionLock hold(lock_);
        // A thread that could not be started is tried again with the next
        // line; the lines wait in the queue meanwhile.
        if (!thread_)
            thread_ = qel::StartThread(SendThread, this);
        // Room for the line, and for the count of the lines dropped before
        // it, which goes first (a notice of at most a line's size).
        const size_t needed = length + (dropped_ ? sizeof(WORD) + LOG_LINE_SIZE : 0);
        if (!Fits(needed)) {
            if (dropped_ == 0)
                snprintf(droppedName_, sizeof droppedName_, "%s", serviceName);
            if (dropped_ < MAXDWORD)
                ++dropped_;
            return;
        }
        if (dropped_) {
            char notice[LOG_LINE_SIZE];
            FormatDropNotice(notice, sizeof notice);
            Push(notice, strlen(notice));
        }
        Push(line, length);
        ResetEvent(idle_.get());
    }
    SetEvent(work_.get());
}

void TraceQueue::Send()
{
    char line[LOG_LINE_SIZE + 1];
    for (;;) {
        bool haveLine = true;
        {
            qel::CriticalSectionLock hold(lock_);
            if (used_)
                Pop(line);
            else if (dropped_)
                FormatDropNotice(line, sizeof line);
            else
                haveLine = false;
            if (!haveLine)
                SetEvent(idle_.get());
        }
        if (!haveLine) {
            WaitForSingleObject(work_.get(), INFINITE);
            continue;
        }
        OutputDebugStringA(line);
        InterlockedIncrement(&sent_);
    }
}

void TraceQueue::Drain()
{
    {
        qel::CriticalSectionLock hold(lock_);
        if (!thread_)
            return;
    }
    const DWORD start = GetTickCount();
    DWORD lastProgress = start;
    LONG lastSent = sent_;
    while (WaitForSingleObject(idle_.get(), 50) == WAIT_TIMEOUT) {
        const DWORD now = GetTickCount();
        const LONG sent = sent_;
        if (sent != lastSent) {
            lastSent = sent;
            lastProgress = now;
        }
        if (now - lastProgress >= TRACE_DRAIN_STALLED_MS || now - start >= TRACE_DRAIN_LIMIT_MS)
            return;
    }
}

} // namespace

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
    if (TraceQueue* queue = TraceQueue::Instance())
        queue->Put(serviceName, line, length + 1);
}

void DrainDebugTrace()
{
    if (TraceQueue* queue = TraceQueue::Instance())
        queue->Drain();
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

LogFileCalls::MoveFileExFn LogFileCalls::BoundMoveFileEx()
{
    // Bound once: kernel32 stays mapped for the whole process.
    static const MoveFileExFn moveFileEx = qel::BindKernel32<MoveFileExFn>("MoveFileExA");
    return moveFileEx;
}

// Renames `from` to `to`, replacing the file `to`.  Either `to` then holds
// what `from` held, or both are left as they were (false, GetLastError set):
// the file `to` is never removed unless `from` has taken its place.  A
// read-only `to`, or a folder, is never replaced.
// inOneStep: one replacing rename (the NT family).  Otherwise (the 9x family
// has no replacing rename) `to` is first renamed to "<to>.old", `from`
// renamed to `to` (on failure "<to>.old" is put back), and only then
// "<to>.old" is deleted; a "<to>.old" that cannot be deleted stays, and
// holds `to` stuck.
static bool ReplaceFileByRename(const LogFileCalls& calls, const char* from, const char* to, bool inOneStep)
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

    if (inOneStep && calls.RenameReplacing)
        return calls.RenameReplacing(from, to, MOVEFILE_REPLACE_EXISTING) != FALSE;

    char aside[MAX_PATH + 8];
    int written = snprintf(aside, sizeof aside, "%s.old", to);
    if (written <= 0 || static_cast<size_t>(written) >= sizeof aside) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    // A "<to>.old" left by an earlier attempt is either older than `to`
    // (its delete failed) and goes, as `to` itself would, or, when `to` is
    // missing, the only copy of `to` (that attempt's rename and its restore
    // both failed): that one is put back, and never deleted.
    if (GetFileAttributesA(aside) != INVALID_FILE_ATTRIBUTES) {
        if (GetFileAttributesA(to) != INVALID_FILE_ATTRIBUTES)
            DeleteFileA(aside);
        else if (!calls.Rename(aside, to))
            return false;
    }
    const bool setAside = calls.Rename(to, aside) != FALSE;
    if (!setAside && GetLastError() != ERROR_FILE_NOT_FOUND)
        return false;
    if (!calls.Rename(from, to)) {
        DWORD error = GetLastError();
        if (setAside)
            calls.Rename(aside, to);
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
// A rotation takes the lock, and so do the writers of the held file.  One made first by another account could
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

DWORD ShareAll(bool windows9x)
{
    return FILE_SHARE_READ | FILE_SHARE_WRITE | (windows9x ? 0 : FILE_SHARE_DELETE);
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
    return qel::UniqueFileHandle(
        CreateFileA(path, access, ShareAll(windows9x), nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

// Appends the bytes as one write.
bool Append(HANDLE file, const char* data, DWORD length, bool windows9x)
{
    if (windows9x)
        SetFilePointer(file, 0, nullptr, FILE_END);
    DWORD written = 0;
    return WriteFile(file, data, length, &written, nullptr) && written == length;
}

// The line as it goes to disk: time stamp, text, line end, and every line
// feed inside the text as carriage return and line feed, as the log has
// always been written.
size_t BuildDiskLine(char* out, size_t outSize, const SYSTEMTIME& now, const char* text)
{
    FormatLogTimestamp(out, outSize, now);
    size_t length = strlen(out);
    for (const char* c = text; *c && length + 4 < outSize; ++c) {
        if (*c == '\n')
            out[length++] = '\r';
        out[length++] = *c;
    }
    out[length++] = '\r';
    out[length++] = '\n';
    out[length] = '\0';
    return length;
}

// Writes one time-stamped line; the bytes written (0 on failure).
DWORD WriteDiskLine(HANDLE file, const char* text, bool windows9x)
{
    char line[LOG_LINE_SIZE * 2 + 64];
    SYSTEMTIME now;
    GetLocalTime(&now);
    const DWORD length = static_cast<DWORD>(BuildDiskLine(line, sizeof line, now, text));
    return Append(file, line, length, windows9x) ? length : 0;
}

// The size in 64 bits (a log that has passed 4 GiB still rotates); false
// when it cannot be read.
bool ReadSize(const ServiceLogContext& service, HANDLE file, ULONGLONG& size)
{
    DWORD high = 0;
    SetLastError(NO_ERROR);
    DWORD low = service.FileCalls.ReadSize(file, &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR)
        return false;
    size = (static_cast<ULONGLONG>(high) << 32) | low;
    return true;
}

// The size the rotation and the cap go by.  One that cannot be read makes
// the log due for rotation (never rotating would let it grow without end);
// after that rotation this process counts what it writes, and rotates again
// when its count reaches the size (other processes' lines go uncounted, a
// small error beside a log that rotates at every line and so keeps no
// history).
ULONGLONG SizeForRules(const ServiceLogContext& service, HANDLE file)
{
    LogReports& reports = service.Reports;
    ULONGLONG size = 0;
    if (ReadSize(service, file, size)) {
        reports.SizeUnknown = false;
        return size;
    }
    if (reports.SizeUnknown)
        return reports.BytesSinceRotation;
    const DWORD error = GetLastError();
    reports.SizeUnknown = true;
    reports.BytesSinceRotation = 0;
    TraceDebug(service.ServiceName,
               "Log size cannot be read (error %lu): %s is rotated now, then after each %lu bytes this program writes",
               static_cast<unsigned long>(error), service.LogPath, static_cast<unsigned long>(service.LogRotateBytes));
    return service.LogRotateBytes;
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
    // and its taking the mutex: only the size seen now counts (one that
    // cannot be read leaves the caller's decision standing).
    {
        qel::UniqueFileHandle file = OpenForAppend(service.LogPath, windows9x);
        ULONGLONG size = 0;
        if (!file || (ReadSize(service, file.get(), size) && size < service.LogRotateBytes))
            return Rotation::NotDue;
    }
    char older[MAX_PATH + 8];
    error = ERROR_SUCCESS;
    for (unsigned generation = 1; generation <= 2; ++generation) {
        if (!RotatedLogPath(older, sizeof older, service.LogPath, generation)) {
            error = error ? error : ERROR_FILENAME_EXCED_RANGE;
            continue;
        }
        if (ReplaceFileByRename(service.FileCalls, service.LogPath, older, !windows9x))
            return generation == 1 ? Rotation::Done : Rotation::DoneAside;
        error = error ? error : GetLastError();
    }
    return Rotation::Failed;
}

// Whether the file at `path` ends with the line `text`: another process
// may have written it already.
bool EndsWithLine(const char* path, const char* text, bool windows9x)
{
    qel::UniqueFileHandle file(
        CreateFileA(path, GENERIC_READ, ShareAll(windows9x), nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    char tail[LOG_LINE_SIZE + 2];
    const size_t textLength = strlen(text);
    const DWORD wanted = static_cast<DWORD>(textLength + 2);
    if (!file || wanted > sizeof tail)
        return false;
    LONG high = -1;  // a move back by `wanted`, in 64 bits
    SetLastError(NO_ERROR);
    DWORD low = SetFilePointer(file.get(), -static_cast<LONG>(wanted), &high, FILE_END);
    if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR)
        return false;
    DWORD got = 0;
    return ReadFile(file.get(), tail, wanted, &got, nullptr) && got == wanted &&
           memcmp(tail, text, textLength) == 0 && memcmp(tail + textLength, "\r\n", 2) == 0;
}

// A file at its cap: its last line says that the lines after it are
// dropped, once (per process, and across processes as long as nobody wrote
// after it).  True when that is news, for the trace.
bool EndWithDroppingLine(HANDLE file, const char* path, bool& reported, const char* text, bool windows9x)
{
    if (reported)
        return false;
    reported = true;
    if (!EndsWithLine(path, text, windows9x))
        WriteDiskLine(file, text, windows9x);
    return true;
}

// "<log>.held"; false when it does not fit.
bool HeldLogPath(char* out, size_t outSize, const char* logPath)
{
    int written = snprintf(out, outSize, "%s.held", logPath);
    return written > 0 && static_cast<size_t>(written) < outSize;
}

// What a line's turn found that is reported after the turn: an event may
// take long (the event log is another service) and must not hold up the
// other writers.
struct TurnNews {
    bool LogCannotOpen = false;  // first line of this process that could not open the log
    DWORD Error = ERROR_SUCCESS;
    bool Held = false;           // and the line went to the held file
    DWORD HeldError = ERROR_SUCCESS;
};

// The held file is shared by every writing process: one appends while
// another moves its lines into the log and deletes it.  Both take the log's
// lock for that, waiting a little (these are rare moments, and short ones);
// without the lock in time they go on, as a rotation does without one.
constexpr DWORD HELD_TURN_WAIT_MS = 2000;

HANDLE TakeHeldTurn()
{
    HANDLE mutex = LogMutex();
    if (!mutex)
        return nullptr;
    DWORD waited = WaitForSingleObject(mutex, HELD_TURN_WAIT_MS);
    return waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED ? mutex : nullptr;
}

// The log cannot be opened: the line goes to the held file, bounded like
// the log.  A held file whose size cannot be read counts as full.
void WriteHeld(const ServiceLogContext& service, const char* heldPath, const char* text, DWORD error, bool windows9x,
               TurnNews& news)
{
    LogReports& reports = service.Reports;
    qel::MutexHold turn(*heldPath ? TakeHeldTurn() : nullptr);
    qel::UniqueFileHandle held;
    if (*heldPath)
        held = OpenForAppend(heldPath, windows9x);
    const DWORD heldError = held ? ERROR_SUCCESS : (*heldPath ? GetLastError() : ERROR_FILENAME_EXCED_RANGE);
    if (!reports.OpenFailed) {
        reports.OpenFailed = true;
        news.LogCannotOpen = true;
        news.Error = error;
        news.Held = held.valid();
        news.HeldError = heldError;
        if (held)
            TraceDebug(service.ServiceName, "Log cannot be opened (error %lu): %s; its lines are kept in %s until it can",
                       static_cast<unsigned long>(error), service.LogPath, heldPath);
        else
            TraceDebug(service.ServiceName,
                       "Log cannot be opened (error %lu): %s; nor can %s (error %lu): lines are dropped until it can",
                       static_cast<unsigned long>(error), service.LogPath, heldPath,
                       static_cast<unsigned long>(heldError));
    }
    if (!held)
        return;
    ULONGLONG size = 0;
    if (!ReadSize(service, held.get(), size) || size >= service.LogHeldBytes) {
        char notice[160];
        snprintf(notice, sizeof notice, "Held lines at their limit of %lu bytes: new lines are dropped until the log can be opened",
                 static_cast<unsigned long>(service.LogHeldBytes));
        if (EndWithDroppingLine(held.get(), heldPath, reports.HeldDropping, notice, windows9x))
            TraceDebug(service.ServiceName, "%s", notice);
        return;
    }
    reports.HeldDropping = false;
    WriteDiskLine(held.get(), text, windows9x);
}

// Moves the lines of the held file to the end of the log; the number of
// lines moved.
//
// The lines are moved, not left beside the log with a pointer to them: the
// log then reads in order as if it had never been held (each line keeps its
// own time stamp, and a line after them says where they were), the held
// file is empty again for the next time, and nobody has to know of a second
// file or keep it bounded across many episodes.  The held file is emptied
// only after all of it was written: a move cut short (the disk full) leaves
// it for the next line to move again, so a line may then appear twice but
// is never lost.
unsigned long MoveHeldLines(HANDLE log, const char* heldPath, bool windows9x)
{
    if (GetFileAttributesA(heldPath) == INVALID_FILE_ATTRIBUTES)
        return 0;
    // Another process's writer must not add a line between the move and the
    // delete: it would be deleted with the file.
    qel::MutexHold turn(TakeHeldTurn());
    qel::UniqueFileHandle held(CreateFileA(heldPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!held)
        return 0;
    unsigned long lines = 0;
    char chunk[4096];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(held.get(), chunk, sizeof chunk, &got, nullptr))
            return 0;
        if (got == 0)
            break;
        if (!Append(log, chunk, got, windows9x))
            return 0;
        for (DWORD i = 0; i < got; ++i)
            lines += chunk[i] == '\n';
    }
    // Emptied before the delete: a held file that somebody keeps open (and
    // so cannot be deleted) must not be moved a second time.
    SetFilePointer(held.get(), 0, nullptr, FILE_BEGIN);
    SetEndOfFile(held.get());
    held.reset();
    DeleteFileA(heldPath);
    return lines;
}

// One line's turn at the log.
void AppendLine(const ServiceLogContext& service, const char* heldPath, const char* text, TurnNews& news)
{
    const bool windows9x = qel::IsWindows9xFamily();
    LogReports& reports = service.Reports;
    qel::UniqueFileHandle file = OpenForAppend(service.LogPath, windows9x);
    if (!file) {
        WriteHeld(service, heldPath, text, GetLastError(), windows9x, news);
        return;
    }
    if (SizeForRules(service, file.get()) < service.LogRotateBytes) {
        // Below the limit (rotated, or emptied by hand): a later failure is
        // news again.
        reports.RotationFailed = false;
        reports.LogDropping = false;
    } else {
        file.reset();
        DWORD error = ERROR_SUCCESS;
        Rotation rotation = Rotate(service, windows9x, error);
        if (rotation == Rotation::Done || rotation == Rotation::DoneAside)
            reports.BytesSinceRotation = 0;
        if (rotation == Rotation::Failed && !reports.RotationFailed) {
            reports.RotationFailed = true;
            TraceDebug(service.ServiceName, "Log rotation failed (error %lu): %s grows until it can be renamed",
                       static_cast<unsigned long>(error), service.LogPath);
        } else if (rotation == Rotation::DoneAside) {
            // Once per rotation, not per line: worth knowing why the newest
            // history is not where it is looked for first.
            TraceDebug(service.ServiceName, "Log rotated into %s.2: %s.1 cannot be replaced (error %lu)",
                       service.LogPath, service.LogPath, static_cast<unsigned long>(error));
        }
        file = OpenForAppend(service.LogPath, windows9x);
        if (!file) {
            WriteHeld(service, heldPath, text, GetLastError(), windows9x, news);
            return;
        }
        const ULONGLONG cap = static_cast<ULONGLONG>(service.LogRotateBytes) * LOG_CAP_FACTOR;
        if (SizeForRules(service, file.get()) >= cap) {
            char notice[160];
            snprintf(notice, sizeof notice, "Log not rotated and at its limit of %lu bytes: new lines are dropped",
                     static_cast<unsigned long>(cap));
            if (EndWithDroppingLine(file.get(), service.LogPath, reports.LogDropping, notice, windows9x))
                TraceDebug(service.ServiceName, "%s", notice);
            return;
        }
    }

    // The lines kept while the log could not be opened come first.
    const bool wasHeld = reports.OpenFailed;
    reports.OpenFailed = false;
    reports.HeldDropping = false;
    const unsigned long moved = *heldPath ? MoveHeldLines(file.get(), heldPath, windows9x) : 0;
    if (moved || wasHeld) {
        char notice[LOG_LINE_SIZE];
        snprintf(notice, sizeof notice, "Log can be opened again: %lu lines kept in %s meanwhile are above", moved,
                 heldPath);
        TraceDebug(service.ServiceName, "%s", notice);
        WriteDiskLine(file.get(), notice, windows9x);
    }
    reports.BytesSinceRotation += WriteDiskLine(file.get(), text, windows9x);
}

void ReportLogCannotOpen(const ServiceLogContext& service, const char* heldPath, const TurnNews& news)
{
    if (!news.LogCannotOpen || !service.EventSink)
        return;
    char error[16], meanwhile[MAX_PATH + 96];
    snprintf(error, sizeof error, "%lu", static_cast<unsigned long>(news.Error));
    if (news.Held)
        snprintf(meanwhile, sizeof meanwhile, "Until it can be opened again, its lines are kept in %s.", heldPath);
    else
        snprintf(meanwhile, sizeof meanwhile, "Its lines are lost until it can be opened again: %s cannot be "
                 "written either (error %lu).", heldPath, static_cast<unsigned long>(news.HeldError));
    SupervisorEvent event;
    event.Type = EVENTLOG_WARNING_TYPE;
    event.Id = EVENT_LOG_HELD;
    event.Strings[0] = service.LogPath;
    event.Strings[1] = error;
    event.Strings[2] = meanwhile;
    event.Count = 3;
    service.EventSink(service.EventContext, event);
}

} // namespace

void WriteLog(const ServiceLogContext& service, const char* format, ...)
{
    char text[LOG_LINE_SIZE];
    va_list args;
    va_start(args, format);
    // Cut one byte short of the buffer, as the log's lines always were.
    FormatBounded(text, sizeof text - 1, format, args);
    va_end(args);

    // The echo carries the text as it is: it must not be formatted again.
    TraceDebug(service.ServiceName, "%s", text);

    char heldPath[MAX_PATH + 8];
    if (!HeldLogPath(heldPath, sizeof heldPath, service.LogPath))
        heldPath[0] = '\0';
    TurnNews news;
    {
        qel::CriticalSectionLock turn(AppendSection());
        AppendLine(service, heldPath, text, news);
    }
    ReportLogCannotOpen(service, heldPath, news);
}

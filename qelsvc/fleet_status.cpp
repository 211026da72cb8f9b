// The status of many machines: the list, the parallel asking with its
// bound, and the report.  Plain arrays on the heap and fixed buffers, as in
// the rest of the program: nothing here may throw.
#include "fleet_status.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "win_handles.h"

bool NormaliseMachineName(const char* text, size_t length, char* out)
{
    while (length > 0 && (*text == ' ' || *text == '\t')) {
        ++text;
        --length;
    }
    while (length > 0 && (text[length - 1] == ' ' || text[length - 1] == '\t' || text[length - 1] == '\r'))
        --length;
    if (length >= 2 && text[0] == '\\' && text[1] == '\\') {
        text += 2;
        length -= 2;
    }
    // A DNS name has at most 253 characters.
    if (length == 0 || length > 253)
        return false;
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c <= 0x20 || c == 0x7F || strchr("\\/,\"*?<>|", c))
            return false;
    }
    memcpy(out, text, length);
    out[length] = '\0';
    return true;
}

MachineList::~MachineList()
{
    free(names_);
}

bool MachineList::Add(const char* name)
{
    if (count_ >= MAX_FLEET_MACHINES)
        return false;
    if (!names_) {
        names_ = static_cast<char(*)[MACHINE_NAME_SIZE]>(calloc(MAX_FLEET_MACHINES, MACHINE_NAME_SIZE));
        if (!names_)
            return false;
    }
    snprintf(names_[count_++], MACHINE_NAME_SIZE, "%s", name);
    return true;
}

namespace {

// The names of one comma-separated stretch of text.
bool AddNames(const char* text, size_t length, MachineList& names, char* problem)
{
    const char* end = text + length;
    for (const char* at = text; at <= end;) {
        const char* stop = at;
        while (stop < end && *stop != ',')
            ++stop;
        char name[MACHINE_NAME_SIZE];
        if (!NormaliseMachineName(at, static_cast<size_t>(stop - at), name)) {
            snprintf(problem, LIST_PROBLEM_SIZE, "not a machine name: \"%.*s\"", static_cast<int>(stop - at), at);
            return false;
        }
        if (!names.Add(name)) {
            snprintf(problem, LIST_PROBLEM_SIZE, "more than %u machines", static_cast<unsigned>(MAX_FLEET_MACHINES));
            return false;
        }
        at = stop + 1;
    }
    return true;
}

} // namespace

bool ParseMachineList(const char* listText, MachineList& names, char* problem)
{
    names.Clear();
    if (listText[0] == '\0') {
        snprintf(problem, LIST_PROBLEM_SIZE, "no machine names given");
        return false;
    }
    return AddNames(listText, strlen(listText), names, problem);
}

bool ParseMachineFileText(const char* fileText, size_t length, MachineList& names, char* problem)
{
    names.Clear();
    unsigned lineNumber = 0;
    size_t start = 0;
    // Notepad saves "UTF-8" with a byte order mark: not part of the first name.
    if (length >= 3 && memcmp(fileText, "\xEF\xBB\xBF", 3) == 0)
        start = 3;
    for (size_t at = start; at < length;) {
        size_t lineEnd = at;
        while (lineEnd < length && fileText[lineEnd] != '\n')
            ++lineEnd;
        ++lineNumber;
        size_t contentEnd = at;
        while (contentEnd < lineEnd && fileText[contentEnd] != '#')
            ++contentEnd;
        bool blank = true;
        for (size_t i = at; i < contentEnd && blank; ++i)
            blank = fileText[i] == ' ' || fileText[i] == '\t' || fileText[i] == '\r';
        if (!blank && !AddNames(fileText + at, contentEnd - at, names, problem)) {
            char reason[LIST_PROBLEM_SIZE];
            snprintf(reason, sizeof reason, "%s", problem);
            snprintf(problem, LIST_PROBLEM_SIZE, "line %u: %s", lineNumber, reason);
            return false;
        }
        at = lineEnd + 1;
    }
    if (names.Count() == 0) {
        snprintf(problem, LIST_PROBLEM_SIZE, "no machine names in it");
        return false;
    }
    return true;
}

MachineStatusArray::MachineStatusArray(size_t count) : count_(count)
{
    items_ = static_cast<MachineStatus*>(calloc(count ? count : 1, sizeof(MachineStatus)));
    if (items_)
        for (size_t i = 0; i < count; ++i)
            new (&items_[i]) MachineStatus();
}

MachineStatusArray::~MachineStatusArray()
{
    // MachineStatus holds plain values only: nothing to destroy.
    free(items_);
}

namespace {

// One machine being asked.  The thread and the asking share it; whoever
// lets go last frees it, so a thread that outlives its bound never writes
// into memory that is gone.
struct MachineJob {
    char Machine[MACHINE_NAME_SIZE] = {};
    MachineQueryFunction Query = nullptr;
    MachineStatus Status;
    volatile LONG Holders = 2;
};

MachineJob* NewJob()
{
    void* memory = calloc(1, sizeof(MachineJob));
    return memory ? new (memory) MachineJob() : nullptr;
}

void LetGo(MachineJob* job)
{
    if (InterlockedDecrement(&job->Holders) == 0)
        free(job);
}

// The asking threads alive in this process, those left behind included.
volatile LONG g_askingThreads = 0;

DWORD WINAPI AskMachineThread(LPVOID parameter)
{
    auto* job = static_cast<MachineJob*>(parameter);
    job->Query(job->Machine, job->Status);
    LetGo(job);
    InterlockedDecrement(&g_askingThreads);
    return 0;
}

struct RunningJob {
    size_t Index = 0;
    MachineJob* Job = nullptr;
    HANDLE Thread = nullptr;
    DWORD StartTick = 0;
};

void MarkNotAnswered(MachineStatus& status, DWORD askError)
{
    status.TimedOut = true;
    status.AskError = askError;
}

} // namespace

void AskMachines(const MachineList& names, const FleetAsking& asking, MachineStatusArray& statuses)
{
    const size_t count = names.Count() < statuses.Count() ? names.Count() : statuses.Count();
    for (size_t i = 0; i < count; ++i) {
        statuses[i] = MachineStatus();
        snprintf(statuses[i].Machine, MACHINE_NAME_SIZE, "%s", names.Name(i));
    }
    const unsigned atOnce = asking.AtOnce == 0 || asking.AtOnce > MAXIMUM_WAIT_OBJECTS ? MAXIMUM_WAIT_OBJECTS
                                                                                       : asking.AtOnce;
    RunningJob running[MAXIMUM_WAIT_OBJECTS];
    unsigned runningCount = 0;
    size_t next = 0;
    while (next < count || runningCount > 0) {
        while (runningCount < atOnce && next < count) {
            if (g_askingThreads >= asking.MostThreads) {
                // Wait for the machines being asked; with none left, the
                // threads left behind are all that runs: say so, ask no more.
                if (runningCount > 0)
                    break;
                MarkNotAnswered(statuses[next++], ERROR_TOO_MANY_TCBS);
                continue;
            }
            MachineJob* job = NewJob();
            qel::UniqueHandle thread;
            if (job) {
                snprintf(job->Machine, sizeof job->Machine, "%s", names.Name(next));
                job->Query = asking.Query;
                InterlockedIncrement(&g_askingThreads);
                thread = qel::StartThread(AskMachineThread, job);
                if (!thread)
                    InterlockedDecrement(&g_askingThreads);
            }
            if (!thread) {
                MarkNotAnswered(statuses[next], job ? GetLastError() : ERROR_NOT_ENOUGH_MEMORY);
                free(job);
            } else {
                running[runningCount++] = RunningJob{next, job, thread.release(), GetTickCount()};
            }
            ++next;
        }
        if (runningCount == 0)
            continue;

        // Until the first thread ends or the oldest bound runs out.
        HANDLE threads[MAXIMUM_WAIT_OBJECTS];
        DWORD wait = asking.BoundMs;
        const DWORD now = GetTickCount();
        for (unsigned i = 0; i < runningCount; ++i) {
            threads[i] = running[i].Thread;
            const DWORD elapsed = now - running[i].StartTick;
            const DWORD left = elapsed >= asking.BoundMs ? 0 : asking.BoundMs - elapsed;
            if (left < wait)
                wait = left;
        }
        WaitForMultipleObjects(runningCount, threads, FALSE, wait);

        const DWORD after = GetTickCount();
        for (unsigned i = runningCount; i-- > 0;) {
            RunningJob& entry = running[i];
            MachineStatus& status = statuses[entry.Index];
            if (WaitForSingleObject(entry.Thread, 0) == WAIT_OBJECT_0) {
                status = entry.Job->Status;
                snprintf(status.Machine, MACHINE_NAME_SIZE, "%s", names.Name(entry.Index));
            } else if (after - entry.StartTick >= asking.BoundMs) {
                MarkNotAnswered(status, ERROR_SUCCESS);
            } else {
                continue;
            }
            CloseHandle(entry.Thread);
            LetGo(entry.Job);
            running[i] = running[--runningCount];
        }
    }
}

void FormatMachineSummary(char* out, size_t outSize, const MachineStatus& status, unsigned boundSeconds)
{
    // Room for the text after a long name.
    char name[40];
    snprintf(name, sizeof name, "%s", status.Machine[0] ? status.Machine : "this machine");
    switch (AnswerOf(status)) {
    case MachineAnswer::NoAnswer:
        if (status.AskError != ERROR_SUCCESS)
            snprintf(out, outSize, "%s: not asked (error %lu)", name, static_cast<unsigned long>(status.AskError));
        else
            snprintf(out, outSize, "%s: no answer within %u s", name, boundSeconds);
        return;
    case MachineAnswer::NotReachable:
        snprintf(out, outSize, "%s: not reachable (error %ld)", name,
                 static_cast<long>(status.RegistryError != ERROR_SUCCESS ? status.RegistryError
                                                                          : static_cast<LONG>(status.ServiceError)));
        return;
    case MachineAnswer::AccessDenied:
        snprintf(out, outSize, "%s: access denied", name);
        return;
    case MachineAnswer::Answered:
        break;
    }
    const StatusSnapshot& snapshot = status.Snapshot;
    const char* family = status.NoServiceManager ? " (9x machine: status key only)" : "";
    switch (RunStateOf(status)) {
    case SupervisorRunState::Unknown:
        snprintf(out, outSize, "%s: service state not known (error %lu)", name,
                 static_cast<unsigned long>(status.ServiceError));
        return;
    case SupervisorRunState::NotRunning:
        if (status.NoServiceManager && snapshot.Present && snapshot.Ended[0] == '\0')
            snprintf(out, outSize, "%s: not supervising since %s%s", name, snapshot.Alive, family);
        else if (status.NoServiceManager)
            snprintf(out, outSize, "%s: not supervising%s", name,
                     snapshot.Present ? family : " (9x machine, no status key)");
        else if (status.ServiceError == ERROR_SERVICE_DOES_NOT_EXIST)
            snprintf(out, outSize, "%s: service not installed", name);
        else
            snprintf(out, outSize, "%s: service %s", name, ServiceStateText(status.ServiceState));
        return;
    case SupervisorRunState::Runs:
        break;
    }
    if (status.RegistryError != ERROR_SUCCESS || !snapshot.Present) {
        LONG error = status.RegistryError != ERROR_SUCCESS ? status.RegistryError : snapshot.ReadError;
        if (error == ERROR_FILE_NOT_FOUND)
            snprintf(out, outSize, "%s: service running, no status key", name);
        else
            snprintf(out, outSize, "%s: service running, status not readable (error %ld)", name,
                     static_cast<long>(error));
        return;
    }
    if (snapshot.Ended[0] != '\0') {
        snprintf(out, outSize, "%s: service running, its last run ended %s", name, snapshot.Ended);
        return;
    }
    WorkingCount count = CountWorking(snapshot);
    ULONGLONG started = 0;
    char up[24] = "?";
    if (ParseStatusTime(snapshot.Started, &started))
        FormatUptime(up, sizeof up, started, NowAtWriter(snapshot));
    snprintf(out, outSize, "%s: %u of %u clients working, up %s%s", name, count.Working, count.Clients, up, family);
}

int WorstStatusCode(const MachineStatusArray& statuses)
{
    int worst = STATUS_ALL_WORKING;
    for (size_t i = 0; i < statuses.Count(); ++i) {
        int code = MachineExitCode(statuses[i]);
        if (code > worst)
            worst = code;
    }
    return worst;
}

void WriteFleetReport(ReportSink sink, void* context, const MachineStatusArray& statuses, const char* serviceName,
                      unsigned boundSeconds)
{
    char text[MACHINE_BLOCK_SIZE];
    for (size_t i = 0; i < statuses.Count(); ++i) {
        // Names come from the command line or a file: masked like the rest.
        snprintf(text, sizeof text, "[%s]\n", statuses[i].Machine);
        MaskControlCharacters(text);
        sink(context, text);
        FormatMachineBlock(text, sizeof text, serviceName, statuses[i], boundSeconds);
        sink(context, text);
        sink(context, "\n");
    }
    sink(context, "Summary:\n");
    for (size_t i = 0; i < statuses.Count(); ++i) {
        FormatMachineSummary(text, sizeof text, statuses[i], boundSeconds);
        MaskControlCharacters(text);
        sink(context, text);
        sink(context, "\n");
    }
}

namespace {

// The whole file, when it fits (into a buffer the caller frees).
char* ReadMachineFile(const char* path, DWORD* length, char* problem)
{
    qel::UniqueFileHandle file(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        snprintf(problem, LIST_PROBLEM_SIZE, "cannot open it (error %lu)", static_cast<unsigned long>(GetLastError()));
        return nullptr;
    }
    char* text = static_cast<char*>(malloc(MAX_MACHINE_FILE_BYTES + 1));
    if (!text) {
        snprintf(problem, LIST_PROBLEM_SIZE, "no memory to read it");
        return nullptr;
    }
    if (!ReadFile(file.get(), text, MAX_MACHINE_FILE_BYTES + 1, length, nullptr)) {
        snprintf(problem, LIST_PROBLEM_SIZE, "cannot read it (error %lu)", static_cast<unsigned long>(GetLastError()));
        free(text);
        return nullptr;
    }
    if (*length > MAX_MACHINE_FILE_BYTES) {
        snprintf(problem, LIST_PROBLEM_SIZE, "larger than %u KB", static_cast<unsigned>(MAX_MACHINE_FILE_BYTES / 1024));
        free(text);
        return nullptr;
    }
    return text;
}

void PrintPiece(void*, const char* text)
{
    fputs(text, stdout);
}

} // namespace

int ListFleetCommand(const char* listText, const char* serviceName, const FleetAsking& asking)
{
    MachineList names;
    char problem[LIST_PROBLEM_SIZE] = "";
    bool parsed;
    if (listText[0] == '@') {
        DWORD length = 0;
        char* fileText = ReadMachineFile(listText + 1, &length, problem);
        parsed = fileText && ParseMachineFileText(fileText, length, names, problem);
        free(fileText);
    } else {
        parsed = ParseMachineList(listText, names, problem);
    }
    if (!parsed) {
        char line[MAX_PATH + LIST_PROBLEM_SIZE + 32];
        snprintf(line, sizeof line, "Machine list%s%s: %s\n", listText[0] == '@' ? " " : "",
                 listText[0] == '@' ? listText + 1 : "", problem);
        MaskControlCharacters(line);
        fputs(line, stdout);
        return STATUS_UNKNOWN;
    }
    MachineStatusArray statuses(names.Count());
    if (!statuses.Valid()) {
        printf("Machine list: no memory for %u machines\n", static_cast<unsigned>(names.Count()));
        return STATUS_UNKNOWN;
    }
    AskMachines(names, asking, statuses);
    WriteFleetReport(PrintPiece, nullptr, statuses, serviceName, (asking.BoundMs + 999) / 1000);
    return WorstStatusCode(statuses);
}

// The status of many machines: the list, the parallel asking with its
// bound, and the report.
#include "fleet_status.h"

#include <cstdio>
#include <cstring>

#include "win_handles.h"

bool NormaliseMachineName(const char* text, size_t length, std::string& name)
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
    name.assign(text, length);
    return true;
}

namespace {

// The names of one comma-separated stretch of text.
bool AddNames(const char* text, size_t length, std::vector<std::string>& names, std::string& problem)
{
    const char* end = text + length;
    for (const char* at = text; at <= end;) {
        const char* comma = static_cast<const char*>(memchr(at, ',', static_cast<size_t>(end - at)));
        const char* stop = comma ? comma : end;
        std::string name;
        if (!NormaliseMachineName(at, static_cast<size_t>(stop - at), name)) {
            problem = "not a machine name: \"" + std::string(at, stop) + "\"";
            return false;
        }
        if (names.size() >= MAX_FLEET_MACHINES) {
            problem = "more than " + std::to_string(MAX_FLEET_MACHINES) + " machines";
            return false;
        }
        names.push_back(name);
        at = stop + 1;
    }
    return true;
}

} // namespace

bool ParseMachineList(const char* listText, std::vector<std::string>& names, std::string& problem)
{
    names.clear();
    if (listText[0] == '\0') {
        problem = "no machine names given";
        return false;
    }
    return AddNames(listText, strlen(listText), names, problem);
}

bool ParseMachineFileText(const std::string& fileText, std::vector<std::string>& names, std::string& problem)
{
    names.clear();
    size_t lineNumber = 0;
    for (size_t at = 0; at < fileText.size();) {
        size_t lineEnd = fileText.find('\n', at);
        if (lineEnd == std::string::npos)
            lineEnd = fileText.size();
        ++lineNumber;
        std::string line = fileText.substr(at, lineEnd - at);
        at = lineEnd + 1;
        size_t comment = line.find('#');
        if (comment != std::string::npos)
            line.erase(comment);
        if (line.find_first_not_of(" \t\r") == std::string::npos)
            continue;
        if (!AddNames(line.c_str(), line.size(), names, problem)) {
            problem = "line " + std::to_string(lineNumber) + ": " + problem;
            return false;
        }
    }
    if (names.empty()) {
        problem = "no machine names in it";
        return false;
    }
    return true;
}

namespace {

// One machine being asked.  The thread and the asking share it; whoever
// lets go last deletes it, so a thread that outlives its bound never writes
// into memory that is gone.
struct MachineJob {
    char Machine[MACHINE_NAME_SIZE] = {};
    MachineQueryFunction Query = nullptr;
    MachineStatus Status;
    volatile LONG Holders = 2;
};

void LetGo(MachineJob* job)
{
    if (InterlockedDecrement(&job->Holders) == 0)
        delete job;
}

DWORD WINAPI AskMachineThread(LPVOID parameter)
{
    auto* job = static_cast<MachineJob*>(parameter);
    job->Query(job->Machine, job->Status);
    LetGo(job);
    return 0;
}

struct RunningJob {
    size_t Index;
    MachineJob* Job;
    qel::UniqueHandle Thread;
    DWORD StartTick;
};

MachineStatus NotAnswered(const std::string& name, DWORD askError)
{
    MachineStatus status;
    snprintf(status.Machine, sizeof status.Machine, "%s", name.c_str());
    status.TimedOut = true;
    status.AskError = askError;
    return status;
}

} // namespace

std::vector<MachineStatus> AskMachines(const std::vector<std::string>& names, const FleetAsking& asking)
{
    std::vector<MachineStatus> statuses(names.size());
    const unsigned atOnce = asking.AtOnce == 0 || asking.AtOnce > MAXIMUM_WAIT_OBJECTS ? MAXIMUM_WAIT_OBJECTS
                                                                                       : asking.AtOnce;
    std::vector<RunningJob> running;
    size_t next = 0;
    while (next < names.size() || !running.empty()) {
        while (running.size() < atOnce && next < names.size()) {
            auto* job = new MachineJob;
            snprintf(job->Machine, sizeof job->Machine, "%s", names[next].c_str());
            job->Query = asking.Query;
            qel::UniqueHandle thread = qel::StartThread(AskMachineThread, job);
            if (!thread) {
                statuses[next] = NotAnswered(names[next], GetLastError());
                delete job;
            } else {
                running.push_back(RunningJob{next, job, std::move(thread), GetTickCount()});
            }
            ++next;
        }
        if (running.empty())
            continue;

        // Until the first thread ends or the oldest bound runs out.
        HANDLE threads[MAXIMUM_WAIT_OBJECTS];
        DWORD wait = asking.BoundMs;
        const DWORD now = GetTickCount();
        for (size_t i = 0; i < running.size(); ++i) {
            threads[i] = running[i].Thread.get();
            const DWORD elapsed = now - running[i].StartTick;
            const DWORD left = elapsed >= asking.BoundMs ? 0 : asking.BoundMs - elapsed;
            if (left < wait)
                wait = left;
        }
        WaitForMultipleObjects(static_cast<DWORD>(running.size()), threads, FALSE, wait);

        const DWORD after = GetTickCount();
        for (size_t i = running.size(); i-- > 0;) {
            RunningJob& entry = running[i];
            if (WaitForSingleObject(entry.Thread.get(), 0) == WAIT_OBJECT_0) {
                statuses[entry.Index] = entry.Job->Status;
                snprintf(statuses[entry.Index].Machine, MACHINE_NAME_SIZE, "%s", names[entry.Index].c_str());
            } else if (after - entry.StartTick >= asking.BoundMs)
                statuses[entry.Index] = NotAnswered(names[entry.Index], ERROR_SUCCESS);
            else
                continue;
            LetGo(entry.Job);
            running.erase(running.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }
    return statuses;
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
        if (status.NoServiceManager)
            snprintf(out, outSize, "%s: not supervising%s", name, snapshot.Present ? family : " (9x machine, no status key)");
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
            snprintf(out, outSize, "%s: service running, status not readable (error %ld)", name, static_cast<long>(error));
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

int WorstStatusCode(const std::vector<MachineStatus>& statuses)
{
    int worst = STATUS_ALL_WORKING;
    for (const MachineStatus& status : statuses) {
        int code = MachineExitCode(status);
        if (code > worst)
            worst = code;
    }
    return worst;
}

std::string FormatFleetReport(const std::vector<MachineStatus>& statuses, const char* serviceName,
                              unsigned boundSeconds)
{
    std::string report;
    char text[MACHINE_BLOCK_SIZE];
    for (const MachineStatus& status : statuses) {
        report += "[";
        report += status.Machine;
        report += "]\n";
        FormatMachineBlock(text, sizeof text, serviceName, status, boundSeconds);
        report += text;
        report += "\n";
    }
    report += "Summary:\n";
    for (const MachineStatus& status : statuses) {
        FormatMachineSummary(text, sizeof text, status, boundSeconds);
        report += text;
        report += "\n";
    }
    std::vector<char> masked(report.begin(), report.end());
    masked.push_back('\0');
    MaskControlCharacters(masked.data());
    return masked.data();
}

namespace {

bool ReadMachineFile(const char* path, std::string& text, std::string& problem)
{
    qel::UniqueFileHandle file(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        problem = "cannot open it (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    std::vector<char> buffer(MAX_MACHINE_FILE_BYTES + 1);
    DWORD read = 0;
    if (!ReadFile(file.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr)) {
        problem = "cannot read it (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    if (read > MAX_MACHINE_FILE_BYTES) {
        problem = "larger than " + std::to_string(MAX_MACHINE_FILE_BYTES / 1024) + " KB";
        return false;
    }
    text.assign(buffer.data(), read);
    return true;
}

} // namespace

int ListFleetCommand(const char* listText, const char* serviceName, const FleetAsking& asking)
{
    std::vector<std::string> names;
    std::string problem;
    bool parsed;
    std::string where = "Machine list";
    if (listText[0] == '@') {
        std::string fileText;
        where = std::string("Machine list ") + (listText + 1);
        parsed = ReadMachineFile(listText + 1, fileText, problem) && ParseMachineFileText(fileText, names, problem);
    } else {
        parsed = ParseMachineList(listText, names, problem);
    }
    if (!parsed) {
        std::string line = where + ": " + problem + "\n";
        std::vector<char> masked(line.begin(), line.end());
        masked.push_back('\0');
        MaskControlCharacters(masked.data());
        fputs(masked.data(), stdout);
        return STATUS_UNKNOWN;
    }
    std::vector<MachineStatus> statuses = AskMachines(names, asking);
    fputs(FormatFleetReport(statuses, serviceName, (asking.BoundMs + 999) / 1000).c_str(), stdout);
    return WorstStatusCode(statuses);
}

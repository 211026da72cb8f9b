// The monitoring check: the verdict on one machine's status, and the one
// line that carries it.
#include "monitor_check.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "activity_log.h"
#include "fleet_status.h"

namespace {

bool ReadThreshold(const char* text, const char* end, DWORD* value)
{
    if (text == end || *text < '0' || *text > '9')
        return false;
    errno = 0;
    char* stop = nullptr;
    unsigned long read = strtoul(text, &stop, 10);
    if (errno == ERANGE || stop != end || read > 1000000ul)
        return false;
    *value = static_cast<DWORD>(read);
    return true;
}

const char* const kCodeNames[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};

// "QELSVC <STATE> - <text>", cut to the line's size.
int Verdict(char* line, size_t lineSize, int code, const char* format, ...)
{
    char text[CHECK_LINE_SIZE];
    va_list args;
    va_start(args, format);
    FormatBounded(text, sizeof text, format, args);
    va_end(args);
    snprintf(line, lineSize, "QELSVC %s - %s", kCodeNames[code], text);
    return code;
}

} // namespace

bool ParseCheckOptions(int count, char* const* options, CheckThresholds& thresholds, char* problem)
{
    for (int i = 0; i < count; ++i) {
        const char* option = options[i];
        const char prefix[] = "crashes=";
        if (!option || _strnicmp(option, prefix, sizeof prefix - 1) != 0) {
            snprintf(problem, CHECK_LINE_SIZE, "option not known: %.64s", option ? option : "");
            return false;
        }
        const char* value = option + sizeof prefix - 1;
        const char* comma = strchr(value, ',');
        const char* end = value + strlen(value);
        CheckThresholds read;
        read.CrashesCritical = 0;
        if (!ReadThreshold(value, comma ? comma : end, &read.CrashesWarning) ||
            (comma && !ReadThreshold(comma + 1, end, &read.CrashesCritical))) {
            snprintf(problem, CHECK_LINE_SIZE, "not a threshold (crashes=WARN or crashes=WARN,CRIT): %.64s", option);
            return false;
        }
        thresholds = read;
    }
    return true;
}

bool ParseCheckMachine(const char* argument, char* machine)
{
    machine[0] = '\0';
    if (argument[0] == '\0' || argument[1] == '\0' || argument[2] != ':')
        return true;
    return NormaliseMachineName(argument + 3, strlen(argument + 3), machine);
}

int EvaluateCheck(const MachineStatus& status, const CheckThresholds& thresholds, unsigned boundSeconds, char* line,
                  size_t lineSize)
{
    int code = CHECK_UNKNOWN;
    switch (AnswerOf(status)) {
    case MachineAnswer::NoAnswer:
        code = Verdict(line, lineSize, CHECK_UNKNOWN, "no answer within %u s", boundSeconds);
        break;
    case MachineAnswer::NotReachable:
        code = Verdict(line, lineSize, CHECK_UNKNOWN, "not reachable (registry: error %ld, service manager: error %lu)",
                       static_cast<long>(status.RegistryError), static_cast<unsigned long>(status.ServiceError));
        break;
    case MachineAnswer::AccessDenied:
        code = Verdict(line, lineSize, CHECK_UNKNOWN, "access denied");
        break;
    case MachineAnswer::Answered:
        code = -1;
        break;
    }
    if (code >= 0) {
        MaskControlCharacters(line);
        return code;
    }

    const StatusSnapshot& snapshot = status.Snapshot;
    const LONG keyError = status.RegistryError != ERROR_SUCCESS ? status.RegistryError : snapshot.ReadError;
    switch (RunStateOf(status)) {
    case SupervisorRunState::Unknown:
        return Verdict(line, lineSize, CHECK_UNKNOWN, "service state not known (error %lu)",
                       static_cast<unsigned long>(status.ServiceError));
    case SupervisorRunState::NotRunning:
        if (status.NoServiceManager)
            return Verdict(line, lineSize, CHECK_CRITICAL, "not supervising (9x machine)");
        if (status.ServiceError == ERROR_SERVICE_DOES_NOT_EXIST)
            return Verdict(line, lineSize, CHECK_CRITICAL, "service not installed");
        return Verdict(line, lineSize, CHECK_CRITICAL, "service %s", ServiceStateText(status.ServiceState));
    case SupervisorRunState::Runs:
        break;
    }
    if (!snapshot.Present || status.RegistryError != ERROR_SUCCESS) {
        if (keyError == ERROR_FILE_NOT_FOUND)
            return Verdict(line, lineSize, CHECK_UNKNOWN, "service running, no status key");
        return Verdict(line, lineSize, CHECK_UNKNOWN, "service running, status not readable (error %ld)",
                       static_cast<long>(keyError));
    }
    if (snapshot.Ended[0] != '\0')
        return Verdict(line, lineSize, CHECK_CRITICAL, "the supervisor's run ended %s", snapshot.Ended);

    const WorkingCount count = CountWorking(snapshot);
    const ULONGLONG now = NowAtWriter(snapshot);
    DWORD crashes = 0, restarts = 0;
    char notWorking[CHECK_LINE_SIZE] = "";
    for (unsigned i = 0; i < snapshot.Clients; ++i) {
        if (snapshot.SlotRecorded[i]) {
            crashes += CrashesInLastDay(snapshot.Slots[i], now);
            restarts += snapshot.Slots[i].Restarts;
        }
        if (!snapshot.SlotRecorded[i] || snapshot.Slots[i].State != SlotState::Working)
            AppendBounded(notWorking, sizeof notWorking, ", client %u %s", i + 1,
                   snapshot.SlotRecorded[i] ? SlotStateName(snapshot.Slots[i].State) : "not recorded");
    }

    code = CHECK_OK;
    if (count.Working < count.Clients || crashes > thresholds.CrashesWarning)
        code = CHECK_WARNING;
    if (count.Working == 0 || (thresholds.CrashesCritical != 0 && crashes > thresholds.CrashesCritical))
        code = CHECK_CRITICAL;

    char critical[16] = "";
    if (thresholds.CrashesCritical != 0)
        snprintf(critical, sizeof critical, "%u", static_cast<unsigned>(thresholds.CrashesCritical));
    // The performance data comes last and whole: it is what graphs read.
    char performance[96];
    snprintf(performance, sizeof performance, " | working=%u;;;0;%u crashes=%u;%u;%s;0 restarts=%uc", count.Working,
             count.Clients, static_cast<unsigned>(crashes), static_cast<unsigned>(thresholds.CrashesWarning), critical,
             static_cast<unsigned>(restarts));
    char text[CHECK_LINE_SIZE];
    snprintf(text, sizeof text, "%u of %u clients working, %u crash%s in 24 h%s%s", count.Working, count.Clients,
             static_cast<unsigned>(crashes), crashes == 1 ? "" : "es",
             status.NoServiceManager ? " (9x machine)" : "", notWorking);
    const size_t room = lineSize > strlen(performance) + 24 ? lineSize - strlen(performance) - 1 : 1;
    Verdict(line, room, code, "%s", text);
    AppendBounded(line, lineSize, "%s", performance);
    MaskControlCharacters(line);
    return code;
}

int CheckCommand(const char* argument, int optionCount, char* const* options)
{
    CheckThresholds thresholds;
    char machine[MACHINE_NAME_SIZE];
    char problem[CHECK_LINE_SIZE];
    char line[CHECK_LINE_SIZE];
    int code;
    if (!ParseCheckOptions(optionCount, options, thresholds, problem)) {
        code = Verdict(line, sizeof line, CHECK_UNKNOWN, "%s", problem);
    } else if (!ParseCheckMachine(argument, machine)) {
        code = Verdict(line, sizeof line, CHECK_UNKNOWN, "not a machine name: %.64s", argument + 3);
    } else if (machine[0] == '\0') {
        MachineStatus status;
        QueryMachineStatus(nullptr, status);
        code = EvaluateCheck(status, thresholds, 0, line, sizeof line);
    } else {
        MachineList names;
        MachineStatusArray statuses(1);
        FleetAsking asking;
        asking.BoundMs = CHECK_ANSWER_BOUND_MS;
        if (names.Add(machine) && statuses.Valid()) {
            AskMachines(names, asking, statuses);
            code = EvaluateCheck(statuses[0], thresholds, CHECK_ANSWER_BOUND_MS / 1000, line, sizeof line);
        } else {
            code = Verdict(line, sizeof line, CHECK_UNKNOWN, "no memory");
        }
    }
    MaskControlCharacters(line);
    printf("%s\n", line);
    return code;
}

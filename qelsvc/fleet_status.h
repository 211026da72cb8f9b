// "qelsvc -l:MACHINE[,MACHINE...]" and "qelsvc -l:@FILE": the status of
// many machines in one command.  Each machine is asked on a thread of its
// own: a machine that is off, or a network that drops the packets, keeps a
// registry or service call waiting for tens of seconds, and no such call can
// be cancelled, so the command stops waiting for it instead.
#pragma once

#include <windows.h>

#include <cstddef>

#include "status_command.h"

// How long a machine may take to answer, from its start.
constexpr DWORD MACHINE_ANSWER_BOUND_MS = 10000;
// One WaitForMultipleObjects watches every machine being asked.
constexpr unsigned MACHINES_ASKED_AT_ONCE = 64;
constexpr LONG MOST_ASKING_THREADS = 128;
constexpr size_t MAX_FLEET_MACHINES = 1024;
constexpr DWORD MAX_MACHINE_FILE_BYTES = 256 * 1024;
constexpr size_t LIST_PROBLEM_SIZE = 160;

// A machine name as typed: blanks around it and a leading "\\" dropped,
// into out (MACHINE_NAME_SIZE).  False for an empty name, a longer one than
// a DNS name can be, or one with a character no computer name has (a blank,
// a control character, one of \ / , " * ? < > |).
bool NormaliseMachineName(const char* text, size_t length, char* out);

// Up to MAX_FLEET_MACHINES names, in the order given, on the heap.
class MachineList {
public:
    MachineList() = default;
    ~MachineList();
    MachineList(const MachineList&) = delete;
    MachineList& operator=(const MachineList&) = delete;

    // False when the list is full (or no memory is left).
    bool Add(const char* name);
    void Clear() { count_ = 0; }
    size_t Count() const { return count_; }
    const char* Name(size_t index) const { return names_[index]; }

private:
    char (*names_)[MACHINE_NAME_SIZE] = nullptr;
    size_t count_ = 0;
};

// The names of "-l:" (what follows the colon): comma-separated.  False,
// with the reason in `problem` (LIST_PROBLEM_SIZE), for a list with a name
// that is not one, or none at all, or more than MAX_FLEET_MACHINES.
bool ParseMachineList(const char* listText, MachineList& names, char* problem);
// The text of a file of names: one a line (commas allowed too), '#' begins a
// comment, blank lines skipped.
bool ParseMachineFileText(const char* fileText, size_t length, MachineList& names, char* problem);

// The statuses of a list, one per name, on the heap.
class MachineStatusArray {
public:
    explicit MachineStatusArray(size_t count);
    ~MachineStatusArray();
    MachineStatusArray(const MachineStatusArray&) = delete;
    MachineStatusArray& operator=(const MachineStatusArray&) = delete;

    bool Valid() const { return items_ != nullptr; }
    size_t Count() const { return items_ ? count_ : 0; }
    MachineStatus& operator[](size_t index) { return items_[index]; }
    const MachineStatus& operator[](size_t index) const { return items_[index]; }

private:
    MachineStatus* items_ = nullptr;
    size_t count_ = 0;
};

// How the machines are asked; tests put a slow stand-in into Query.
using MachineQueryFunction = void (*)(const char* machine, MachineStatus& status);
struct FleetAsking {
    DWORD BoundMs = MACHINE_ANSWER_BOUND_MS;
    unsigned AtOnce = MACHINES_ASKED_AT_ONCE;  // at most MAXIMUM_WAIT_OBJECTS
    // Threads of machines that did not answer run on until their calls give
    // up, each with its stack: past this many in the process (a network
    // outage and a long machine file), later machines are not asked.
    LONG MostThreads = MOST_ASKING_THREADS;
    MachineQueryFunction Query = QueryMachineStatus;
};

// Asks every machine, at most AtOnce at a time, each on its own thread and
// for at most BoundMs from its start, into statuses (one per name, in the
// order of the names).  A machine that did not answer in time is TimedOut:
// its thread finishes by itself and only touches memory of its own.
void AskMachines(const MachineList& names, const FleetAsking& asking, MachineStatusArray& statuses);

// "pc17: 4 of 4 clients working, up 3d02:10", or why not, at most 79
// characters (a long name is cut).
void FormatMachineSummary(char* out, size_t outSize, const MachineStatus& status, unsigned boundSeconds);

// The worst of the machines' "-l" exit codes: the highest (4 not known, 3
// not running, 1 not all working, 0 all working).
int WorstStatusCode(const MachineStatusArray& statuses);

// The report, piece by piece to `sink`: a block per machine in the order
// given ("[name]", the lines of the local "-l", a blank line), then
// "Summary:" and a line per machine.
using ReportSink = void (*)(void* context, const char* text);
void WriteFleetReport(ReportSink sink, void* context, const MachineStatusArray& statuses, const char* serviceName,
                      unsigned boundSeconds);

// The command: prints the report and returns the worst code; a list it
// cannot read gets one line that says why, and 4.
int ListFleetCommand(const char* listText, const char* serviceName, const FleetAsking& asking = FleetAsking());

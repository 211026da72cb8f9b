// "qelsvc -l:MACHINE[,MACHINE...]" and "qelsvc -l:@FILE": the status of
// many machines in one command.  Each machine is asked on a thread of its
// own: a machine that is off, or a network that drops the packets, keeps a
// registry or service call waiting for tens of seconds, and no such call can
// be cancelled, so the command stops waiting for it instead.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "status_command.h"

// How long a machine may take to answer, from its start.
constexpr DWORD MACHINE_ANSWER_BOUND_MS = 10000;
// One WaitForMultipleObjects watches every machine being asked.
constexpr unsigned MACHINES_ASKED_AT_ONCE = 64;
constexpr size_t MAX_FLEET_MACHINES = 1024;
constexpr DWORD MAX_MACHINE_FILE_BYTES = 256 * 1024;

// A machine name as typed: blanks around it and a leading "\\" dropped.
// False for an empty name, a longer one than a computer or DNS name can be,
// or one with a character no such name has (a blank, a control character,
// one of \ / , " * ? < > |).
bool NormaliseMachineName(const char* text, size_t length, std::string& name);

// The names of "-l:" (what follows the colon): comma-separated, in the order
// given.  False, with the reason in `problem`, for a list with a name that
// is not one, or none at all, or more than MAX_FLEET_MACHINES.
bool ParseMachineList(const char* listText, std::vector<std::string>& names, std::string& problem);
// The text of a file of names: one a line (commas allowed too), '#' begins a
// comment, blank lines skipped.
bool ParseMachineFileText(const std::string& fileText, std::vector<std::string>& names, std::string& problem);

// How the machines are asked; tests put a slow stand-in into Query.
using MachineQueryFunction = void (*)(const char* machine, MachineStatus& status);
struct FleetAsking {
    DWORD BoundMs = MACHINE_ANSWER_BOUND_MS;
    unsigned AtOnce = MACHINES_ASKED_AT_ONCE;  // at most MAXIMUM_WAIT_OBJECTS
    MachineQueryFunction Query = QueryMachineStatus;
};

// Asks every machine, at most AtOnce at a time, each on its own thread and
// for at most BoundMs from its start.  The statuses come back in the order
// of the names; a machine that did not answer in time is TimedOut (its
// thread finishes by itself, and only touches memory of its own).
std::vector<MachineStatus> AskMachines(const std::vector<std::string>& names, const FleetAsking& asking);

// "pc17: 4 of 4 clients working, up 3d02:10", or why not, at most 79
// characters (a long name is cut).
void FormatMachineSummary(char* out, size_t outSize, const MachineStatus& status, unsigned boundSeconds);

// The worst of the machines' "-l" exit codes: the highest (4 not known, 3
// not running, 1 not all working, 0 all working).
int WorstStatusCode(const std::vector<MachineStatus>& statuses);

// The report: a block per machine in the order given ("[name]", the lines
// of the local "-l", a blank line), then "Summary:" and a line per machine.
std::string FormatFleetReport(const std::vector<MachineStatus>& statuses, const char* serviceName,
                              unsigned boundSeconds);

// The command: prints the report and returns the worst code; a list it
// cannot read gets one line that says why, and 4.
int ListFleetCommand(const char* listText, const char* serviceName, const FleetAsking& asking = FleetAsking());

// Soak run of the supervisor: the real run loop for a number of minutes with
// eight stand-in copies of mixed behaviour (healthy, crashing, hanging,
// frozen, unable to start, deaf to "Exit").  Prints what the loop did, what
// it cost (handles, working set, log growth) and how quickly it answered
// requests while it worked.  Asserts nothing.
// Run with: cmake/wine-run.sh build/mingw-x64/bin/qelsoak.exe [minutes]
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "../standin-zr/standin_values.h"
#include "affinity.h"
#include "client_launch.h"
#include "product_keys.h"
#include "supervisor_core.h"
#include "win_handles.h"

namespace {

struct SlotBehaviour {
    const char* Description;
    const char* Value;  // stand-in value to set, or null
    DWORD Data;
    bool CanRun;        // a copy can stay up and work in this slot
};

const SlotBehaviour kSlots[8] = {
    {"healthy", nullptr, 0, true},
    {"crash every 4 s", zr::CRASH_AFTER_MS, 4000, false},
    {"crash right after start", zr::CRASH_AFTER_MS, 200, false},
    {"hang after Start!", zr::HANG_AFTER_START, 1, false},
    {"frozen progress text", zr::FREEZE_PROGRESS, 1, false},
    {"no Start! button", zr::NO_START_BUTTON, 1, false},
    {"ignores Exit", zr::IGNORE_EXIT, 1, true},
    {"healthy", nullptr, 0, true},
};

std::string BinDir()
{
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string dir(path);
    return dir.substr(0, dir.find_last_of('\\') + 1);
}

void SetStandInBehaviour(unsigned index, const SlotBehaviour& slot)
{
    char path[64];
    if (!ClientStateKeyPath(index, path, sizeof path))
        return;
    DeleteProductKey(path);
    HKEY raw = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS | PRODUCT_KEY_VIEW, nullptr, &raw,
                        nullptr) != ERROR_SUCCESS)
        return;
    qel::UniqueRegKey key(raw);
    if (slot.Value)
        RegSetValueExA(key.get(), slot.Value, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&slot.Data), sizeof slot.Data);
}

void DeleteStandInKey(unsigned index)
{
    char path[64];
    if (ClientStateKeyPath(index, path, sizeof path))
        DeleteProductKey(path);
}

std::string ReadFile(const char* path)
{
    std::string text;
    FILE* file = fopen(path, "rb");
    if (!file)
        return text;
    char buffer[4096];
    size_t read;
    while ((read = fread(buffer, 1, sizeof buffer, file)) > 0)
        text.append(buffer, read);
    fclose(file);
    return text;
}

int Count(const std::string& text, const char* needle)
{
    int count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++count;
    return count;
}

// Missing before Windows XP SP1: looked up by name, -1 when absent.
long HandleCount()
{
    using GetProcessHandleCountFn = BOOL(WINAPI*)(HANDLE, PDWORD);
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    auto getCount = reinterpret_cast<GetProcessHandleCountFn>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "GetProcessHandleCount")));
    DWORD count = 0;
    if (!getCount || !getCount(GetCurrentProcess(), &count))
        return -1;
    return static_cast<long>(count);
}

// Where Wine answers 0 above: the value of a fresh handle.  Handles reuse
// the lowest free slot of the table, so leaked handles push it up.
unsigned long FreshHandleValue()
{
    HANDLE probe = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    unsigned long value = static_cast<unsigned long>(reinterpret_cast<UINT_PTR>(probe));
    if (probe)
        CloseHandle(probe);
    return value;
}

// Bytes of the log without the lines of the soak's own request probes.
size_t LogBytesWithout(const std::string& log, const char* probeLine)
{
    size_t bytes = 0;
    size_t at = 0;
    while (at < log.size()) {
        size_t end = log.find('\n', at);
        end = end == std::string::npos ? log.size() : end + 1;
        if (log.substr(at, end - at).find(probeLine) == std::string::npos)
            bytes += end - at;
        at = end;
    }
    return bytes;
}

double WorkingSetMiB()
{
    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof memory;
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);
    return double(memory.WorkingSetSize) / (1024.0 * 1024.0);
}

DWORD WINAPI RunSupervisor(LPVOID core)
{
    static_cast<SupervisorCore*>(core)->Run();
    return 0;
}

// Events the run loop would have written to the event log, by id.
volatile LONG g_events[8] = {};

void CountEvent(void*, const SupervisorEvent& event)
{
    if (event.Id >= EVENT_CLIENT_ENDED && event.Id <= EVENT_TRAY_RESTART)
        InterlockedIncrement(&g_events[event.Id - EVENT_CLIENT_ENDED]);
}

// A request the loop answers without touching a client: the time until it
// took the flag is how long a stop request would have waited.
DWORD ProbeAnswerMs(SupervisorCore& core, DWORD limitMs)
{
    DWORD start = GetTickCount();
    InterlockedExchange(&core.QueueEventPending, 1);
    SetEvent(core.StopEvent.get());
    while (core.QueueEventPending && GetTickCount() - start < limitMs)
        Sleep(5);
    return GetTickCount() - start;
}

} // namespace

int main(int argc, char** argv)
{
    double minutes = argc > 1 ? atof(argv[1]) : 10.0;
    if (minutes <= 0)
        minutes = 10.0;
    const DWORD runMs = static_cast<DWORD>(minutes * 60000.0);
    const DWORD probeEveryMs = 5000;

    // Wine starts its desktop for the first program with windows; a window
    // of our own brings it up before the first copy starts.
    HWND desktopProbe = CreateWindowExA(0, "STATIC", "soak", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);

    SupervisorCore core("Soak");
    snprintf(core.LogPath, sizeof core.LogPath, "%sqelsoak.log", BinDir().c_str());
    DeleteFileA(core.LogPath);
    BuildAffinityTable(core.AffinityTable);
    core.Params.NumClients = 8;
    core.Params.AffType = AFFINITY_NONE;
    core.Params.MonitorRestart = 1;
    core.Params.StuckRestart = 1;
    core.Params.HourlyRestart = 5;
    // A stall check every 55 s instead of 330 s, so that a short run sees
    // several; everything else keeps its shipped value.
    core.Timings.MainWaitMs = 5000;
    core.SetVersion(1, 6);
    core.SetEventSink(CountEvent, nullptr);
    if (!core.CreateSyncObjects()) {
        printf("qelsoak: cannot create the supervisor's objects\n");
        return 1;
    }
    for (unsigned i = 0; i < 8; ++i)
        SetStandInBehaviour(i, kSlots[i]);

    long handlesAtStart = HandleCount();
    unsigned long freshHandleAtStart = FreshHandleValue();
    double workingSetAtStart = WorkingSetMiB();
    printf("qelsoak: %.1f min, 8 stand-in copies, MonitorRestart + StuckRestart, periodic restart every 5 min,\n"
           "         main wait 5 s (stall check every 55 s), other timings as shipped\n",
           minutes);
    for (unsigned i = 0; i < 8; ++i)
        printf("  client %u: %s\n", i + 1, kSlots[i].Description);
    fflush(stdout);

    volatile BOOL running = TRUE;
    DWORD started = GetTickCount();
    qel::UniqueHandle thread(CreateThread(nullptr, 0, RunSupervisor, &core, 0, nullptr));
    DWORD longestAnswerMs = 0;
    int probes = 0;
    while (GetTickCount() - started < runMs) {
        DWORD left = runMs - (GetTickCount() - started);
        Sleep(left < probeEveryMs ? left : probeEveryMs);
        if (GetTickCount() - started >= runMs)
            break;
        DWORD answer = ProbeAnswerMs(core, 120000);
        ++probes;
        if (answer > longestAnswerMs)
            longestAnswerMs = answer;
    }
    const DWORD ranMs = GetTickCount() - started;

    int live = 0;
    int canRun = 0;
    for (unsigned i = 0; i < 8; ++i) {
        if (kSlots[i].CanRun)
            ++canRun;
        if (core.Slots.ProcessId[i] && kSlots[i].CanRun)
            ++live;
    }
    std::string liveAny;
    for (unsigned i = 0; i < 8; ++i) {
        if (core.Slots.ProcessId[i])
            liveAny += " " + std::to_string(i + 1);
    }
    long handlesAtEnd = HandleCount();
    unsigned long freshHandleAtEnd = FreshHandleValue();
    double workingSetAtEnd = WorkingSetMiB();
    std::string log = ReadFile(core.LogPath);
    const double hours = double(ranMs) / 3600000.0;

    DWORD stopAsked = GetTickCount();
    core.StopAndWait(running);
    DWORD joined = WaitForSingleObject(thread.get(), 180000);
    DWORD stopMs = GetTickCount() - stopAsked;

    printf("\nRan %.1f min\n", double(ranMs) / 60000.0);
    printf("  launches (successful)          %d\n",
           Count(log, "start successful") + Count(log, "Restart successful"));
    printf("  launch failures                %d\n",
           Count(log, "Unable to start client") + Count(log, "Unable to restart client"));
    printf("  clients ended by themselves    %d\n", Count(log, ") terminated"));
    printf("  crash relaunches at once       %d\n", Count(log, " Attempting restart"));
    printf("  throttled relaunches           %d\n", Count(log, " Restart of client "));
    printf("  later attempts (back-off)      %d\n", Count(log, "Retrying client "));
    printf("  stalls found                   %d\n", Count(log, " is stalled - attempting restart"));
    printf("  timed restarts                 %d\n", Count(log, "Timed Restart"));
    printf("  working at the end             %d of %d slots that can work (live slots:%s)\n", live, canRun,
           liveAny.c_str());
    printf("  handles of this process        %ld at start, %ld at end (fresh handle value 0x%lx, then 0x%lx)\n",
           handlesAtStart, handlesAtEnd, freshHandleAtStart, freshHandleAtEnd);
    printf("  working set                    %.1f MiB at start, %.1f MiB at end\n", workingSetAtStart,
           workingSetAtEnd);
    const size_t ownBytes = LogBytesWithout(log, "Queue event processed...");
    printf("  log                            %lu bytes, %.0f bytes per hour of run (without the probes' lines)\n",
           static_cast<unsigned long>(ownBytes), hours > 0 ? double(ownBytes) / hours : 0.0);
    long events = 0;
    std::string byId;
    for (unsigned id = 0; id < 8; ++id) {
        events += g_events[id];
        byId += " " + std::to_string(110 + id) + ":" + std::to_string(g_events[id]);
    }
    printf("  events                         %ld, %.0f per hour (by id:%s)\n", events,
           hours > 0 ? double(events) / hours : 0.0, byId.c_str());
    printf("  status writes                  %u, %.0f per hour (%u failed)\n", core.Status.Writes(),
           hours > 0 ? double(core.Status.Writes()) / hours : 0.0, core.Status.FailedWrites());
    printf("  longest answer to a request    %lu ms (%d probes, one every %lu s)\n",
           static_cast<unsigned long>(longestAnswerMs), probes, static_cast<unsigned long>(probeEveryMs / 1000));
    printf("  final stop                     %lu ms%s\n", static_cast<unsigned long>(stopMs),
           joined == WAIT_OBJECT_0 ? "" : " (run loop still busy)");

    for (unsigned i = 0; i < 8; ++i)
        DeleteStandInKey(i);
    if (desktopProbe)
        DestroyWindow(desktopProbe);
    return 0;
}

// Benchmarks of the supervisor under the real system, printed as figures:
//  - bringing N stand-in clients to working through the run loop, against
//    N bare launches of the stand-in (started and input-idle);
//  - crash-to-relaunched latency;
//  - time to stop N clients;
//  - CPU time and peak working set of the real service over an idle period;
//  - size of each program.
// Run with: cmake/wine-run.sh build/mingw-x64/bin/qelbench.exe
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "affinity.h"
#include "supervisor_core.h"
#include "win_handles.h"

namespace {

std::string BinDir()
{
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string dir(path);
    return dir.substr(0, dir.find_last_of('\\') + 1);
}

double Seconds(LARGE_INTEGER from, LARGE_INTEGER to)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return double(to.QuadPart - from.QuadPart) / double(frequency.QuadPart);
}

LARGE_INTEGER Now()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now;
}

int CountInFile(const std::string& path, const char* needle)
{
    FILE* file = fopen(path.c_str(), "rb");
    if (!file)
        return 0;
    std::string text;
    char buffer[4096];
    size_t read;
    while ((read = fread(buffer, 1, sizeof buffer, file)) > 0)
        text.append(buffer, read);
    fclose(file);
    int count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++count;
    return count;
}

bool WaitForCount(const std::string& path, const char* needle, int count, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    while (CountInFile(path, needle) < count) {
        if (GetTickCount() - start > timeoutMs)
            return false;
        Sleep(10);
    }
    return true;
}

// N plain starts of the stand-in, each until it accepts input.
double BareLaunches(unsigned count)
{
    std::string exe = BinDir() + "zr.exe";
    qel::UniqueHandle processes[MAX_CLIENTS];
    LARGE_INTEGER start = Now();
    for (unsigned i = 0; i < count; ++i) {
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info = {};
        if (!CreateProcessA(exe.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
            return -1;
        processes[i].reset(info.hProcess);
        CloseHandle(info.hThread);
        WaitForInputIdle(info.hProcess, 10000);
    }
    double elapsed = Seconds(start, Now());
    for (unsigned i = 0; i < count; ++i) {
        TerminateProcess(processes[i].get(), 0);
        WaitForSingleObject(processes[i].get(), 5000);
    }
    return elapsed;
}

struct RunLoopFigures {
    double startSeconds = -1;
    double crashRelaunchSeconds = -1;
    double stopSeconds = -1;
    double idleCpuSeconds = -1;
};

DWORD WINAPI RunSupervisor(LPVOID core)
{
    static_cast<SupervisorCore*>(core)->Run();
    return 0;
}

RunLoopFigures MeasureRunLoop(unsigned count, bool measureCrash, DWORD idleMs)
{
    RunLoopFigures figures;
    SupervisorCore core("Benchmark");
    snprintf(core.LogPath, sizeof core.LogPath, "%sqelbench.log", BinDir().c_str());
    DeleteFileA(core.LogPath);
    BuildAffinityTable(core.AffinityTable);
    core.Params.NumClients = count;
    core.Params.AffType = AFFINITY_NONE;
    core.Params.MonitorRestart = 1;
    if (!core.CreateSyncObjects())
        return figures;

    volatile BOOL running = TRUE;
    LARGE_INTEGER start = Now();
    qel::UniqueHandle thread(CreateThread(nullptr, 0, RunSupervisor, &core, 0, nullptr));
    if (WaitForCount(core.LogPath, "Client start successful", int(count), 60000 * count))
        figures.startSeconds = Seconds(start, Now());

    if (measureCrash && core.Slots.ProcessId[0]) {
        qel::UniqueHandle victim(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, core.Slots.ProcessId[0]));
        LARGE_INTEGER crash = Now();
        TerminateProcess(victim.get(), 1);
        if (WaitForCount(core.LogPath, " Restart successful", 1, 60000))
            figures.crashRelaunchSeconds = Seconds(crash, Now());
    }

    if (idleMs) {
        FILETIME created, exited, kernelBefore, userBefore, kernelAfter, userAfter;
        GetThreadTimes(thread.get(), &created, &exited, &kernelBefore, &userBefore);
        Sleep(idleMs);
        GetThreadTimes(thread.get(), &created, &exited, &kernelAfter, &userAfter);
        auto ticks = [](FILETIME t) { return (ULONGLONG(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
        figures.idleCpuSeconds =
            double(ticks(kernelAfter) - ticks(kernelBefore) + ticks(userAfter) - ticks(userBefore)) / 1e7;
    }

    LARGE_INTEGER stop = Now();
    core.StopAndWait(running);
    WaitForSingleObject(thread.get(), 120000);
    figures.stopSeconds = Seconds(stop, Now());
    return figures;
}

void PrintSizes()
{
    const char* programs[] = {"qelsvc.exe", "qelsvc9x.exe", "zr.exe"};
    for (const char* program : programs) {
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (GetFileAttributesExA((BinDir() + program).c_str(), GetFileExInfoStandard, &data))
            printf("  %-14s %8lu bytes\n", program, data.nFileSizeLow);
        else
            printf("  %-14s (not built)\n", program);
    }
}

} // namespace

int main()
{
    printf("qelbench: supervisor figures (stand-in clients, Wine)\n\n");
    printf("Bringing N clients to working (run loop) vs N bare launches\n");
    printf("  %3s %12s %12s %8s\n", "N", "run loop s", "bare s", "ratio");
    const unsigned counts[] = {1, 4, 16};
    double stopSeconds[3] = {};
    int stopIndex = 0;
    for (unsigned count : counts) {
        double bare = BareLaunches(count);
        RunLoopFigures figures = MeasureRunLoop(count, false, 0);
        printf("  %3u %12.3f %12.3f %8.2f\n", count, figures.startSeconds, bare,
               bare > 0 ? figures.startSeconds / bare : 0.0);
        printf("      stopping %u client(s): %.3f s\n", count, figures.stopSeconds);
        stopSeconds[stopIndex++] = figures.stopSeconds;
        fflush(stdout);
    }
    // The clients are approached together and end one after the other: 16
    // should take less than three times the time of one.
    if (stopSeconds[0] > 0 && stopSeconds[2] > 0)
        printf("Stop time of 16 clients / 1 client: %.2f (target: under 3)\n", stopSeconds[2] / stopSeconds[0]);

    RunLoopFigures crash = MeasureRunLoop(2, true, 10000);
    printf("\nCrash to relaunched (process end -> new copy working): %.3f s\n", crash.crashRelaunchSeconds);
    printf("Run-loop thread CPU time over 10 s idle with 2 clients: %.4f s\n", crash.idleCpuSeconds);

    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof memory;
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);
    printf("Peak working set of this process (supervisor core in-process): %.1f MiB\n",
           double(memory.PeakWorkingSetSize) / (1024.0 * 1024.0));

    printf("\nProgram sizes\n");
    PrintSizes();
    return 0;
}

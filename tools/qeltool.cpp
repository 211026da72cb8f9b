// qeltool: what the scripts need to see inside the Wine session.
//   qeltool state SERVICE                     prints the service state
//   qeltool wait SERVICE RUNNING|STOPPED SECS waits for that state (exit 1 on time-out)
//   qeltool stop SERVICE SECS                 asks the service to stop and waits for STOPPED
//   qeltool clients                           lists the top-level windows of every zr.exe
//   qeltool crash-client N                    ends the copy titled "... - client N" as a crash would
//   qeltool trace SECS                        prints the debug trace of the session for SECS
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "debug_trace_capture.h"
#include "win_handles.h"

namespace {

const char* StateName(DWORD state)
{
    switch (state) {
    case SERVICE_STOPPED: return "STOPPED";
    case SERVICE_START_PENDING: return "START_PENDING";
    case SERVICE_STOP_PENDING: return "STOP_PENDING";
    case SERVICE_RUNNING: return "RUNNING";
    case SERVICE_CONTINUE_PENDING: return "CONTINUE_PENDING";
    case SERVICE_PAUSE_PENDING: return "PAUSE_PENDING";
    case SERVICE_PAUSED: return "PAUSED";
    default: return "NOT_INSTALLED";
    }
}

DWORD QueryState(const char* name)
{
    qel::UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager)
        return 0;
    qel::UniqueServiceHandle service(OpenServiceA(manager.get(), name, SERVICE_QUERY_STATUS));
    SERVICE_STATUS status = {};
    if (!service || !QueryServiceStatus(service.get(), &status))
        return 0;
    return status.dwCurrentState;
}

int WaitState(const char* name, const char* wanted, int seconds)
{
    for (int tick = 0; tick <= seconds * 10; ++tick) {
        if (strcmp(StateName(QueryState(name)), wanted) == 0) {
            printf("%s: %s\n", name, wanted);
            return 0;
        }
        Sleep(100);
    }
    printf("%s: still %s after %d s\n", name, StateName(QueryState(name)), seconds);
    return 1;
}

int Stop(const char* name, int seconds)
{
    qel::UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    qel::UniqueServiceHandle service(manager ? OpenServiceA(manager.get(), name, SERVICE_STOP) : nullptr);
    if (!service) {
        printf("%s: cannot open (error %lu)\n", name, GetLastError());
        return 1;
    }
    // The control may time out while the supervisor closes its clients; the
    // state shows when the stop is complete.
    SERVICE_STATUS status = {};
    ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
    return WaitState(name, "STOPPED", seconds);
}

BOOL CALLBACK PrintClientWindow(HWND window, LPARAM processIds)
{
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    const DWORD* ids = reinterpret_cast<const DWORD*>(processIds);
    for (int i = 1; i <= static_cast<int>(ids[0]); ++i) {
        if (ids[i] != owner)
            continue;
        char title[256] = {};
        char className[64] = {};
        GetWindowTextA(window, title, sizeof title);
        GetClassNameA(window, className, sizeof className);
        // Every GUI thread has an input-method window; it is no client window.
        if (title[0] && strcmp(className, "IME") != 0)
            printf("  zr.exe pid 0x%lx: \"%s\"%s\n", owner, title, IsIconic(window) ? " (minimised)" : "");
    }
    return TRUE;
}

int ListClients()
{
    DWORD ids[1 + 64] = {};
    qel::UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    if (snapshot && Process32First(snapshot.get(), &entry)) {
        do {
            if (_stricmp(entry.szExeFile, "zr.exe") == 0 && ids[0] < 64)
                ids[++ids[0]] = entry.th32ProcessID;
        } while (Process32Next(snapshot.get(), &entry));
    }
    printf("%lu zr.exe process(es) running\n", ids[0]);
    EnumWindows(PrintClientWindow, reinterpret_cast<LPARAM>(ids));
    return 0;
}

struct TitleSearch {
    char Suffix[32];
    DWORD ProcessId;
};

BOOL CALLBACK FindTitledClient(HWND window, LPARAM search)
{
    auto* wanted = reinterpret_cast<TitleSearch*>(search);
    char title[256] = {};
    GetWindowTextA(window, title, sizeof title);
    size_t titleLength = strlen(title);
    size_t suffixLength = strlen(wanted->Suffix);
    if (titleLength < suffixLength || strcmp(title + titleLength - suffixLength, wanted->Suffix) != 0)
        return TRUE;
    GetWindowThreadProcessId(window, &wanted->ProcessId);
    return FALSE;
}

int CrashClient(int clientNumber)
{
    TitleSearch search = {};
    snprintf(search.Suffix, sizeof search.Suffix, " - client %d", clientNumber);
    EnumWindows(FindTitledClient, reinterpret_cast<LPARAM>(&search));
    qel::UniqueHandle process(search.ProcessId ? OpenProcess(PROCESS_TERMINATE, FALSE, search.ProcessId) : nullptr);
    if (!process || !TerminateProcess(process.get(), 0xC0000005)) {
        printf("no client %d to end\n", clientNumber);
        return 1;
    }
    printf("ended client %d (pid 0x%lx) with exit code 0xC0000005\n", clientNumber, search.ProcessId);
    return 0;
}

int Trace(int seconds)
{
    DebugTraceCapture capture;
    if (!capture.active()) {
        fprintf(stderr, "another debug-trace listener is running\n");
        return 1;
    }
    printf("listening to the debug trace for %d s\n", seconds);
    fflush(stdout);
    size_t printed = 0;
    for (int tick = 0; tick < seconds * 10; ++tick) {
        Sleep(100);
        auto lines = capture.Lines();
        for (; printed < lines.size(); ++printed)
            printf("  pid 0x%lx %s", lines[printed].ProcessId, lines[printed].Text.c_str());
        fflush(stdout);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc >= 3 && strcmp(argv[1], "state") == 0) {
        printf("%s: %s\n", argv[2], StateName(QueryState(argv[2])));
        return 0;
    }
    if (argc >= 5 && strcmp(argv[1], "wait") == 0)
        return WaitState(argv[2], argv[3], atoi(argv[4]));
    if (argc >= 4 && strcmp(argv[1], "stop") == 0)
        return Stop(argv[2], atoi(argv[3]));
    if (argc >= 2 && strcmp(argv[1], "clients") == 0)
        return ListClients();
    if (argc >= 3 && strcmp(argv[1], "crash-client") == 0)
        return CrashClient(atoi(argv[2]));
    if (argc >= 3 && strcmp(argv[1], "trace") == 0)
        return Trace(atoi(argv[2]));
    fprintf(stderr, "usage: qeltool state|wait|stop|clients|crash-client|trace ...\n");
    return 2;
}

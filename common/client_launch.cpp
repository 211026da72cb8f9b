#include "client_launch.h"

#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstring>

#include "client_job.h"
#include "product_keys.h"
#include "runtime_binding.h"
#include "win_handles.h"
#include "windows_family.h"

namespace {

// Toolhelp and OpenThread are missing from some kernel32 builds of the
// Windows 95 and NT 4 era, and SetProcessAffinityMask from the whole 9x
// family: all five are looked up by name so that the programs still load.
using OpenThreadFn = HANDLE(WINAPI*)(DWORD, BOOL, DWORD);
using CreateToolhelp32SnapshotFn = HANDLE(WINAPI*)(DWORD, DWORD);
using Thread32FirstFn = BOOL(WINAPI*)(HANDLE, LPTHREADENTRY32);
using Thread32NextFn = BOOL(WINAPI*)(HANDLE, LPTHREADENTRY32);
using SetProcessAffinityMaskFn = BOOL(WINAPI*)(HANDLE, DWORD_PTR);

struct OptionalKernelFunctions {
    OpenThreadFn OpenThread;
    CreateToolhelp32SnapshotFn CreateToolhelp32Snapshot;
    Thread32FirstFn Thread32First;
    Thread32NextFn Thread32Next;
    SetProcessAffinityMaskFn SetProcessAffinityMask;
};

// Process-wide, bound once by the first launch and never torn down.
qel::OnceFlag g_bindOnce;
OptionalKernelFunctions g_kernel = {};
CRITICAL_SECTION LaunchLock;
volatile LONG g_firstRunRetry = 0;

const int WORKER_SEARCH_RETRIES = 5;
const DWORD WORKER_SEARCH_INTERVAL_MS = 500;
// THREAD_ALL_ACCESS as the NT 4, 2000 and XP headers define it; newer headers
// define a wider mask that those systems refuse.
const DWORD THREAD_ALL_ACCESS_XP = 0x1F03FF;
const char CLIENT_STATE_KEY_BASE[] = "Software\\Morl\\qel\\cache";

static_assert(sizeof ClientKeySuffixTable - 1 == 32, "one suffix per client index");
static_assert(sizeof(THREADENTRY32) == 28, "THREADENTRY32 has the size the thread walk relies on");

void BindOnce()
{
    InitializeCriticalSection(&LaunchLock);
    qel::UniqueLibrary kernel(LoadLibraryA("kernel32.dll"));
    if (kernel) {
        g_kernel.OpenThread = qel::BindByName<OpenThreadFn>(kernel.get(), "OpenThread");
        g_kernel.CreateToolhelp32Snapshot =
            qel::BindByName<CreateToolhelp32SnapshotFn>(kernel.get(), "CreateToolhelp32Snapshot");
        g_kernel.Thread32First = qel::BindByName<Thread32FirstFn>(kernel.get(), "Thread32First");
        g_kernel.Thread32Next = qel::BindByName<Thread32NextFn>(kernel.get(), "Thread32Next");
        // The 9x family cannot pin a process: its masks are never applied.
        if (!qel::IsWindows9xFamily())
            g_kernel.SetProcessAffinityMask =
                qel::BindByName<SetProcessAffinityMaskFn>(kernel.get(), "SetProcessAffinityMask");
    }
    // kernel32 stays mapped for the life of the process: the pointers outlive
    // this reference.
}

void BindOptionalKernelFunctions()
{
    qel::CallOnce(g_bindOnce, BindOnce);
}

// Every message to a client's windows returns within this bound.  A client
// answers a click or a title change in milliseconds; one that has not
// pumped messages for 5 s is what Windows itself calls hung, and then
// SMTO_ABORTIFHUNG returns at once.  The launch holds LaunchLock meanwhile,
// so the bound also caps how long one hung copy delays every other launch
// (three sends: 15 s at most).
const UINT CLIENT_MESSAGE_TIMEOUT_MS = 5000;

void SendToClient(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    DWORD_PTR ignored = 0;
    SendMessageTimeoutA(window, message, wParam, lParam, SMTO_NORMAL | SMTO_ABORTIFHUNG, CLIENT_MESSAGE_TIMEOUT_MS,
                        &ignored);
}

// Steps from the key write to the worker priority, under LaunchLock so that
// no other launch in this process rewrites "ClientKey" before this copy has
// read it.  Returns the launch result; mainWindowOut and startButtonOut are
// written as soon as each is known.
int StartSuspendedClient(const PROCESS_INFORMATION& created, unsigned clientIndex, DWORD affinityMask,
                         HWND* mainWindowOut, HWND* startButtonOut, int trueIdle, DWORD* mainThreadIdOut)
{
    qel::CriticalSectionLock lock(LaunchLock);

    if (!WriteClientKey(clientIndex))
        return LAUNCH_KEY_FAILED;

    ResumeThread(created.hThread);
    // Some systems (Wine among them) report a copy that ended before it ever
    // waited for input as idle: an ended copy never became idle.
    if (WaitForInputIdle(created.hProcess, CLIENT_IDLE_TIMEOUT_MS) != 0 ||
        WaitForSingleObject(created.hProcess, 0) == WAIT_OBJECT_0)
        return LAUNCH_NOT_IDLE;

    WindowSearch search = {nullptr, created.dwProcessId};
    EnumWindows(FindMainWindow, reinterpret_cast<LPARAM>(&search));
    if (!search.FoundWindow)
        return LAUNCH_NO_WINDOW;
    HWND mainWindow = search.FoundWindow;
    *mainWindowOut = mainWindow;

    search.FoundWindow = nullptr;
    EnumChildWindows(mainWindow, FindStartButton, reinterpret_cast<LPARAM>(&search));
    if (!search.FoundWindow)
        return LAUNCH_NO_START;
    HWND startButton = search.FoundWindow;
    *startButtonOut = startButton;

    if (g_kernel.SetProcessAffinityMask && !g_kernel.SetProcessAffinityMask(created.hProcess, affinityMask))
        return LAUNCH_AFFINITY_FAILED;

    char title[TITLE_BUFFER_SIZE] = {};
    GetWindowTextA(mainWindow, title, sizeof title);
    char newTitle[TITLE_BUFFER_SIZE];
    FormatClientTitle(title, clientIndex, newTitle, sizeof newTitle);
    // SetWindowTextA on another process's window is a synchronous
    // WM_SETTEXT: sent with a bound instead, like the click and the
    // minimise.  Their results are not looked at; a client that hangs here
    // is found later by the stall check.
    SendToClient(mainWindow, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(newTitle));
    SendToClient(startButton, BM_CLICK, 0, 0);
    SendToClient(mainWindow, WM_SYSCOMMAND, SC_MINIMIZE, 0);

    if (mainThreadIdOut)
        *mainThreadIdOut = created.dwThreadId;
    if (trueIdle)
        SetWorkerThreadPriority(created.dwProcessId, created.dwThreadId, THREAD_PRIORITY_IDLE);
    return LAUNCH_OK;
}

void ClearSlot(HANDLE* processHandleOut, DWORD* processIdOut, HWND* mainWindowOut, HWND* startButtonOut)
{
    *processHandleOut = nullptr;
    *processIdOut = 0;
    *mainWindowOut = nullptr;
    *startButtonOut = nullptr;
}

} // namespace

bool ClientStateKeyPath(unsigned clientIndex, char* out, size_t outSize)
{
    if (outSize == 0)
        return false;
    out[0] = '\0';
    if (clientIndex >= sizeof ClientKeySuffixTable - 1)
        return false;
    int written;
    if (clientIndex == 0)
        written = snprintf(out, outSize, "%s", CLIENT_STATE_KEY_BASE);
    else
        written = snprintf(out, outSize, "%s%c", CLIENT_STATE_KEY_BASE, ClientKeySuffixTable[clientIndex]);
    if (written < 0 || static_cast<size_t>(written) >= outSize) {
        out[0] = '\0';
        return false;
    }
    return true;
}

void FormatClientTitle(const char* title, unsigned clientIndex, char* out, size_t outSize)
{
    if (outSize == 0)
        return;
    char suffix[32];
    int suffixLength = snprintf(suffix, sizeof suffix, " - client %u", clientIndex + 1);
    if (suffixLength < 0)
        suffixLength = 0;
    // A title too long for the suffix is cut, not the suffix: the client
    // number is what tells the copies apart on the taskbar.
    size_t room = outSize - 1;
    size_t keepSuffix = static_cast<size_t>(suffixLength) < room ? static_cast<size_t>(suffixLength) : room;
    size_t titleRoom = room - keepSuffix;
    size_t titleLength = strlen(title);
    if (titleLength > titleRoom)
        titleLength = titleRoom;
    memcpy(out, title, titleLength);
    memcpy(out + titleLength, suffix, keepSuffix);
    out[titleLength + keepSuffix] = '\0';
}

int WriteClientKey(unsigned clientIndex)
{
    char path[64];
    // An index beyond the table has no state key: refuse it rather than read
    // past the suffix table.
    if (!ClientStateKeyPath(clientIndex, path, sizeof path))
        return 0;
    // Written in the 32-bit view only, also by the 64-bit build: the client
    // is a 32-bit program, and a 32-bit program reads that view whatever the
    // supervisor's build.  Asking the client's PE header, or writing both
    // views, would serve only a 64-bit client, which the contract does not
    // know.
    HKEY rawKey = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, CLIENT_CONFIG_KEY, 0, nullptr, 0, KEY_ALL_ACCESS | PRODUCT_KEY_VIEW,
                        nullptr, &rawKey, nullptr) != ERROR_SUCCESS)
        return 0;
    qel::UniqueRegKey key(rawKey);
    RegSetValueExA(key.get(), CLIENT_KEY_VALUE, 0, REG_SZ, reinterpret_cast<const BYTE*>(path),
                   static_cast<DWORD>(strlen(path) + 1));
    return 1;
}

int SetWorkerThreadPriority(DWORD processId, DWORD mainThreadId, int priority)
{
    const OptionalKernelFunctions& k = g_kernel;
    if (!k.OpenThread || !k.CreateToolhelp32Snapshot || !k.Thread32First || !k.Thread32Next)
        return 0;

    // Right after "Start!" the worker may not exist yet: up to six walks,
    // 500 ms apart.  A walk whose Thread32First fails counts like a walk that
    // found nothing, so a system where it always fails still ends the search.
    DWORD workerId = 0;
    for (int retriesLeft = WORKER_SEARCH_RETRIES;; --retriesLeft) {
        {
            qel::UniqueFileHandle snapshot(k.CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
            if (!snapshot)
                return 0;
            THREADENTRY32 entry = {};
            entry.dwSize = sizeof entry;
            for (BOOL more = k.Thread32First(snapshot.get(), &entry); more;
                 more = k.Thread32Next(snapshot.get(), &entry)) {
                if (entry.th32OwnerProcessID == processId && entry.th32ThreadID != mainThreadId) {
                    workerId = entry.th32ThreadID;
                    break;
                }
            }
        }
        if (workerId)
            break;
        if (retriesLeft == 0)
            return 0;
        Sleep(WORKER_SEARCH_INTERVAL_MS);
    }

    qel::UniqueHandle worker(k.OpenThread(THREAD_ALL_ACCESS_XP, FALSE, workerId));
    if (!worker)
        return 0;
    return SetThreadPriority(worker.get(), priority) ? 1 : 0;
}

bool OwnedBySearchedProcess(HWND window, LPARAM search)
{
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    return owner == reinterpret_cast<const WindowSearch*>(search)->ProcessId;
}

BOOL CALLBACK FindMainWindow(HWND window, LPARAM search)
{
    if (!OwnedBySearchedProcess(window, search))
        return TRUE;
    reinterpret_cast<WindowSearch*>(search)->FoundWindow = window;
    return FALSE;
}

BOOL StoreWindowWithText(HWND window, LPARAM search, const char* text)
{
    char windowText[COMPARED_TEXT_SIZE] = {};
    GetWindowTextA(window, windowText, sizeof windowText);
    if (lstrcmpA(windowText, text) != 0)
        return TRUE;
    reinterpret_cast<WindowSearch*>(search)->FoundWindow = window;
    return FALSE;
}

BOOL CALLBACK FindStartButton(HWND window, LPARAM search)
{
    return StoreWindowWithText(window, search, START_BUTTON_TEXT);
}

namespace {

// A copy starts as it would from Explorer: in its own folder (a client that
// keeps work files beside itself must not read and write them in the
// supervisor's directory, System32 for a service) and with its quoted path
// as the command line.  Empty when the path names no folder: the copy then
// inherits ours.
void ClientFolder(const char* exePath, char* folder, size_t folderSize)
{
    folder[0] = '\0';
    size_t length = std::strlen(exePath);
    if (length >= folderSize)
        return;
    size_t cut = length;
    while (cut > 0 && exePath[cut - 1] != '\\' && exePath[cut - 1] != '/')
        --cut;
    if (cut == 0)
        return;
    // "C:\zr.exe" and "\zr.exe" keep their separator: "C:" alone would mean
    // the drive's current directory.
    size_t keep = cut - 1;
    if (keep == 0 || exePath[keep - 1] == ':')
        keep = cut;
    std::memcpy(folder, exePath, keep);
    folder[keep] = '\0';
}

// Writable, as CreateProcess may change the command line it is given.
// Empty when the quoted path does not fit.
void QuotedCommandLine(const char* exePath, char* commandLine, size_t size)
{
    commandLine[0] = '\0';
    int written = std::snprintf(commandLine, size, "\"%s\"", exePath);
    if (written < 0 || static_cast<size_t>(written) >= size)
        commandLine[0] = '\0';
}

} // namespace

int LaunchClient(const char* exePath, unsigned clientIndex, DWORD affinityMask, HANDLE* processHandleOut,
                 DWORD* processIdOut, HWND* mainWindowOut, HWND* startButtonOut, int trueIdle,
                 DWORD* mainThreadIdOut)
{
    BindOptionalKernelFunctions();

    // Only cb is set (68 on 32-bit builds): the copy gets default windows.
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION created = {};
    char folder[MAX_PATH];
    ClientFolder(exePath, folder, sizeof folder);
    char commandLine[MAX_PATH + 3];
    QuotedCommandLine(exePath, commandLine, sizeof commandLine);
    if (!CreateProcessA(exePath, commandLine[0] ? commandLine : nullptr, nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                        nullptr, folder[0] ? folder : nullptr, &startup, &created))
        return LAUNCH_CREATE_FAILED;
    qel::UniqueHandle process(created.hProcess);
    qel::UniqueHandle mainThread(created.hThread);
    // Tied while still suspended, so that not one instruction of the client
    // runs outside the job; an untied client runs on as before (the run loop
    // reports it).
    TieClientToSupervisor(created.hProcess);
    *processHandleOut = created.hProcess;
    *processIdOut = created.dwProcessId;

    int result = StartSuspendedClient(created, clientIndex, affinityMask, mainWindowOut, startButtonOut,
                                      trueIdle, mainThreadIdOut);
    mainThread.reset();

    if (result == LAUNCH_OK) {
        process.release();  // the caller's slot owns it now; StopClient closes it
        return LAUNCH_OK;
    }

    bool firstRun = result == LAUNCH_NO_START && InterlockedCompareExchange(&g_firstRunRetry, 0, 0) == 0 &&
                    qel::IsWindows9xFamily();
    if (firstRun) {
        // A fresh install on the 9x family first wants a person to set the
        // client up; the copy stays on screen for that.
        MessageBoxA(nullptr, FIRST_RUN_TEXT, "", MB_OK);
    }
    TerminateProcess(process.get(), static_cast<UINT>(result));
    process.reset();
    ClearSlot(processHandleOut, processIdOut, mainWindowOut, startButtonOut);
    if (!firstRun)
        return result;

    InterlockedExchange(&g_firstRunRetry, 1);
    result = LaunchClient(exePath, clientIndex, affinityMask, processHandleOut, processIdOut, mainWindowOut,
                          startButtonOut, trueIdle, mainThreadIdOut);
    InterlockedExchange(&g_firstRunRetry, 0);
    return result;
}

#include "program_run.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "activity_log.h"
#include "product_keys.h"
#include "windows_family.h"

namespace qeltest {

namespace {
const UINT OWNER_KILL_CODE = 0xDEAD;
const DWORD KILL_WAIT_MS = 5000;
const char APP_DEFAULTS[] = "Software\\Wine\\AppDefaults\\";
volatile LONG g_windows98Emulations = 0;

void SetWindowsVersion(const std::string& keyPath, const char* version)
{
    qel::UniqueRegKey key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, keyPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(),
                        nullptr) == ERROR_SUCCESS)
        RegSetValueExA(key.get(), "Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version),
                       static_cast<DWORD>(strlen(version) + 1));
}

bool IsWindows9xVersion(const char* version)
{
    return strcmp(version, "win95") == 0 || strcmp(version, "win98") == 0 || strcmp(version, "winme") == 0;
}
} // namespace

std::string PathBesideTest(const std::string& fileName)
{
    char path[MAX_PATH] = {};
    PathBesideExecutable(path, sizeof path, fileName.c_str());
    return path;
}

std::string RunnableX86Peer(const std::string& fileName, std::string& whyNot)
{
#ifdef _WIN64
    std::string relative = "x86\\" + fileName;
    std::string path = PathBesideTest(relative);
    if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        whyNot = "no 32-bit " + fileName + " in this build (the i686 sub-build makes it)";
        return std::string();
    }
    // A machine without 32-bit support (a kernel that runs no 32-bit code, a
    // Wine prefix made before 32-bit Wine was installed) fails the creation.
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    std::string commandLine = "\"" + path + "\"";
    if (!CreateProcessA(path.c_str(), &commandLine[0], nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr,
                        &startup, &process)) {
        whyNot = "this machine starts no 32-bit program (CreateProcess error " + std::to_string(GetLastError()) + ")";
        return std::string();
    }
    TerminateProcess(process.hProcess, 0);
    WaitForSingleObject(process.hProcess, KILL_WAIT_MS);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return relative;
#else
    whyNot = "a 32-bit test program shares the 32-bit programs' view already";
    (void)fileName;
    return std::string();
#endif
}

std::string ThirtyTwoBitViewPath(const char* path)
{
    static const char software[] = "Software\\";
    return std::string(software) + "Wow6432Node\\" + (path + sizeof software - 1);
}

ProgramRun RunProgram(const std::string& program, const std::string& arguments, DWORD timeoutMs)
{
    ProgramRun run;
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    qel::UniqueHandle readEnd;
    qel::UniqueHandle writeEnd;
    if (!CreatePipe(readEnd.put(), writeEnd.put(), &inheritable, 0))
        return run;
    SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writeEnd.get();
    startup.hStdError = writeEnd.get();

    std::string path = PathBesideTest(program);
    std::string commandLine = "\"" + path + "\"" + (arguments.empty() ? "" : " " + arguments);
    std::vector<char> mutableLine(commandLine.begin(), commandLine.end());
    mutableLine.push_back('\0');

    PROCESS_INFORMATION info = {};
    if (!CreateProcessA(path.c_str(), mutableLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &info))
        return run;
    qel::UniqueHandle process(info.hProcess);
    qel::UniqueHandle thread(info.hThread);
    writeEnd.reset(); // the reader sees the end once the child has ended
    run.Started = true;

    // The output is drained here, not by a reader waiting for the pipe's end:
    // a grandchild (a stand-in client) that still holds the write end must
    // not keep the test waiting once the program itself has ended.
    HANDLE pipe = readEnd.get();
    std::string output;
    const DWORD startTick = GetTickCount();
    bool ended = false;
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr))
            break; // every writer has gone: all is read
        if (available > 0) {
            char buffer[4096];
            DWORD got = 0;
            if (!ReadFile(pipe, buffer, available < sizeof buffer ? available : sizeof buffer, &got, nullptr))
                break;
            output.append(buffer, got);
            continue;
        }
        if (ended)
            break;
        if (WaitForSingleObject(process.get(), 20) != WAIT_TIMEOUT) {
            ended = true; // one more pass drains what it wrote last
        } else if (GetTickCount() - startTick >= timeoutMs) {
            run.TimedOut = true;
            TerminateProcess(process.get(), OWNER_KILL_CODE);
            WaitForSingleObject(process.get(), KILL_WAIT_MS);
            ended = true;
        }
    }
    GetExitCodeProcess(process.get(), &run.ExitCode);
    run.Output = output;
    return run;
}

std::string RunQelsvc(const std::string& arguments, DWORD* exitCode)
{
    ProgramRun run = RunProgram("qelsvc.exe", arguments, 30000);
    EXPECT_TRUE(run.Started);
    EXPECT_FALSE(run.TimedOut) << arguments;
    if (exitCode)
        *exitCode = run.ExitCode;
    return NormaliseLineEnds(run.Output);
}

ProgramRun RunSelfAsWindows98(const char* copyName, const std::string& arguments, DWORD timeoutMs)
{
    char self[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string copy = PathBesideTest(copyName);
    if (!CopyFileA(self, copy.c_str(), FALSE))
        return ProgramRun();
    ProgramRun run;
    {
        WindowsVersionEmulation emulation(copyName, "win98");
        run = RunProgram(copyName, arguments, timeoutMs);
    }
    DeleteFileA(copy.c_str());
    return run;
}

std::string ReadWholeFile(const std::string& path, long long from)
{
    // Shared for writing and deleting: the log may still be in use.
    qel::UniqueFileHandle file(CreateFileA(path.c_str(), GENERIC_READ,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, 0, nullptr));
    if (!file)
        return "";
    LARGE_INTEGER size = {};
    if (GetFileSizeEx(file.get(), &size) && from > size.QuadPart)
        from = 0;
    LARGE_INTEGER offset;
    offset.QuadPart = from;
    SetFilePointerEx(file.get(), offset, nullptr, FILE_BEGIN);
    std::string text;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0)
        text.append(buffer, got);
    return text;
}

long long FileSize(const std::string& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data))
        return 0;
    return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::string NormaliseLineEnds(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            continue;
        out += text[i];
    }
    return out;
}

WindowsVersionEmulation::WindowsVersionEmulation(const char* exeName, const char* version)
    : keyPath_(std::string(APP_DEFAULTS) + exeName), nineX_(IsWindows9xVersion(version))
{
    SetWindowsVersion(keyPath_, version);
    // The stand-in a 9x program starts runs as the same system, and reaches
    // the product's keys in the same view.
    if (nineX_) {
        SetWindowsVersion(std::string(APP_DEFAULTS) + "zr.exe", version);
        InterlockedIncrement(&g_windows98Emulations);
    }
}

const char* TestedWindowsVersion(const char* exeName, const char* fallback)
{
    static char version[16];
    DWORD length = GetEnvironmentVariableA("QEL_TEST_WINDOWS_VERSION", version, sizeof version);
    if (length == 0 || length >= sizeof version)
        return fallback;
    return IsWindows9xVersion(version) == (_stricmp(exeName, "qelsvc9x.exe") == 0) ? version : fallback;
}

std::string NameForTestedProgram(const char* exeName, const char* plainName)
{
    bool machineWide = MachineWideNamesApply();
    // Every version the runs name but NT 4.0 and the 9x family is 2000 or later.
    if (const char* version = TestedWindowsVersion(exeName, nullptr))
        machineWide = MachineWideNamesApplyFor(IsWindows9xVersion(version), strcmp(version, "nt40") == 0 ? 4 : 5);
    return machineWide ? std::string("Global\\") + plainName : std::string(plainName);
}

WindowsVersionEmulation::~WindowsVersionEmulation()
{
    RegDeleteKeyA(HKEY_CURRENT_USER, keyPath_.c_str());
    if (nineX_ && InterlockedDecrement(&g_windows98Emulations) == 0)
        RegDeleteKeyA(HKEY_CURRENT_USER, (std::string(APP_DEFAULTS) + "zr.exe").c_str());
}

REGSAM ProductViewForTests()
{
    return g_windows98Emulations > 0 || qel::IsWindows9xFamily() ? 0 : PRODUCT_KEY_VIEW;
}

OwnedProcess::~OwnedProcess()
{
    reset();
}

bool OwnedProcess::Start(const std::string& path, const std::string& tail)
{
    reset();
    std::string commandLine = "\"" + path + "\"" + tail;
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessA(path.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        return false;
    CloseHandle(info.hThread);
    process_.reset(info.hProcess);
    id_ = info.dwProcessId;
    return true;
}

void OwnedProcess::reset(HANDLE process)
{
    if (Running()) {
        TerminateProcess(process_.get(), OWNER_KILL_CODE);
        WaitForSingleObject(process_.get(), KILL_WAIT_MS);
    }
    process_.reset(process);
    id_ = 0;
}

bool OwnedProcess::Running() const
{
    return process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT;
}

bool OwnedProcess::WaitEnded(DWORD timeoutMs) const
{
    return process_ && WaitForSingleObject(process_.get(), timeoutMs) == WAIT_OBJECT_0;
}

DWORD OwnedProcess::ExitCode(DWORD timeoutMs) const
{
    WaitEnded(timeoutMs);
    DWORD code = STILL_ACTIVE;
    if (!process_ || !GetExitCodeProcess(process_.get(), &code))
        return STILL_ACTIVE;
    return code;
}

HANDLE WatchHandle(HANDLE process)
{
    HANDLE copy = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), process, GetCurrentProcess(), &copy,
                         SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_TERMINATE, FALSE, 0))
        return nullptr;
    return copy;
}

void EndProcessById(DWORD processId)
{
    if (processId == 0)
        return;
    OwnedProcess process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processId));
    process.reset();
}

bool WaitProcessEnd(DWORD processId, DWORD timeoutMs, DWORD* exitCode)
{
    qel::UniqueHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | SYNCHRONIZE, FALSE, processId));
    if (!process)
        return true;
    if (WaitForSingleObject(process.get(), timeoutMs) != WAIT_OBJECT_0)
        return false;
    if (exitCode)
        GetExitCodeProcess(process.get(), exitCode);
    return true;
}

} // namespace qeltest

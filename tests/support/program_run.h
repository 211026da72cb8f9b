// The programs a test starts: the build's programs beside the test
// executable, run with their output captured or owned until the test ends.
#pragma once

#include <windows.h>

#include <string>

#include "win_handles.h"

namespace qeltest {

// Full path of a file beside the running test executable (the programs under
// test are built into the same folder).
std::string PathBesideTest(const std::string& fileName);

// "x86\\<fileName>" when a 64-bit test program has that 32-bit peer beside it
// (the stand-in or the console of the i686 sub-build) and this machine can
// start it; "" otherwise, with the reason in whyNot.
std::string RunnableX86Peer(const std::string& fileName, std::string& whyNot);

// Where a 32-bit program on 64-bit Windows finds HKLM\<path> (a path below
// "Software\\"), as the 64-bit view names it: "Software\\Wow6432Node\\...".
std::string ThirtyTwoBitViewPath(const char* path);

struct ProgramRun {
    bool Started = false;
    bool TimedOut = false;   // still running after the time limit, so terminated
    DWORD ExitCode = 0;
    std::string Output;      // standard output and error, bytes as written (CR LF kept)
};

// Runs "<dir>\program arguments" beside the test, waits up to timeoutMs, and
// returns what it printed.  A program that overruns is terminated.
ProgramRun RunProgram(const std::string& program, const std::string& arguments, DWORD timeoutMs = 20000);

// Runs qelsvc.exe with the arguments; it must start and end within 30 s.  Its
// output with LF line ends.
std::string RunQelsvc(const std::string& arguments, DWORD* exitCode = nullptr);

// Copies this test program to copyName beside it, has Wine run the copy as a
// Windows 98 program, runs it with the arguments (a --gtest_filter) and
// deletes the copy again.
ProgramRun RunSelfAsWindows98(const char* copyName, const std::string& arguments, DWORD timeoutMs);

// The file from byte offset `from` on ("" when it cannot be read).  A file
// shorter than `from` was started anew and is read whole.
std::string ReadWholeFile(const std::string& path, long long from = 0);

// The size of a file in bytes, 0 when it is missing.
long long FileSize(const std::string& path);

// The console's line ends turned into '\n': "\r\n" becomes "\n".  A lone
// '\r' stays, so stray carriage returns still show as differences.
std::string NormaliseLineEnds(const std::string& text);

// Makes the named program of this machine run under Wine's emulation of a
// Windows version (HKCU\Software\Wine\AppDefaults\<exe>, Version = win95,
// win98, winme, nt40, win2k, winxp, ...) for as long as the object lives; with
// a 9x version the stand-in zr.exe it starts runs so too.
class WindowsVersionEmulation {
public:
    WindowsVersionEmulation(const char* exeName, const char* version);
    ~WindowsVersionEmulation();
    WindowsVersionEmulation(const WindowsVersionEmulation&) = delete;
    WindowsVersionEmulation& operator=(const WindowsVersionEmulation&) = delete;

private:
    std::string keyPath_;
    bool nineX_;
};

// The registry view in which the tests meet the programs at the product's
// keys.  Wine drops the view flags of a program it runs as Windows 98 (whose
// registry, like Windows 95's, ignores the access mask), so a 64-bit program
// under that emulation reaches them in the 64-bit view: while a 9x
// WindowsVersionEmulation lives, or when this test program itself runs so, the
// tests and the stand-in go there too.  PRODUCT_KEY_VIEW otherwise.
REGSAM ProductViewForTests();

// The Windows version this test run has the shipped program exeName run as
// (the environment variable QEL_TEST_WINDOWS_VERSION, which only the test
// programs read: nt40, win2k or winxp apply to qelsvc.exe, win95, win98 or
// winme to qelsvc9x.exe), or fallback when the run names none for it.
const char* TestedWindowsVersion(const char* exeName, const char* fallback);

// The name that the shipped program exeName gives a machine-wide object
// (the settings mutex, the log's lock) at the Windows version this test run
// has it run as (TestedWindowsVersion): "Global\<plainName>" from Windows
// 2000 on, plainName on NT 4.0 and the 9x family.  Under Wine the two are
// different objects, so a test that holds an object for a program it runs
// must use this name, not the one this test program would use itself.
std::string NameForTestedProgram(const char* exeName, const char* plainName);

// A process that a test started or watches: terminated, if still running,
// and closed when the owner goes.
class OwnedProcess {
public:
    OwnedProcess() = default;
    explicit OwnedProcess(HANDLE process) : process_(process) {}
    ~OwnedProcess();
    OwnedProcess(OwnedProcess&&) = default;
    OwnedProcess& operator=(OwnedProcess&&) = default;

    // Runs "<path>"<tail>: the tail is appended as it is, blanks included.
    bool Start(const std::string& path, const std::string& tail);
    HANDLE get() const { return process_.get(); }
    // Id of a process begun with Start (0 otherwise).
    DWORD Id() const { return id_; }
    // Terminates the process held (when it still runs) and takes `process`.
    void reset(HANDLE process = nullptr);
    explicit operator bool() const { return process_.valid(); }
    bool Running() const;
    // True when the process ended within timeoutMs.
    bool WaitEnded(DWORD timeoutMs) const;
    // The full exit code after waiting up to timeoutMs (STILL_ACTIVE when it
    // still runs).
    DWORD ExitCode(DWORD timeoutMs) const;

private:
    qel::UniqueHandle process_;
    DWORD id_ = 0;
};

// A second handle to the same process (wait, query, terminate), for watching a
// process whose own handle goes to the code under test.
HANDLE WatchHandle(HANDLE process);

// Terminates a process by id (when it still runs) and waits for it, bounded.
void EndProcessById(DWORD processId);
// True when the process has ended (or no longer exists) within timeoutMs.
bool WaitProcessEnd(DWORD processId, DWORD timeoutMs, DWORD* exitCode = nullptr);

} // namespace qeltest

// Runs a console program of the build (it lives beside the test executable)
// with its standard output captured.
#pragma once

#include <windows.h>

#include <string>

namespace qeltest {

struct ConsoleRun {
    bool Started = false;
    bool Finished = false;   // ended within the time limit (else terminated)
    DWORD ExitCode = 0;
    std::string Output;      // standard output, bytes as written
};

// Full path of a file beside the running test executable.
std::string PathBesideTest(const char* fileName);

// Starts "<dir>\program args", waits up to timeoutMs, and returns what it
// printed.  A program that overruns is terminated.
ConsoleRun RunConsoleProgram(const char* program, const std::string& arguments, DWORD timeoutMs = 20000);

// The console's line ends turned into '\n': "\r\n" becomes "\n".  A lone
// '\r' stays, so stray carriage returns still show as differences.
std::string NormaliseLineEnds(const std::string& text);

} // namespace qeltest

// Runs a program of the build as a child process and collects its output.
#pragma once

#include <windows.h>

#include <string>

struct ChildResult {
    bool Started = false;
    bool TimedOut = false;
    DWORD ExitCode = 0;
    std::string Output;  // standard output and error, as written (CR LF kept)
};

// Folder of the running test program, with a trailing backslash; the
// programs under test are built into the same folder.
std::string BinDir();

// Runs "<BinDir><program> <arguments>" and waits up to timeoutMs; a child
// still running then is terminated.
ChildResult RunChild(const std::string& program, const std::string& arguments, DWORD timeoutMs);

// The whole file, or "" when it cannot be read.
std::string ReadWholeFile(const std::string& path);

// Replaces every CR LF by LF.
std::string WithoutCarriageReturns(const std::string& text);

// What the 9x host tests share: registry scratch work, a process that is
// ended when its owner goes, and a reader of the activity log's new lines.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "win_handles.h"

// --- Registry ---------------------------------------------------------------

// Deletes the key with its values and subkeys; missing keys are fine.
void DeleteKeyTree(HKEY root, const char* path);
void DeleteValue(HKEY root, const char* path, const char* name);
void WriteDword(HKEY root, const char* path, const char* name, DWORD value);
// The first four bytes of the value as a little-endian word, whatever its
// type; fallback when it is missing.
DWORD ReadDword(HKEY root, const char* path, const char* name, DWORD fallback);
bool ValueExists(HKEY root, const char* path, const char* name);
// A REG_SZ value, with its stored length in bytes (NUL counted by the
// writer); "" when missing.
std::string ReadString(HKEY root, const char* path, const char* name, DWORD* storedLength = nullptr);

// Makes the named program of this machine run under Wine's Windows 98
// emulation (HKCU\Software\Wine\AppDefaults\<exe>, Version = win98) for as
// long as the object lives.
class Windows98Emulation {
public:
    explicit Windows98Emulation(const char* exeName);
    ~Windows98Emulation();
    Windows98Emulation(const Windows98Emulation&) = delete;
    Windows98Emulation& operator=(const Windows98Emulation&) = delete;

private:
    std::string keyPath_;
};

// --- Processes --------------------------------------------------------------

// A program of the build started by a test; terminated when the owner goes
// if it is still running.
class OwnedProcess {
public:
    OwnedProcess() = default;
    ~OwnedProcess();
    OwnedProcess(const OwnedProcess&) = delete;
    OwnedProcess& operator=(const OwnedProcess&) = delete;

    // Runs "<path>"<tail>: the tail is appended as it is, blanks included.
    bool Start(const std::string& path, const std::string& tail);
    bool WaitForExit(DWORD timeoutMs) const;
    bool Running() const;
    void Terminate();
    DWORD Id() const { return id_; }
    HANDLE Handle() const { return process_.get(); }

private:
    qel::UniqueHandle process_;
    DWORD id_ = 0;
};

// Terminates the process with this id when it still runs (a client that a
// supervisor under test started).
void TerminateProcessById(DWORD processId);

// --- Activity log -----------------------------------------------------------

// Reads what was appended to a log file after the watch was made.
class LogWatch {
public:
    explicit LogWatch(std::string path);
    std::string NewText() const;
    int Count(const std::string& needle) const;
    // Polls until `needle` occurs at least `count` times; false after timeoutMs.
    bool WaitForCount(const std::string& needle, int count, DWORD timeoutMs) const;
    // Process ids of the clients started since the watch was made.
    std::vector<DWORD> ClientProcessIds() const;

private:
    std::string path_;
    unsigned long long start_ = 0;
};

std::string ProgramDir();

// What the 9x host tests share: registry scratch work and a reader of the
// activity log's new lines.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "win_handles.h"

namespace qeltest {

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
    long long start_ = 0;
};

} // namespace qeltest

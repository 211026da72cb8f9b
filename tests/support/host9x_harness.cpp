#include "host9x_harness.h"

#include <cstdio>
#include <cstring>

#include "program_run.h"

namespace qeltest {

// --- Registry ---------------------------------------------------------------

void DeleteKeyTree(HKEY root, const char* path)
{
    {
        qel::UniqueRegKey key;
        if (RegOpenKeyExA(root, path, 0, KEY_ALL_ACCESS, key.put()) != ERROR_SUCCESS)
            return;
        char child[256];
        // Always the first child: each one is gone after its deletion.
        for (;;) {
            DWORD length = sizeof child;
            if (RegEnumKeyExA(key.get(), 0, child, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
                break;
            std::string childPath = std::string(path) + "\\" + child;
            DeleteKeyTree(root, childPath.c_str());
        }
    }
    RegDeleteKeyA(root, path);
}

void DeleteValue(HKEY root, const char* path, const char* name)
{
    qel::UniqueRegKey key;
    if (RegOpenKeyExA(root, path, 0, KEY_ALL_ACCESS, key.put()) == ERROR_SUCCESS)
        RegDeleteValueA(key.get(), name);
}

void WriteDword(HKEY root, const char* path, const char* name, DWORD value)
{
    qel::UniqueRegKey key;
    if (RegCreateKeyExA(root, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(), nullptr) == ERROR_SUCCESS)
        RegSetValueExA(key.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

DWORD ReadDword(HKEY root, const char* path, const char* name, DWORD fallback)
{
    qel::UniqueRegKey key;
    if (RegOpenKeyExA(root, path, 0, KEY_READ, key.put()) != ERROR_SUCCESS)
        return fallback;
    BYTE data[8] = {};
    DWORD size = sizeof data;
    if (RegQueryValueExA(key.get(), name, nullptr, nullptr, data, &size) != ERROR_SUCCESS || size < 4)
        return fallback;
    return data[0] | (data[1] << 8) | (data[2] << 16) | (static_cast<DWORD>(data[3]) << 24);
}

bool ValueExists(HKEY root, const char* path, const char* name)
{
    qel::UniqueRegKey key;
    if (RegOpenKeyExA(root, path, 0, KEY_READ, key.put()) != ERROR_SUCCESS)
        return false;
    return RegQueryValueExA(key.get(), name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

std::string ReadString(HKEY root, const char* path, const char* name, DWORD* storedLength)
{
    qel::UniqueRegKey key;
    if (RegOpenKeyExA(root, path, 0, KEY_READ, key.put()) != ERROR_SUCCESS)
        return "";
    char data[1024] = {};
    DWORD size = sizeof data - 1;
    DWORD type = 0;
    if (RegQueryValueExA(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) != ERROR_SUCCESS ||
        type != REG_SZ)
        return "";
    if (storedLength)
        *storedLength = size;
    return data;
}

// --- Activity log -----------------------------------------------------------

LogWatch::LogWatch(std::string path) : path_(std::move(path)), start_(FileSize(path_)) {}

std::string LogWatch::NewText() const
{
    return ReadWholeFile(path_, start_);
}

int LogWatch::Count(const std::string& needle) const
{
    std::string text = NewText();
    int count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size()))
        ++count;
    return count;
}

bool LogWatch::WaitForCount(const std::string& needle, int count, DWORD timeoutMs) const
{
    DWORD start = GetTickCount();
    for (;;) {
        if (Count(needle) >= count)
            return true;
        if (GetTickCount() - start >= timeoutMs)
            return false;
        Sleep(50);
    }
}

std::vector<DWORD> LogWatch::ClientProcessIds() const
{
    std::vector<DWORD> ids;
    std::string text = NewText();
    // "... successful: 0x<handle> (0x<pid>) - ..." on every kind of start.
    for (size_t at = text.find("successful: "); at != std::string::npos; at = text.find("successful: ", at + 1)) {
        unsigned handle = 0, id = 0;
        if (sscanf(text.c_str() + at, "successful: 0x%x (0x%x)", &handle, &id) == 2)
            ids.push_back(id);
    }
    return ids;
}

} // namespace qeltest

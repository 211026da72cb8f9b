#include "host9x_harness.h"

#include <cstdio>
#include <cstring>

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

Windows98Emulation::Windows98Emulation(const char* exeName)
    : keyPath_(std::string("Software\\Wine\\AppDefaults\\") + exeName)
{
    qel::UniqueRegKey key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, keyPath_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(),
                        nullptr) == ERROR_SUCCESS) {
        const char version[] = "win98";
        RegSetValueExA(key.get(), "Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version), sizeof version);
    }
}

Windows98Emulation::~Windows98Emulation()
{
    DeleteKeyTree(HKEY_CURRENT_USER, keyPath_.c_str());
}

// --- Processes --------------------------------------------------------------

OwnedProcess::~OwnedProcess()
{
    Terminate();
}

bool OwnedProcess::Start(const std::string& path, const std::string& tail)
{
    Terminate();
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

bool OwnedProcess::WaitForExit(DWORD timeoutMs) const
{
    return !process_ || WaitForSingleObject(process_.get(), timeoutMs) == WAIT_OBJECT_0;
}

bool OwnedProcess::Running() const
{
    return process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT;
}

void OwnedProcess::Terminate()
{
    if (Running()) {
        TerminateProcess(process_.get(), 99);
        WaitForSingleObject(process_.get(), 5000);
    }
    process_.reset();
    id_ = 0;
}

void TerminateProcessById(DWORD processId)
{
    qel::UniqueHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processId));
    if (!process)
        return;
    if (WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT) {
        TerminateProcess(process.get(), 99);
        WaitForSingleObject(process.get(), 5000);
    }
}

// --- Activity log -----------------------------------------------------------

namespace {

unsigned long long FileSize(const std::string& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data))
        return 0;
    return (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

} // namespace

LogWatch::LogWatch(std::string path) : path_(std::move(path)), start_(FileSize(path_)) {}

std::string LogWatch::NewText() const
{
    qel::UniqueFileHandle file(CreateFileA(path_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                           nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file)
        return "";
    LARGE_INTEGER offset;
    offset.QuadPart = static_cast<LONGLONG>(start_);
    SetFilePointerEx(file.get(), offset, nullptr, FILE_BEGIN);
    std::string text;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0)
        text.append(buffer, got);
    return text;
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

std::string ProgramDir()
{
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string dir(path);
    return dir.substr(0, dir.find_last_of('\\') + 1);
}

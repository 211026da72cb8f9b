#include "standin_client.h"

#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "client_launch.h"
#include "registry_scratch.h"

namespace qeltest {

namespace {

const DWORD POLL_MS = 20;

qel::UniqueRegKey OpenKey(const std::string& path, REGSAM access)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, access | ProductViewForTests(), &key) != ERROR_SUCCESS)
        return qel::UniqueRegKey();
    return qel::UniqueRegKey(key);
}

bool QueryValue(const std::string& path, const char* name, DWORD* type, std::vector<BYTE>& data)
{
    qel::UniqueRegKey key = OpenKey(path, KEY_READ);
    if (!key)
        return false;
    DWORD size = 0;
    if (RegQueryValueExA(key.get(), name, nullptr, type, nullptr, &size) != ERROR_SUCCESS)
        return false;
    data.assign(size + 1, 0);
    return RegQueryValueExA(key.get(), name, nullptr, type, data.data(), &size) == ERROR_SUCCESS;
}

} // namespace

void BringUpDesktop()
{
    GetDesktopWindow();
    // A window of our own completes this thread's connection to the desktop.
    HWND probe = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                 GetModuleHandleA(nullptr), nullptr);
    if (probe)
        DestroyWindow(probe);
}

std::string StandInKeyPath(unsigned clientIndex)
{
    char path[64] = {};
    ClientStateKeyPath(clientIndex, path, sizeof path);
    return path;
}

void SetStandInValue(unsigned clientIndex, const char* name, DWORD value)
{
    qel::UniqueRegKey key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, StandInKeyPath(clientIndex).c_str(), 0, nullptr, 0,
                        KEY_ALL_ACCESS | ProductViewForTests(), nullptr, key.put(), nullptr) == ERROR_SUCCESS)
        RegSetValueExA(key.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

namespace {

// RegGetValueA would need a newer _WIN32_WINNT than the programs target.
bool QueryStandInValue(unsigned clientIndex, const char* name, DWORD expectedType, void* data, DWORD size)
{
    qel::UniqueRegKey key;
    REGSAM access = KEY_QUERY_VALUE | ProductViewForTests();
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, StandInKeyPath(clientIndex).c_str(), 0, access, key.put()) != ERROR_SUCCESS)
        return false;
    DWORD type = 0;
    return RegQueryValueExA(key.get(), name, nullptr, &type, static_cast<BYTE*>(data), &size) == ERROR_SUCCESS &&
           type == expectedType;
}

} // namespace

DWORD ReadStandInDword(unsigned clientIndex, const char* name, DWORD missing)
{
    DWORD value = 0;
    if (!QueryStandInValue(clientIndex, name, REG_DWORD, &value, sizeof value))
        return missing;
    return value;
}

std::string ReadStandInString(unsigned clientIndex, const char* name)
{
    char text[512] = {};
    if (!QueryStandInValue(clientIndex, name, REG_SZ, text, sizeof text - 1))
        return std::string();
    return text;
}

void DeleteStandInKey(unsigned clientIndex)
{
    DeleteKey(HKEY_LOCAL_MACHINE, StandInKeyPath(clientIndex).c_str());
}

ClientStateKey::ClientStateKey(unsigned clientIndex) : index_(clientIndex), path_(StandInKeyPath(clientIndex))
{
    DeleteStandInKey(index_);
    qel::UniqueRegKey key;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | ProductViewForTests(), nullptr,
                    key.put(), nullptr);
}

ClientStateKey::~ClientStateKey()
{
    DeleteStandInKey(index_);
}

void ClientStateKey::Set(const char* name, DWORD value) const
{
    SetStandInValue(index_, name, value);
}

bool ClientStateKey::Has(const char* name) const
{
    DWORD type = 0;
    std::vector<BYTE> data;
    return QueryValue(path_, name, &type, data);
}

DWORD ClientStateKey::Dword(const char* name) const
{
    return ReadStandInDword(index_, name);
}

ULONGLONG ClientStateKey::Qword(const char* name) const
{
    DWORD type = 0;
    std::vector<BYTE> data;
    if (!QueryValue(path_, name, &type, data) || type != REG_QWORD || data.size() < sizeof(ULONGLONG))
        return 0;
    ULONGLONG value;
    memcpy(&value, data.data(), sizeof value);
    return value;
}

std::string ClientStateKey::Text(const char* name) const
{
    return ReadStandInString(index_, name);
}

bool ClientStateKey::WaitFor(const char* name, DWORD timeoutMs) const
{
    DWORD start = GetTickCount();
    for (;;) {
        if (Has(name))
            return true;
        if (GetTickCount() - start >= timeoutMs)
            return false;
        Sleep(POLL_MS);
    }
}

bool ClientStateKey::WaitForDword(const char* name, DWORD expected, DWORD timeoutMs) const
{
    DWORD start = GetTickCount();
    for (;;) {
        if (Has(name) && Dword(name) == expected)
            return true;
        if (GetTickCount() - start >= timeoutMs)
            return false;
        Sleep(POLL_MS);
    }
}

ConfigKeyGuard::ConfigKeyGuard()
{
    qel::UniqueRegKey key = OpenKey(CLIENT_CONFIG_KEY, KEY_READ);
    keyExisted_ = key.valid();
    DWORD type = 0;
    std::vector<BYTE> data;
    valueExisted_ = QueryValue(CLIENT_CONFIG_KEY, CLIENT_KEY_VALUE, &type, data);
    if (valueExisted_)
        value_ = reinterpret_cast<const char*>(data.data());
}

ConfigKeyGuard::~ConfigKeyGuard()
{
    if (!keyExisted_) {
        DeleteKey(HKEY_LOCAL_MACHINE, CLIENT_CONFIG_KEY);
        return;
    }
    qel::UniqueRegKey key = OpenKey(CLIENT_CONFIG_KEY, KEY_SET_VALUE);
    if (!key)
        return;
    if (valueExisted_)
        RegSetValueExA(key.get(), CLIENT_KEY_VALUE, 0, REG_SZ, reinterpret_cast<const BYTE*>(value_.c_str()),
                       static_cast<DWORD>(value_.size() + 1));
    else
        RegDeleteValueA(key.get(), CLIENT_KEY_VALUE);
}

std::string ReadClientKeyValue()
{
    DWORD type = 0;
    std::vector<BYTE> data;
    if (!QueryValue(CLIENT_CONFIG_KEY, CLIENT_KEY_VALUE, &type, data) || type != REG_SZ)
        return std::string();
    return std::string(reinterpret_cast<const char*>(data.data()));
}

HANDLE TakeObserverHandle(const ClientStateKey& state, DWORD timeoutMs)
{
    if (!state.WaitFor(zr::REC_OBSERVER_HANDLE, timeoutMs))
        return nullptr;
    ULONGLONG value = state.Qword(zr::REC_OBSERVER_HANDLE);
    qel::UniqueRegKey key = OpenKey(state.Path(), KEY_SET_VALUE);
    if (key)
        RegDeleteValueA(key.get(), zr::REC_OBSERVER_HANDLE);
    return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(value));
}

HWND ProgressTextOf(HWND startButton)
{
    HWND window = startButton;
    for (int i = 0; i < zr::PROGRESS_DISTANCE && window; ++i)
        window = GetWindow(window, GW_HWNDPREV);
    return window;
}

std::string WindowText(HWND window)
{
    char text[256] = {};
    GetWindowTextA(window, text, sizeof text);
    return text;
}

int LaunchInto(const std::string& exePath, unsigned clientIndex, DWORD affinityMask, int trueIdle, LaunchSlot& slot,
               bool withMainThreadId)
{
    SetLastError(0);
    int result = LaunchClient(exePath.c_str(), clientIndex, affinityMask, &slot.ProcessHandle, &slot.ProcessId,
                              &slot.MainWindow, &slot.StartButton, trueIdle,
                              withMainThreadId ? &slot.MainThreadId : nullptr);
    // A process that could not be created is rare and unexpected in a test:
    // say why, for whoever reads the failure.
    if (result == LAUNCH_CREATE_FAILED)
        fprintf(stderr, "CreateProcessA(%s) failed, error %lu\n", exePath.c_str(), GetLastError());
    return result;
}

int RunningStandinIds(DWORD* ids, int maxIds)
{
    qel::UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot)
        return 0;
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    int count = 0;
    for (BOOL more = Process32First(snapshot.get(), &entry); more && count < maxIds;
         more = Process32Next(snapshot.get(), &entry)) {
        if (lstrcmpiA(entry.szExeFile, "zr.exe") == 0)
            ids[count++] = entry.th32ProcessID;
    }
    return count;
}

} // namespace qeltest

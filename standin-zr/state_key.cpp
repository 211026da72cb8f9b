#include "state_key.h"

#include <cstdio>

#include "../common/product_keys.h"
#include "standin_values.h"

namespace zr {

bool StateKey::Open(const char* path)
{
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS | PRODUCT_KEY_VIEW, nullptr,
                        &key, nullptr) != ERROR_SUCCESS)
        return false;
    key_.reset(key);
    return true;
}

DWORD StateKey::ReadDword(const char* name) const
{
    DWORD value = 0;
    DWORD type = 0;
    DWORD size = sizeof value;
    if (!key_ ||
        RegQueryValueExA(key_.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof value)
        return 0;
    return value;
}

void StateKey::WriteDword(const char* name, DWORD value) const
{
    if (key_)
        RegSetValueExA(key_.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

void StateKey::WriteQword(const char* name, ULONGLONG value) const
{
    if (key_)
        RegSetValueExA(key_.get(), name, 0, REG_QWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

void StateKey::WriteString(const char* name, const char* text) const
{
    if (key_)
        RegSetValueExA(key_.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                       static_cast<DWORD>(lstrlenA(text) + 1));
}

void StateKey::Delete(const char* name) const
{
    if (key_)
        RegDeleteValueA(key_.get(), name);
}

void StateKey::Increment(const char* name) const
{
    WriteDword(name, ReadDword(name) + 1);
}

void ReadStateKeyPath(char* path, DWORD size)
{
    snprintf(path, size, "%s", DEFAULT_STATE_KEY_PATH);
    HKEY rawKey = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, CONFIG_KEY_PATH, 0, KEY_READ | PRODUCT_KEY_VIEW, &rawKey) != ERROR_SUCCESS)
        return;
    qel::UniqueRegKey config(rawKey);
    char value[MAX_PATH] = {};
    DWORD type = 0;
    DWORD valueSize = sizeof value - 1;  // keeps room for a terminator
    if (RegQueryValueExA(config.get(), CLIENT_KEY_VALUE, nullptr, &type, reinterpret_cast<BYTE*>(value),
                         &valueSize) != ERROR_SUCCESS ||
        type != REG_SZ || value[0] == '\0')
        return;
    snprintf(path, size, "%s", value);
}

} // namespace zr

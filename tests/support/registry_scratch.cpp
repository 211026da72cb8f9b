#include "registry_scratch.h"

#include <cstring>

#include "win_handles.h"

namespace qeltest {

namespace {

qel::UniqueRegKey OpenKey(const std::string& path, REGSAM access, bool create)
{
    qel::UniqueRegKey key;
    LONG result = create ? RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                           access, nullptr, key.put(), nullptr)
                         : RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, access, key.put());
    if (result != ERROR_SUCCESS)
        key.release();
    return key;
}

} // namespace

RegistryScratch::RegistryScratch(const char* path) : path_(path)
{
    qel::UniqueRegKey key = OpenKey(path_, KEY_READ, false);
    existed_ = key.valid();
    for (DWORD index = 0; key; ++index) {
        char name[256];
        DWORD nameLength = sizeof name;
        RegistryValue value;
        value.Data.resize(4096);
        DWORD size = static_cast<DWORD>(value.Data.size());
        if (RegEnumValueA(key.get(), index, name, &nameLength, nullptr, &value.Type, value.Data.data(), &size) !=
            ERROR_SUCCESS)
            break;
        value.Data.resize(size);
        saved_.emplace_back(name, value);
    }
    key.reset();
    Clear();
}

RegistryScratch::~RegistryScratch()
{
    Clear();
    if (!existed_)
        return;
    qel::UniqueRegKey key = OpenKey(path_, KEY_ALL_ACCESS, true);
    for (const auto& entry : saved_)
        RegSetValueExA(key.get(), entry.first.c_str(), 0, entry.second.Type, entry.second.Data.data(),
                       static_cast<DWORD>(entry.second.Data.size()));
}

void RegistryScratch::Clear() const
{
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, path_.c_str());
}

void RegistryScratch::Set(const char* name, DWORD type, const void* data, DWORD size) const
{
    qel::UniqueRegKey key = OpenKey(path_, KEY_ALL_ACCESS, true);
    RegSetValueExA(key.get(), name, 0, type, static_cast<const BYTE*>(data), size);
}

void RegistryScratch::SetDword(const char* name, DWORD value, DWORD type) const
{
    Set(name, type, &value, sizeof value);
}

void RegistryScratch::SetWords(const char* name, const std::vector<DWORD>& words) const
{
    Set(name, REG_BINARY, words.data(), static_cast<DWORD>(words.size() * sizeof(DWORD)));
}

void RegistryScratch::Delete(const char* name) const
{
    qel::UniqueRegKey key = OpenKey(path_, KEY_ALL_ACCESS, false);
    if (key)
        RegDeleteValueA(key.get(), name);
}

bool RegistryScratch::Read(const char* name, RegistryValue& value) const
{
    qel::UniqueRegKey key = OpenKey(path_, KEY_READ, false);
    if (!key)
        return false;
    DWORD size = 0;
    if (RegQueryValueExA(key.get(), name, nullptr, &value.Type, nullptr, &size) != ERROR_SUCCESS)
        return false;
    value.Data.resize(size);
    return RegQueryValueExA(key.get(), name, nullptr, &value.Type, value.Data.data(), &size) == ERROR_SUCCESS;
}

bool RegistryScratch::Has(const char* name) const
{
    RegistryValue value;
    return Read(name, value);
}

DWORD RegistryScratch::Word(const char* name) const
{
    std::vector<DWORD> words = Words(name);
    return words.empty() ? 0xDEADBEEF : words[0];
}

std::vector<DWORD> RegistryScratch::Words(const char* name) const
{
    RegistryValue value;
    std::vector<DWORD> words;
    if (!Read(name, value))
        return words;
    words.resize(value.Data.size() / sizeof(DWORD));
    if (!words.empty())
        memcpy(words.data(), value.Data.data(), words.size() * sizeof(DWORD));
    return words;
}

} // namespace qeltest

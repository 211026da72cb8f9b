#include "registry_scratch.h"

#include <cstring>

#include <sddl.h>

#include "product_keys.h"
#include "program_run.h"
#include "win_handles.h"

namespace qeltest {

namespace {

qel::UniqueRegKey OpenKey(const std::string& path, REGSAM access, bool create)
{
    qel::UniqueRegKey key;
    access |= ViewOf(HKEY_LOCAL_MACHINE, path.c_str());
    LONG result = create ? RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                           access, nullptr, key.put(), nullptr)
                         : RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, access, key.put());
    if (result != ERROR_SUCCESS)
        key.release();
    return key;
}

} // namespace

REGSAM ViewOf(HKEY root, const char* path)
{
    static const char productRoot[] = "Software\\Morl\\";
    return root == HKEY_LOCAL_MACHINE && _strnicmp(path, productRoot, sizeof productRoot - 1) == 0
               ? ProductViewForTests()
               : 0;
}

LONG DeleteKey(HKEY root, const char* path)
{
    return ViewOf(root, path) ? DeleteProductKey(path) : RegDeleteKeyA(root, path);
}

void DeleteKeyTree(HKEY root, const char* path)
{
    {
        qel::UniqueRegKey key;
        if (RegOpenKeyExA(root, path, 0, KEY_ALL_ACCESS | ViewOf(root, path), key.put()) != ERROR_SUCCESS)
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
    DeleteKey(root, path);
}

void DeleteValue(HKEY root, const char* path, const char* name)
{
    qel::UniqueRegKey key;
    if (RegOpenKeyExA(root, path, 0, KEY_ALL_ACCESS | ViewOf(root, path), key.put()) == ERROR_SUCCESS)
        RegDeleteValueA(key.get(), name);
}

void WriteDword(HKEY root, const char* path, const char* name, DWORD value)
{
    qel::UniqueRegKey key;
    if (RegCreateKeyExA(root, path, 0, nullptr, 0, KEY_ALL_ACCESS | ViewOf(root, path), nullptr, key.put(),
                        nullptr) == ERROR_SUCCESS)
        RegSetValueExA(key.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

DWORD ReadDword(HKEY root, const char* path, const char* name, DWORD fallback)
{
    qel::UniqueRegKey key;
    if (RegOpenKeyExA(root, path, 0, KEY_READ | ViewOf(root, path), key.put()) != ERROR_SUCCESS)
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
    if (RegOpenKeyExA(root, path, 0, KEY_READ | ViewOf(root, path), key.put()) != ERROR_SUCCESS)
        return false;
    return RegQueryValueExA(key.get(), name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

std::string ReadString(HKEY root, const char* path, const char* name, DWORD* storedLength)
{
    qel::UniqueRegKey key;
    if (RegOpenKeyExA(root, path, 0, KEY_READ | ViewOf(root, path), key.put()) != ERROR_SUCCESS)
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
    DeleteKey(HKEY_LOCAL_MACHINE, path_.c_str());
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
    DeleteValue(HKEY_LOCAL_MACHINE, path_.c_str(), name);
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

namespace {

// Replaces the key's access list by the one the SDDL text describes, not
// inherited from the parent (the "P" flag).
bool SetKeyAccess(const std::string& path, const char* sddl)
{
    qel::UniqueRegKey key = OpenKey(path, WRITE_DAC, false);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!key || !ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &descriptor, nullptr))
        return false;
    bool set = RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, descriptor) == ERROR_SUCCESS;
    LocalFree(descriptor);
    return set;
}

} // namespace

ReadOnlyKey::ReadOnlyKey(const char* path) : path_(path)
{
    OpenKey(path_, KEY_READ, true);
    applied_ = SetKeyAccess(path_, "D:P(A;;KR;;;WD)");
}

ReadOnlyKey::~ReadOnlyKey()
{
    if (applied_)
        SetKeyAccess(path_, "D:P(A;;KA;;;WD)");
}

} // namespace qeltest

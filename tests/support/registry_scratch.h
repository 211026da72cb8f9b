// Registry helpers of the tests: readers and writers of single values, and a
// scratch owner of the settings key that puts the key back as it was.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace qeltest {

// Every helper here reaches HKLM\Software\Morl\... in the product's
// registry view (ProductViewForTests: the 32-bit one, also from a 64-bit
// test) and any other key in the test's own view.
REGSAM ViewOf(HKEY root, const char* path);
// RegDeleteKeyA in that view (a key without subkeys).
LONG DeleteKey(HKEY root, const char* path);

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

struct RegistryValue {
    DWORD Type = REG_NONE;
    std::vector<BYTE> Data;
};

// Saves every value of HKLM\<path> on construction and deletes the key, so a
// test starts from "no key"; on destruction deletes whatever the test left
// and writes the saved values back.
class RegistryScratch {
public:
    explicit RegistryScratch(const char* path);
    ~RegistryScratch();
    RegistryScratch(const RegistryScratch&) = delete;
    RegistryScratch& operator=(const RegistryScratch&) = delete;

    void Clear() const;                                             // delete the key
    void Set(const char* name, DWORD type, const void* data, DWORD size) const;
    void SetDword(const char* name, DWORD value, DWORD type = REG_DWORD) const;
    void SetWords(const char* name, const std::vector<DWORD>& words) const;  // REG_BINARY
    void Delete(const char* name) const;
    bool Read(const char* name, RegistryValue& value) const;        // false when missing
    bool Has(const char* name) const;
    DWORD Word(const char* name) const;                              // first 4 bytes, 0xDEADBEEF when missing
    std::vector<DWORD> Words(const char* name) const;               // empty when missing

private:
    std::string path_;
    bool existed_ = false;
    std::vector<std::pair<std::string, RegistryValue>> saved_;
};

// Makes HKLM\<path> (created when missing) readable but not writable for
// everyone, the way an unelevated console finds the settings key; full
// access again on destruction.  Declare it after a RegistryScratch of the
// same key, so that the key is writable again before the scratch cleans up.
class ReadOnlyKey {
public:
    explicit ReadOnlyKey(const char* path);
    ~ReadOnlyKey();
    ReadOnlyKey(const ReadOnlyKey&) = delete;
    ReadOnlyKey& operator=(const ReadOnlyKey&) = delete;

    // False when the key's access could not be changed.
    bool Applied() const { return applied_; }

private:
    std::string path_;
    bool applied_ = false;
};

} // namespace qeltest

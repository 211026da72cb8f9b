// The stand-in's own registry state key: behaviour values in, records out.
#pragma once

#include <windows.h>

#include "../common/win_handles.h"

namespace zr {

class StateKey {
public:
    // Opens (creating when missing) HKLM\path in the 32-bit view, where the
    // real client, a 32-bit program, finds its keys; a 64-bit build of the
    // stand-in asks for that view.  Without a key every read
    // gives 0 and every write does nothing: the program still runs.
    bool Open(const char* path);

    DWORD ReadDword(const char* name) const;
    void WriteDword(const char* name, DWORD value) const;
    void WriteQword(const char* name, ULONGLONG value) const;
    void WriteString(const char* name, const char* text) const;
    void Delete(const char* name) const;
    // Adds one to a DWORD count and stores it.
    void Increment(const char* name) const;

private:
    qel::UniqueRegKey key_;
};

// Reads "ClientKey" of the config key into path (size chars, always
// terminated); falls back to the default state key when it is missing.
void ReadStateKeyPath(char* path, DWORD size);

} // namespace zr

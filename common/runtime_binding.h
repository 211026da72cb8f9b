// Functions that the oldest Windows these programs load on lack (or have
// only as stubs) are called through pointers looked up by name at run time:
// a static import of such a function would make the loader refuse the whole
// program before main.  A null pointer means "this Windows has none"; every
// caller handles that.
#pragma once

#include <windows.h>

namespace qel {

// Looks a function up by name in an already loaded module.
template <typename Fn>
Fn BindByName(HMODULE module, const char* name)
{
    if (!module)
        return nullptr;
    // GetProcAddress returns a generic FARPROC: the cast through void* keeps
    // compilers from warning about the cast between function types.
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// Looks a function up in kernel32, which every Win32 process has mapped for
// its whole life, so the pointer never dangles.
template <typename Fn>
Fn BindKernel32(const char* name)
{
    return BindByName<Fn>(GetModuleHandleA("kernel32.dll"), name);
}

// A one-time set-up shared by threads, for systems older than
// InitOnceExecuteOnce (Vista): the first caller runs `setUp`, later callers
// wait until it has finished.
struct OnceFlag {
    volatile LONG Claimed = 0;
    volatile LONG Done = 0;
};

template <typename SetUp>
void CallOnce(OnceFlag& flag, SetUp setUp)
{
    if (InterlockedCompareExchange(&flag.Done, 0, 0) != 0)
        return;
    if (InterlockedExchange(&flag.Claimed, 1) != 0) {
        while (InterlockedCompareExchange(&flag.Done, 0, 0) == 0)
            Sleep(10);
        return;
    }
    setUp();
    InterlockedExchange(&flag.Done, 1);
}

} // namespace qel

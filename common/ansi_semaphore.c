/*
 * The 32-bit mingw-w64 runtime (its win32 thread model, in libgcc) makes the
 * semaphores behind its mutexes with CreateSemaphoreW: C++ static-local
 * initialisation, exception-frame registration and emulated thread-local
 * storage all rest on them.  On Windows 95/98/Me that function is a stub that
 * fails, so a contended runtime mutex would fail to lock and, for a static
 * local, end the program.  Linking this object in front of the import library
 * points the runtime's import slot at CreateSemaphoreA, which every Windows
 * has.  The runtime passes no name; a name is converted for completeness.
 *
 * Only the shipped 32-bit programs link this file (mingw-w64 builds only); a
 * 64-bit program never runs on the 9x family.
 */
#if defined(__MINGW32__) && defined(__i386__)

#include <windows.h>

static HANDLE WINAPI CreateSemaphoreWithAnsiName(LPSECURITY_ATTRIBUTES attributes, LONG initialCount,
                                                 LONG maximumCount, LPCWSTR wideName)
{
    char name[MAX_PATH];
    if (wideName == NULL)
        return CreateSemaphoreA(attributes, initialCount, maximumCount, NULL);
    if (WideCharToMultiByte(CP_ACP, 0, wideName, -1, name, (int)sizeof(name), NULL, NULL) == 0)
        return NULL; /* too long for a kernel object name: GetLastError says why */
    return CreateSemaphoreA(attributes, initialCount, maximumCount, name);
}

/* The import slot the runtime calls through (stdcall, 16 bytes of arguments). */
HANDLE(WINAPI* const ansiSemaphoreImport)(LPSECURITY_ATTRIBUTES, LONG, LONG, LPCWSTR)
    __asm__("__imp__CreateSemaphoreW@16") = CreateSemaphoreWithAnsiName;

#else
/* ISO C wants at least one declaration in a translation unit. */
typedef int qelAnsiSemaphoreUnused;
#endif

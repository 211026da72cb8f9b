// Move-only owners for Win32 handles, keys and locks, so that no path can
// forget to close what it opened.
#pragma once

#include <windows.h>

namespace qel {

// Traits give the handle type, its invalid value and how to close it.
template <typename Traits>
class ScopedHandle {
public:
    using Type = typename Traits::Type;

    ScopedHandle() noexcept : handle_(Traits::Invalid()) {}
    explicit ScopedHandle(Type handle) noexcept : handle_(handle) {}
    ~ScopedHandle() { reset(); }

    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;
    ScopedHandle(ScopedHandle&& other) noexcept : handle_(other.release()) {}
    ScopedHandle& operator=(ScopedHandle&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }

    Type get() const noexcept { return handle_; }
    bool valid() const noexcept { return handle_ != Traits::Invalid(); }
    explicit operator bool() const noexcept { return valid(); }

    // Gives the handle up without closing it (ownership moves to the caller).
    Type release() noexcept
    {
        Type handle = handle_;
        handle_ = Traits::Invalid();
        return handle;
    }

    // Closes the held handle and takes the new one.  The caller's last-error
    // value survives, so a failure branch can reset and then read it.
    void reset(Type handle = Traits::Invalid()) noexcept
    {
        if (handle_ != Traits::Invalid() && handle_ != handle) {
            DWORD lastError = GetLastError();
            Traits::Close(handle_);
            SetLastError(lastError);
        }
        handle_ = handle;
    }

    // For APIs that fill a handle through a pointer.
    Type* put() noexcept
    {
        reset();
        return &handle_;
    }

private:
    Type handle_;
};

struct KernelHandleTraits {
    using Type = HANDLE;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type h) noexcept { CloseHandle(h); }
};

// Files and Toolhelp snapshots use INVALID_HANDLE_VALUE for "none".
struct FileHandleTraits {
    using Type = HANDLE;
    static Type Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(Type h) noexcept { CloseHandle(h); }
};

struct RegKeyTraits {
    using Type = HKEY;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type h) noexcept { RegCloseKey(h); }
};

struct ServiceHandleTraits {
    using Type = SC_HANDLE;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type h) noexcept { CloseServiceHandle(h); }
};

struct EventSourceTraits {
    using Type = HANDLE;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type h) noexcept { DeregisterEventSource(h); }
};

struct LibraryTraits {
    using Type = HMODULE;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type h) noexcept { FreeLibrary(h); }
};

using UniqueHandle = ScopedHandle<KernelHandleTraits>;
using UniqueFileHandle = ScopedHandle<FileHandleTraits>;
using UniqueRegKey = ScopedHandle<RegKeyTraits>;
using UniqueServiceHandle = ScopedHandle<ServiceHandleTraits>;
using UniqueEventSource = ScopedHandle<EventSourceTraits>;
using UniqueLibrary = ScopedHandle<LibraryTraits>;

// Holds a critical section for one scope.
class CriticalSectionLock {
public:
    explicit CriticalSectionLock(CRITICAL_SECTION& section) noexcept : section_(section)
    {
        EnterCriticalSection(&section_);
    }
    ~CriticalSectionLock() { LeaveCriticalSection(&section_); }
    CriticalSectionLock(const CriticalSectionLock&) = delete;
    CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

private:
    CRITICAL_SECTION& section_;
};

// One hold of a mutex that the caller has already acquired by waiting;
// released once when the scope ends.
class MutexHold {
public:
    MutexHold() noexcept = default;
    explicit MutexHold(HANDLE mutex) noexcept : mutex_(mutex) {}
    ~MutexHold() { reset(); }
    MutexHold(const MutexHold&) = delete;
    MutexHold& operator=(const MutexHold&) = delete;

    void reset() noexcept
    {
        if (mutex_)
            ReleaseMutex(mutex_);
        mutex_ = nullptr;
    }

private:
    HANDLE mutex_ = nullptr;
};

// Starts a thread and returns its owner (empty on failure, GetLastError set).
// Windows 95 and 98 refuse CreateThread without a place for the thread id, so
// every thread of the shipped programs starts here.
inline UniqueHandle StartThread(LPTHREAD_START_ROUTINE routine, void* argument) noexcept
{
    DWORD threadId = 0;
    return UniqueHandle(CreateThread(nullptr, 0, routine, argument, 0, &threadId));
}

} // namespace qel

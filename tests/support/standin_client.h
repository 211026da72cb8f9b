// Helpers for tests that run the stand-in client zr.exe: the desktop it
// needs, its state keys, window look-ups.
#pragma once

#include <windows.h>

#include <string>

#include "../../standin-zr/standin_values.h"
#include "program_run.h"
#include "win_handles.h"

namespace qeltest {

// Brings this process's desktop up before a copy of the stand-in starts.
// Wine ends its desktop process a few seconds after the last program with
// windows, and starts it again for the first GUI program after that; a copy
// that is that first program waits for it in a way that counts as
// input-idle, before it has created any window (its launch then fails with
// code 3 or 4).  A window of the test process starts the desktop first.
void BringUpDesktop();

// HKLM path of the stand-in state key of a client index (cache, cache2, ...).
// The helpers below reach these keys, and the config key, in the product's
// registry view, where the supervisor and the stand-in meet.
std::string StandInKeyPath(unsigned clientIndex);
void SetStandInValue(unsigned clientIndex, const char* name, DWORD value);
DWORD ReadStandInDword(unsigned clientIndex, const char* name, DWORD missing = 0);
std::string ReadStandInString(unsigned clientIndex, const char* name);
void DeleteStandInKey(unsigned clientIndex);

// A client's state key ("Software\Morl\qel\cache" + suffix under HKLM),
// emptied when the test takes it and deleted when the scope ends.
class ClientStateKey {
public:
    explicit ClientStateKey(unsigned clientIndex);
    ~ClientStateKey();
    ClientStateKey(const ClientStateKey&) = delete;
    ClientStateKey& operator=(const ClientStateKey&) = delete;

    const std::string& Path() const { return path_; }
    void Set(const char* name, DWORD value) const;
    bool Has(const char* name) const;
    DWORD Dword(const char* name) const;  // 0 when missing
    ULONGLONG Qword(const char* name) const;
    std::string Text(const char* name) const;
    // Polls every 20 ms until the value exists; false when timeoutMs ran out.
    bool WaitFor(const char* name, DWORD timeoutMs) const;
    // Polls until the DWORD value equals expected.
    bool WaitForDword(const char* name, DWORD expected, DWORD timeoutMs) const;

private:
    unsigned index_;
    std::string path_;
};

// Keeps HKLM "Software\Morl\qel\config" as it was: the "ClientKey" value (and
// the key itself, when the test run created it) are put back at scope exit.
class ConfigKeyGuard {
public:
    ConfigKeyGuard();
    ~ConfigKeyGuard();
    ConfigKeyGuard(const ConfigKeyGuard&) = delete;
    ConfigKeyGuard& operator=(const ConfigKeyGuard&) = delete;

private:
    bool keyExisted_ = false;
    bool valueExisted_ = false;
    std::string value_;
};

// The current "ClientKey" text ("" when missing).
std::string ReadClientKeyValue();

// The handle that a copy started with ObserverPid = our id handed us, taken
// over (the value is removed so no one takes it twice); null when none.
HANDLE TakeObserverHandle(const ClientStateKey& state, DWORD timeoutMs);

// The window PROGRESS_DISTANCE places before startButton in z-order.
HWND ProgressTextOf(HWND startButton);
std::string WindowText(HWND window);

// One slot's worth of launch outputs.
struct LaunchSlot {
    HANDLE ProcessHandle = nullptr;
    DWORD ProcessId = 0;
    HWND MainWindow = nullptr;
    HWND StartButton = nullptr;
    DWORD MainThreadId = 0;
};

// LaunchClient with its outputs going to the slot (the main thread id only
// when withMainThreadId).
int LaunchInto(const std::string& exePath, unsigned clientIndex, DWORD affinityMask, int trueIdle, LaunchSlot& slot,
               bool withMainThreadId = true);

// Ids of the running zr.exe processes (Toolhelp), up to maxIds.
int RunningStandinIds(DWORD* ids, int maxIds);

} // namespace qeltest

// The supervisor state that both hosts carry: settings, client slots, the
// affinity table, the synchronisation objects and the request flags, with the
// run loop that works on them.
#pragma once

#include "activity_log.h"
#include "object_security.h"
#include "client_report.h"
#include "service_params.h"
#include "status_store.h"
#include "win_handles.h"

// Timing of the supervisor.  The shipped programs always use these values;
// tests shorten them through this member of the object, nothing else.
struct SupervisorTimings {
    DWORD MainWaitMs = 30000;            // one wait of the run loop
    LONG StallCountdown = 10;            // stall check every (this + 1) main waits
    DWORD RetryWaitMs = 500;             // between launch retries
    DWORD MutexWaitMs = 2000;            // for SettingsMutex at start-up
    DWORD TrayPauseMs = 20000;           // after "TaskbarCreated"
    DWORD StopWaitPerClientMs = 5000;    // OnStop's wait, per client
    DWORD StopConfirmDelayMs = 1000;     // StopClient waitMs, ordinary stops
    DWORD KeepVisibleConfirmDelayMs = 2000; // StopClient waitMs, tray restart
    // Launches of one slot in a row (500 ms apart with MonitorRestart) before
    // a start or tray restart moves on to the next slot: one client that can
    // never start must not keep the others from starting.
    DWORD StartAttempts = 3;
    // Later attempts for an empty slot (MonitorRestart): the first after
    // 10 s, then doubling up to 5 minutes, so that a slot that can never
    // start costs about a dozen attempts an hour.  The crash-loop throttle
    // uses the same sequence.
    DWORD RetryBackoffFirstMs = 10000;
    DWORD RetryBackoffCapMs = 300000;
    // A client that ends sooner than this after its launch failed quickly.
    DWORD QuickFailureWindowMs = 60000;
    // How long a stop that ran past its bound still waits for the run loop
    // (reporting progress) before the host gives up on it.
    DWORD StopProgressLimitMs = 60000;
    // A series of repeated events of one kind for one slot ends after this
    // long without one (see EventSeries).
    ULONGLONG EventQuietMs = 24ull * 60 * 60 * 1000;
};

// Which settings load applies: the 9x host fixes the client count and type.
enum class SettingsRules { NT, Windows9x };

class SupervisorCore : public ServiceLogContext {
public:
    // serviceName must outlive the object (it is the host's ServiceName).
    explicit SupervisorCore(const char* serviceName);
    SupervisorCore(const SupervisorCore&) = delete;
    SupervisorCore& operator=(const SupervisorCore&) = delete;

    // Construction steps; each host calls them in its own order.
    void SetLogPath();                       // "qelsvc.log" beside the exe
    void LoadParams(SettingsRules rules);    // fills Params, logs 5 lines
    // Writes Params to the key; ERROR_SUCCESS, or the code of the first
    // write that failed (the caller reports it).
    DWORD SaveParams() const;
    // StopEvent, StoppedEvent and SettingsMutex as a console needs it;
    // false when any is missing.  The mutex is opened with the rights a
    // console needs (wait, release), or created with the SYSTEM +
    // Administrators descriptor.  A console that may not name Administrators
    // as its owner and finds none gets a private stand-in instead: no
    // supervisor runs then (it would have made the name), so there is
    // nothing to guard against, and a mutex made with that console as owner
    // would only stand in a later service start's way.
    bool CreateSyncObjects();
    // For the host that is about to run the supervisor: SettingsMutex becomes
    // the machine's settings mutex whoever made it, made by this process
    // when none exists.  One made by another account is used all the same
    // (what counts is who holds it, decided by waiting) and logged once:
    // *trust says so.  False when it cannot be opened at all: logged, with
    // the code in SettingsMutexError.
    bool ClaimSettingsMutex(qel::MutexTrust* trust);
    DWORD SettingsMutexError = ERROR_SUCCESS;

    // How a call of Run ended.
    enum class RunOutcome {
        Stopped,              // every client was stopped on a stop request
        SettingsMutexBusy,    // another supervisor holds SettingsMutex: nothing ran
        SettingsMutexFailed,  // the wait for it failed (SettingsMutexError): nothing ran
    };
    // The run loop (returns after every client was stopped, or at once when
    // another supervisor holds SettingsMutex or it cannot be waited on).
    RunOutcome Run();

    // The stop request of both hosts' OnStop: sets StopRequested, and when
    // `running` is set, wakes the loop, waits for StoppedEvent up to
    // NumClients x 5000 ms, clears `running` and logs "Service Stopped".
    // With a progress callback the wait is cut into STOP_PROGRESS_STEP_MS
    // slices and the callback runs after each one that did not end it (the
    // NT service re-reports its stop-pending state from there).  When the
    // wait ran out, progress is still reported until StoppedEvent, for at
    // most Timings.StopProgressLimitMs.  True when the run loop has finished
    // (or was not running), also when it finished during the last slice;
    // false when it is still stopping clients after all that.
    using StopProgressCallback = void (*)(void* context);
    bool StopAndWait(volatile BOOL& running, StopProgressCallback progress = nullptr,
                     void* progressContext = nullptr);
    static constexpr DWORD STOP_PROGRESS_STEP_MS = 1000;

    qel::UniqueHandle StopEvent;     // manual reset: wakes the run loop
    qel::UniqueHandle StoppedEvent;  // manual reset: all clients stopped
    qel::UniqueHandle SettingsMutex; // SettingsMutexName()

    ServiceParams Params;

    // Requests to the run loop: set the flag, then StopEvent.
    volatile LONG StopRequested = 0;
    volatile LONG KeepVisibleRestart = 0;
    volatile LONG QueueEventPending = 0;
    HWND volatile TrayWindow = nullptr;

    ClientSlots Slots;
    AffinityTableType AffinityTable = {};
    SupervisorTimings Timings;

    // Where the run loop's events (on its thread) and the log's own (on
    // any writer's) go: the NT host's event log; null (the 9x host) writes
    // none.
    void SetEventSink(SupervisorEventSink sink, void* context)
    {
        EventSink = sink;
        EventContext = context;
    }

    // The version the status key shows, "1.6".
    void SetVersion(int major, int minor);
    char Version[16] = "";

    // The live status key, and the launches of each slot since this
    // process started (restarts are the launches after the first).
    StatusStore Status;
    DWORD Launches[MAX_CLIENTS] = {};
};

constexpr const char SETTINGS_MUTEX_NAME[] = "KorvaneSvcMutex";
constexpr const char GLOBAL_SETTINGS_MUTEX_NAME[] = "Global\\KorvaneSvcMutex";

// The settings mutex must be one object per machine, or a console in another
// session than the service's would rewrite the queue while the service runs
// (see MachineWideNamesApplyFor).  Used by both programs and the console
// commands.
const char* SettingsMutexName();

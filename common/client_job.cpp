#include "client_job.h"

#include "runtime_binding.h"

namespace {

using CreateJobObjectAFn = HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, LPCSTR);
using SetInformationJobObjectFn = BOOL(WINAPI*)(HANDLE, JOBOBJECTINFOCLASS, LPVOID, DWORD);
using AssignProcessToJobObjectFn = BOOL(WINAPI*)(HANDLE, HANDLE);

// Set up once per process.  The job handle is deliberately never closed by
// this program: its close, by the system when the process ends, is what ends
// the clients.  Before that every client has been stopped the orderly way.
qel::OnceFlag g_setupOnce;
HANDLE g_job = nullptr;
DWORD g_setupError = ERROR_SUCCESS;
AssignProcessToJobObjectFn g_assign = nullptr;
volatile LONG g_lastResult = ERROR_SUCCESS;

// A job whose processes end when the job's last handle closes, or the
// reason there is none.
DWORD CreateClientJob()
{
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    if (!kernel)
        return GetLastError();
    CreateJobObjectAFn createJob = qel::BindByName<CreateJobObjectAFn>(kernel, "CreateJobObjectA");
    SetInformationJobObjectFn setInformation = qel::BindByName<SetInformationJobObjectFn>(kernel, "SetInformationJobObject");
    AssignProcessToJobObjectFn assign = qel::BindByName<AssignProcessToJobObjectFn>(kernel, "AssignProcessToJobObject");
    if (!createJob || !setInformation || !assign)
        return ERROR_CALL_NOT_IMPLEMENTED;

    // Unnamed and not inheritable: a handle held by anyone else would keep
    // the job, and so the clients, alive after this process.
    HANDLE job = createJob(nullptr, nullptr);
    if (!job)
        return GetLastError();
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!setInformation(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        // A job that does not end its processes would tie nothing.
        DWORD error = GetLastError();
        CloseHandle(job);
        return error;
    }
    g_job = job;
    g_assign = assign;
    return ERROR_SUCCESS;
}

void SetUpOnce()
{
    qel::CallOnce(g_setupOnce, [] { g_setupError = CreateClientJob(); });
}

} // namespace

DWORD TieClientToSupervisor(HANDLE process)
{
    SetUpOnce();
    DWORD result = g_setupError;
    if (result == ERROR_SUCCESS && !g_assign(g_job, process)) {
        result = GetLastError();
        // A failure that left no code still must not read as success.
        if (result == ERROR_SUCCESS)
            result = ERROR_ACCESS_DENIED;
    }
    InterlockedExchange(&g_lastResult, static_cast<LONG>(result));
    return result;
}

DWORD LastClientTieResult()
{
    return static_cast<DWORD>(InterlockedCompareExchange(&g_lastResult, 0, 0));
}

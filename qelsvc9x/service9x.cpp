#include "service9x.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "activity_log.h"
#include "runtime_binding.h"
#include "win_handles.h"

namespace {

void ModulePath(char (&path)[MAX_PATH])
{
    path[0] = '\0';
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    // Windows XP and 9x leave the buffer unterminated when the path fills it.
    path[MAX_PATH - 1] = '\0';
}

void ShowBox(const char* caption, const char* format, ...)
{
    char text[BOX_TEXT_SIZE];
    va_list args;
    va_start(args, format);
    FormatBounded(text, sizeof text, format, args);
    va_end(args);
    MessageBoxA(nullptr, text, caption, MB_OK);
}

} // namespace

bool FormatRunServicesCommand(char* out, size_t outSize, const char* modulePath)
{
    const char* format = strchr(modulePath, ' ') ? "\"%s\"" : "%s";
    int written = snprintf(out, outSize, format, modulePath);
    return written > 0 && static_cast<size_t>(written) < outSize;
}

C9xService::C9xService(const char* serviceName)
{
    snprintf(ServiceName, sizeof ServiceName, "%s", serviceName ? serviceName : "");
    AckMessage = RegisterWindowMessageA(ACK_MESSAGE_NAME);
    RequestMessage = RegisterWindowMessageA(REQUEST_MESSAGE_NAME);
}

C9xService::~C9xService()
{
    TraceDebug(ServiceName, "CNTService::~CNTService()");
}

void C9xService::Run()
{
    TraceDebug(ServiceName, "Entering CNTService::Run()");
    while (Running) {
        TraceDebug(ServiceName, "Sleeping...");
        Sleep(5000);
    }
    TraceDebug(ServiceName, "Leaving CNTService::Run()");
}

void C9xService::OnStop()
{
    TraceDebug(ServiceName, "CNTService::OnStop()");
    Running = FALSE;
}

void C9xService::OnShutdown()
{
    OnStop();
}

bool C9xService::RegisterAsServiceProcess()
{
    using RegisterServiceProcessFunction = DWORD(WINAPI*)(DWORD processId, DWORD type);
    auto registerProcess = qel::BindKernel32<RegisterServiceProcessFunction>("RegisterServiceProcess");
    if (!registerProcess)
        return false;
    // Process id 0 is the calling process; type 1 is RSP_SIMPLE_SERVICE.
    return registerProcess(0, 1) != 0;
}

bool C9xService::QueryInstalled()
{
    qel::UniqueRegKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, RUN_SERVICES_KEY, 0, KEY_READ, key.put()) != ERROR_SUCCESS)
        return false;
    return RegQueryValueExA(key.get(), ServiceName, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

bool C9xService::InstallService()
{
    qel::UniqueRegKey key;
    LONG status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, RUN_SERVICES_KEY, 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, key.put(), nullptr);
    if (status != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(status));
        return false;
    }
    char modulePath[MAX_PATH];
    ModulePath(modulePath);
    char command[MAX_PATH + 2];
    if (!FormatRunServicesCommand(command, sizeof command, modulePath)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    // The stored length counts the terminating NUL.
    status = RegSetValueExA(key.get(), ServiceName, 0, REG_SZ, reinterpret_cast<const BYTE*>(command),
                            static_cast<DWORD>(strlen(command) + 1));
    if (status != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(status));
        return false;
    }
    return true;
}

bool C9xService::RemoveService()
{
    qel::UniqueRegKey key;
    LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, RUN_SERVICES_KEY, 0, KEY_ALL_ACCESS, key.put());
    if (status != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(status));
        return false;
    }
    status = RegDeleteValueA(key.get(), ServiceName);
    if (status != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(status));
        return false;
    }
    return true;
}

void C9xService::ShowFailure(const char* caption, const char* format)
{
    DWORD error = GetLastError();
    CommandExitCode = error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
    ShowBox(caption, format, ServiceName, static_cast<int>(error));
}

int C9xService::HandleStandardCommand(int argc, char** argv)
{
    if (argc <= 1 || !argv[1])
        return 0;
    const char* argument = argv[1];

    if (_stricmp(argument, "-v") == 0) {
        SkipRestartRequest = 1;
        ShowBox("Version", "%s Version %d.%d\nThe service is %s installed.", ServiceName, MajorVersion,
                MinorVersion, QueryInstalled() ? "currently" : "not");
        return 1;
    }
    if (_stricmp(argument, "-i") == 0) {
        if (QueryInstalled())
            ShowBox("Service Install", "%s is already installed\n", ServiceName);
        else if (InstallService())
            ShowBox("Service Install", "%s installed\n", ServiceName);
        else
            ShowFailure("Service Install", "%s failed to install. Error %d\n");
        return 1;
    }
    if (_stricmp(argument, "-u") == 0) {
        SkipRestartRequest = 1;
        if (!QueryInstalled()) {
            ShowBox("Service Uninstall", "%s is not installed\n", ServiceName);
        } else if (RemoveService()) {
            char modulePath[MAX_PATH];
            ModulePath(modulePath);
            ShowBox("Service Uninstall", "%s removed. (You must delete the file (%s) yourself.)\n", ServiceName,
                    modulePath);
        } else {
            ShowFailure("Service Uninstall", "Could not remove %s. Error %d\n");
        }
        return 1;
    }
    return 0;
}

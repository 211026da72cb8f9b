#include <gtest/gtest.h>
#include <windows.h>
#include <sddl.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "debug_trace_capture.h"
#include "log_lines.h"
#include "mutex_holder.h"
#include "nt_service.h"
#include "object_security.h"
#include "program_run.h"
#include "registry_scratch.h"
#include "service_control.h"
#include "supervisor_service.h"
#include "win_handles.h"

using namespace qeltest;

namespace {

constexpr char kServiceName[] = "Korvane service";
constexpr char kSettingsKey[] = "Software\\Morl\\qel\\svcparms";

// Every test starts and ends with no service installed and one client
// configured, so a started service has little to do.
class ServiceCommands : public ::testing::Test {
protected:
    void SetUp() override
    {
        RemoveServiceIfPresent(kServiceName, 60000);
        WriteDword(HKEY_LOCAL_MACHINE, kSettingsKey, "NumClients", 1);
        ASSERT_EQ(1u, ReadDword(HKEY_LOCAL_MACHINE, kSettingsKey, "NumClients", 0));
    }
    void TearDown() override
    {
        RemoveServiceIfPresent(kServiceName, 60000);
        DeleteKey(HKEY_LOCAL_MACHINE, kSettingsKey);
    }

    FastDispatcherFailure dispatcher_;
};

// A service object whose hooks only record that they were called.
class RecordingService : public CNTService {
public:
    RecordingService() : CNTService("Recording service") {}
    void OnStop() override { ++stops; }
    void OnShutdown() override { ++shutdowns; }
    BOOL OnUserControl(DWORD code) override
    {
        lastUserCode = code;
        return TRUE;
    }
    int stops = 0;
    int shutdowns = 0;
    DWORD lastUserCode = 0;
};

} // namespace

TEST(MessageTable, AnswersEveryEventId)
{
    qel::UniqueLibrary module(
        LoadLibraryExA(PathBesideTest("qelsvc.exe").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    ASSERT_TRUE(module.valid());
    struct Case {
        DWORD id;
        const char* text;
    } cases[] = {
        {100, "The Korvane service service was installed.\r\n"},
        {101, "The Korvane service service was removed.\r\n"},
        {102, "The Korvane service service could not be removed.\r\n"},
        {103, "The control handler could not be installed.\r\n"},
        {104, "The initialization process failed.\r\n"},
        {105, "The service was started.\r\n"},
        {106, "The service received an unsupported request.\r\n"},
        {107, "Debug: Korvane service\r\n"},
        {108, "The service was stopped.\r\n"},
        {109, "The service stopped without starting any client because of the settings mutex Korvane service: "
              "why\r\n"},
    };
    for (const Case& c : cases) {
        const char* inserts[] = {kServiceName, "why"};
        char text[256] = {};
        DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, module.get(),
                                      c.id, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), text, sizeof text,
                                      reinterpret_cast<va_list*>(const_cast<char**>(inserts)));
        EXPECT_NE(0u, length) << c.id;
        EXPECT_STREQ(c.text, text) << c.id;
    }
}

TEST(VersionResource, NamesTheProgramAndVersion)
{
    std::string path = PathBesideTest("qelsvc.exe");
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(path.c_str(), &handle);
    ASSERT_NE(0u, size);
    std::string block(size, '\0');
    ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, &block[0]));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixedSize = 0;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &fixedSize));
    EXPECT_EQ(MAKELONG(6, 1), fixed->dwFileVersionMS);
    EXPECT_EQ(MAKELONG(1, 0), fixed->dwFileVersionLS);

    struct Case {
        const char* name;
        const char* value;
    } strings[] = {
        {"FileDescription", "QEL Client Service Executable"}, {"ProductName", "QEL Client Service Executable"},
        {"InternalName", "qelsvc"},                           {"OriginalFilename", "qelsvc.exe"},
        {"FileVersion", "1, 6, 0, 1"},                        {"ProductVersion", "1, 6, 0, 1"},
    };
    for (const Case& s : strings) {
        char* value = nullptr;
        UINT length = 0;
        std::string query = std::string("\\StringFileInfo\\040904b0\\") + s.name;
        ASSERT_TRUE(VerQueryValueA(block.data(), query.c_str(), reinterpret_cast<void**>(&value), &length))
            << s.name;
        EXPECT_STREQ(s.value, value);
    }
    DWORD* translation = nullptr;
    UINT translationSize = 0;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation),
                               &translationSize));
    EXPECT_EQ(MAKELONG(0x0409, 0x04B0), *translation);
}

// Without a manifest an unelevated 32-bit console's settings writes would be
// redirected to its VirtualStore and "succeed" where the service never looks.
TEST(ManifestResource, BothProgramsRunAsInvoker)
{
    for (const char* program : {"qelsvc.exe", "qelsvc9x.exe"}) {
        qel::UniqueLibrary module(LoadLibraryExA(PathBesideTest(program).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
        ASSERT_TRUE(module.valid()) << program;
        HRSRC resource = FindResourceA(module.get(), MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
        ASSERT_NE(nullptr, resource) << program;
        HGLOBAL loaded = LoadResource(module.get(), resource);
        std::string text(static_cast<const char*>(LockResource(loaded)), SizeofResource(module.get(), resource));
        EXPECT_NE(std::string::npos, text.find("<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>"))
            << program;
    }
}

TEST_F(ServiceCommands, InstallQueryAndRemoveThroughTheCommandLine)
{
    EXPECT_EQ("Korvane service Version 1.6\nThe service is not installed\n", RunQelsvc("-v"));
    EXPECT_EQ("Korvane service is not installed\n", RunQelsvc("-u"));
    EXPECT_EQ("Korvane service installed\n", RunQelsvc("-i"));
    EXPECT_EQ("Korvane service is already installed\n", RunQelsvc("-I"));
    EXPECT_EQ("Korvane service Version 1.6\nThe service is currently installed\n", RunQelsvc("-V"));

    // The stored configuration: own process + interactive, auto start, the
    // executable quoted.
    qel::UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ASSERT_TRUE(manager.valid());
    qel::UniqueServiceHandle service(OpenServiceA(manager.get(), kServiceName, SERVICE_QUERY_CONFIG));
    ASSERT_TRUE(service.valid());
    DWORD needed = 0;
    QueryServiceConfigA(service.get(), nullptr, 0, &needed);
    std::string buffer(needed, '\0');
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(&buffer[0]);
    ASSERT_TRUE(QueryServiceConfigA(service.get(), config, needed, &needed));
    EXPECT_EQ(0x110u, config->dwServiceType);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_AUTO_START), config->dwStartType);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_ERROR_NORMAL), config->dwErrorControl);
    EXPECT_EQ("\"" + PathBesideTest("qelsvc.exe") + "\"", std::string(config->lpBinaryPathName));
    EXPECT_STREQ(kServiceName, config->lpDisplayName);
    EXPECT_STREQ("LocalSystem", config->lpServiceStartName);
    service.reset();

    // The event-log source.
    qel::UniqueRegKey key;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                                           "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Korvane service",
                                           0, KEY_READ, key.put()));
    char messageFile[MAX_PATH] = {};
    DWORD type = 0;
    DWORD size = sizeof messageFile;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(key.get(), "EventMessageFile", nullptr, &type,
                                              reinterpret_cast<BYTE*>(messageFile), &size));
    EXPECT_EQ(static_cast<DWORD>(REG_EXPAND_SZ), type);
    EXPECT_EQ(PathBesideTest("qelsvc.exe"), messageFile);
    EXPECT_EQ(strlen(messageFile) + 1, size);
    DWORD typesSupported = 0;
    size = sizeof typesSupported;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(key.get(), "TypesSupported", nullptr, &type,
                                              reinterpret_cast<BYTE*>(&typesSupported), &size));
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type);
    EXPECT_EQ(7u, typesSupported);

    EXPECT_EQ("Korvane service removed. (You must delete the file (" + PathBesideTest("qelsvc.exe") +
                  ") yourself.)\n",
              RunQelsvc("-u"));
    EXPECT_TRUE(WaitForServiceState(kServiceName, 0, 10000));
    EXPECT_EQ("Korvane service Version 1.6\nThe service is not installed\n", RunQelsvc("-v"));
}

TEST_F(ServiceCommands, ConsoleStartWithoutArgumentsPrintsNothingAndExitsZero)
{
    DWORD exitCode = 0xDEADBEEF;
    EXPECT_EQ("", RunQelsvc("", &exitCode));
    EXPECT_EQ(0u, exitCode);
    // Only whole standard commands count: "-vx" and "/v" go to the dispatcher.
    EXPECT_EQ("", RunQelsvc("-vx", &exitCode));
    EXPECT_EQ(0u, exitCode);
    EXPECT_EQ("", RunQelsvc("/v", &exitCode));
    EXPECT_EQ(0u, exitCode);
}

TEST_F(ServiceCommands, RunsUnderTheServiceControlManager)
{
    DebugTraceCapture trace;
    ASSERT_TRUE(trace.active());
    ASSERT_EQ("Korvane service installed\n", RunQelsvc("-i"));

    ASSERT_TRUE(StartServiceByName(kServiceName));
    ASSERT_TRUE(WaitForServiceState(kServiceName, SERVICE_RUNNING, 30000));
    EXPECT_TRUE(trace.WaitForText("[Korvane service]", 5000));
    EXPECT_TRUE(trace.WaitForText("Entering CNTService::ServiceMain()", 5000));
    EXPECT_TRUE(trace.WaitForText("CNTService::SetStatus(", 5000));
    EXPECT_TRUE(trace.WaitForText("Leaving CNTService::Initialize()", 5000));
    // An upgrade that only replaced the executable gets them as well.
    EXPECT_TRUE(trace.WaitForText("Recovery settings at start: failure actions ", 5000));

    // A user control code reaches OnUserControl and is traced in hex.
    EXPECT_TRUE(ControlServiceByName(kServiceName, 128));
    EXPECT_TRUE(trace.WaitForText("CNTService::Handler(128)", 5000));
    EXPECT_TRUE(trace.WaitForText("CNTService::OnUserControl(00000080H)", 5000));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), QueryServiceState(kServiceName));

    // A removal that cannot be done ends with its error code: the service
    // is only marked for deletion while it runs, and a second -u fails.
    DWORD exitCode = 0xDEADBEEF;
    EXPECT_EQ(0u, RunQelsvc("-u", &exitCode).find("Korvane service removed."));
    EXPECT_EQ(0u, exitCode);
    std::string again = RunQelsvc("-u", &exitCode);
    EXPECT_EQ(0u, again.find("Could not remove Korvane service. Error ")) << again;
    EXPECT_NE(0u, exitCode);
    EXPECT_EQ(std::to_string(exitCode), again.substr(again.rfind(' ') + 1, again.size() - again.rfind(' ') - 2));

    // Marked for deletion, it is gone once it has stopped.
    EXPECT_TRUE(ControlServiceByName(kServiceName, SERVICE_CONTROL_STOP)) << GetLastError();
    EXPECT_TRUE(WaitForServiceState(kServiceName, 0, 60000));
    EXPECT_TRUE(trace.WaitForText("CNTService::Handler(1)", 5000));
    EXPECT_TRUE(trace.WaitForText("Leaving CNTService::ServiceMain()", 5000));
}

namespace {

DWORD ServiceExitCode(const char* serviceName)
{
    qel::UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    qel::UniqueServiceHandle service(OpenServiceA(manager.get(), serviceName, SERVICE_QUERY_STATUS));
    SERVICE_STATUS status = {};
    return service && QueryServiceStatus(service.get(), &status) ? status.dwWin32ExitCode : 0xDEADBEEF;
}

} // namespace

// The service runs whenever it can have the settings mutex, whoever made it:
// only a holder keeps it from running, and only a name it cannot open at all
// makes it refuse.  A service that does not supervise ends with a failure
// code: Windows acts on a failure only when the stopped service reports one.
TEST_F(ServiceCommands, OnlyAHolderOrAnUnusableNameKeepsTheServiceFromRunning)
{
    ASSERT_EQ("Korvane service installed\n", RunQelsvc("-i"));
    // The name qelsvc.exe uses at the version it runs as.
    const std::string name = NameForTestedProgram("qelsvc.exe", SETTINGS_MUTEX_NAME);
    const std::string logPath = PathBesideTest("qelsvc.log");
    const std::string foreignLine = "Settings mutex " + name + " was made by another account - used all the same";

    // Made first by another account (a console without administrator rights,
    // say) while the service was stopped...
    PSECURITY_DESCRIPTOR usersOwn = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA("O:BUD:(A;;GA;;;WD)", SDDL_REVISION_1,
                                                                     &usersOwn, nullptr));
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, usersOwn, FALSE};
    qel::UniqueHandle squatted(CreateMutexA(&attributes, FALSE, name.c_str()));
    LocalFree(usersOwn);
    ASSERT_TRUE(squatted.valid());
    long long logOffset = FileSize(logPath);
    {
        // ...and held: the busy case, as for any other holder.
        ForeignMutexHolder otherSupervisor(name.c_str());
        ASSERT_TRUE(otherSupervisor.Held());
        ASSERT_TRUE(StartServiceByName(kServiceName));
        ASSERT_TRUE(WaitForServiceState(kServiceName, SERVICE_STOPPED, 30000));
    }
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING), ServiceExitCode(kServiceName));
    EXPECT_TRUE(LinesInOrder(ReadLogLines(logPath, logOffset), {foreignLine, "Service already running...abort"}));

    // Not held: the service supervises, having said once who made the name.
    logOffset = FileSize(logPath);
    ASSERT_TRUE(StartServiceByName(kServiceName));
    ASSERT_TRUE(WaitForServiceState(kServiceName, SERVICE_RUNNING, 30000));
    ASSERT_TRUE(ControlServiceByName(kServiceName, SERVICE_CONTROL_STOP));
    ASSERT_TRUE(WaitForServiceState(kServiceName, SERVICE_STOPPED, 60000));
    EXPECT_EQ(0u, ServiceExitCode(kServiceName));
    std::vector<std::string> lines = ReadLogLines(logPath, logOffset);
    EXPECT_TRUE(LinesInOrder(lines, {foreignLine, "Starting Service", "Client Stop completed"}));
    EXPECT_EQ(1, CountLines(lines, foreignLine));
    squatted.reset();

    // A name taken by an object of another kind cannot be waited on at all.
    qel::UniqueHandle event(CreateEventA(nullptr, TRUE, FALSE, name.c_str()));
    ASSERT_TRUE(event.valid());
    logOffset = FileSize(logPath);
    ASSERT_TRUE(StartServiceByName(kServiceName));
    ASSERT_TRUE(WaitForServiceState(kServiceName, SERVICE_STOPPED, 30000));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), ServiceExitCode(kServiceName));
    EXPECT_TRUE(LinesInOrder(ReadLogLines(logPath, logOffset),
                             {"Settings mutex " + name + " cannot be used (error 6)...abort"}));
}

TEST(ServiceObject, CutsLongNamesTo63Characters)
{
    std::string longName(80, 'n');
    CNTService service(longName.c_str());
    EXPECT_EQ(std::string(63, 'n'), service.ServiceName);
    EXPECT_EQ(&service, CNTService::Instance);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), service.Status.dwCurrentState);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN), service.Status.dwControlsAccepted);
    EXPECT_EQ(1, service.MajorVersion);
    EXPECT_EQ(0, service.MinorVersion);
}

// Wine never sends a shutdown request, so the handler is called directly.
// Stop, shutdown and pre-shutdown run on a thread of their own: the handler
// has returned long before they end.
TEST(ServiceHandler, DispatchesEachControlCode)
{
    RecordingService service;
    service.StopWaitHint = 4500;
    service.Running = TRUE;
    service.Status.dwCurrentState = SERVICE_RUNNING;

    CNTService::Handler(SERVICE_CONTROL_SHUTDOWN);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOP_PENDING), service.Status.dwCurrentState);
    EXPECT_EQ(4500u, service.Status.dwWaitHint);
    EXPECT_EQ(1u, service.Status.dwCheckPoint);
    ASSERT_TRUE(service.WaitStopWork(5000));
    EXPECT_EQ(1, service.shutdowns);
    EXPECT_TRUE(service.Running);  // the derived OnShutdown decides
    service.ReportStopProgress();
    EXPECT_EQ(2u, service.Status.dwCheckPoint);
    EXPECT_EQ(CNTService::STOP_PROGRESS_HINT_MS, service.Status.dwWaitHint);

    CNTService::Handler(SERVICE_CONTROL_PRESHUTDOWN);
    ASSERT_TRUE(service.WaitStopWork(5000));
    EXPECT_EQ(2, service.shutdowns);

    service.Status.dwCurrentState = SERVICE_RUNNING;
    CNTService::Handler(0);
    CNTService::Handler(6);
    CNTService::Handler(127);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), service.Status.dwCurrentState);
    EXPECT_EQ(0u, service.lastUserCode);
    service.ReportStopProgress();  // not stopping: no checkpoint
    EXPECT_EQ(1u, service.Status.dwCheckPoint);

    EXPECT_EQ(static_cast<DWORD>(NO_ERROR), CNTService::HandlerEx(200, 0, nullptr, nullptr));
    EXPECT_EQ(200u, service.lastUserCode);

    CNTService::Handler(SERVICE_CONTROL_STOP);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOP_PENDING), service.Status.dwCurrentState);
    ASSERT_TRUE(service.WaitStopWork(5000));
    EXPECT_EQ(1, service.stops);
    EXPECT_FALSE(service.Running);

    // A stop that arrives as the run ends must not report stop-pending
    // after the final stopped report.
    service.FinishRun();
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), service.Status.dwCurrentState);
    CNTService::Handler(SERVICE_CONTROL_STOP);
    CNTService::Handler(SERVICE_CONTROL_SHUTDOWN);
    ASSERT_TRUE(service.WaitStopWork(5000));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), service.Status.dwCurrentState);
    EXPECT_EQ(1, service.stops);
    EXPECT_EQ(2, service.shutdowns);
}

namespace {

DWORD g_endedWith = 0;
void RecordProcessEnd(DWORD exitCode) { g_endedWith = exitCode; }

} // namespace

// Every wait of a stop is bounded, but a run loop that never finishes must
// not keep the service in stop-pending for ever: after the last limit it
// reports stopped and ends its process.  The stop was asked for, so it is
// reported without an error code (Windows would start the service again).
// A run that has ended by then is never forced.
TEST_F(ServiceCommands, AStopThatCannotFinishEndsTheProcess)
{
    std::string logPath = PathBesideTest("qelsvc.log");
    const std::string forced = "Stop still unfinished after 1 more seconds: ending the service process";
    for (bool runEnds : {false, true}) {
        CSupervisorService service;
        service.Core.Params.NumClients = 1;
        service.Core.Timings.StopWaitPerClientMs = 100;
        service.Core.Timings.StopProgressLimitMs = 1500;
        service.EndProcess = RecordProcessEnd;
        g_endedWith = 0xDEADBEEF;
        long long logOffset = FileSize(logPath);
        service.Running = TRUE;  // no run loop: StoppedEvent never comes
        service.Status.dwCurrentState = SERVICE_RUNNING;

        CNTService::Handler(SERVICE_CONTROL_STOP);
        if (runEnds)
            service.FinishRun();  // as when Run returns: waits for the stop work
        ASSERT_TRUE(service.WaitStopWork(10000));
        EXPECT_EQ(runEnds ? 0xDEADBEEF : static_cast<DWORD>(NO_ERROR), g_endedWith) << runEnds;
        EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), service.Status.dwCurrentState) << runEnds;
        EXPECT_EQ(static_cast<DWORD>(NO_ERROR), service.Status.dwWin32ExitCode) << runEnds;
        std::vector<std::string> lines = ReadLogLines(logPath, logOffset);
        EXPECT_TRUE(LinesInOrder(lines, {"Timeout on client stop", "Service Stopped"})) << runEnds;
        EXPECT_EQ(runEnds ? 0 : 1, CountLines(lines, forced)) << runEnds;
        // Nothing is reported after that, whatever arrives.
        CNTService::Handler(SERVICE_CONTROL_STOP);
        service.ReportStopProgress();
        EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), service.Status.dwCurrentState);
        EXPECT_EQ(0u, service.Status.dwCheckPoint);
    }
}

namespace {

std::vector<std::pair<DWORD, std::vector<DWORD>>>& RecoveryCalls()
{
    static std::vector<std::pair<DWORD, std::vector<DWORD>>> calls;
    return calls;
}

// Stands in for ChangeServiceConfig2A: records what each call carries and
// accepts only the failure actions, as Windows XP does.
BOOL WINAPI RecordRecoveryCall(SC_HANDLE, DWORD level, LPVOID info)
{
    std::vector<DWORD> words;
    if (level == SERVICE_CONFIG_FAILURE_ACTIONS) {
        auto* failure = static_cast<SERVICE_FAILURE_ACTIONSA*>(info);
        words = {failure->dwResetPeriod, failure->cActions, failure->lpRebootMsg ? 1u : 0u,
                 failure->lpCommand ? 1u : 0u};
        for (DWORD i = 0; i < failure->cActions; ++i) {
            words.push_back(static_cast<DWORD>(failure->lpsaActions[i].Type));
            words.push_back(failure->lpsaActions[i].Delay);
        }
    } else {
        words = {*static_cast<DWORD*>(info)};
    }
    RecoveryCalls().emplace_back(level, words);
    return level == SERVICE_CONFIG_FAILURE_ACTIONS;
}

} // namespace

// Older systems refuse a status with a flag they do not know; Wine keeps no
// recovery settings, so they are read from the call.
TEST(ServiceInstall, PreshutdownOnlyOnVistaAndRestartAfterFailure)
{
    const DWORD basic = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
    EXPECT_EQ(basic, ControlsAcceptedFor(false, 5, true));   // 2000, XP
    EXPECT_EQ(basic, ControlsAcceptedFor(false, 4, false));  // NT 4.0
    EXPECT_EQ(basic, ControlsAcceptedFor(false, 6, false));  // no HandlerEx bound
    EXPECT_EQ(basic, ControlsAcceptedFor(true, 4, true));    // 9x family
    EXPECT_EQ(basic | SERVICE_ACCEPT_PRESHUTDOWN, ControlsAcceptedFor(false, 10, true));

    RecoveryCalls().clear();
    EXPECT_EQ(1, ApplyServiceRecovery(nullptr, RecordRecoveryCall));
    const auto& calls = RecoveryCalls();
    ASSERT_EQ(3u, calls.size());
    const DWORD restart = SC_ACTION_RESTART;
    // Restarts that back off: a lasting fault costs a few dozen starts a day.
    EXPECT_EQ(static_cast<DWORD>(SERVICE_CONFIG_FAILURE_ACTIONS), calls[0].first);
    EXPECT_EQ((std::vector<DWORD>{86400, 3, 0, 0, restart, 60000, restart, 300000, restart, 1800000}),
              calls[0].second);
    // The actions apply to a stop with an error code too, not only a crash.
    EXPECT_EQ(4u, calls[1].first);  // SERVICE_CONFIG_FAILURE_ACTIONS_FLAG
    EXPECT_EQ(std::vector<DWORD>{TRUE}, calls[1].second);
    EXPECT_EQ(7u, calls[2].first);  // SERVICE_CONFIG_PRESHUTDOWN_INFO
    EXPECT_EQ(std::vector<DWORD>{PRESHUTDOWN_TIMEOUT_MS}, calls[2].second);
    EXPECT_EQ(0, ApplyServiceRecovery(nullptr, nullptr));
}

namespace {

// Stands in for QueryServiceConfig2A: the failure actions and pre-shutdown
// time a service has (g_queryFails: as on a system that cannot say).
SC_ACTION g_currentActions[3];
SERVICE_FAILURE_ACTIONSA g_currentFailure;
DWORD g_currentPreshutdown = 0;
bool g_queryFails = false;

BOOL WINAPI AnswerRecoveryQuery(SC_HANDLE, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed)
{
    if (g_queryFails) {
        SetLastError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    if (level == SERVICE_CONFIG_FAILURE_ACTIONS && size >= sizeof g_currentFailure) {
        memcpy(buffer, &g_currentFailure, sizeof g_currentFailure);
        *needed = sizeof g_currentFailure;
        return TRUE;
    }
    if (level == 7 && size >= sizeof g_currentPreshutdown) {
        memcpy(buffer, &g_currentPreshutdown, sizeof g_currentPreshutdown);
        return TRUE;
    }
    return FALSE;
}

void SetCurrentActions(DWORD count, DWORD delayMs, DWORD resetPeriod = 86400)
{
    g_currentFailure = {};
    g_currentFailure.dwResetPeriod = resetPeriod;
    g_currentFailure.cActions = count;
    g_currentFailure.lpsaActions = g_currentActions;
    for (SC_ACTION& action : g_currentActions) {
        action.Type = SC_ACTION_RESTART;
        action.Delay = delayMs;
    }
}

} // namespace

// A start sets the failure actions only where the service has none (or the
// every-minute ones earlier versions set): an administrator's stay.  The stop
// time at shutdown is only ever raised.
TEST(ServiceInstall, AStartKeepsTheFailureActionsAnAdministratorSet)
{
    struct Case {
        const char* name;
        DWORD count, delayMs, resetPeriod, preshutdownMs;
        bool queryFails;
        std::vector<DWORD> levelsChanged;
    };
    const Case cases[] = {
        {"none set", 0, 0, 0, 0, false, {SERVICE_CONFIG_FAILURE_ACTIONS, 4, 7}},
        {"earlier version's", 3, 60000, 86400, 180000, false, {SERVICE_CONFIG_FAILURE_ACTIONS, 4, 7}},
        {"administrator's", 3, 120000, 86400, PRESHUTDOWN_TIMEOUT_MS, false, {}},
        {"administrator's reset", 3, 60000, 3600, 600000, false, {}},
        {"unreadable", 0, 0, 0, 0, true, {}},
    };
    for (const Case& c : cases) {
        SetCurrentActions(c.count, c.delayMs, c.resetPeriod);
        g_currentPreshutdown = c.preshutdownMs;
        g_queryFails = c.queryFails;
        RecoveryCalls().clear();
        ApplyServiceRecoveryAtStart(nullptr, AnswerRecoveryQuery, RecordRecoveryCall);
        std::vector<DWORD> levels;
        for (const auto& call : RecoveryCalls())
            levels.push_back(call.first);
        EXPECT_EQ(c.levelsChanged, levels) << c.name;
    }
    g_queryFails = false;
}

TEST(ServicePath, IsRegisteredQuoted)
{
    char out[MAX_PATH + 2];
    ASSERT_TRUE(QuoteServicePath(out, sizeof out, "C:\\Program Files\\QEL\\qelsvc.exe"));
    EXPECT_STREQ("\"C:\\Program Files\\QEL\\qelsvc.exe\"", out);
    char tiny[8];
    EXPECT_FALSE(QuoteServicePath(tiny, sizeof tiny, "C:\\Program Files\\qelsvc.exe"));
}

namespace {

// A SID from its text form, built by the system rather than by the code
// under test.
struct SidFromText {
    explicit SidFromText(const char* text) { ConvertStringSidToSidA(text, &sid); }
    ~SidFromText() { LocalFree(sid); }
    PSID sid = nullptr;
};

// The rights a handle was opened with.
ACCESS_MASK GrantedAccess(HANDLE handle)
{
    struct BasicInformation {
        ULONG Attributes;
        ACCESS_MASK GrantedAccess;
        ULONG Reserved[20];
    } info = {};
    using QueryObject = LONG(WINAPI*)(HANDLE, int, PVOID, ULONG, PULONG);
    auto query = reinterpret_cast<QueryObject>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryObject")));
    ULONG length = 0;
    return query && query(handle, 0, &info, sizeof info, &length) == 0 ? info.GrantedAccess : 0;
}

} // namespace

// Wine does not enforce object security, so what is checked is what Windows
// would enforce: the descriptor the objects get, the rights the console side
// asks for, and the owners the service refuses.
TEST(NamedObjects, GuardedMutexesLetInOnlySystemAndAdministrators)
{
    const char* name = "qel test guarded mutex";
    qel::UniqueHandle created(qel::OpenGuardedMutex(name));
    ASSERT_TRUE(created.valid()) << GetLastError();

    DWORD descriptor[256];
    DWORD needed = 0;
    ASSERT_TRUE(GetKernelObjectSecurity(created.get(), DACL_SECURITY_INFORMATION, descriptor, sizeof descriptor,
                                        &needed));
    BOOL present = FALSE, defaulted = FALSE;
    PACL acl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted));
    ASSERT_TRUE(present && acl);
    ASSERT_EQ(2u, acl->AceCount);
    SidFromText system("S-1-5-18"), administrators("S-1-5-32-544");
    for (DWORD i = 0; i < 2; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        ASSERT_TRUE(GetAce(acl, i, reinterpret_cast<void**>(&ace)));
        EXPECT_EQ(ACCESS_ALLOWED_ACE_TYPE, ace->Header.AceType);
        EXPECT_TRUE(EqualSid(&ace->SidStart, i == 0 ? system.sid : administrators.sid)) << i;
        EXPECT_EQ(static_cast<ACCESS_MASK>(MUTEX_ALL_ACCESS), ace->Mask);
    }

    // A console opening the existing object asks only to wait and release.
    qel::MutexTrust trust = qel::MutexTrust::Unguarded;
    qel::UniqueHandle opened(qel::OpenGuardedMutex(name, &trust));
    ASSERT_TRUE(opened.valid());
    EXPECT_EQ(qel::MutexTrust::Trusted, trust);
    EXPECT_EQ(static_cast<ACCESS_MASK>(SYNCHRONIZE | MUTEX_MODIFY_STATE), GrantedAccess(opened.get()));

    // The service trusts what it (or an administrator) made...
    qel::UniqueHandle checked(qel::CreateGuardedMutex(name, &trust));
    EXPECT_TRUE(checked.valid());
    EXPECT_EQ(qel::MutexTrust::Trusted, trust);

    // ...but not a name made first by another account, nor one taken by an
    // object of another kind.
    PSECURITY_DESCRIPTOR usersOwn = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA("O:BUD:(A;;GA;;;WD)", SDDL_REVISION_1,
                                                                     &usersOwn, nullptr));
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, usersOwn, FALSE};
    qel::UniqueHandle squatted(CreateMutexA(&attributes, FALSE, "qel test squatted mutex"));
    LocalFree(usersOwn);
    ASSERT_TRUE(squatted.valid()) << GetLastError();
    qel::UniqueHandle foreign(qel::CreateGuardedMutex("qel test squatted mutex", &trust));
    EXPECT_EQ(qel::MutexTrust::Foreign, trust);
    trust = qel::MutexTrust::Unguarded;
    qel::UniqueHandle writersView(qel::OpenGuardedMutex("qel test squatted mutex", &trust));
    EXPECT_EQ(qel::MutexTrust::Foreign, trust);
    qel::UniqueHandle event(CreateEventA(nullptr, TRUE, FALSE, "qel test squatted event"));
    EXPECT_EQ(nullptr, qel::CreateGuardedMutex("qel test squatted event", &trust));
    EXPECT_EQ(qel::MutexTrust::Foreign, trust);
}

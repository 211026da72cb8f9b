#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "debug_trace_capture.h"
#include "nt_service.h"
#include "program_run.h"
#include "registry_scratch.h"
#include "service_control.h"
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
    };
    for (const Case& c : cases) {
        const char* inserts[] = {kServiceName};
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

    // A user control code reaches OnUserControl and is traced in hex.
    EXPECT_TRUE(ControlServiceByName(kServiceName, 128));
    EXPECT_TRUE(trace.WaitForText("CNTService::Handler(128)", 5000));
    EXPECT_TRUE(trace.WaitForText("CNTService::OnUserControl(00000080H)", 5000));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), QueryServiceState(kServiceName));

    EXPECT_TRUE(ControlServiceByName(kServiceName, SERVICE_CONTROL_STOP)) << GetLastError();
    EXPECT_TRUE(WaitForServiceState(kServiceName, SERVICE_STOPPED, 60000));
    EXPECT_TRUE(trace.WaitForText("CNTService::Handler(1)", 5000));
    EXPECT_TRUE(trace.WaitForText("Leaving CNTService::ServiceMain()", 5000));
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
    ASSERT_EQ(2u, calls.size());
    const DWORD restart = SC_ACTION_RESTART;
    EXPECT_EQ(static_cast<DWORD>(SERVICE_CONFIG_FAILURE_ACTIONS), calls[0].first);
    EXPECT_EQ((std::vector<DWORD>{86400, 3, 0, 0, restart, 60000, restart, 60000, restart, 60000}), calls[0].second);
    EXPECT_EQ(7u, calls[1].first);  // SERVICE_CONFIG_PRESHUTDOWN_INFO
    EXPECT_EQ(std::vector<DWORD>{180000}, calls[1].second);
    EXPECT_EQ(0, ApplyServiceRecovery(nullptr, nullptr));
}

TEST(ServicePath, IsRegisteredQuoted)
{
    char out[MAX_PATH + 2];
    ASSERT_TRUE(QuoteServicePath(out, sizeof out, "C:\\Program Files\\QEL\\qelsvc.exe"));
    EXPECT_STREQ("\"C:\\Program Files\\QEL\\qelsvc.exe\"", out);
    char tiny[8];
    EXPECT_FALSE(QuoteServicePath(tiny, sizeof tiny, "C:\\Program Files\\qelsvc.exe"));
}

// The 9x framework in-process: RunServices registration with its boxes, and
// the control window's side of the request protocol.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "control_window.h"
#include "debug_trace_capture.h"
#include "entry9x.h"
#include "log_lines.h"
#include "message_boxes.h"
#include "mutex_holder.h"
#include "registry_scratch.h"
#include "service9x.h"
#include "settings.h"
#include "supervisor9x.h"
#include "win_handles.h"

using namespace qeltest;

namespace {

constexpr const char TEST_SERVICE_NAME[] = "qel9x framework test";

std::string OwnPath()
{
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    return path;
}

// Runs a standard command on this thread while a helper takes its box.
struct CommandOutcome {
    int Result = -1;
    std::string Caption;
    std::string Text;
};

CommandOutcome RunStandardCommand(C9xService& service, const char* argument, const char* expectedCaption)
{
    CommandOutcome outcome;
    std::thread taker([&] {
        ShownBox box = TakeMessageBox(expectedCaption, GetCurrentProcessId(), 10000);
        if (box) {
            outcome.Caption = expectedCaption;
            outcome.Text = box.Text;
        }
    });
    char program[] = "qelsvc9x";
    std::vector<char> copy(argument, argument + strlen(argument) + 1);
    char* argv[] = {program, copy.data(), nullptr};
    outcome.Result = service.HandleStandardCommand(2, argv);
    taker.join();
    return outcome;
}

} // namespace

TEST(RunServicesCommand, QuotedOnlyWhenThePathHasABlank)
{
    char out[MAX_PATH + 2];
    ASSERT_TRUE(FormatRunServicesCommand(out, sizeof out, "C:\\QEL\\qelsvc9x.exe"));
    EXPECT_STREQ("C:\\QEL\\qelsvc9x.exe", out);
    ASSERT_TRUE(FormatRunServicesCommand(out, sizeof out, "C:\\Program Files\\QEL\\qelsvc9x.exe"));
    EXPECT_STREQ("\"C:\\Program Files\\QEL\\qelsvc9x.exe\"", out);

    // A path that fills MAX_PATH still fits once quoted; one more does not.
    std::string longPath = "C:\\a b\\" + std::string(MAX_PATH - 1 - 7, 'x');
    EXPECT_TRUE(FormatRunServicesCommand(out, sizeof out, longPath.c_str()));
    char small[10];
    EXPECT_FALSE(FormatRunServicesCommand(small, sizeof small, "C:\\a b\\c.exe"));
}

class StandardCommands : public ::testing::Test {
protected:
    void SetUp() override { DeleteValue(HKEY_LOCAL_MACHINE, RUN_SERVICES_KEY, TEST_SERVICE_NAME); }
    void TearDown() override { DeleteValue(HKEY_LOCAL_MACHINE, RUN_SERVICES_KEY, TEST_SERVICE_NAME); }
    C9xService service{TEST_SERVICE_NAME};
};

TEST_F(StandardCommands, InstallVersionRemoveCycle)
{
    EXPECT_FALSE(service.QueryInstalled());

    CommandOutcome version = RunStandardCommand(service, "-V", "Version");
    EXPECT_EQ(1, version.Result);
    EXPECT_EQ("qel9x framework test Version 1.6\nThe service is not installed.", version.Text);
    EXPECT_EQ(1, service.SkipRestartRequest);

    service.SkipRestartRequest = 0;
    CommandOutcome install = RunStandardCommand(service, "-i", "Service Install");
    EXPECT_EQ(1, install.Result);
    EXPECT_EQ("qel9x framework test installed\n", install.Text);
    EXPECT_EQ(0, service.SkipRestartRequest) << "-i must leave the restart request on";
    std::string registered = OwnPath().find(' ') == std::string::npos ? OwnPath() : "\"" + OwnPath() + "\"";
    DWORD storedLength = 0;
    EXPECT_EQ(registered, ReadString(HKEY_LOCAL_MACHINE, RUN_SERVICES_KEY, TEST_SERVICE_NAME, &storedLength));
    EXPECT_EQ(registered.size() + 1, storedLength) << "the terminating NUL is stored";
    EXPECT_TRUE(service.QueryInstalled());

    // Installed already: the value is left as it is.
    {
        qel::UniqueRegKey key;
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, RUN_SERVICES_KEY, 0, KEY_ALL_ACCESS, key.put()));
        const char marker[] = "marker";
        RegSetValueExA(key.get(), TEST_SERVICE_NAME, 0, REG_SZ, reinterpret_cast<const BYTE*>(marker), sizeof marker);
    }
    CommandOutcome again = RunStandardCommand(service, "-I", "Service Install");
    EXPECT_EQ("qel9x framework test is already installed\n", again.Text);
    EXPECT_EQ("marker", ReadString(HKEY_LOCAL_MACHINE, RUN_SERVICES_KEY, TEST_SERVICE_NAME));

    CommandOutcome installedVersion = RunStandardCommand(service, "-v", "Version");
    EXPECT_EQ("qel9x framework test Version 1.6\nThe service is currently installed.", installedVersion.Text);

    service.SkipRestartRequest = 0;
    CommandOutcome remove = RunStandardCommand(service, "-u", "Service Uninstall");
    EXPECT_EQ(1, remove.Result);
    EXPECT_EQ("qel9x framework test removed. (You must delete the file (" + OwnPath() + ") yourself.)\n",
              remove.Text);
    EXPECT_EQ(1, service.SkipRestartRequest);
    EXPECT_FALSE(ValueExists(HKEY_LOCAL_MACHINE, RUN_SERVICES_KEY, TEST_SERVICE_NAME));

    CommandOutcome removeAgain = RunStandardCommand(service, "-U", "Service Uninstall");
    EXPECT_EQ("qel9x framework test is not installed\n", removeAgain.Text);
}

TEST_F(StandardCommands, OnlyWholeArgumentsAreStandardCommands)
{
    for (const char* argument : {"-vx", "/v", "-", "-q", "-d", ""}) {
        char program[] = "qelsvc9x";
        std::vector<char> copy(argument, argument + strlen(argument) + 1);
        char* argv[] = {program, copy.data(), nullptr};
        EXPECT_EQ(0, service.HandleStandardCommand(2, argv)) << argument;
    }
    char program[] = "qelsvc9x";
    char* argv[] = {program, nullptr};
    EXPECT_EQ(0, service.HandleStandardCommand(1, argv));
    EXPECT_EQ(0, service.SkipRestartRequest);
    EXPECT_FALSE(MessageBoxShown("Version", GetCurrentProcessId()));
}

TEST(FrameworkDefaults, TraceUnderTheServiceNameAndStopClearsRunning)
{
    DebugTraceCapture trace;
    ASSERT_TRUE(trace.active());
    {
        C9xService service("qel9x trace test");
        EXPECT_EQ(1, service.MajorVersion);
        EXPECT_EQ(6, service.MinorVersion);
        EXPECT_EQ(RegisterWindowMessageA("9xSvcAck"), service.AckMessage);
        EXPECT_EQ(RegisterWindowMessageA("9xSvcReq"), service.RequestMessage);
        service.Running = TRUE;
        service.OnStop();
        EXPECT_FALSE(service.Running);
        service.Run();  // returns at once: not running
    }
    ASSERT_TRUE(trace.WaitForText("~CNTService", 2000));
    char prefix[64];
    snprintf(prefix, sizeof prefix, "[qel9x trace test](%lu): ", GetCurrentThreadId());
    std::vector<std::string> texts;
    for (const auto& line : trace.Lines())
        if (line.ProcessId == GetCurrentProcessId() && line.Text.find("qel9x trace test") != std::string::npos)
            texts.push_back(line.Text);
    std::vector<std::string> expected;
    for (const char* text : {"CNTService::OnStop()", "Entering CNTService::Run()", "Leaving CNTService::Run()",
                             "CNTService::~CNTService()"})
        expected.push_back(std::string(prefix) + text + "\n");
    EXPECT_EQ(expected, texts);
}

// ---------------------------------------------------------------------------
// The control window on its own thread, driven by a test window that plays
// the asking copy.

namespace {

class RecordingService : public C9xService {
public:
    RecordingService() : C9xService("qel9x control test") {}
    void OnStop() override
    {
        QuitSeenByStop = QuitRequested;
        ++StopCalls;
    }
    std::atomic<int> StopCalls{0};
    std::atomic<LONG> QuitSeenByStop{-1};
};

struct ReceivedAck {
    WPARAM Positive;
    HWND Answerer;
};

std::vector<ReceivedAck> g_acks;
UINT g_ackMessage = 0;
UINT g_requestMessage = 0;
bool g_answerRequests = false;
HWND g_askerWindow = nullptr;

LRESULT CALLBACK AskerProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == g_ackMessage) {
        g_acks.push_back({wParam, reinterpret_cast<HWND>(lParam)});
        return 0;
    }
    if (message == g_requestMessage && g_answerRequests) {
        PostMessageA(reinterpret_cast<HWND>(lParam), g_ackMessage, 1, reinterpret_cast<LPARAM>(window));
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

// Pumps this thread's messages for up to ms milliseconds, or until done().
template <typename Done>
void PumpFor(DWORD ms, Done done)
{
    DWORD start = GetTickCount();
    while (!done() && GetTickCount() - start < ms) {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageA(&message);
        Sleep(10);
    }
}

} // namespace

class ControlWindowProtocol : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_acks.clear();
        g_answerRequests = false;
        ControlChannel.PeerWindow = nullptr;
        ControlChannel.SupervisorActive = 0;
        g_ackMessage = service.AckMessage;
        g_requestMessage = service.RequestMessage;

        WNDCLASSA windowClass = {};
        windowClass.lpfnWndProc = AskerProc;
        windowClass.hInstance = GetModuleHandleA(nullptr);
        windowClass.lpszClassName = "qel9x asker";
        RegisterClassA(&windowClass);
        // Message-only: it takes posts but no broadcasts.
        g_askerWindow = CreateWindowExA(0, "qel9x asker", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        ASSERT_NE(nullptr, g_askerWindow);

        thread.reset(CreateThread(nullptr, 0, ControlWindowThread, &service, 0, nullptr));
        ASSERT_TRUE(thread.valid());
        for (int i = 0; i < 100 && !ControlChannel.ControlWindow; ++i)
            Sleep(20);
        control = ControlChannel.ControlWindow;
        ASSERT_NE(nullptr, control);
    }

    void TearDown() override
    {
        if (ControlChannel.ControlWindow)
            SendMessageA(ControlChannel.ControlWindow, WM_CONTROL_CLOSE, 0, 0);
        if (thread)
            WaitForSingleObject(thread.get(), 10000);
        DestroyWindow(g_askerWindow);
        ControlChannel.PeerWindow = nullptr;
        ControlChannel.SupervisorActive = 0;
    }

    void Request(WPARAM code, HWND asker)
    {
        PostMessageA(control, service.RequestMessage, code, reinterpret_cast<LPARAM>(asker));
    }

    // Waits until the control thread has handled everything posted so far:
    // posted messages are handled in order, so the answer to a ping posted
    // now comes after them.  (A sent message would overtake them.)  The
    // ping's own answer is taken off the record.
    void Settle()
    {
        size_t before = g_acks.size();
        Request(REQ_PING, g_askerWindow);
        PumpAcks(before + 1);
        ASSERT_EQ(before + 1, g_acks.size());
        g_acks.pop_back();
    }

    void PumpAcks(size_t count) { PumpFor(3000, [&] { return g_acks.size() >= count; }); }

    RecordingService service;
    qel::UniqueHandle thread;
    HWND control = nullptr;
};

TEST_F(ControlWindowProtocol, CopyWithoutSupervisorAnswersPingsOnlyNegatively)
{
    Request(REQ_PING, g_askerWindow);
    PumpAcks(1);
    ASSERT_EQ(1u, g_acks.size());
    EXPECT_EQ(0u, g_acks[0].Positive);
    EXPECT_EQ(control, g_acks[0].Answerer);

    Request(REQ_STOP, g_askerWindow);
    Request(REQ_RESTART, g_askerWindow);
    Settle();
    EXPECT_EQ(1u, g_acks.size());
    EXPECT_EQ(0, service.StopCalls);
    EXPECT_EQ(0, service.QuitRequested);
}

TEST_F(ControlWindowProtocol, RunningCopyAcknowledgesAfterItsStop)
{
    ControlChannel.SupervisorActive = 1;

    Request(REQ_PING, g_askerWindow);
    PumpAcks(1);
    ASSERT_EQ(1u, g_acks.size());
    EXPECT_EQ(1u, g_acks[0].Positive);
    EXPECT_EQ(control, g_acks[0].Answerer);
    EXPECT_EQ(0, service.StopCalls);

    Request(REQ_RESTART, g_askerWindow);
    PumpAcks(2);
    ASSERT_EQ(2u, g_acks.size());
    EXPECT_EQ(1u, g_acks[1].Positive);
    EXPECT_EQ(1, service.StopCalls);
    EXPECT_EQ(0, service.QuitSeenByStop) << "a restart must not end the run-again loop";

    Request(REQ_STOP, g_askerWindow);
    PumpAcks(3);
    ASSERT_EQ(3u, g_acks.size());
    EXPECT_EQ(2, service.StopCalls);
    EXPECT_EQ(1, service.QuitSeenByStop) << "QuitRequested is set before OnStop runs";

    // Unknown codes are not answered; a request without an asker is carried
    // out but cannot be answered.
    Request(7, g_askerWindow);
    Request(REQ_RESTART, nullptr);
    Request(REQ_PING, nullptr);
    Settle();
    EXPECT_EQ(3u, g_acks.size());
    EXPECT_EQ(3, service.StopCalls);
}

TEST_F(ControlWindowProtocol, FirstPositiveAcknowledgementNamesThePeer)
{
    HANDLE ackEvent = ControlChannel.AckEvent;
    ASSERT_NE(nullptr, ackEvent);
    ResetEvent(ackEvent);

    PostMessageA(control, service.AckMessage, 0, reinterpret_cast<LPARAM>(control));
    Settle();
    EXPECT_EQ(nullptr, ControlChannel.PeerWindow) << "a negative answer names no peer";
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(ackEvent, 0));

    PostMessageA(control, service.AckMessage, 1, reinterpret_cast<LPARAM>(g_askerWindow));
    Settle();
    EXPECT_EQ(g_askerWindow, ControlChannel.PeerWindow);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ackEvent, 0));

    HWND other = reinterpret_cast<HWND>(static_cast<INT_PTR>(0x1234));
    PostMessageA(control, service.AckMessage, 1, reinterpret_cast<LPARAM>(other));
    Settle();
    EXPECT_EQ(g_askerWindow, ControlChannel.PeerWindow) << "the peer is learnt once";
}

TEST_F(ControlWindowProtocol, SendControlRequestWaitsForAPositiveAnswer)
{
    // Nobody runs a supervisor: the broadcast reaches our own control window,
    // whose negative answer does not count.
    DWORD start = GetTickCount();
    EXPECT_FALSE(SendControlRequest(REQ_PING, 500));
    EXPECT_GE(GetTickCount() - start, 450u);
    EXPECT_EQ(nullptr, ControlChannel.PeerWindow);

    // A known peer is asked directly; its answer arrives on the control
    // thread while this thread only waits.
    g_answerRequests = true;
    ControlChannel.PeerWindow = g_askerWindow;
    std::atomic<bool> answered{false};
    std::thread asker([&] { answered = SendControlRequest(REQ_RESTART, 5000); });
    PumpFor(5000, [&] { return answered.load(); });
    asker.join();
    EXPECT_TRUE(answered);
}

TEST_F(ControlWindowProtocol, CloseMessageEndsTheControlThread)
{
    SendMessageA(control, WM_CONTROL_CLOSE, 0, 0);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread.get(), 5000));
    DWORD exitCode = 99;
    GetExitCodeThread(thread.get(), &exitCode);
    EXPECT_EQ(0u, exitCode);
    EXPECT_FALSE(IsWindow(control));
    EXPECT_EQ(nullptr, ControlChannel.ControlWindow);
    EXPECT_EQ(nullptr, ControlChannel.RequestTarget);
}

// ---------------------------------------------------------------------------
// The entry's decisions.

TEST(EntryCommandLine, TrimsBlanksOnlyAndChoosesTheCourse)
{
    struct Case {
        const char* Line;
        const char* Trimmed;
        EntryCourse Course;
    };
    const Case cases[] = {
        {"", "", EntryCourse::RunningCopy},
        {"    ", "", EntryCourse::RunningCopy},
        {"  -x  ", "-x", EntryCourse::ConfigCommand},
        {"-q", "-q", EntryCourse::StopCommand},
        {"-Q", "-Q", EntryCourse::StopCommand},
        {" -quit ", "-quit", EntryCourse::StopCommand},
        {"-r:0930 ", "-r:0930", EntryCourse::ConfigCommand},
        // Only the blank is trimmed: a tab is part of the argument.
        {"\t-x", "\t-x", EntryCourse::ConfigCommand},
        {"-x\t ", "-x\t", EntryCourse::ConfigCommand},
        // Blanks inside the line stay: the whole line is one argument.
        {" -p:2 :0 ", "-p:2 :0", EntryCourse::ConfigCommand},
        {"q", "q", EntryCourse::ConfigCommand},
        {" -L ", "-L", EntryCourse::StatusCommand},
    };
    for (const Case& c : cases) {
        std::vector<char> line(c.Line, c.Line + strlen(c.Line) + 1);
        char* trimmed = TrimCommandLine(line.data());
        EXPECT_STREQ(c.Trimmed, trimmed) << "[" << c.Line << "]";
        EXPECT_EQ(c.Course, ChooseEntryCourse(trimmed)) << "[" << c.Line << "]";
    }
    EXPECT_EQ(EntryCourse::RunningCopy, ChooseEntryCourse(nullptr));
}

TEST(ParametersBox, DailyRestartLineAndFlags)
{
    ServiceParams params;
    char text[BOX_TEXT_SIZE];
    FormatParametersBox(text, sizeof text, params);
    EXPECT_STREQ("Service Parameters:\nAuto Restart OFF\nTrue Idle=FALSE\nMonitor and Restart=FALSE\n"
                 "Restart Stalled Clients=FALSE\nKeep Icons Visible=FALSE\nWUQueue=0\nAutodialType=0\n"
                 "PeriodicRestart=0",
                 text);

    // On, the first line brings its own line feed: an empty line follows.
    // Flags read as stored (5 counts as set); the client count, affinity
    // and NormalizeXP are not shown.
    params.AutoRestart = 1;
    params.RestartTime = 930;
    params.TrueIdle = 5;
    params.MonitorRestart = 1;
    params.StuckRestart = 0;
    params.KeepVisible = 1;
    params.NormalizeXP = 1;
    params.WUQueue = 32;
    params.AutodialType = 2;
    params.HourlyRestart = 1440;
    params.NumClients = 7;
    FormatParametersBox(text, sizeof text, params);
    EXPECT_STREQ("Service Parameters:\nAutoRestart ON - Time = 09:30\n\nTrue Idle=TRUE\nMonitor and Restart=TRUE\n"
                 "Restart Stalled Clients=FALSE\nKeep Icons Visible=TRUE\nWUQueue=32\nAutodialType=2\n"
                 "PeriodicRestart=1440",
                 text);

    // A hand-edited time still fits the fixed buffers; a short buffer is cut,
    // never overrun.
    params.RestartTime = 0xFFFFFFFFu;
    FormatParametersBox(text, sizeof text, params);
    EXPECT_NE(nullptr, strstr(text, "AutoRestart ON - Time = 42949672:95\n"));
    char small[24];
    memset(small, 'z', sizeof small);
    FormatParametersBox(small, 20, params);
    EXPECT_EQ('\0', small[19]);
    EXPECT_EQ('z', small[20]);
}

namespace {

DWORD WINAPI EndAtOnce(LPVOID) { return 1; }

} // namespace

TEST(ControlWindowWait, GivesUpWhenTheThreadEndsOrTheLimitPasses)
{
    ASSERT_EQ(nullptr, ControlChannel.ControlWindow);
    EXPECT_FALSE(WaitForControlWindow(nullptr, 1000));

    qel::UniqueHandle ended(CreateThread(nullptr, 0, EndAtOnce, nullptr, 0, nullptr));
    DWORD start = GetTickCount();
    EXPECT_FALSE(WaitForControlWindow(ended.get(), 10000));
    EXPECT_LT(GetTickCount() - start, 2000u);

    qel::UniqueHandle self(OpenThread(SYNCHRONIZE, FALSE, GetCurrentThreadId()));
    start = GetTickCount();
    EXPECT_FALSE(WaitForControlWindow(self.get(), 300));
    DWORD waited = GetTickCount() - start;
    EXPECT_GE(waited, 250u);
    EXPECT_LT(waited, 2000u);
}

// ---------------------------------------------------------------------------
// The configuration commands of the 9x supervisor, on the real settings key.

namespace {

int Command(C9xSupervisorService& service, const char* argument)
{
    char program[] = "";
    std::vector<char> copy(argument, argument + strlen(argument) + 1);
    char* argv[] = {program, copy.data(), nullptr};
    return service.HandleConfigCommand(2, argv);
}

DWORD Stored(const char* name)
{
    return ReadDword(HKEY_LOCAL_MACHINE, SETTINGS_KEY, name, 0xDEADBEEF);
}

// A value changed behind the command's back shows whether it saved.
void Tamper(const char* name, DWORD value)
{
    WriteDword(HKEY_LOCAL_MACHINE, SETTINGS_KEY, name, value);
}

} // namespace

class ConfigCommands9x : public ::testing::Test {
protected:
    void SetUp() override
    {
        DeleteKeyTree(HKEY_LOCAL_MACHINE, SETTINGS_KEY);
        WriteDword(HKEY_LOCAL_MACHINE, SETTINGS_KEY, "NumClients", 4);
        WriteDword(HKEY_LOCAL_MACHINE, SETTINGS_KEY, "AffType", 2);
    }
    void TearDown() override { DeleteKeyTree(HKEY_LOCAL_MACHINE, SETTINGS_KEY); }
};

TEST_F(ConfigCommands9x, TogglesAndDailyRestartShowTheBoxAndSave)
{
    C9xSupervisorService service;
    ASSERT_EQ(1u, service.Core.Params.NumClients) << "the 9x load fixes the client count";

    struct Toggle {
        const char* Argument;
        const char* Value;
    };
    for (const Toggle& toggle : {Toggle{"-X", "TrueIdle"}, Toggle{"-nx", "NormalizeXP"},
                                 Toggle{"-m", "MonitorRestart"}, Toggle{"-S", "StuckRestart"},
                                 Toggle{"-k", "KeepVisible"}}) {
        EXPECT_EQ(1, Command(service, toggle.Argument)) << toggle.Argument;
        EXPECT_EQ(1u, Stored(toggle.Value)) << toggle.Argument;
    }
    EXPECT_EQ(1, Command(service, "-x"));
    EXPECT_EQ(0u, Stored("TrueIdle")) << "a second toggle turns it off";
    // Saved as held, like the console program does.
    EXPECT_EQ(1u, Stored("NumClients"));
    EXPECT_EQ(0u, Stored("AffType"));

    EXPECT_EQ(1, Command(service, "-r:0930"));
    EXPECT_EQ(1u, Stored("AutoRestart"));
    EXPECT_EQ(930u, Stored("RestartTime"));

    // An invalid time still shows the box (unchanged settings), saves nothing.
    Tamper("RestartTime", 1111);
    EXPECT_EQ(1, Command(service, "-r:2500"));
    EXPECT_EQ(930u, service.Core.Params.RestartTime);
    EXPECT_EQ(1111u, Stored("RestartTime"));

    EXPECT_EQ(1, Command(service, "-r"));
    EXPECT_EQ(0u, Stored("AutoRestart"));
    EXPECT_EQ(0, service.SkipRestartRequest);
}

TEST_F(ConfigCommands9x, DisplayOnlyAsksForNoRestart)
{
    C9xSupervisorService service;
    Tamper("TrueIdle", 1);
    EXPECT_EQ(1, Command(service, "-D"));
    EXPECT_EQ(1, service.SkipRestartRequest);
    EXPECT_EQ(0u, service.Core.Params.TrueIdle);
    EXPECT_EQ(1u, Stored("TrueIdle")) << "-d saves nothing";
    EXPECT_EQ(4u, Stored("NumClients"));
}

TEST_F(ConfigCommands9x, CommandsWithoutBoxAndThoseThatDoNotExistHere)
{
    C9xSupervisorService service;

    // No -p and no -o in this program: nothing changes, nothing is shown.
    for (const char* argument : {"-p:2:0", "-P:4:1", "-o", "-o2", "-zzz", "x", "-"}) {
        EXPECT_EQ(0, Command(service, argument)) << argument;
        EXPECT_EQ(4u, Stored("NumClients")) << argument;
        EXPECT_EQ(2u, Stored("AffType")) << argument;
    }
    EXPECT_EQ(1u, service.Core.Params.NumClients);

    // Saved, but no box and no restart request.
    EXPECT_EQ(0, Command(service, "-h:2000"));
    EXPECT_EQ(1440u, Stored("HourlyRestart"));
    EXPECT_EQ(0, Command(service, "-A:7"));
    EXPECT_EQ(2u, Stored("AutodialType"));
    EXPECT_EQ(0, Command(service, "-w:4"));
    EXPECT_EQ(4u, Stored("WUQueue"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), service.CommandExitCode);

    // Refused while a supervisor holds the mutex: still no box, but an exit
    // code a script can see.
    qeltest::ForeignMutexHolder supervisor(SettingsMutexName());
    ASSERT_TRUE(supervisor.Held());
    EXPECT_EQ(0, Command(service, "-w:6"));
    EXPECT_EQ(4u, Stored("WUQueue"));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING), service.CommandExitCode);
}

// ---------------------------------------------------------------------------
// The running copy's run-again loop against stop and restart requests made
// on another thread, as the control window makes them.

namespace {

class ScriptedPasses : public C9xSupervisorService {
public:
    void Run() override
    {
        int pass = ++Passes;
        if (pass < 16)
            RunningAtStart[pass] = Running;
        if (EndsByItself) {
            // Like a pass that finds another supervisor holding the mutex.
            Sleep(100);
            return;
        }
        WaitForSingleObject(Core.StopEvent.get(), 20000);
        // Return at once: the loop's next pass races the stop's own end.
        SetEvent(Core.StoppedEvent.get());
    }

    std::atomic<int> Passes{0};
    std::atomic<bool> EndsByItself{false};
    BOOL RunningAtStart[16] = {};
};

bool WaitUntil(DWORD ms, const std::function<bool()>& done)
{
    DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start >= ms)
            return false;
        Sleep(5);
    }
    return true;
}

} // namespace

class RunAgainLoop : public ConfigCommands9x {};

TEST_F(RunAgainLoop, EveryPassAfterARestartCanStillBeStopped)
{
    ScriptedPasses service;
    ASSERT_TRUE(service.SyncObjectsReady);
    std::thread loop([&] { service.RunUntilQuit(); });

    ASSERT_TRUE(WaitUntil(5000, [&] { return service.Passes >= 1; }));
    for (int restart = 1; restart <= 5; ++restart) {
        service.OnStop();
        ASSERT_TRUE(WaitUntil(5000, [&] { return service.Passes >= restart + 1; }));
        EXPECT_TRUE(service.RunningAtStart[restart + 1]) << "pass " << restart + 1;
        EXPECT_TRUE(WaitUntil(200, [&] { return service.Running != FALSE; }));
    }

    service.QuitRequested = 1;
    DWORD start = GetTickCount();
    service.OnStop();
    EXPECT_LT(GetTickCount() - start, 3000u);
    loop.join();
    EXPECT_EQ(6, service.Passes);
    EXPECT_FALSE(service.Running);
}

TEST_F(RunAgainLoop, StopReachingAPassThatEndsByItselfReturnsPromptly)
{
    ScriptedPasses service;
    service.EndsByItself = true;
    std::thread loop([&] { service.RunUntilQuit(); });
    ASSERT_TRUE(WaitUntil(5000, [&] { return service.Passes >= 2; }));

    // Without anyone to set StoppedEvent the stop would sit out its whole
    // wait (5000 ms for one client).
    service.QuitRequested = 1;
    DWORD start = GetTickCount();
    service.OnStop();
    EXPECT_LT(GetTickCount() - start, 2000u);
    loop.join();
}

TEST_F(RunAgainLoop, QuitBeforeTheFirstPassRunsNothing)
{
    ScriptedPasses service;
    service.QuitRequested = 1;
    service.RunUntilQuit();
    EXPECT_EQ(0, service.Passes);
}

// A copy that finds another supervisor in charge says so once and then waits
// without a word (a line every retry period used to push the real history
// out of the log within days); it obeys a request meanwhile, and supervises
// as soon as the other one has gone.
TEST_F(RunAgainLoop, SecondSupervisorLogsOnceThenWaitsQuietlyAndTakesOver)
{
    C9xSupervisorService service;
    ASSERT_TRUE(service.SyncObjectsReady);
    service.Core.Timings.MutexWaitMs = 100;
    auto other = std::make_unique<ForeignMutexHolder>(SettingsMutexName());
    ASSERT_TRUE(other->Held());
    const std::string aborted = "Service already running...abort";
    LogWatch log(service.Core.LogPath);
    std::thread loop([&] { service.RunUntilQuit(); });

    ASSERT_TRUE(log.WaitForCount(aborted, 1, 5000));
    Sleep(1000);  // ten retry periods
    EXPECT_EQ(1, log.Count(aborted));
    // A restart request runs the pass again: one more line, no more.
    service.OnStop();
    Sleep(500);
    EXPECT_EQ(2, log.Count(aborted));

    other.reset();
    EXPECT_TRUE(log.WaitForCount("Starting Service", 1, 5000));
    service.QuitRequested = 1;
    service.OnStop();
    loop.join();
    EXPECT_EQ(2, log.Count(aborted));
}

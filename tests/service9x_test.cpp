// The 9x framework in-process: RunServices registration with its boxes, and
// the control window's side of the request protocol.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "control_window.h"
#include "message_boxes.h"
#include "service9x.h"
#include "win_handles.h"

namespace {

constexpr const char TEST_SERVICE_NAME[] = "qel9x framework test";

std::string ReadRunServicesValue(const char* name, DWORD* storedLength = nullptr)
{
    qel::UniqueRegKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, RUN_SERVICES_KEY, 0, KEY_READ, key.put()) != ERROR_SUCCESS)
        return "<no key>";
    char data[600] = {};
    DWORD size = sizeof data - 1;
    DWORD type = 0;
    if (RegQueryValueExA(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) != ERROR_SUCCESS)
        return "<no value>";
    if (storedLength)
        *storedLength = size;
    return type == REG_SZ ? std::string(data) : "<not REG_SZ>";
}

void DeleteRunServicesValue(const char* name)
{
    qel::UniqueRegKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, RUN_SERVICES_KEY, 0, KEY_ALL_ACCESS, key.put()) == ERROR_SUCCESS)
        RegDeleteValueA(key.get(), name);
}

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
    void SetUp() override { DeleteRunServicesValue(TEST_SERVICE_NAME); }
    void TearDown() override { DeleteRunServicesValue(TEST_SERVICE_NAME); }
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
    DWORD storedLength = 0;
    EXPECT_EQ(OwnPath(), ReadRunServicesValue(TEST_SERVICE_NAME, &storedLength));
    EXPECT_EQ(OwnPath().size() + 1, storedLength) << "the terminating NUL is stored";
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
    EXPECT_EQ("marker", ReadRunServicesValue(TEST_SERVICE_NAME));

    CommandOutcome installedVersion = RunStandardCommand(service, "-v", "Version");
    EXPECT_EQ("qel9x framework test Version 1.6\nThe service is currently installed.", installedVersion.Text);

    service.SkipRestartRequest = 0;
    CommandOutcome remove = RunStandardCommand(service, "-u", "Service Uninstall");
    EXPECT_EQ(1, remove.Result);
    EXPECT_EQ("qel9x framework test removed. (You must delete the file (" + OwnPath() + ") yourself.)\n",
              remove.Text);
    EXPECT_EQ(1, service.SkipRestartRequest);
    EXPECT_EQ("<no value>", ReadRunServicesValue(TEST_SERVICE_NAME));

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

TEST(RequestDecision, OnlyTheRunningCopyActsAndOnlyPingsGetNegativeAnswers)
{
    struct Case {
        bool Active;
        WPARAM Code;
        RequestAction Expected;
    };
    const Case cases[] = {
        {true, REQ_PING, RequestAction::AckPositive},
        {true, REQ_STOP, RequestAction::StopThenAck},
        {true, REQ_RESTART, RequestAction::RestartThenAck},
        {true, 0, RequestAction::Ignore},
        {true, 4, RequestAction::Ignore},
        {false, REQ_PING, RequestAction::AckNegative},
        {false, REQ_STOP, RequestAction::Ignore},
        {false, REQ_RESTART, RequestAction::Ignore},
        {false, 4, RequestAction::Ignore},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.Expected, DecideRequestAction(c.Active, c.Code)) << c.Active << " " << c.Code;
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

    // Waits until the control thread has handled everything posted so far.
    void Settle() { SendMessageA(control, WM_NULL, 0, 0); }

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
    PumpFor(200, [] { return false; });
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
    PumpFor(200, [] { return false; });
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

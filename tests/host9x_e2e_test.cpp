// qelsvc9x.exe end to end, under Wine's emulation of Windows 98 (or of the
// 9x version the test run names): a running copy
// with stand-in clients, and the copies that stop it, restart it or change
// its settings.  The run loop's own timings are the shipped ones, so every
// step waits for an event (a log line, a box, a process end), never for a
// time-out of the program.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "log_lines.h"
#include "message_boxes.h"
#include "program_run.h"
#include "registry_scratch.h"
#include "control_window.h"
#include "service9x.h"
#include "settings.h"
#include "../standin-zr/standin_values.h"

using namespace qeltest;

namespace {

constexpr const char EXE_NAME[] = "qelsvc9x.exe";
constexpr const char SERVICE_NAME[] = "Korvane 9x service";
constexpr const char CAPTION[] = "ZR 9x Service";
constexpr const char CLIENT_STARTED[] = "Client start successful";
constexpr const char CLIENTS_STOPPED[] = "Client Stop completed";

// Generous bounds for Wine: a copy starts in about a second, a stand-in
// client starts and stops in one or two.
constexpr DWORD START_BOUND_MS = 30000;
constexpr DWORD BOX_BOUND_MS = 15000;
constexpr DWORD EXIT_BOUND_MS = 30000;

std::string ExePath()
{
    return PathBesideTest(EXE_NAME);
}

} // namespace

class Host9x : public ::testing::Test {
protected:
    void SetUp() override
    {
        CleanRegistry();
        // With the key present the 9x settings load runs one client.
        WriteDword(HKEY_LOCAL_MACHINE, SETTINGS_KEY, "MonitorRestart", 0);
    }

    void TearDown() override
    {
        for (OwnedProcess* copy : {&running, &other})
            copy->reset();
        for (DWORD client : log.ClientProcessIds())
            EndProcessById(client);
        CleanRegistry();
    }

    static void CleanRegistry()
    {
        DeleteKeyTree(HKEY_LOCAL_MACHINE, SETTINGS_KEY);
        DeleteValue(HKEY_LOCAL_MACHINE, RUN_SERVICES_KEY, SERVICE_NAME);
        DeleteKeyTree(HKEY_LOCAL_MACHINE, zr::DEFAULT_STATE_KEY_PATH);
        DeleteValue(HKEY_LOCAL_MACHINE, zr::CONFIG_KEY_PATH, zr::CLIENT_KEY_VALUE);
    }

    // The running copy, with its client started.
    void StartRunningCopy()
    {
        ASSERT_TRUE(running.Start(ExePath(), ""));
        int started = log.Count(CLIENT_STARTED);
        ASSERT_TRUE(log.WaitForCount(CLIENT_STARTED, started + 1, START_BOUND_MS)) << log.NewText();
        ASSERT_TRUE(running.Running());
    }

    // Runs another copy with this command-line tail and returns once it has
    // ended; every box it shows on the way must be one of `boxes`, in order,
    // and is dismissed.  Returns the texts.
    std::vector<std::string> RunCopy(const std::string& tail, std::vector<const char*> boxes)
    {
        std::vector<std::string> texts;
        EXPECT_TRUE(other.Start(ExePath(), tail));
        for (const char* caption : boxes) {
            ShownBox box = TakeMessageBox(caption, other.Id(), BOX_BOUND_MS);
            EXPECT_TRUE(box) << "no box \"" << caption << "\" for [" << tail << "]";
            texts.push_back(box.Text);
        }
        EXPECT_TRUE(other.WaitEnded(EXIT_BOUND_MS)) << "[" << tail << "] did not end";
        // A copy that shows a box cannot end before it is dismissed: any box
        // not listed leaves it running, caught just above.
        return texts;
    }

    // Restarts of the running copy's clients seen so far: each one stops
    // them all and starts them again.
    int Restarts() const { return log.Count(CLIENTS_STOPPED); }

    void ExpectRestartedOnce(int before)
    {
        EXPECT_EQ(before + 1, Restarts());
        EXPECT_TRUE(log.WaitForCount(CLIENT_STARTED, before + 2, START_BOUND_MS)) << log.NewText();
        EXPECT_TRUE(running.Running());
        // The stop waited on the control thread while the run loop closed
        // the clients: had anything on the loop's path needed that thread,
        // the stop would have run into its time-out.
        EXPECT_EQ(0, log.Count("Timeout on client stop"));
    }

    WindowsVersionEmulation emulation{EXE_NAME, TestedWindowsVersion(EXE_NAME, "win98")};
    LogWatch log{PathBesideTest("qelsvc.log")};
    OwnedProcess running;
    OwnedProcess other;
};

TEST_F(Host9x, RunsUnderWindows98WithoutApplyingAMask)
{
    StartRunningCopy();
    // The 9x family applies no mask: the stand-in sees the whole machine.
    // Run as an NT program the copy would pin its one client to processor 0.
    DWORD_PTR processMask = 0, systemMask = 0;
    GetProcessAffinityMask(GetCurrentProcess(), &processMask, &systemMask);
    if (systemMask == 1)
        GTEST_SKIP() << "one processor: both families give mask 1";
    DWORD seen = 0;
    for (int attempt = 0; attempt < 100 && seen == 0; ++attempt, Sleep(50))
        seen = ReadDword(HKEY_LOCAL_MACHINE, zr::DEFAULT_STATE_KEY_PATH, zr::REC_AFFINITY_MASK, 0);
    EXPECT_EQ(static_cast<DWORD>(systemMask), seen);
}

TEST_F(Host9x, SecondCopyWithoutArgumentRestartsTheClientsAndEndsWithoutBox)
{
    StartRunningCopy();
    for (const char* tail : {"", "     "}) {
        int before = Restarts();
        RunCopy(tail, {});
        ExpectRestartedOnce(before);
    }
    EXPECT_EQ(0, log.Count("Service already running...abort"));
}

TEST_F(Host9x, QuitCommandsStopTheRunningCopy)
{
    for (const char* tail : {" -q", " -Q", " -quit  "}) {
        StartRunningCopy();
        std::vector<DWORD> clients = log.ClientProcessIds();
        std::vector<std::string> texts = RunCopy(tail, {CAPTION});
        EXPECT_EQ("ZR 9x Service Stopped", texts.at(0)) << tail;
        EXPECT_TRUE(running.WaitEnded(EXIT_BOUND_MS)) << tail;
        // Its client was closed through its exit path before the answer.
        ASSERT_FALSE(clients.empty());
        qel::UniqueHandle client(OpenProcess(SYNCHRONIZE, FALSE, clients.back()));
        EXPECT_TRUE(!client || WaitForSingleObject(client.get(), 0) == WAIT_OBJECT_0) << tail;
    }
    std::vector<std::string> texts = RunCopy(" -q", {CAPTION});
    EXPECT_EQ("ZR 9x Service not running", texts.at(0));
}

TEST_F(Host9x, ConfigurationCommandShowsTheSettingsAndRestartsTheRunningCopy)
{
    StartRunningCopy();

    int before = Restarts();
    std::vector<std::string> texts = RunCopy("   -x   ", {CAPTION});
    EXPECT_EQ("Service Parameters:\nAuto Restart OFF\nTrue Idle=TRUE\nMonitor and Restart=FALSE\n"
              "Restart Stalled Clients=FALSE\nKeep Icons Visible=FALSE\nWUQueue=0\nAutodialType=0\n"
              "PeriodicRestart=0",
              texts.at(0));
    EXPECT_EQ(1u, ReadDword(HKEY_LOCAL_MACHINE, SETTINGS_KEY, "TrueIdle", 0));
    ExpectRestartedOnce(before);

    // An invalid time shows the unchanged settings and still restarts.
    WriteDword(HKEY_LOCAL_MACHINE, SETTINGS_KEY, "AutoRestart", 1);
    WriteDword(HKEY_LOCAL_MACHINE, SETTINGS_KEY, "RestartTime", 930);
    before = Restarts();
    texts = RunCopy(" -r:2500", {CAPTION});
    EXPECT_EQ(0u, texts.at(0).find("Service Parameters:\nAutoRestart ON - Time = 09:30\n\nTrue Idle=TRUE\n"))
        << texts.at(0);
    EXPECT_EQ(930u, ReadDword(HKEY_LOCAL_MACHINE, SETTINGS_KEY, "RestartTime", 0));
    ExpectRestartedOnce(before);
}

TEST_F(Host9x, VersionUninstallAndDisplayShowTheirBoxesButSendNoRestart)
{
    StartRunningCopy();
    int before = Restarts();

    std::vector<std::string> texts = RunCopy(" -v", {"Version", CAPTION});
    EXPECT_EQ("Korvane 9x service Version 1.6\nThe service is not installed.", texts.at(0));
    EXPECT_EQ(0u, texts.at(1).find("Service Parameters:\n"));

    texts = RunCopy(" -u", {"Service Uninstall", CAPTION});
    EXPECT_EQ("Korvane 9x service is not installed\n", texts.at(0));

    texts = RunCopy(" -d", {CAPTION});
    EXPECT_EQ(0u, texts.at(0).find("Service Parameters:\n"));

    // A restart request would have been answered only after the clients were
    // stopped, before the asking copy ended.
    EXPECT_EQ(before, Restarts());

    // -i shows the same two boxes and does ask for a restart.
    texts = RunCopy(" -i", {"Service Install", CAPTION});
    EXPECT_EQ("Korvane 9x service installed\n", texts.at(0));
    std::string registered = ExePath().find(' ') == std::string::npos ? ExePath() : "\"" + ExePath() + "\"";
    DWORD storedLength = 0;
    EXPECT_EQ(registered, ReadString(HKEY_LOCAL_MACHINE, RUN_SERVICES_KEY, SERVICE_NAME, &storedLength));
    EXPECT_EQ(registered.size() + 1, storedLength);
    ExpectRestartedOnce(before);

    before = Restarts();
    texts = RunCopy(" -u", {"Service Uninstall", CAPTION});
    EXPECT_EQ("Korvane 9x service removed. (You must delete the file (" + ExePath() + ") yourself.)\n",
              texts.at(0));
    EXPECT_FALSE(ValueExists(HKEY_LOCAL_MACHINE, RUN_SERVICES_KEY, SERVICE_NAME));
    EXPECT_EQ(before, Restarts());
}

TEST_F(Host9x, CommandsWithoutBoxChangeNothingOrOnlyTheStore)
{
    WriteDword(HKEY_LOCAL_MACHINE, SETTINGS_KEY, "WUQueue", 2);
    WriteDword(HKEY_LOCAL_MACHINE, SETTINGS_KEY, "NumClients", 3);
    StartRunningCopy();
    int before = Restarts();

    // The running copy holds the settings mutex: the resize is refused and
    // nothing is saved (a save would write this copy's client count, 1).
    RunCopy(" -w:4", {});
    EXPECT_EQ(2u, ReadDword(HKEY_LOCAL_MACHINE, SETTINGS_KEY, "WUQueue", 0));
    EXPECT_EQ(3u, ReadDword(HKEY_LOCAL_MACHINE, SETTINGS_KEY, "NumClients", 0));

    // No such command here.
    RunCopy(" -p:2:0", {});
    EXPECT_EQ(3u, ReadDword(HKEY_LOCAL_MACHINE, SETTINGS_KEY, "NumClients", 0));

    // Saved, but not shown and not sent.
    RunCopy(" -h:30", {});
    EXPECT_EQ(30u, ReadDword(HKEY_LOCAL_MACHINE, SETTINGS_KEY, "HourlyRestart", 0));

    EXPECT_EQ(before, Restarts());
    EXPECT_TRUE(running.Running());
}

// Windows ends the session with WM_ENDSESSION to every top-level window; the
// running copy's is its hidden control window.
HWND ControlWindowOf(DWORD processId)
{
    for (HWND window = nullptr; (window = FindWindowExA(nullptr, window, CONTROL_WINDOW_CLASS, nullptr)) != nullptr;) {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner == processId)
            return window;
    }
    return nullptr;
}

TEST_F(Host9x, ShutdownStopsTheClientsInOrderButALogoffDoesNot)
{
    StartRunningCopy();
    std::vector<DWORD> clients = log.ClientProcessIds();
    ASSERT_FALSE(clients.empty());
    HWND control = ControlWindowOf(running.Id());
    ASSERT_NE(nullptr, control);
    DWORD_PTR result = 0;

    ASSERT_TRUE(SendMessageTimeoutA(control, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF, SMTO_NORMAL, 5000, &result));
    EXPECT_EQ(0, log.Count("Service Shutdown"));
    EXPECT_FALSE(running.WaitEnded(500));

    // The answer comes only once the clients were closed through their exit
    // path: the system may end the process right after it.
    ASSERT_TRUE(SendMessageTimeoutA(control, WM_ENDSESSION, TRUE, 0, SMTO_NORMAL, EXIT_BOUND_MS, &result));
    EXPECT_EQ(1, log.Count("Service Shutdown"));
    EXPECT_EQ(1, log.Count(CLIENTS_STOPPED));
    EXPECT_EQ(1u, ReadDword(HKEY_LOCAL_MACHINE, zr::DEFAULT_STATE_KEY_PATH, zr::REC_CONFIRMED, 0));
    EXPECT_TRUE(WaitProcessEnd(clients.back(), 0));
    // And the copy does not start them again.
    EXPECT_TRUE(running.WaitEnded(EXIT_BOUND_MS));
    EXPECT_EQ(1, log.Count(CLIENT_STARTED)) << log.NewText();
}

// A console or copy without the right to write the key is told so; the
// settings stay as they were.
TEST_F(Host9x, FailedSaveShowsTheErrorAndChangesNothing)
{
    ReadOnlyKey readOnly(SETTINGS_KEY);
    ASSERT_TRUE(readOnly.Applied());
    std::vector<std::string> texts = RunCopy(" -x", {CAPTION});
    EXPECT_EQ(0u, texts.at(0).find("Settings not saved: error 5 (")) << texts.at(0);
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), other.ExitCode(EXIT_BOUND_MS));
    EXPECT_FALSE(ValueExists(HKEY_LOCAL_MACHINE, SETTINGS_KEY, "TrueIdle"));
}

TEST_F(Host9x, RunServicesEntryIsQuotedWhenThePathHasABlank)
{
    std::string folder = PathBesideTest("qel 9x copy");
    std::string copyPath = folder + "\\" + EXE_NAME;
    CreateDirectoryA(folder.c_str(), nullptr);
    ASSERT_TRUE(CopyFileA(ExePath().c_str(), copyPath.c_str(), FALSE));

    ASSERT_TRUE(other.Start(copyPath, " -i"));
    ShownBox install = TakeMessageBox("Service Install", other.Id(), BOX_BOUND_MS);
    EXPECT_EQ("Korvane 9x service installed\n", install.Text);
    EXPECT_TRUE(TakeMessageBox(CAPTION, other.Id(), BOX_BOUND_MS));
    EXPECT_TRUE(other.WaitEnded(EXIT_BOUND_MS));
    EXPECT_EQ("\"" + copyPath + "\"", ReadString(HKEY_LOCAL_MACHINE, RUN_SERVICES_KEY, SERVICE_NAME));

    other.reset();
    DeleteFileA(copyPath.c_str());
    DeleteFileA((folder + "\\qelsvc.log").c_str());
    RemoveDirectoryA(folder.c_str());
}

// The supervisor as the real service: installed, started and stopped through
// the Service Control Manager, with three stand-in clients.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../standin-zr/standin_values.h"
#include "program_run.h"
#include "registry_scratch.h"
#include "service_control.h"
#include "standin_client.h"
#include "supervisor_harness.h"
#include "win_handles.h"

using namespace qeltest;

namespace {

constexpr char kServiceName[] = "Korvane service";
constexpr char kSettingsKey[] = "Software\\Morl\\qel\\svcparms";
constexpr unsigned kClients = 3;

bool ClientsWorking(DWORD timeoutMs)
{
    for (DWORD start = GetTickCount();;) {
        bool all = true;
        for (unsigned i = 0; i < kClients; ++i)
            all = all && ReadStandInDword(i, zr::REC_CLICKS) == 1;
        if (all)
            return true;
        if (GetTickCount() - start > timeoutMs)
            return false;
        Sleep(100);
    }
}

class ServiceEndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        BringUpDesktop();
        RemoveServiceIfPresent(kServiceName, 60000);
        DeleteKey(HKEY_LOCAL_MACHINE, kSettingsKey);
        for (unsigned i = 0; i <= kClients; ++i)
            DeleteStandInKey(i);
        logPath = PathBesideTest("qelsvc.log");
        logOffset = FileSize(logPath);
    }

    // Also on failure: an installed auto-start service would come back with
    // every new Wine session.
    void TearDown() override
    {
        RemoveServiceIfPresent(kServiceName, 60000);
        for (unsigned i = 0; i <= kClients; ++i) {
            EndProcessById(ReadStandInDword(i, zr::REC_PROCESS_ID));
            DeleteStandInKey(i);
        }
        DeleteKey(HKEY_LOCAL_MACHINE, kSettingsKey);
    }

    FastDispatcherFailure dispatcher_;
    std::string logPath;
    long long logOffset = 0;
};

} // namespace

TEST_F(ServiceEndToEnd, RunsThreeClientsAndClosesThemWhenTheServiceStops)
{
    ASSERT_EQ("Korvane service installed\n", RunQelsvc("-i"));
    RunQelsvc("-p:3");
    // A slow stop: the first copy hangs once confirmed and is ended by force.
    SetStandInValue(0, zr::HANG_AFTER_CONFIRM, 1);
    EXPECT_NE(std::string::npos, RunQelsvc("-m").find("Monitor and Restart = TRUE"));

    ASSERT_TRUE(StartServiceByName(kServiceName));
    ASSERT_TRUE(WaitForServiceState(kServiceName, SERVICE_RUNNING, 30000));
    ASSERT_TRUE(ClientsWorking(60000));

    // The Windows version the run emulates reaches the service that the
    // Service Control Manager starts: only Vista and later (Wine's own
    // default) are offered the pre-shutdown control.
    const char* version = TestedWindowsVersion("qelsvc.exe", nullptr);
    const bool beforeVista = version && std::string(version) != "win7" && std::string(version) != "win10";
    EXPECT_EQ(!beforeVista, (QueryServiceControlsAccepted(kServiceName) & SERVICE_ACCEPT_PRESHUTDOWN) != 0)
        << (version ? version : "Wine's default version");

    DWORD pids[kClients] = {};
    for (unsigned i = 0; i < kClients; ++i) {
        SCOPED_TRACE(i);
        pids[i] = ReadStandInDword(i, zr::REC_PROCESS_ID);
        EXPECT_NE(0u, pids[i]);
        EXPECT_EQ("ZR - client " + std::to_string(i + 1), ReadStandInString(i, zr::REC_TITLE_AT_CLICK));
        EXPECT_EQ(1u, ReadStandInDword(i, zr::REC_MINIMIZES));
        EXPECT_FALSE(WaitProcessEnd(pids[i], 0));
    }

    // The running service holds the settings mutex: the queue stays as it is.
    EXPECT_EQ("Service is running - can't alter the queue\nWork Unit Queue Size = 0\n", RunQelsvc("-w:4"));

    // A copy killed from outside comes back in its own slot.
    DWORD killed = pids[1];
    EndProcessById(killed);
    for (DWORD start = GetTickCount(); GetTickCount() - start < 60000; Sleep(100)) {
        pids[1] = ReadStandInDword(1, zr::REC_PROCESS_ID);
        if (pids[1] != killed && pids[1] != 0 && ReadStandInDword(1, zr::REC_CLICKS) == 1)
            break;
    }
    ASSERT_NE(killed, pids[1]);
    EXPECT_EQ("ZR - client 2", ReadStandInString(1, zr::REC_TITLE_AT_CLICK));

    // The status command answers while the service runs: every client
    // working (exit code 0), the relaunched one with its restart and how its
    // last copy ended.
    DWORD listExit = 99;
    std::string listing;
    for (DWORD start = GetTickCount(); GetTickCount() - start < 10000; Sleep(200)) {
        listing = RunQelsvc("-l", &listExit);
        if (listExit == 0)
            break;
    }
    EXPECT_EQ(0u, listExit) << listing;
    EXPECT_EQ(0u, listing.find("Client 1: working " + Hex(pids[0]) + " up 0d00:0")) << listing;
    EXPECT_NE(std::string::npos, listing.find("\nClient 2: working " + Hex(pids[1]))) << listing;
    EXPECT_NE(std::string::npos, listing.find(" restarts 1 last crash 0x")) << listing;
    EXPECT_NE(std::string::npos, listing.find("\nKorvane service: running (version 1.6, since ")) << listing;

    // The stop is answered at once (no 1053), and while the copy that hangs
    // after its confirmation is waited for, the stop-pending checkpoint
    // keeps advancing.
    ASSERT_TRUE(ControlServiceByName(kServiceName, SERVICE_CONTROL_STOP)) << GetLastError();
    std::vector<DWORD> checkpoints;
    ASSERT_TRUE(WatchStopPending(kServiceName, 60000, checkpoints));
    ASSERT_GE(checkpoints.size(), 3u);
    for (size_t i = 1; i < checkpoints.size(); ++i)
        EXPECT_GT(checkpoints[i], checkpoints[i - 1]);

    for (unsigned i = 0; i < kClients; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(1u, ReadStandInDword(i, zr::REC_EXIT_PRESSES));
        EXPECT_EQ(1u, ReadStandInDword(i, zr::REC_CONFIRMED));
        EXPECT_TRUE(WaitProcessEnd(pids[i], 5000));
    }

    std::vector<std::string> log = ReadLogLines(logPath, logOffset);
    const std::vector<std::string> expected = {
        "Starting Service",          "starting client 1",       "starting client 2",
        "starting client 3",         "Process " + Hex(killed) + " (client 2) terminated", " Attempting restart",
        "Client Stop initiated...", "Stopping process " + Hex(pids[0]) + "...",
        "Stopping process " + Hex(pids[1]) + "...", "Stopping process " + Hex(pids[2]) + "...",
        "Client Stop completed",     "Service Stopped"};
    EXPECT_TRUE(LinesInOrder(log, expected));
    EXPECT_EQ(kClients, static_cast<unsigned>(CountLines(log, "Client start successful: ", true)));

    // And after the stop: not running (3), the last states kept.
    std::string stopped = RunQelsvc("-l", &listExit);
    EXPECT_EQ(3u, listExit) << stopped;
    EXPECT_NE(std::string::npos, stopped.find("Client 3: empty restarts 0 last stop 0x0\n")) << stopped;
    EXPECT_NE(std::string::npos, stopped.find("Korvane service: stopped (last run ended ")) << stopped;

    std::string removed = RunQelsvc("-u");
    EXPECT_EQ(0u, removed.find("Korvane service removed.")) << removed;
}

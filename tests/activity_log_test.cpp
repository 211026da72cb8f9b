#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <thread>

#include "activity_log.h"
#include "program_run.h"
#include "debug_trace_capture.h"

namespace {

// A log file of its own in the temp folder, removed before and after.
class ScratchLog : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tempDir[MAX_PATH] = {};
        GetTempPathA(MAX_PATH, tempDir);
        path_ = std::string(tempDir) + "qel-activity-test.log";
        DeleteFileA(path_.c_str());
        DeleteFileA((path_ + ".1").c_str());
        context_.ServiceName = "Log test service";
        snprintf(context_.LogPath, sizeof context_.LogPath, "%s", path_.c_str());
    }
    void TearDown() override
    {
        DeleteFileA(path_.c_str());
        DeleteFileA((path_ + ".1").c_str());
    }

    std::string path_;
    ServiceLogContext context_;
};

const std::regex kLogLine(R"(\[\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\.\d{3}\]: (.*)\r)");

std::vector<std::string> SplitLines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

} // namespace

TEST(LogTimestamp, PadsEveryField)
{
    struct Case {
        SYSTEMTIME time;
        const char* expected;
    } cases[] = {
        {{2026, 1, 0, 2, 3, 4, 5, 6}, "[2026/01/02 03:04:05.006]: "},
        {{999, 12, 0, 31, 23, 59, 59, 999}, "[0999/12/31 23:59:59.999]: "},
        {{2000, 10, 0, 10, 0, 0, 0, 0}, "[2000/10/10 00:00:00.000]: "},
    };
    for (const Case& c : cases) {
        char buffer[64];
        FormatLogTimestamp(buffer, sizeof buffer, c.time);
        EXPECT_STREQ(c.expected, buffer);
    }
}

TEST(LogPath, ReplacesTheFileNameAfterTheLastBackslash)
{
    char out[MAX_PATH];
    ReplaceFileName(out, sizeof out, "C:\\Program Files\\QEL\\qelsvc.exe", "qelsvc.log");
    EXPECT_STREQ("C:\\Program Files\\QEL\\qelsvc.log", out);
    ReplaceFileName(out, sizeof out, "qelsvc.exe", "zr.exe");
    EXPECT_STREQ("zr.exe", out);

    char small[12];
    ReplaceFileName(small, sizeof small, "C:\\dir\\qelsvc.exe", "qelsvc.log");
    EXPECT_STREQ("C:\\dir\\qels", small);  // cut, never overflowing
}

TEST_F(ScratchLog, FirstLineCreatesTheFileInTextMode)
{
    WriteLog(context_, "Starting Service");
    WriteLog(context_, "starting client %d", 3);

    std::string text = qeltest::ReadWholeFile(path_);
    std::vector<std::string> lines = SplitLines(text);
    ASSERT_EQ(2u, lines.size()) << text;
    std::smatch match;
    ASSERT_TRUE(std::regex_match(lines[0], match, kLogLine)) << lines[0];
    EXPECT_EQ("Starting Service", match[1].str());
    ASSERT_TRUE(std::regex_match(lines[1], match, kLogLine)) << lines[1];
    EXPECT_EQ("starting client 3", match[1].str());
}

TEST_F(ScratchLog, TextWithPercentSignsIsWrittenAndEchoedUnchanged)
{
    DebugTraceCapture trace;
    ASSERT_TRUE(trace.active());
    WriteLog(context_, "%s", "100% done %s %d");

    std::smatch match;
    std::vector<std::string> lines = SplitLines(qeltest::ReadWholeFile(path_));
    ASSERT_EQ(1u, lines.size());
    ASSERT_TRUE(std::regex_match(lines[0], match, kLogLine));
    EXPECT_EQ("100% done %s %d", match[1].str());

    char expected[128];
    snprintf(expected, sizeof expected, "[Log test service](%lu): 100%% done %%s %%d\n", GetCurrentThreadId());
    ASSERT_TRUE(trace.WaitForText("100% done", 2000));
    int echoes = 0;
    for (const auto& line : trace.Lines()) {
        if (line.Text.find("100% done") == std::string::npos)
            continue;
        ++echoes;
        EXPECT_EQ(expected, line.Text);
        EXPECT_EQ(GetCurrentProcessId(), line.ProcessId);
    }
    EXPECT_EQ(1, echoes);
}

TEST_F(ScratchLog, OverlongTextIsCutNotOverflowed)
{
    std::string longText(3000, 'x');
    WriteLog(context_, "%s", longText.c_str());
    WriteLog(context_, "after");

    std::vector<std::string> lines = SplitLines(qeltest::ReadWholeFile(path_));
    ASSERT_EQ(2u, lines.size());
    std::smatch match;
    ASSERT_TRUE(std::regex_match(lines[0], match, kLogLine));
    EXPECT_EQ(std::string(LOG_LINE_SIZE - 2, 'x'), match[1].str());
    ASSERT_TRUE(std::regex_match(lines[1], match, kLogLine));
    EXPECT_EQ("after", match[1].str());
}

TEST_F(ScratchLog, DeletedFileIsCreatedAgainAndUnwritablePathIsIgnored)
{
    WriteLog(context_, "one");
    ASSERT_TRUE(DeleteFileA(path_.c_str()));
    WriteLog(context_, "two");
    std::vector<std::string> lines = SplitLines(qeltest::ReadWholeFile(path_));
    ASSERT_EQ(1u, lines.size());
    EXPECT_NE(std::string::npos, lines[0].find("two"));

    snprintf(context_.LogPath, sizeof context_.LogPath, "%s", "Q:\\no\\such\\folder\\qelsvc.log");
    WriteLog(context_, "dropped without a fault");
}

TEST(DebugTrace, PrefixesNameAndThreadAndCutsLongLines)
{
    DebugTraceCapture trace;
    ASSERT_TRUE(trace.active());
    TraceDebug("Korvane service", "CNTService::OnUserControl(%8.8lXH)", 128ul);
    std::string longText(2000, 'y');
    TraceDebug("Korvane service", "long %s", longText.c_str());

    ASSERT_TRUE(trace.WaitForText("long y", 2000));
    ASSERT_TRUE(trace.WaitForText("OnUserControl", 2000));
    char expected[128];
    snprintf(expected, sizeof expected, "[Korvane service](%lu): CNTService::OnUserControl(00000080H)\n",
             GetCurrentThreadId());
    bool sawUserControl = false;
    for (const auto& line : trace.Lines()) {
        if (line.Text.find("OnUserControl") != std::string::npos) {
            EXPECT_EQ(expected, line.Text);
            sawUserControl = true;
        }
        if (line.Text.find("long y") != std::string::npos) {
            EXPECT_EQ(LOG_LINE_SIZE - 1, line.Text.size());
            EXPECT_EQ('\n', line.Text.back());
        }
    }
    EXPECT_TRUE(sawUserControl);
}

// Lines go on in order across the rotation, each file stays near the limit,
// and two threads logging at once never rotate twice in a row (which would
// put a nearly empty file in place of the older one).
TEST_F(ScratchLog, RotatesAtTheSizeLimitKeepingOneOlderFile)
{
    const DWORD limit = 1000;
    const long long longestLine = 60;
    context_.LogRotateBytes = limit;
    for (int i = 0; i < 60; ++i)
        WriteLog(context_, "line %d", i);

    std::vector<std::string> lines;
    for (const std::string& file : {path_ + ".1", path_}) {
        long long size = qeltest::FileSize(file);
        EXPECT_LE(size, limit + longestLine) << file;
        for (const std::string& line : SplitLines(qeltest::ReadWholeFile(file))) {
            std::smatch match;
            ASSERT_TRUE(std::regex_match(line, match, kLogLine)) << line;
            lines.push_back(match[1]);
        }
    }
    EXPECT_GE(qeltest::FileSize(path_ + ".1"), limit);
    ASSERT_FALSE(lines.empty());
    for (size_t i = 0; i < lines.size(); ++i)
        EXPECT_EQ("line " + std::to_string(60 - lines.size() + i), lines[i]);

    auto writer = [this](int thread) {
        for (int i = 0; i < 150; ++i)
            WriteLog(context_, "thread %d line %d", thread, i);
    };
    std::thread first(writer, 1), second(writer, 2);
    first.join();
    second.join();
    EXPECT_GE(qeltest::FileSize(path_ + ".1"), limit);
    EXPECT_LE(qeltest::FileSize(path_ + ".1"), limit + longestLine);
    std::string newest = qeltest::ReadWholeFile(path_);
    EXPECT_TRUE(newest.find("thread 1 line 149") != std::string::npos ||
                newest.find("thread 2 line 149") != std::string::npos)
        << newest;
}

TEST(MachineWideNames, OnlyFrom2000OnInTheNtFamily)
{
    EXPECT_FALSE(MachineWideNamesApplyFor(false, 4));  // NT 4.0
    EXPECT_TRUE(MachineWideNamesApplyFor(false, 5));   // 2000, XP
    EXPECT_TRUE(MachineWideNamesApplyFor(false, 10));
    EXPECT_FALSE(MachineWideNamesApplyFor(true, 4));   // 95, 98, Me
}

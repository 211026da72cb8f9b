#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <thread>

#include "activity_log.h"
#include "debug_trace_capture.h"
#include "mutex_holder.h"
#include "program_run.h"
#include "registry_scratch.h"
#include "service_control.h"
#include "silent_debug_monitor.h"
#include "win_handles.h"

namespace {

// A log file of its own in the temp folder, removed with its older
// generations (whatever a test made of them) before and after.
class ScratchLog : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tempDir[MAX_PATH] = {};
        GetTempPathA(MAX_PATH, tempDir);
        path_ = std::string(tempDir) + "qel-activity-test.log";
        Clean();
        context_.ServiceName = "Log test service";
        snprintf(context_.LogPath, sizeof context_.LogPath, "%s", path_.c_str());
    }
    void TearDown() override { Clean(); }

    void Clean()
    {
        for (const char* suffix : {"", ".1", ".2", ".1.old", ".2.old", ".held"}) {
            std::string name = path_ + suffix;
            SetFileAttributesA(name.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileA(name.c_str());
            RemoveDirectoryA(name.c_str());
        }
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

void WriteText(const std::string& path, const std::string& text)
{
    qel::UniqueFileHandle file(
        CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    ASSERT_TRUE(file && WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr));
}

// The texts of the log lines of the files, oldest file first.
std::vector<std::string> LogTexts(const std::vector<std::string>& files)
{
    std::vector<std::string> texts;
    for (const std::string& file : files) {
        for (const std::string& line : SplitLines(qeltest::ReadWholeFile(file))) {
            std::smatch match;
            EXPECT_TRUE(std::regex_match(line, match, kLogLine)) << line;
            texts.push_back(match[1]);
        }
    }
    return texts;
}

// "line <first>" ... "line <last>", each once, in order.
::testing::AssertionResult NumberedLines(const std::vector<std::string>& texts, int first, int last)
{
    if (texts.size() != static_cast<size_t>(last - first + 1))
        return ::testing::AssertionFailure() << texts.size() << " lines, " << last - first + 1 << " expected";
    for (size_t i = 0; i < texts.size(); ++i)
        if (texts[i] != "line " + std::to_string(first + static_cast<int>(i)))
            return ::testing::AssertionFailure() << "line " << first + i << " is \"" << texts[i] << "\"";
    return ::testing::AssertionSuccess();
}

int TraceCount(const DebugTraceCapture& trace, const std::string& needle)
{
    int count = 0;
    for (const auto& line : trace.Lines())
        count += line.Text.find(needle) != std::string::npos;
    return count;
}

// Waits until every line this process traced so far has reached the
// capture: the trace goes out in order, so a marker traced last comes last.
void SettleTrace(const DebugTraceCapture& trace)
{
    static int marker = 0;
    std::string text = "settled " + std::to_string(++marker);
    TraceDebug("Log test service", "%s", text.c_str());
    trace.WaitForText(text, 5000);
}

// The events the log raises, as texts "id: string|string|...".
std::vector<std::string> g_events;
void CaptureEvent(void*, const SupervisorEvent& event)
{
    std::string text = std::to_string(event.Id) + ":";
    for (WORD i = 0; i < event.Count; ++i)
        text += (i ? "|" : " ") + std::string(event.Strings[i]);
    g_events.push_back(text);
}

// Renames fail while their target ends with this suffix (empty: none fail).
std::string g_failRenamesTo;
BOOL WINAPI RenameFailingTo(LPCSTR from, LPCSTR to)
{
    const std::string target = to;
    if (!g_failRenamesTo.empty() && target.size() >= g_failRenamesTo.size() &&
        target.compare(target.size() - g_failRenamesTo.size(), std::string::npos, g_failRenamesTo) == 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return MoveFileA(from, to);
}

DWORD WINAPI SizeNeverRead(HANDLE, LPDWORD)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_FILE_SIZE;
}

// The ways an older log file can be stuck where a rotation wants it gone.
enum class Stuck { ReadOnly, Folder, HeldOpen };

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

// A log past 4 GiB (sparse here) still rotates: its size is read in 64
// bits, not through a 32-bit file position.
TEST_F(ScratchLog, LogPastFourGibibytesStillRotates)
{
    {
        qel::UniqueFileHandle file(CreateFileA(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                               FILE_ATTRIBUTE_NORMAL, nullptr));
        LONG high = 1;
        ASSERT_NE(INVALID_SET_FILE_POINTER, SetFilePointer(file.get(), 100, &high, FILE_BEGIN));
        ASSERT_TRUE(SetEndOfFile(file.get()));
    }
    WriteLog(context_, "line 0");
    EXPECT_EQ(0x100000064ll, qeltest::FileSize(path_ + ".1"));
    EXPECT_TRUE(NumberedLines(LogTexts({path_}), 0, 0));
}

// An older file that cannot be replaced is left as it is, and the log still
// rotates (into ".2") and stays bounded; the newest lines are all kept, and
// the trace says why once per rotation, not once per line.
TEST_F(ScratchLog, StuckOlderFileIsKeptAndTheLogStillRotates)
{
    DebugTraceCapture trace;
    const DWORD limit = 1000;
    const long long longestLine = 60;
    context_.LogRotateBytes = limit;
    const std::string older = path_ + ".1";
    for (Stuck stuck : {Stuck::ReadOnly, Stuck::Folder, Stuck::HeldOpen}) {
        SCOPED_TRACE(static_cast<int>(stuck));
        Clean();
        qel::UniqueFileHandle holder;
        if (stuck == Stuck::Folder) {
            ASSERT_TRUE(CreateDirectoryA(older.c_str(), nullptr));
        } else {
            WriteText(older, "kept history\r\n");
            if (stuck == Stuck::ReadOnly)
                ASSERT_TRUE(SetFileAttributesA(older.c_str(), FILE_ATTRIBUTE_READONLY));
            else
                holder.reset(CreateFileA(older.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
        }
        ASSERT_TRUE(stuck != Stuck::HeldOpen || holder);
        const int tracedBefore = TraceCount(trace, "cannot be replaced");
        for (int i = 0; i < 100; ++i)
            WriteLog(context_, "line %d", i);

        if (stuck == Stuck::Folder)
            EXPECT_EQ(FILE_ATTRIBUTE_DIRECTORY, GetFileAttributesA(older.c_str()) & FILE_ATTRIBUTE_DIRECTORY);
        else
            EXPECT_EQ("kept history\r\n", qeltest::ReadWholeFile(older));
        EXPECT_LE(qeltest::FileSize(path_), limit + longestLine);
        EXPECT_GE(qeltest::FileSize(path_ + ".2"), limit);
        EXPECT_LE(qeltest::FileSize(path_ + ".2"), limit + longestLine);
        std::vector<std::string> texts = LogTexts({path_ + ".2", path_});
        EXPECT_TRUE(NumberedLines(texts, 100 - static_cast<int>(texts.size()), 99));
        if (trace.active()) {
            SettleTrace(trace);
            int traced = TraceCount(trace, "cannot be replaced") - tracedBefore;
            EXPECT_GE(traced, 1);
            EXPECT_LE(traced, 5);  // about 3.5 KB written: three or four rotations
        }
    }
}

// A log held open elsewhere without delete sharing cannot be renamed: its
// older file survives (it used to be deleted first), the log grows to its
// cap and no further, and each of the two conditions is traced once.  The
// log itself ends with one line that says lines are dropped, however many
// writers (here a second context, as another process would be) reach the
// cap.  Once freed, the next line rotates as usual.
TEST_F(ScratchLog, HeldLogKeepsItsOlderFileAndStopsAtTheCapWithALastLine)
{
    DebugTraceCapture trace;
    const DWORD limit = 1000;
    const long long longestLine = 60;
    const std::string capLine = "Log not rotated and at its limit of " + std::to_string(LOG_CAP_FACTOR * limit) +
                                " bytes: new lines are dropped";
    context_.LogRotateBytes = limit;
    ServiceLogContext otherWriter;
    otherWriter.LogRotateBytes = limit;
    snprintf(otherWriter.LogPath, sizeof otherWriter.LogPath, "%s", path_.c_str());
    WriteText(path_ + ".1", "older history\r\n");
    {
        qel::UniqueFileHandle holder(CreateFileA(path_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                 nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(holder);
        for (int i = 0; i < 200; ++i)
            WriteLog(context_, "line %d", i);
        WriteLog(otherWriter, "line 200");
        EXPECT_EQ("older history\r\n", qeltest::ReadWholeFile(path_ + ".1"));
        EXPECT_GE(qeltest::FileSize(path_), LOG_CAP_FACTOR * limit);
        EXPECT_LE(qeltest::FileSize(path_),
                  LOG_CAP_FACTOR * limit + longestLine + 30 + static_cast<long long>(capLine.size()));
        std::vector<std::string> texts = LogTexts({path_});
        ASSERT_FALSE(texts.empty());
        EXPECT_EQ(capLine, texts.back());
        texts.pop_back();
        EXPECT_TRUE(NumberedLines(texts, 0, static_cast<int>(texts.size()) - 1));
    }
    WriteLog(context_, "line 201");
    EXPECT_TRUE(NumberedLines(LogTexts({path_}), 201, 201));
    EXPECT_GE(qeltest::FileSize(path_ + ".1"), LOG_CAP_FACTOR * limit);
    if (trace.active()) {
        SettleTrace(trace);
        EXPECT_EQ(2, TraceCount(trace, "Log rotation failed"));  // once per writer
        EXPECT_EQ(2, TraceCount(trace, "new lines are dropped"));
    }
}

// A log that another program holds open without write sharing cannot be
// opened at all.  That is said once (trace and event), its lines go to the
// held file beside it, which is bounded like the log and ends with a line
// saying when it drops lines, and the first line that can open the log again
// moves them into it, in order, and says so.
TEST_F(ScratchLog, LogThatCannotBeOpenedKeepsItsLinesBesideItUntilItCan)
{
    DebugTraceCapture trace;
    g_events.clear();
    context_.EventSink = CaptureEvent;
    context_.LogHeldBytes = 1000;
    const std::string held = path_ + ".held";
    const std::string heldCapLine =
        "Held lines at their limit of 1000 bytes: new lines are dropped until the log can be opened";
    WriteLog(context_, "line 0");
    int keptUpTo = 0;
    {
        qel::UniqueFileHandle holder(
            CreateFileA(path_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(holder);
        for (int i = 1; i <= 60; ++i)
            WriteLog(context_, "line %d", i);
        std::vector<std::string> kept = LogTexts({held});
        ASSERT_GE(kept.size(), 2u);
        EXPECT_EQ(heldCapLine, kept.back());
        kept.pop_back();
        keptUpTo = static_cast<int>(kept.size());
        EXPECT_TRUE(NumberedLines(kept, 1, keptUpTo));
        EXPECT_LT(keptUpTo, 60);
        EXPECT_TRUE(NumberedLines(LogTexts({path_}), 0, 0));
    }
    ASSERT_EQ(1u, g_events.size());
    EXPECT_EQ("120: " + path_ + "|" + std::to_string(ERROR_SHARING_VIOLATION) +
                  "|Until it can be opened again, its lines are kept in " + held + ".",
              g_events[0]);

    WriteLog(context_, "line 61");
    std::vector<std::string> texts = LogTexts({path_});
    ASSERT_EQ(static_cast<size_t>(keptUpTo) + 4, texts.size());
    EXPECT_EQ(heldCapLine, texts[keptUpTo + 1]);
    EXPECT_EQ("Log can be opened again: " + std::to_string(keptUpTo + 1) + " lines kept in " + held +
                  " meanwhile are above",
              texts[keptUpTo + 2]);
    EXPECT_EQ("line 61", texts.back());
    texts.resize(keptUpTo + 1);
    EXPECT_TRUE(NumberedLines(texts, 0, keptUpTo));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(held.c_str()));

    // Held again later: news again.
    {
        qel::UniqueFileHandle holder(
            CreateFileA(path_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        WriteLog(context_, "line 62");
    }
    EXPECT_EQ(2u, g_events.size());
    if (trace.active()) {
        SettleTrace(trace);
        EXPECT_EQ(2, TraceCount(trace, "Log cannot be opened (error 32)"));
        EXPECT_EQ(1, TraceCount(trace, "Held lines at their limit"));
        EXPECT_EQ(1, TraceCount(trace, "Log can be opened again"));
    }
}

// A size that cannot be read makes the log due for rotation, and then the
// writer's own count of what it wrote keeps it rotating at the limit: never
// a log that grows for ever, nor one rotated at every line (which would
// keep no history).
TEST_F(ScratchLog, LogWhoseSizeCannotBeReadStillRotatesAtTheLimit)
{
    DebugTraceCapture trace;
    const DWORD limit = 1000;
    const long long longestLine = 60;
    context_.LogRotateBytes = limit;
    context_.FileCalls.ReadSize = SizeNeverRead;
    WriteText(path_, "earlier history\r\n");
    WriteLog(context_, "line 0");
    EXPECT_EQ("earlier history\r\n", qeltest::ReadWholeFile(path_ + ".1"));
    for (int i = 1; i < 100; ++i)
        WriteLog(context_, "line %d", i);

    EXPECT_GE(qeltest::FileSize(path_ + ".1"), limit);
    EXPECT_LE(qeltest::FileSize(path_ + ".1"), limit + longestLine);
    EXPECT_LE(qeltest::FileSize(path_), limit + longestLine);
    std::vector<std::string> texts = LogTexts({path_ + ".1", path_});
    EXPECT_TRUE(NumberedLines(texts, 100 - static_cast<int>(texts.size()), 99));
    if (trace.active()) {
        SettleTrace(trace);
        EXPECT_EQ(1, TraceCount(trace, "Log size cannot be read"));
    }
}

// The two-step rename (the 9x family's; forced here on every system): when
// both the rename into ".1" and the restore of the set-aside ".1" fail, the
// set-aside file is the only copy of ".1", and later rotations must put it
// back, never delete it, however often they fail too.
TEST_F(ScratchLog, FailedRenameAndRestoreNeverCostTheOlderFile)
{
    const DWORD limit = 1000;
    context_.LogRotateBytes = limit;
    context_.FileCalls.RenameReplacing = nullptr;
    context_.FileCalls.Rename = RenameFailingTo;
    WriteText(path_ + ".1", "older history\r\n");
    g_failRenamesTo = ".1";
    for (int i = 0; i < 100; ++i)  // three or four rotations, all into ".2"
        WriteLog(context_, "line %d", i);
    EXPECT_EQ("older history\r\n", qeltest::ReadWholeFile(path_ + ".1.old"));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA((path_ + ".1").c_str()));
    std::vector<std::string> texts = LogTexts({path_ + ".2", path_});
    EXPECT_TRUE(NumberedLines(texts, 100 - static_cast<int>(texts.size()), 99));

    // Renames work again: the next rotation puts ".1" back first, then
    // rotates as usual.
    g_failRenamesTo.clear();
    for (int i = 100; i < 140; ++i)
        WriteLog(context_, "line %d", i);
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA((path_ + ".1.old").c_str()));
    texts = LogTexts({path_ + ".2", path_ + ".1", path_});
    EXPECT_TRUE(NumberedLines(texts, 140 - static_cast<int>(texts.size()), 139));
}

// Whoever holds the rotation lock must not slow ordinary lines (each used to
// wait 2 s for it); the rotation is left until the lock is free, and then
// nothing written meanwhile is lost.
TEST_F(ScratchLog, HeldRotationLockNeitherSlowsLinesNorLosesThem)
{
    context_.LogRotateBytes = 1000;
    {
        qeltest::ForeignMutexHolder other(LogMutexName());
        ASSERT_TRUE(other.Held());
        DWORD start = GetTickCount();
        for (int i = 0; i < 50; ++i)
            WriteLog(context_, "line %d", i);
        EXPECT_LT(GetTickCount() - start, 2000u);
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA((path_ + ".1").c_str()));
    }
    WriteLog(context_, "line 50");
    EXPECT_TRUE(NumberedLines(LogTexts({path_ + ".1", path_}), 0, 50));
    EXPECT_TRUE(NumberedLines(LogTexts({path_}), 50, 50));
}

// A debug monitor that never reads makes each OutputDebugStringA of the
// machine wait 10 s, and every log line and every step of the service's
// control handler is traced: neither may wait for it.  (The fixture's log;
// outside ScratchLog, whose tests also run as a Windows 98 program.)
class SilentMonitor : public ScratchLog {};

TEST_F(SilentMonitor, HoldsUpNeitherLogLinesNorTheServicesAnswers)
{
    const char* const serviceName = "Korvane service";
    qeltest::RegistryScratch settings("Software\\Morl\\qel\\svcparms");
    settings.SetDword("NumClients", 1);
    qeltest::RemoveServiceIfPresent(serviceName, 60000);
    ASSERT_EQ("Korvane service installed\n", qeltest::RunQelsvc("-i"));
    ASSERT_TRUE(qeltest::StartServiceByName(serviceName));
    EXPECT_TRUE(qeltest::WaitForServiceState(serviceName, SERVICE_RUNNING, 30000));
    {
        qeltest::SilentDebugMonitor monitor;
        ASSERT_TRUE(monitor.Active());
        // Bounds far above what the work takes and far below one wait.
        DWORD start = GetTickCount();
        for (int i = 0; i < 5; ++i)
            WriteLog(context_, "line %d", i);
        EXPECT_LT(GetTickCount() - start, 5000u);
        EXPECT_TRUE(NumberedLines(LogTexts({path_}), 0, 4));

        start = GetTickCount();
        EXPECT_TRUE(qeltest::ControlServiceByName(serviceName, SERVICE_CONTROL_INTERROGATE));
        EXPECT_TRUE(qeltest::ControlServiceByName(serviceName, 128));
        EXPECT_LT(GetTickCount() - start, 5000u);
        EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), qeltest::QueryServiceState(serviceName));
    }
    qeltest::RemoveServiceIfPresent(serviceName, 60000);
}

TEST(MachineWideNames, OnlyFrom2000OnInTheNtFamily)
{
    EXPECT_FALSE(MachineWideNamesApplyFor(false, 4));  // NT 4.0
    EXPECT_TRUE(MachineWideNamesApplyFor(false, 5));   // 2000, XP
    EXPECT_TRUE(MachineWideNamesApplyFor(false, 10));
    EXPECT_FALSE(MachineWideNamesApplyFor(true, 4));   // 95, 98, Me
}

// The log tests again in a copy of this program that Wine runs as a Windows
// 98 program, where the log is written without append access or delete
// sharing and rotated without a replacing rename.
TEST(LogOn9x, ScratchLogTestsPassAsAWindows98Program)
{
    qeltest::ProgramRun run =
        qeltest::RunSelfAsWindows98("activity_log_9x.exe", "--gtest_filter=ScratchLog.*", 90000);
    ASSERT_TRUE(run.Started) << "the copy of this program did not start";
    ASSERT_FALSE(run.TimedOut) << "the Windows 98 run did not finish\n" << run.Output;
    EXPECT_EQ(0u, run.ExitCode) << "a test failed in the Windows 98 run:\n" << run.Output;
    EXPECT_NE(std::string::npos, run.Output.find("PASSED")) << run.Output;
}

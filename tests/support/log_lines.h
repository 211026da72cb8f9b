// Reads an activity log: its lines without their time stamps, lines among
// them, or what was appended to it since a point in time.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

namespace qeltest {

// The lines of the file from byte offset `from` on (the whole file when it is
// shorter), each with its "[yyyy/mm/dd hh:mm:ss.mmm]: " prefix removed (lines
// without one are kept whole) and without line ends.
std::vector<std::string> ReadLogLines(const std::string& path, long long from = 0);

// Index of the first line equal to `text` (or starting with it, when
// `prefix`) at or after `from`; -1 when none.
int FindLine(const std::vector<std::string>& lines, const std::string& text, size_t from = 0,
             bool prefix = false);
int CountLines(const std::vector<std::string>& lines, const std::string& text, bool prefix = false);
// Every `texts` entry appears, in this order, as a whole line; the failure
// names the first one missing and shows the log.
::testing::AssertionResult LinesInOrder(const std::vector<std::string>& lines, const std::vector<std::string>& texts);

// Reads what was appended to a log file after the watch was made.
class LogWatch {
public:
    explicit LogWatch(std::string path);
    std::string NewText() const;
    int Count(const std::string& needle) const;
    // Polls until `needle` occurs at least `count` times; false after timeoutMs.
    bool WaitForCount(const std::string& needle, int count, DWORD timeoutMs) const;
    // Process ids of the clients started since the watch was made.
    std::vector<DWORD> ClientProcessIds() const;

private:
    std::string path_;
    long long start_ = 0;
};

// "0x%x" as the log prints values.
std::string Hex(DWORD value);

} // namespace qeltest

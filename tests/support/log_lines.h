// Reads the lines of an activity log without their time stamps, and finds
// lines among them.
#pragma once

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

// "0x%x" as the log prints values.
std::string Hex(DWORD value);

} // namespace qeltest

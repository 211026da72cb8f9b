// Reads the lines of an activity log without their time stamps.
#pragma once

#include <string>
#include <vector>

namespace qeltest {

// The lines of the file from byte offset `from` on, each with its
// "[yyyy/mm/dd hh:mm:ss.mmm]: " prefix removed (lines without one are kept
// whole) and without line ends.
std::vector<std::string> ReadLogLines(const std::string& path, long long from = 0);

// The size of a file in bytes, 0 when it is missing.
long long FileSize(const std::string& path);

} // namespace qeltest

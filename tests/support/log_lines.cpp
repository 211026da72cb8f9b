#include "log_lines.h"

#include <cstdio>
#include <sstream>

#include "program_run.h"

namespace qeltest {

std::vector<std::string> ReadLogLines(const std::string& path, long long from)
{
    std::vector<std::string> lines;
    std::istringstream text(ReadWholeFile(path, from));
    std::string line;
    while (std::getline(text, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const size_t stampLength = 27; // "[2026/12/07 08:21:43.364]: "
        if (line.size() >= stampLength && line[0] == '[' && line.compare(stampLength - 3, 3, "]: ") == 0)
            line.erase(0, stampLength);
        lines.push_back(line);
    }
    return lines;
}

int FindLine(const std::vector<std::string>& lines, const std::string& text, size_t from, bool prefix)
{
    for (size_t i = from; i < lines.size(); ++i) {
        bool match = prefix ? lines[i].compare(0, text.size(), text) == 0 : lines[i] == text;
        if (match)
            return static_cast<int>(i);
    }
    return -1;
}

int CountLines(const std::vector<std::string>& lines, const std::string& text, bool prefix)
{
    int count = 0;
    for (int i = FindLine(lines, text, 0, prefix); i >= 0; i = FindLine(lines, text, i + 1, prefix))
        ++count;
    return count;
}

std::string Hex(DWORD value)
{
    char text[16];
    snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(value));
    return text;
}

} // namespace qeltest

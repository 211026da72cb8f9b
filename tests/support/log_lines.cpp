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

::testing::AssertionResult LinesInOrder(const std::vector<std::string>& lines, const std::vector<std::string>& texts)
{
    size_t from = 0;
    for (const std::string& text : texts) {
        int at = FindLine(lines, text, from);
        if (at < 0) {
            std::string dump;
            for (const std::string& line : lines)
                dump += "  " + line + "\n";
            return ::testing::AssertionFailure() << "missing (in order): \"" << text << "\"\nlog:\n" << dump;
        }
        from = static_cast<size_t>(at) + 1;
    }
    return ::testing::AssertionSuccess();
}

LogWatch::LogWatch(std::string path) : path_(std::move(path)), start_(FileSize(path_)) {}

std::string LogWatch::NewText() const
{
    return ReadWholeFile(path_, start_);
}

int LogWatch::Count(const std::string& needle) const
{
    std::string text = NewText();
    int count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size()))
        ++count;
    return count;
}

bool LogWatch::WaitForCount(const std::string& needle, int count, DWORD timeoutMs) const
{
    DWORD start = GetTickCount();
    for (;;) {
        if (Count(needle) >= count)
            return true;
        if (GetTickCount() - start >= timeoutMs)
            return false;
        Sleep(50);
    }
}

std::vector<DWORD> LogWatch::ClientProcessIds() const
{
    std::vector<DWORD> ids;
    std::string text = NewText();
    // "... successful: 0x<handle> (0x<pid>) - ..." on every kind of start.
    for (size_t at = text.find("successful: "); at != std::string::npos; at = text.find("successful: ", at + 1)) {
        unsigned handle = 0, id = 0;
        if (sscanf(text.c_str() + at, "successful: 0x%x (0x%x)", &handle, &id) == 2)
            ids.push_back(id);
    }
    return ids;
}

std::string Hex(DWORD value)
{
    char text[16];
    snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(value));
    return text;
}

} // namespace qeltest

#include "log_lines.h"

#include <fstream>
#include <sstream>

namespace qeltest {

std::vector<std::string> ReadLogLines(const std::string& path, long long from)
{
    std::vector<std::string> lines;
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return lines;
    file.seekg(from);
    std::string line;
    while (std::getline(file, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const size_t stampLength = 27; // "[2026/12/07 08:21:43.364]: "
        if (line.size() >= stampLength && line[0] == '[' && line.compare(stampLength - 3, 3, "]: ") == 0)
            line.erase(0, stampLength);
        lines.push_back(line);
    }
    return lines;
}

long long FileSize(const std::string& path)
{
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    return file ? static_cast<long long>(file.tellg()) : 0;
}

} // namespace qeltest

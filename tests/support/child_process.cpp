#include "child_process.h"

#include <cstdio>
#include <vector>

#include "win_handles.h"

std::string BinDir()
{
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string dir(path);
    return dir.substr(0, dir.find_last_of('\\') + 1);
}

namespace {

struct PipeReader {
    HANDLE pipe;
    std::string text;
};

DWORD WINAPI ReadPipe(LPVOID argument)
{
    auto* reader = static_cast<PipeReader*>(argument);
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(reader->pipe, buffer, sizeof buffer, &read, nullptr) && read > 0)
        reader->text.append(buffer, read);
    return 0;
}

} // namespace

ChildResult RunChild(const std::string& program, const std::string& arguments, DWORD timeoutMs)
{
    ChildResult result;
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    qel::UniqueHandle readEnd;
    qel::UniqueHandle writeEnd;
    if (!CreatePipe(readEnd.put(), writeEnd.put(), &inheritable, 0))
        return result;
    SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writeEnd.get();
    startup.hStdError = writeEnd.get();

    std::string path = BinDir() + program;
    std::string commandLine = "\"" + path + "\"" + (arguments.empty() ? "" : " " + arguments);
    std::vector<char> mutableLine(commandLine.begin(), commandLine.end());
    mutableLine.push_back('\0');

    PROCESS_INFORMATION info = {};
    if (!CreateProcessA(path.c_str(), mutableLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &info))
        return result;
    qel::UniqueHandle process(info.hProcess);
    qel::UniqueHandle thread(info.hThread);
    writeEnd.reset();
    result.Started = true;

    PipeReader reader{readEnd.get(), {}};
    qel::UniqueHandle readerThread(CreateThread(nullptr, 0, ReadPipe, &reader, 0, nullptr));
    if (WaitForSingleObject(process.get(), timeoutMs) == WAIT_TIMEOUT) {
        result.TimedOut = true;
        TerminateProcess(process.get(), 0xDEAD);
        WaitForSingleObject(process.get(), 5000);
    }
    GetExitCodeProcess(process.get(), &result.ExitCode);
    if (readerThread)
        WaitForSingleObject(readerThread.get(), 5000);
    result.Output = reader.text;
    return result;
}

std::string ReadWholeFile(const std::string& path)
{
    std::string text;
    FILE* file = fopen(path.c_str(), "rb");
    if (!file)
        return text;
    char buffer[4096];
    size_t read;
    while ((read = fread(buffer, 1, sizeof buffer, file)) > 0)
        text.append(buffer, read);
    fclose(file);
    return text;
}

std::string WithoutCarriageReturns(const std::string& text)
{
    std::string result;
    result.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            continue;
        result += text[i];
    }
    return result;
}

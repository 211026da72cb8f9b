#include "console_run.h"

#include <thread>

#include "activity_log.h"
#include "win_handles.h"

namespace qeltest {

std::string PathBesideTest(const char* fileName)
{
    char path[MAX_PATH] = {};
    PathBesideExecutable(path, sizeof path, fileName);
    return path;
}

ConsoleRun RunConsoleProgram(const char* program, const std::string& arguments, DWORD timeoutMs)
{
    ConsoleRun run;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    qel::UniqueHandle readEnd;
    qel::UniqueHandle writeEnd;
    if (!CreatePipe(readEnd.put(), writeEnd.put(), &inherit, 0))
        return run;
    SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);

    std::string exe = PathBesideTest(program);
    std::string commandLine = "\"" + exe + "\" " + arguments;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writeEnd.get();
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessA(exe.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info))
        return run;
    run.Started = true;
    qel::UniqueHandle process(info.hProcess);
    qel::UniqueHandle thread(info.hThread);
    writeEnd.reset(); // the reader sees the end once the child has ended

    std::string output;
    HANDLE pipe = readEnd.get();
    std::thread reader([pipe, &output] {
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0)
            output.append(buffer, got);
    });
    run.Finished = WaitForSingleObject(process.get(), timeoutMs) == WAIT_OBJECT_0;
    if (!run.Finished) {
        TerminateProcess(process.get(), 1);
        WaitForSingleObject(process.get(), 5000);
    }
    reader.join();
    GetExitCodeProcess(process.get(), &run.ExitCode);
    run.Output = output;
    return run;
}

std::string NormaliseLineEnds(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            continue;
        out += text[i];
    }
    return out;
}

} // namespace qeltest

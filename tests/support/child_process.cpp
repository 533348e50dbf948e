#include "child_process.h"

#include <algorithm>
#include <vector>

namespace teldo::test {

ChildProcess::ChildProcess(const std::string& command_line) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE write_end = nullptr;
    if (!CreatePipe(&output_, &write_end, &inherit, 0)) return;
    SetHandleInformation(output_, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = write_end;
    startup.hStdError = write_end;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    std::vector<char> line(command_line.begin(), command_line.end());
    line.push_back('\0');
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &process_))
        process_ = {};
    CloseHandle(write_end);
}

ChildProcess::~ChildProcess() {
    if (started()) finish(0);
    if (output_) CloseHandle(output_);
}

void ChildProcess::kill() {
    if (!started()) return;
    TerminateProcess(process_.hProcess, 9);
    WaitForSingleObject(process_.hProcess, 10000);
}

ChildResult ChildProcess::finish(unsigned long timeout_ms) {
    ChildResult result;
    result.started = started();
    if (!result.started) return result;
    // Drain the pipe while waiting, so a talkative child cannot block on it.
    const DWORD deadline = GetTickCount() + timeout_ms;
    char buffer[4096];
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(output_, nullptr, 0, nullptr, &available, nullptr)) break;
        if (available != 0) {
            DWORD got = 0;
            if (!ReadFile(output_, buffer, sizeof buffer, &got, nullptr)) break;
            result.output.append(buffer, got);
            continue;
        }
        if (WaitForSingleObject(process_.hProcess, 10) == WAIT_OBJECT_0 &&
            PeekNamedPipe(output_, nullptr, 0, nullptr, &available, nullptr) && available == 0)
            break;
        if (static_cast<LONG>(GetTickCount() - deadline) >= 0) break;
    }
    result.finished = WaitForSingleObject(process_.hProcess, 0) == WAIT_OBJECT_0;
    if (!result.finished) kill();
    GetExitCodeProcess(process_.hProcess, &result.exit_code);
    CloseHandle(process_.hThread);
    CloseHandle(process_.hProcess);
    process_ = {};
    result.output.erase(std::remove(result.output.begin(), result.output.end(), '\r'),
                        result.output.end());
    return result;
}

ChildResult run_child(const std::string& command_line, unsigned long timeout_ms) {
    return ChildProcess(command_line).finish(timeout_ms);
}

}  // namespace teldo::test

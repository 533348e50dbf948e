#include "child_process.h"

#include <algorithm>
#include <iterator>
#include <vector>

#include "polling.h"

namespace teldo::test {

ChildProcess::ChildProcess(const std::string& command_line) {
    // The child's ends are inherited; the test's ends are not, so that no
    // other child keeps this one's input open.
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE output_end = nullptr, input_end = nullptr;
    if (!CreatePipe(&output_pipe_, &output_end, &inherit, 0)) return;
    if (!CreatePipe(&input_end, &input_pipe_, &inherit, 0)) {
        CloseHandle(output_end);
        return;
    }
    SetHandleInformation(output_pipe_, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(input_pipe_, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output_end;
    startup.hStdError = output_end;
    startup.hStdInput = input_end;
    std::vector<char> line(command_line.begin(), command_line.end());
    line.push_back('\0');
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &process_)) {
        start_error_ = GetLastError();
        process_ = {};
    }
    CloseHandle(output_end);
    CloseHandle(input_end);
}

ChildProcess::~ChildProcess() {
    if (started()) finish(0);
    close_input();
    if (output_pipe_) CloseHandle(output_pipe_);
}

bool ChildProcess::read_output() {
    bool got_any = false;
    char buffer[4096];
    DWORD available = 0;
    while (output_pipe_ && PeekNamedPipe(output_pipe_, nullptr, 0, nullptr, &available, nullptr) &&
           available != 0) {
        DWORD got = 0;
        if (!ReadFile(output_pipe_, buffer, sizeof buffer, &got, nullptr)) break;
        std::copy_if(buffer, buffer + got, std::back_inserter(output_),
                     [](char c) { return c != '\r'; });
        got_any = true;
    }
    return got_any;
}

bool ChildProcess::ended() const {
    return WaitForSingleObject(process_.hProcess, 0) == WAIT_OBJECT_0;
}

bool ChildProcess::wait_for_output(const std::regex& pattern, unsigned long timeout_ms) {
    if (!started()) return false;
    bool seen = false;
    poll(timeout_ms, [&] {
        // Whether it had ended before the last read: then nothing more comes.
        const bool over = ended();
        read_output();
        seen = std::regex_search(output_, pattern);
        return seen || over;
    });
    return seen;
}

void ChildProcess::close_input() {
    if (input_pipe_) CloseHandle(input_pipe_);
    input_pipe_ = nullptr;
}

void ChildProcess::kill() {
    if (!started()) return;
    TerminateProcess(process_.hProcess, 9);
    wait_for_signal(process_.hProcess, 10000);
}

ChildResult ChildProcess::finish(unsigned long timeout_ms) {
    ChildResult result;
    result.started = started();
    result.start_error = start_error_;
    close_input();
    if (!result.started) return result;
    // Drain the pipe while waiting, so a talkative child cannot block on it;
    // once it has ended, one more read takes the rest.
    result.finished = poll(timeout_ms, [&] {
        const bool over = ended();
        read_output();
        return over;
    });
    if (!result.finished) kill();
    read_output();
    GetExitCodeProcess(process_.hProcess, &result.exit_code);
    CloseHandle(process_.hThread);
    CloseHandle(process_.hProcess);
    process_ = {};
    result.output = output_;
    return result;
}

ChildResult run_child(const std::string& command_line, unsigned long timeout_ms) {
    return ChildProcess(command_line).finish(timeout_ms);
}

}  // namespace teldo::test

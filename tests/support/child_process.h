// Running another Windows program of the build from a test, talking to it
// through its standard input and output.
#pragma once

#include <windows.h>

#include <regex>
#include <string>

namespace teldo::test {

struct ChildResult {
    bool started = false;
    unsigned long start_error = 0;  // GetLastError() when it did not start
    bool finished = false;   // false when it was still running at the timeout
    unsigned long exit_code = 0;
    std::string output;      // standard output and error, carriage returns removed
};

// One child process with its output captured through a pipe and its standard
// input a pipe that stays open until close_input() or finish(): a child can
// wait for its input to end as the sign to go on.
// Every timeout here is multiplied by wait_factor() (polling.h).
class ChildProcess {
public:
    explicit ChildProcess(const std::string& command_line);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return process_.hProcess != nullptr; }
    // Waits up to `timeout_ms` until what the child has printed so far has a
    // match for `pattern`; whether it has. False at once if the child ended
    // without printing it.
    bool wait_for_output(const std::regex& pattern, unsigned long timeout_ms = 30000);
    // What the child has printed so far (as far as wait_for_output read it).
    const std::string& output() const { return output_; }
    // Ends the child's standard input: it reads end of file.
    void close_input();
    // Ends the child at once, as a crash would: it closes nothing itself.
    void kill();
    // Ends the child's input, waits up to `timeout_ms` for the child to end
    // (killing it then) and returns all it printed.
    ChildResult finish(unsigned long timeout_ms = 30000);

private:
    // Moves what the pipe holds into output_; whether there was anything.
    bool read_output();
    bool ended() const;

    PROCESS_INFORMATION process_{};
    DWORD start_error_ = 0;
    HANDLE output_pipe_ = nullptr;
    HANDLE input_pipe_ = nullptr;
    std::string output_;
};

// Runs `command_line` (program and arguments) to its end, with its input
// ended from the start.
ChildResult run_child(const std::string& command_line, unsigned long timeout_ms = 30000);

}  // namespace teldo::test

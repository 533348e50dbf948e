// Running another Windows program of the build from a test and collecting
// what it printed.
#pragma once

#include <windows.h>

#include <string>

namespace teldo::test {

struct ChildResult {
    bool started = false;
    bool finished = false;   // false when it was still running at the timeout
    unsigned long exit_code = 0;
    std::string output;      // standard output and error, carriage returns removed
};

// One child process with its output captured through a pipe.
class ChildProcess {
public:
    explicit ChildProcess(const std::string& command_line);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return process_.hProcess != nullptr; }
    // Ends the child at once, as a crash would: it closes nothing itself.
    void kill();
    // Waits up to `timeout_ms` for the child to end (killing it then) and
    // returns what it printed.
    ChildResult finish(unsigned long timeout_ms = 30000);

private:
    PROCESS_INFORMATION process_{};
    HANDLE output_ = nullptr;
};

// Runs `command_line` (program and arguments) to its end.
ChildResult run_child(const std::string& command_line, unsigned long timeout_ms = 30000);

}  // namespace teldo::test

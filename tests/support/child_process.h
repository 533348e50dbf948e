// Running another Windows program of the build from a test and collecting
// what it printed.
#pragma once

#include <string>

namespace teldo::test {

struct ChildResult {
    bool started = false;
    bool finished = false;   // false when it was still running at the timeout
    unsigned long exit_code = 0;
    std::string output;      // standard output, carriage returns removed
};

// Runs `command_line` (program and arguments) and waits up to `timeout_ms`;
// a child still running then is terminated.
ChildResult run_child(const std::string& command_line, unsigned long timeout_ms = 30000);

}  // namespace teldo::test

#include "child_process.h"

#include <windows.h>

#include <algorithm>
#include <vector>

namespace teldo::test {

ChildResult run_child(const std::string& command_line, unsigned long timeout_ms) {
    ChildResult result;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inherit, 0)) return result;
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = write_end;
    startup.hStdError = write_end;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION process{};
    std::vector<char> line(command_line.begin(), command_line.end());
    line.push_back('\0');
    result.started = CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                    nullptr, &startup, &process);
    CloseHandle(write_end);
    if (result.started) {
        // Drain the pipe until the child closes its end, then wait for it.
        const DWORD deadline = GetTickCount() + timeout_ms;
        char buffer[4096];
        for (;;) {
            DWORD available = 0;
            if (!PeekNamedPipe(read_end, nullptr, 0, nullptr, &available, nullptr)) break;
            if (available == 0) {
                if (WaitForSingleObject(process.hProcess, 10) == WAIT_OBJECT_0 &&
                    PeekNamedPipe(read_end, nullptr, 0, nullptr, &available, nullptr) &&
                    available == 0)
                    break;
                if (static_cast<LONG>(GetTickCount() - deadline) > 0) break;
                continue;
            }
            DWORD got = 0;
            if (!ReadFile(read_end, buffer, sizeof buffer, &got, nullptr)) break;
            result.output.append(buffer, got);
        }
        const DWORD left = static_cast<LONG>(deadline - GetTickCount()) > 0 ? deadline - GetTickCount() : 0;
        result.finished = WaitForSingleObject(process.hProcess, left) == WAIT_OBJECT_0;
        if (!result.finished) TerminateProcess(process.hProcess, 1);
        GetExitCodeProcess(process.hProcess, &result.exit_code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    CloseHandle(read_end);
    result.output.erase(std::remove(result.output.begin(), result.output.end(), '\r'),
                        result.output.end());
    return result;
}

}  // namespace teldo::test

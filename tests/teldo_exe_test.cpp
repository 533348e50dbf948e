// teldo.exe end to end: the real program, run with a command line and a
// standard input, against the port driver of the tree's prefix (its
// simulated bus, where a port never written reads FF). Each row checks the
// program's standard output exactly, the gist of its standard error, its
// exit code, and exactly which requests reached the driver, in order, and
// through how many opens of the device.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "driver_diagnostics.h"
#include "polling.h"
#include "port_program.h"
#include "version.h"

namespace {

using teldo::diag::FaultPlan;
using teldo::test::DriverDiagnostics;

// A request as the driver's record keeps it: its code and its first input
// bytes (a block's header).
struct Request {
    std::uint32_t code;
    std::vector<std::uint8_t> input;
};
using Sent = std::vector<Request>;

Request rd(std::uint16_t port) { return {teldo::IOCTL_PORT_READ, {std::uint8_t(port), std::uint8_t(port >> 8)}}; }
Request wr(std::uint16_t port, std::uint8_t value) {
    return {teldo::IOCTL_PORT_WRITE, {std::uint8_t(port), std::uint8_t(port >> 8), value}};
}
// A program of `count` operations: its header.
Request program(std::uint8_t count) { return {teldo::IOCTL_PORT_RUN, {1, 0, count, 0, 0, 0, 0, 0}}; }
Request block(bool write, std::uint16_t port, std::uint8_t width, bool fifo, std::uint32_t count) {
    const teldo::BlockHeader header = teldo::make_block_header({port, width, fifo, count});
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&header);
    return {write ? teldo::IOCTL_PORT_WRITE_BLOCK : teldo::IOCTL_PORT_READ_BLOCK, {bytes, bytes + sizeof header}};
}

// `count` values of `digits` hex digits each, all F.
std::string ff_values(int count, int digits = 2) {
    std::string text;
    for (int i = 0; i < count; ++i) text += (i == 0 ? "" : " ") + std::string(digits, 'F');
    return text;
}

struct Row {
    const char* what;
    const char* arguments;
    const char* input;       // the standard input, then its end
    FaultPlan fault;         // planned in the driver before the run
    Sent sent;               // what reaches the driver, in order
    std::uint32_t opens;     // opens of the device
    std::string output;      // the standard output exactly, "\n" standing for "\r\n"
    const char* error_gist;  // in the standard error; "" when it must be empty
    DWORD exit_code;
    const char* file = nullptr;  // the input goes to this file instead
    bool moved = false;          // teldo.exe run as a copy in the temporary folder, no TELDOX.dll there
};

const Row rows[] = {
    {"rd: one port, the byte request", "rd 300", "", {}, {rd(0x300)}, 1, "FF\n", "", 0},
    {"rd: COUNT is hex, up to the last port, in one block", "rd 0XfFf0 10", "", {}, {block(false, 0xFFF0, 1, false, 16)},
     1, ff_values(16) + "\n", "", 0},
    {"wr: each value to the next port, in one block", "wr 0x300 5A 0 ff", "", {}, {block(true, 0x300, 1, false, 3)}, 1,
     "", "", 0},
    {"--fifo: one port 4096 times", "rd --fifo 300 1000", "", {}, {block(false, 0x300, 1, true, 0x1000)}, 1,
     ff_values(0x1000) + "\n", "", 0},
    {"a FIFO of more than 64 KiB in two requests", "rd32 --FIFO 300 4001", "", {},
     {block(false, 0x300, 4, true, 0x4000), block(false, 0x300, 4, true, 1)}, 1, ff_values(0x4001, 8) + "\n", "", 0},
    {"words and dwords are little-endian bytes", "-", "wr32 300 11223344\nrd16 300 2\nrd 301\nwr16 302 abcd\nrd32 300\n",
     {}, {block(true, 0x300, 4, false, 1), block(false, 0x300, 2, false, 2), rd(0x301), block(true, 0x302, 2, false, 1),
          block(false, 0x300, 4, false, 1)},
     1, "3344 1122\n33\nABCD3344\n", "", 0},
    {"--version", "--version", "", {}, {}, 0, "teldo " BRENVO_VERSION_TEXT "\n", "", 0},

    // Usage errors: nothing opened, nothing sent, not even the good values.
    {"no command", "", "", {}, {}, 0, "", "no command", 2},
    {"port above FFFF", "rd 10000", "", {}, {}, 0, "", "port 10000 is above FFFF", 2},
    {"a long port must not wrap to 0300", "rd 100000300", "", {}, {}, 0, "", "port 100000300 is above FFFF", 2},
    {"value above FF after a good one", "wr 300 5A 100", "", {}, {}, 0, "", "value 100 is above FF", 2},
    {"a long dword must not wrap", "wr32 300 100000000", "", {}, {}, 0, "", "value 100000000 is above FFFFFFFF", 2},
    {"COUNT past FFFF", "rd FFFF 2", "", {}, {}, 0, "", "COUNT 2 from that port runs past", 2},
    {"dwords past FFFF", "rd32 FFFC 2", "", {}, {}, 0, "", "COUNT 2 from that port runs past", 2},
    {"an odd word port", "wr16 301 1", "", {}, {}, 0, "", "port 301 is odd", 2},
    {"values past FFFF must not wrap to 0000", "wr FFFF 1 2", "", {}, {}, 0, "", "too many values for port FFFF", 2},
    {"trailing junk", "rd 12x", "", {}, {}, 0, "", "'12x' is not a hex number", 2},
    {"unknown command", "peek 300", "", {}, {}, 0, "", "unknown command 'peek'", 2},
    {"missing value", "wr 300", "", {}, {}, 0, "", "wr takes [--fifo] PORT VALUE...", 2},
    {"--fifo with dump", "dump --fifo 0 1", "", {}, {}, 0, "", "--fifo is for rd and wr", 2},
    // A word echoed in a message shows its control characters, ESC among
    // them, as '?': a line of a script or a program cannot steer the console.
    {"an echoed command word", "-", "peek\x1b]0;x\x07 300\n", {}, {}, 0, "", "line 1: unknown command 'peek?]0;x?'", 2},
    {"an echoed program word", "run -", "rd\x1b[2J 300\n", {}, {}, 0, "", "line 1: unknown operation 'rd?[2J'", 2},

    // A failed request: reported with its ports and the system's error
    // (STATUS_IO_DEVICE_ERROR is 1117), and nothing sent after it.
    {"a failed block", "wr 300 5A 6B", "", {1, 0}, {block(true, 0x300, 1, false, 2)}, 1, "",
     "write of bytes at ports 0300-0301 failed: error 1117", 1},

    // Standard input: one open for the whole script.
    {"- runs its lines, skipping blank and # lines", "-",
     "# set-up\n\nwr 300 1 0 3\n  \n\t# the ports around them\ndump 2fe 311\nrd 300 3\n", {},
     {block(true, 0x300, 1, false, 3), block(false, 0x2FE, 1, false, 20), block(false, 0x300, 1, false, 3)}, 1,
     "02FE: FF FF 01 00 03 " + ff_values(11) + "\n030E: " + ff_values(4) + "\n01 00 03\n", "", 0},
    {"- stops at a line with a usage error, sending nothing of it", "-",
     "wr 300 5A\r\n# then\r\n\r\nwr 301 100 \r\nwr 302 1\r\n", {}, {wr(0x300, 0x5A)}, 1, "",
     "line 4: value 100 is above FF", 2},
    {"- stops at a failed read, printing nothing for it", "-", "# first\n\nrd 300\nwr 300 1\n", {1, 0}, {rd(0x300)},
     1, "", "line 3: read of port 0300 failed: error 1117", 1},

    // Port programs: checked whole before the device is opened, sent as one
    // request; a read, a modify and a poll print their port and value.
    {"run: a handshake from a file", "run handshake.txt",
     "# the card's handshake\r\nwr32 6a0 1234A55A\r\nmodify 6a0 0f 3  # its low bits only\r\n\r\nwait 20 us\r\n"
     "rd16 6a0\r\npoll 6a1 F0 a0 1 ms\r\n",
     {}, {program(5)}, 1, "06A0: 5A\n06A0: A553\n06A1: A5\n", "", 0, "handshake.txt"},
    {"run: a fault on a late line sends nothing", "run faulty.txt", "wr 6a0 1\n\n# then\nrd16 6a1\nrd 6a0\n", {}, {}, 0,
     "", "line 4: port 6a1 is odd", 2, "faulty.txt"},
    {"run: 50000 us in all is the most", "run -",
     "poll 6a0 0 0 10 ms\npoll 6a0 0 0 10 ms\npoll 6a0 0 0 10 ms\npoll 6a0 0 0 10 ms\npoll 6a0 0 0 10000 us\nwait 1 us\n", {},
     {}, 0, "", "line 6: with this line the waits and polls add up to more than 50000 us", 2},
    {"run: a poll that times out ends it, its line named", "run -", "wr 6b0 1\nrd 6b0\npoll 6b0 80 80 300 us\nwr 6b0 2\n",
     {}, {program(4)}, 1, "06B0: 01\n", "line 3: poll of port 06B0 timed out after 300 us: it last read 01", 1},

    // TELDOX.dll only from teldo.exe's own folder: not the one in the
    // current folder (bin/), nor one along PATH.
    {"TELDOX.dll missing beside teldo.exe", "rd 300", "", {}, {}, 0, "", "cannot load TELDOX.dll: error 126", 1,
     nullptr, true},
};

std::string crlf(const std::string& text) {
    std::string result;
    for (char c : text) result += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return result;
}

// A file for one of the child's standard handles: inherited by it, gone once
// closed.
HANDLE temporary_file() {
    char folder[MAX_PATH], name[MAX_PATH];
    GetTempPathA(MAX_PATH, folder);
    GetTempFileNameA(folder, "tel", 0, name);
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                       CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE,
                       nullptr);
}

std::string contents(HANDLE file) {
    std::string text;
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    char buffer[4096];
    DWORD got;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got != 0)
        text.append(buffer, got);
    return text;
}

struct Ended {
    DWORD exit_code = 0;
    std::string output, error;
};

// Runs `program` (teldo.exe beside this test in bin/, or a copy of it) with
// `arguments`, its standard input a pipe holding `input` and then its end.
Ended run_teldo(const std::string& program, const std::string& arguments, const std::string& input) {
    Ended run;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE input_end = nullptr, input_pipe = nullptr;
    if (!CreatePipe(&input_end, &input_pipe, &inherit, 65536)) {
        ADD_FAILURE() << "no pipe, error " << GetLastError();
        return run;
    }
    SetHandleInformation(input_pipe, HANDLE_FLAG_INHERIT, 0);
    DWORD written = 0;
    if (!input.empty()) WriteFile(input_pipe, input.data(), input.size(), &written, nullptr);
    EXPECT_EQ(written, input.size());
    CloseHandle(input_pipe);
    const HANDLE output = temporary_file(), error = temporary_file();

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input_end;
    startup.hStdOutput = output;
    startup.hStdError = error;
    std::string command_line = "\"" + program + "\" " + arguments;
    PROCESS_INFORMATION process{};
    if (CreateProcessA(nullptr, command_line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                       &startup, &process)) {
        if (!teldo::test::wait_for_signal(process.hProcess, 30000)) {
            ADD_FAILURE() << "teldo.exe did not end";
            TerminateProcess(process.hProcess, 9);
            WaitForSingleObject(process.hProcess, 10000);
        }
        GetExitCodeProcess(process.hProcess, &run.exit_code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    } else {
        ADD_FAILURE() << "teldo.exe did not start, error " << GetLastError();
    }
    CloseHandle(input_end);
    run.output = contents(output);
    run.error = contents(error);
    CloseHandle(output);
    CloseHandle(error);
    return run;
}

TEST(TeldoExe, EachCommandPrintsSendsAndExitsAsItShould) {
    DriverDiagnostics diagnostics;
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.what << ": teldo " << row.arguments);
        ASSERT_TRUE(diagnostics.reset());
        if (row.fault.fail_next != 0 || row.fault.empty_next_reads != 0) {
            ASSERT_TRUE(diagnostics.inject(row.fault));
        }

        if (row.file) {
            const HANDLE file = CreateFileA(row.file, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
            ASSERT_NE(file, INVALID_HANDLE_VALUE);
            DWORD written = 0;
            WriteFile(file, row.input, static_cast<DWORD>(strlen(row.input)), &written, nullptr);
            CloseHandle(file);
        }
        std::string program = "teldo.exe";
        if (row.moved) {
            char folder[MAX_PATH];
            GetTempPathA(MAX_PATH, folder);
            program = std::string(folder) + "teldo-moved.exe";
            ASSERT_TRUE(CopyFileA("teldo.exe", program.c_str(), FALSE)) << GetLastError();
        }
        const Ended run = run_teldo(program, row.arguments, row.file ? "" : row.input);
        if (row.file) DeleteFileA(row.file);
        if (row.moved) DeleteFileA(program.c_str());

        EXPECT_EQ(run.exit_code, row.exit_code);
        EXPECT_EQ(run.output, crlf(row.output));
        if (*row.error_gist == '\0') {
            EXPECT_EQ(run.error, "");
        } else {
            EXPECT_NE(run.error.find(row.error_gist), std::string::npos) << run.error;
        }
        if (row.exit_code == 2) {
            EXPECT_NE(run.error.find("\r\nusage: teldo "), std::string::npos) << run.error;
        }
        // Once its close has reached the driver, which frees the device for
        // the next row.
        const auto snapshot = diagnostics.snapshot_after_closes(row.opens);
        EXPECT_EQ(snapshot.opens, row.opens);
        EXPECT_EQ(snapshot.closes, row.opens);
        EXPECT_EQ(snapshot.requests, row.sent.size());
        if (snapshot.requests != row.sent.size()) continue;
        const std::size_t first = snapshot.recorded - std::min<std::size_t>(snapshot.recorded, row.sent.size());
        for (std::size_t i = 0; i < row.sent.size() && first + i < snapshot.recorded; ++i) {
            SCOPED_TRACE(testing::Message() << "request " << i);
            const auto& seen = snapshot.recent[first + i];
            EXPECT_EQ(seen.code, row.sent[i].code);
            EXPECT_EQ(seen.from_owner, 1u);
            EXPECT_EQ(std::vector<std::uint8_t>(seen.input, seen.input + row.sent[i].input.size()), row.sent[i].input);
        }
    }
}

}  // namespace

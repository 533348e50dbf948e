// teldo.exe's output: results on standard output, messages on standard
// error, both buffered and written with WriteFile so that they can be
// redirected. Results and messages are ASCII, but for the system's own
// error texts.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string_view>

namespace teldo::console {

// A buffered standard handle, STD_OUTPUT_HANDLE or STD_ERROR_HANDLE. All
// zero at first, so that it takes no room in the file.
template <DWORD which>
struct Output {
    DWORD used;
    char buffer[4096];

    void put(char c) {
        if (used == sizeof buffer) flush();
        buffer[used++] = c;
    }
    void put(std::string_view text) {
        for (char c : text) put(c);
    }
    void put(const char* text) {
        while (*text) put(*text++);
    }
    void hex(std::uint32_t value, int digits) {
        constexpr char digit[] = "0123456789ABCDEF";
        while (digits-- > 0) put(digit[(value >> (4 * digits)) & 0xF]);
    }
    void decimal(std::uint32_t value) {
        char text[10];
        int length = 0;
        do text[length++] = static_cast<char>('0' + value % 10);
        while ((value /= 10) != 0);
        while (length > 0) put(text[--length]);
    }
    void flush() {
        DWORD written;
        if (used != 0) WriteFile(GetStdHandle(which), buffer, used, &written, nullptr);
        used = 0;
    }
};

// teldo.exe's exit codes: done; the device could not be opened or a request
// (or a step of the driver's set-up) failed; a usage error, nothing sent.
constexpr int exit_done = 0, exit_failed = 1, exit_usage = 2;

extern constinit Output<STD_OUTPUT_HANDLE> out;
extern constinit Output<STD_ERROR_HANDLE> err;

// The line of standard input being run (its first line is 1), or 0 when the
// command came from the command line; messages name it.
extern constinit std::uint32_t line_number;

// Starts a message on standard error, after whatever results came before it.
void begin_message();
void end_message();
// A second message line: what to do about it.
void hint(const char* text);
// "error N: the system's text for it", the text in the language of Windows,
// readable in the console's code page.
void put_system_error(DWORD error);
// A usage error: `before`, the word as given (cut short: it may be a whole
// line of junk), `after`, then the usage line; returns exit_usage.
int usage_error(const char* before, std::string_view word, const char* after, std::string_view usage_line);

}  // namespace teldo::console

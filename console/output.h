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
    bool lost;  // a write failed: what was put did not all arrive
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
    // Text that came from outside (a word typed, a line of a file): a
    // control character, ESC among them, is shown as '?', so that it can
    // neither steer the console nor hide what is said.
    void echo(std::string_view text) {
        for (char c : text) put(is_control(c) ? '?' : c);
    }
    static constexpr bool is_control(char c) { return static_cast<unsigned char>(c) < 0x20 || c == '\x7F'; }
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
    // Writes what is buffered. A process started without this handle
    // (none given, or none at all) has nowhere to write it, and that is no
    // failure; a write that fails, or stops short, is.
    void flush() {
        const HANDLE handle = GetStdHandle(which);
        if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
            for (DWORD at = 0; at < used;) {
                DWORD written = 0;
                if (!WriteFile(handle, buffer + at, used - at, &written, nullptr) || written == 0) {
                    lost = true;
                    break;
                }
                at += written;
            }
        }
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
// readable in the console's code page, whatever its length.
void put_system_error(DWORD error);
// A usage error: `before`, the word as given (cut short: it may be a whole
// line of junk; its control characters as '?'), `after`, then the usage
// line; returns exit_usage.
int usage_error(const char* before, std::string_view word, const char* after, std::string_view usage_line);
// The exit code `code`, or exit_failed where it was exit_done but a result
// or a message could not be written.
int exit_code_after_output(int code);

}  // namespace teldo::console

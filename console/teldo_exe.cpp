// teldo.exe: the card's I/O ports from a command prompt or a batch file.
//   teldo rd PORT [COUNT]    the byte at PORT, or COUNT bytes from PORT on
//   teldo wr PORT VALUE...   the first VALUE to PORT, the next to PORT+1, ...
//   rd16, wr16, rd32, wr32   the same with words and dwords
//   --fifo after the command word: every element at PORT itself
//   teldo dump FROM TO       ports FROM to TO, 16 a line
//   teldo -                  those commands from standard input, one a line,
//                            all through one open device
//   teldo run FILE|-         a port program (program_text.h) from a file or
//                            standard input, run whole in one request
//   teldo cards              the devices Windows gave I/O ports (setup/cards.cpp)
// All numbers are hexadecimal, but a program's times. Exit code 0: done; 1:
// the device could not be opened, a request failed or a program's poll timed
// out; 2: a usage error, for which nothing was sent.
// The commands are checked in command.cpp, programs in program_text.cpp, and
// both sent through TELDOX.dll in ports.cpp.
//
// Like Brenvo.exe it has no C runtime (the toolchain's start-up code holds
// instructions that the bench PCs' Pentium lacks): it starts at
// process_entry, splits its command line itself and formats its own output,
// which it writes with WriteFile so that it can be redirected. Nothing runs
// static constructors, so every global is constinit.
#include <windows.h>

#include <cstdint>
#include <string_view>

#include "cards.h"
#include "command.h"
#include "driver_setup.h"
#include "output.h"
#include "ports.h"
#include "program_text.h"
#include "version.h"

namespace teldo::console {
namespace {

constexpr std::string_view usage_line =
    "usage: teldo rd|rd16|rd32 [--fifo] PORT [COUNT] | wr|wr16|wr32 [--fifo] PORT VALUE... |\r\n"
    "       dump FROM TO | - | run FILE|- | cards | driver install|remove|status | --help\r\n";

constexpr std::string_view help_text =
    "teldo " BRENVO_VERSION_TEXT
    ": reads and writes the card's I/O ports through TELDOX.dll.\r\n"
    "\r\n"
    "  teldo rd PORT [COUNT]    prints the byte at PORT, or COUNT bytes from PORT on\r\n"
    "  teldo wr PORT VALUE...   writes each VALUE in turn to PORT, PORT+1, ...\r\n"
    "  teldo rd16, wr16         the same with words (16 bits) at PORT, PORT+2, ...\r\n"
    "  teldo rd32, wr32         the same with dwords (32 bits) at PORT, PORT+4, ...\r\n"
    "  --fifo                   right after the command word: every element at PORT\r\n"
    "                           itself, as a card's FIFO is read or filled\r\n"
    "  teldo dump FROM TO       prints ports FROM to TO, 16 a line, each line\r\n"
    "                           headed by the first port on it\r\n"
    "  teldo -                  runs those commands from standard input, one a\r\n"
    "                           line; blank lines and lines starting with # are\r\n"
    "                           skipped; the first failing line ends the run\r\n"
    "  teldo run FILE           runs the port program in FILE (- for standard input)\r\n"
    "                           as one request: the driver runs it whole, with no\r\n"
    "                           other program's cycle between its operations. One\r\n"
    "                           operation a line; # starts a comment:\r\n"
    "                             rd|rd16|rd32 PORT\r\n"
    "                             wr|wr16|wr32 PORT VALUE\r\n"
    "                             modify|modify16|modify32 PORT MASK BITS\r\n"
    "                               reads v, writes (v & ~MASK) | (BITS & MASK)\r\n"
    "                             wait N us|ms           1 to 1000 us\r\n"
    "                             poll|poll16|poll32 PORT MASK VALUE N us|ms\r\n"
    "                               reads until (v & MASK) = VALUE, 1 to 10000 us\r\n"
    "                           N is decimal. Up to 256 operations, their waits and\r\n"
    "                           polls 50000 us in all. Prints \"PORT: value\" for each\r\n"
    "                           read, modify (the value before it) and poll (the\r\n"
    "                           value that ended it); a poll that times out ends the\r\n"
    "                           program, exit code 1, its line named.\r\n"
    "  teldo cards              lists the devices to which Windows gave I/O ports:\r\n"
    "                           each one's instance ID, name and driver, and each\r\n"
    "                           range, assigned or only set at boot, and whether\r\n"
    "                           the TELDO port driver's windows open it\r\n"
    "  teldo driver install [--ports LIST] [--card ID]... [--users-may-open]\r\n"
    "                           installs the TELDO port driver from this package and\r\n"
    "                           starts it (as administrator); LIST: 0300-031F,0378;\r\n"
    "                           --card: a card's I/O ports, ID as teldo cards shows it\r\n"
    "  teldo driver remove      stops and removes it (as administrator)\r\n"
    "  teldo driver status      whether it runs, and if not, why, in plain words\r\n"
    "  teldo --version          prints the version\r\n"
    "  teldo --help             prints this text (so does teldo /?)\r\n"
    "\r\n"
    "All numbers but a program's times are hex, with or without 0x: PORT 0 to\r\n"
    "FFFF, VALUE up to FF, FFFF or FFFFFFFF, COUNT 1 to 10000. A word's port is\r\n"
    "even, a dword's a multiple of 4. Values are printed with 2, 4 or 8 upper-case\r\n"
    "hex digits, a space between. A command or a program is checked whole before\r\n"
    "anything is sent for it; several elements go out in one request (one per\r\n"
    "64 KiB), which the driver refuses whole if it reaches a port outside the ports\r\n"
    "the administrator opened.\r\n"
    "\r\n"
    "Exit code: 0 done; 1 the device could not be opened, a request failed or a\r\n"
    "poll timed out; 2 usage error, or a program's file unreadable or wrong\r\n"
    "(nothing sent for that command). Errors go to standard error.\r\n";

int usage(const Usage& wrong) { return usage_error(wrong.before, wrong.word, wrong.after, usage_line); }

// ------------------------------------------------------------ standard input

// One line of standard input at most this long, its line end not counted.
constexpr std::uint32_t line_capacity = 32767;
constinit char line[line_capacity + 1];  // and a carriage return

constinit char chunk[4096];
constinit DWORD chunk_start = 0, chunk_end = 0;
constinit bool input_ended = false;

enum class Got : std::uint8_t { line, end, too_long, unreadable };

// The next line of standard input, without its line end ("\r\n" or "\n");
// the last line may lack one.
Got next_line(std::string_view& text, DWORD& error) {
    std::uint32_t length = 0;
    bool any = false;
    for (;;) {
        if (chunk_start == chunk_end) {
            if (input_ended) {
                if (!any) return Got::end;
                break;
            }
            chunk_start = chunk_end = 0;
            if (!ReadFile(GetStdHandle(STD_INPUT_HANDLE), chunk, sizeof chunk, &chunk_end,
                          nullptr)) {
                chunk_end = 0;
                error = GetLastError();
                // A pipe whose writer has closed it has simply ended.
                if (error != ERROR_BROKEN_PIPE) return Got::unreadable;
                input_ended = true;
            } else if (chunk_end == 0) {
                input_ended = true;
            }
            continue;
        }
        const char c = chunk[chunk_start++];
        any = true;
        if (c == '\n') break;
        if (length == sizeof line) return Got::too_long;
        line[length++] = c;
    }
    if (length > 0 && line[length - 1] == '\r') --length;
    if (length > line_capacity) return Got::too_long;
    text = std::string_view(line, length);
    return Got::line;
}

// Runs the commands of standard input, each checked whole before anything
// is sent for it, until its end or the first line that fails.
int run_script() {
    for (;;) {
        std::string_view text;
        DWORD error = 0;
        const Got got = next_line(text, error);
        ++line_number;
        if (got == Got::end) return exit_done;
        if (got == Got::too_long) return usage({"longer than 32767 characters"});
        if (got == Got::unreadable) {
            begin_message();
            err.put("cannot read standard input: ");
            put_system_error(error);
            end_message();
            return exit_failed;
        }
        // A UTF-8 file may start with its byte order mark.
        if (line_number == 1 && text.size() >= 3 && text[0] == '\xEF' && text[1] == '\xBB' &&
            text[2] == '\xBF')
            text.remove_prefix(3);
        // Ctrl+Z at the start of a line typed at the console ends the input.
        if (!text.empty() && text[0] == '\x1A') return exit_done;
        std::string_view first;
        if (!Words(text, false).next(first) || first[0] == '#') continue;
        Command command;
        if (const Usage wrong = parse(Words(text, false), command); wrong.before) return usage(wrong);
        if (!execute(command)) return exit_failed;
    }
}

// ------------------------------------------------------------- command line

// The arguments, each followed by a NUL. A command line holds at most
// 32767 characters, and no argument comes out longer than it went in. The
// same arguments in UTF-16 at the same offsets, for a file's name.
constinit char arguments[32768];
constinit wchar_t wide_arguments[32768];

// Splits the process's command line by the rules of Microsoft's C start-up
// code: the program's name first, up to its closing quote or the first
// blank, is skipped; then words separated by spaces and tabs, where a
// quoted part keeps its blanks, 2n backslashes before a quote give n
// backslashes and the quote opens or closes a quoted part, 2n+1 give n and
// a literal quote, other backslashes are literal, and "" inside a quoted
// part gives a quote and ends the part. Characters beyond ASCII become '?':
// no command or number has them. The words are the text returned.
std::string_view split_command_line(const wchar_t* p) {
    std::size_t length = 0;
    auto put = [&](wchar_t c) {
        if (length == sizeof arguments) return;
        wide_arguments[length] = c;
        arguments[length++] = c < 0x80 ? static_cast<char>(c) : '?';
    };
    auto is_blank = [](wchar_t c) { return c == L' ' || c == L'\t'; };
    if (*p == L'"') {
        for (++p; *p && *p != L'"'; ++p) {
        }
        if (*p) ++p;
    } else {
        while (*p && !is_blank(*p)) ++p;
    }
    for (;;) {
        while (is_blank(*p)) ++p;
        if (!*p) break;
        bool quoted = false;
        for (;;) {
            std::size_t backslashes = 0;
            while (*p == L'\\') ++backslashes, ++p;
            if (*p == L'"') {
                for (std::size_t i = 0; i < backslashes / 2; ++i) put(L'\\');
                if (backslashes % 2 == 1 || (quoted && p[1] == L'"')) {
                    put(L'"');
                    if (backslashes % 2 == 0) ++p, quoted = false;
                } else {
                    quoted = !quoted;
                }
                ++p;
                continue;
            }
            for (std::size_t i = 0; i < backslashes; ++i) put(L'\\');
            if (!*p || (!quoted && is_blank(*p))) break;
            put(*p++);
        }
        put(L'\0');
    }
    return std::string_view(arguments, length);
}

// ------------------------------------------------------------- port programs

// A program's text, and one byte more, by which a longer text shows.
constinit char program_text[max_program_text + 1];
static_assert(max_program_text == 65536, "its message names the limit");
constinit Program loaded_program;

// Reads a program's whole text from the file `path`, or from standard input
// when it is null, up to a Ctrl+Z at the start of a line (typed at the
// console, or left by an old editor at the end of a file); its length, or
// -1 with the reason told.
int read_program_text(const wchar_t* path, std::string_view name) {
    const HANDLE file = path ? CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                           FILE_ATTRIBUTE_NORMAL, nullptr)
                             : GetStdHandle(STD_INPUT_HANDLE);
    DWORD length = 0, error = 0;
    if (file == INVALID_HANDLE_VALUE) {
        error = GetLastError();
    } else {
        for (bool ended = false; !ended && length < sizeof program_text;) {
            DWORD got = 0;
            if (!ReadFile(file, program_text + length, sizeof program_text - length, &got, nullptr)) {
                error = GetLastError();
                // A pipe whose writer has closed it has simply ended.
                if (error == ERROR_BROKEN_PIPE) error = 0;
                break;
            }
            ended = got == 0;
            for (const DWORD end = length + got; length < end; ++length)
                if (program_text[length] == '\x1A' && (length == 0 || program_text[length - 1] == '\n')) {
                    ended = true;
                    break;
                }
        }
        if (path) CloseHandle(file);
    }
    if (error == 0 && length <= max_program_text) return static_cast<int>(length);
    begin_message();
    if (error != 0) {
        err.put(path ? "cannot read " : "cannot read standard input");
        if (path) err.echo(name);
        err.put(": ");
        put_system_error(error);
    } else {
        if (path) err.echo(name);
        else err.put("standard input");
        err.put(" holds more than 65536 bytes, the most a program's text may have");
    }
    end_message();
    return -1;
}

// teldo run FILE|-: the program read and checked whole before the device is
// opened; a fault in it names its line.
int run_program(Words words) {
    std::string_view file, more;
    if (!words.next(file)) return usage({"run takes FILE, or - for standard input"});
    if (words.next(more)) return usage({"run takes one FILE: '", more, "' after it"});
    const bool from_input = file.size() == 1 && file[0] == '-';
    const int length = read_program_text(from_input ? nullptr : wide_arguments + (file.data() - arguments), file);
    if (length < 0) return exit_usage;
    std::uint32_t line = 0;
    if (const Usage wrong = parse_program(std::string_view(program_text, static_cast<std::size_t>(length)),
                                          loaded_program, line);
        wrong.before) {
        line_number = line;
        return usage(wrong);
    }
    return run(loaded_program) ? exit_done : exit_failed;
}

// ------------------------------------------------------------- the command

int run_command_line() {
    const std::string_view text = split_command_line(GetCommandLineW());
    std::string_view first, more;
    Words words(text, true);
    if (!words.next(first)) return usage({"no command given"});
    if (is(first, "--help") || is(first, "/?")) {
        out.put(help_text);
        return exit_done;
    }
    if (is(first, "--version")) {
        out.put("teldo " BRENVO_VERSION_TEXT "\r\n");
        return exit_done;
    }
    if (is(first, "driver")) return driver_command(words);
    if (is(first, "cards")) return cards_command(words);
    if (is(first, "run")) return run_program(words);
    if (first.size() == 1 && first[0] == '-') {
        if (words.next(more)) return usage({"- takes nothing after it: '", more, "'"});
        return run_script();
    }
    Command command;
    if (const Usage wrong = parse(Words(text, true), command); wrong.before) return usage(wrong);
    return execute(command) ? exit_done : exit_failed;
}

}  // namespace
}  // namespace teldo::console

extern "C" [[noreturn]] void WINAPI process_entry() {
    using namespace teldo::console;
    const int code = run_command_line();
    out.flush();
    close_device();
    ExitProcess(static_cast<UINT>(exit_code_after_output(code)));
}

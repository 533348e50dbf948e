// teldo.exe: the card's I/O ports from a command prompt or a batch file.
//   teldo rd PORT [COUNT]    the byte at PORT, or COUNT bytes from PORT on
//   teldo wr PORT VALUE...   the first VALUE to PORT, the next to PORT+1, ...
//   teldo dump FROM TO       ports FROM to TO, 16 a line
//   teldo -                  those commands from standard input, one a line,
//                            all through one open device
// All numbers are hexadecimal. Exit code 0: done; 1: the device could not be
// opened or a request failed; 2: a usage error, for which nothing was sent.
//
// It is a caller of TELDO.dll like any other: it loads the library by name
// and looks its four exports up, as the kit's guide tells callers to, so
// that a missing or foreign TELDO.dll is a message and exit code 1 rather
// than the loader's dialog box in the middle of an unattended batch file.
//
// Like Brenvo.exe it has no C runtime (the toolchain's start-up code holds
// instructions that the bench PCs' Pentium lacks): it starts at
// process_entry, splits its command line itself and formats its own output,
// which it writes with WriteFile so that it can be redirected. Nothing runs
// static constructors, so every global is constinit.
#include <windows.h>

#include <cstdint>
#include <string_view>

#include "hex_entry.h"
#include "teldo.h"
#include "version.h"

namespace {

constexpr int exit_done = 0;
constexpr int exit_failed = 1;
constexpr int exit_usage = 2;

constexpr std::string_view usage_line =
    "usage: teldo rd PORT [COUNT] | wr PORT VALUE... | dump FROM TO | - | --help\r\n";

constexpr std::string_view help_text =
    "teldo " BRENVO_VERSION_TEXT
    ": reads and writes the card's I/O ports through TELDO.dll.\r\n"
    "\r\n"
    "  teldo rd PORT [COUNT]    prints the byte at PORT, or COUNT bytes from PORT on\r\n"
    "  teldo wr PORT VALUE...   writes each VALUE in turn to PORT, PORT+1, ...\r\n"
    "  teldo dump FROM TO       prints ports FROM to TO, 16 a line, each line\r\n"
    "                           headed by the first port on it\r\n"
    "  teldo -                  runs rd, wr and dump commands from standard input,\r\n"
    "                           one a line; blank lines and lines starting with #\r\n"
    "                           are skipped; the first failing line ends the run\r\n"
    "  teldo --version          prints the version\r\n"
    "  teldo --help             prints this text (so does teldo /?)\r\n"
    "\r\n"
    "All numbers are hex, with or without 0x: PORT 0 to FFFF, VALUE 0 to FF,\r\n"
    "COUNT 1 to 10000. Bytes are printed as two upper-case hex digits with a space\r\n"
    "between them.\r\n"
    "A command is checked whole before anything is sent for it.\r\n"
    "\r\n"
    "Exit code: 0 done; 1 the device could not be opened or a request failed;\r\n"
    "2 usage error (nothing sent for that command). Errors go to standard error.\r\n";

// ---------------------------------------------------------------- output

// A buffered standard handle, STD_OUTPUT_HANDLE or STD_ERROR_HANDLE.
// Results and messages are ASCII. All zero at first, so that it takes no
// room in the file.
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

constinit Output<STD_OUTPUT_HANDLE> out{};
constinit Output<STD_ERROR_HANDLE> err{};

// The line of standard input being run (its first line is 1), or 0 when the
// command came from the command line; messages name it.
constinit std::uint32_t line_number = 0;

// Starts a message on standard error, after whatever results came before it.
void begin_message() {
    out.flush();
    err.put("teldo: ");
    if (line_number != 0) {
        err.put("line ");
        err.decimal(line_number);
        err.put(": ");
    }
}

void end_message() {
    err.put("\r\n");
    err.flush();
}

// A second message line: what to do about it.
void hint(const char* text) {
    err.put("teldo: ");
    err.put(text);
    end_message();
}

// "error N: the system's text for it", the text in the language of Windows.
void put_system_error(DWORD error) {
    err.put("error ");
    err.decimal(error);
    char text[256];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                      FORMAT_MESSAGE_MAX_WIDTH_MASK,
                                  nullptr, error, 0, text, sizeof text, nullptr);
    while (length > 0 && (text[length - 1] == ' ' || text[length - 1] == '\r' ||
                          text[length - 1] == '\n'))
        --length;
    if (length == 0) return;
    err.put(": ");
    err.put(std::string_view(text, length));
}

// ------------------------------------------------------- words and numbers

// The words of one command. On the command line each word ends with a NUL
// (split_command_line has resolved the quotes); in a line of standard input
// words are separated by spaces and tabs.
class Words {
public:
    constexpr Words(std::string_view text, bool nul_ended) : rest_(text), nul_ended_(nul_ended) {}

    bool next(std::string_view& word) {
        std::size_t start = 0;
        if (!nul_ended_)
            while (start < rest_.size() && blank(rest_[start])) ++start;
        if (start == rest_.size()) return false;
        std::size_t end = start;
        while (end < rest_.size() && !(nul_ended_ ? rest_[end] == '\0' : blank(rest_[end]))) ++end;
        word = std::string_view(rest_.data() + start, end - start);
        rest_.remove_prefix(end < rest_.size() && nul_ended_ ? end + 1 : end);
        return true;
    }

private:
    static constexpr bool blank(char c) { return c == ' ' || c == '\t'; }

    std::string_view rest_;
    bool nul_ended_;
};

// Whether `word` is `name` (lower case), in any case.
bool is(std::string_view word, const char* name) {
    for (char c : word) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (*name == '\0' || c != *name) return false;
        ++name;
    }
    return *name == '\0';
}

// A whole word as a hex number: "0x" or "0X" may lead, then one or more hex
// digits by the project's digit rule and nothing else (unlike Brenvo's
// fields, which read up to the first other character). Leading zeros do not
// count; a number past FFFFFFFF stays at FFFFFFFF, above every limit here,
// so that no long number wraps round to a small one.
bool read_number(std::string_view word, std::uint32_t& value) {
    if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X'))
        word.remove_prefix(2);
    if (word.empty()) return false;
    value = 0;
    for (char c : word) {
        const int digit = brenvo::hex_digit(static_cast<unsigned char>(c));
        if (digit < 0) return false;
        value = value > 0x0FFFFFFF ? 0xFFFFFFFF : value << 4 | static_cast<std::uint32_t>(digit);
    }
    return true;
}

// ---------------------------------------------------------------- commands

enum class Verb : std::uint8_t { read, write, dump };

// Ports `first` to `first + count - 1`, all within 0 to FFFF; a write's
// values are in `bytes`.
struct Request {
    Verb verb;
    std::uint16_t first;
    std::uint32_t count;
};

// A write's values, or the bytes read: one command at a time uses it.
constinit std::uint8_t bytes[0x10000];

// A usage error's message: `before`, the word as given, `after`; no error
// while `before` is null.
struct Usage {
    const char* before = nullptr;
    std::string_view word = {};
    const char* after = "";
};

// Checks a whole command and gives its request, or the first thing wrong
// with it. `words` holds at least one word.
Usage parse(Words words, Request& request) {
    std::string_view verb, word, first_word;
    words.next(verb);
    const char* syntax;
    if (is(verb, "rd")) {
        request.verb = Verb::read;
        syntax = "rd takes PORT [COUNT]";
    } else if (is(verb, "wr")) {
        request.verb = Verb::write;
        syntax = "wr takes PORT VALUE...";
    } else if (is(verb, "dump")) {
        request.verb = Verb::dump;
        syntax = "dump takes FROM TO";
    } else {
        return {"unknown command '", verb, "'"};
    }

    std::uint32_t number = 0;
    // The next word as a port, named `role` in the message if it is none.
    auto next_port = [&](const char* role) -> Usage {
        if (!words.next(word)) return {syntax};
        if (!read_number(word, number)) return {"'", word, "' is not a hex number"};
        if (number > 0xFFFF) return {role, word, " is above FFFF"};
        return {};
    };

    if (Usage wrong = next_port(request.verb == Verb::dump ? "FROM " : "port "); wrong.before)
        return wrong;
    first_word = word;
    request.first = static_cast<std::uint16_t>(number);
    const std::uint32_t room = 0x10000 - request.first;  // ports from first to FFFF
    switch (request.verb) {
        case Verb::read:
            request.count = 1;
            if (words.next(word)) {
                if (!read_number(word, number)) return {"'", word, "' is not a hex number"};
                if (number == 0) return {"COUNT ", word, " reads nothing: it takes 1 to 10000"};
                if (number > room) return {"COUNT ", word, " from that port runs past port FFFF"};
                request.count = number;
            }
            break;
        case Verb::write:
            request.count = 0;
            while (words.next(word)) {
                if (!read_number(word, number)) return {"'", word, "' is not a hex number"};
                if (number > 0xFF) return {"value ", word, " is above FF"};
                if (request.count == room)
                    return {"too many values for port ", first_word, ": they run past port FFFF"};
                bytes[request.count++] = static_cast<std::uint8_t>(number);
            }
            if (request.count == 0) return {syntax};
            break;
        case Verb::dump:
            if (Usage wrong = next_port("TO "); wrong.before) return wrong;
            if (number < request.first) return {"TO ", word, " is below FROM"};
            request.count = number - request.first + 1;
            break;
    }
    if (words.next(word)) return {syntax};
    return {};
}

int usage_error(const Usage& usage) {
    begin_message();
    err.put(usage.before);
    // The word as given, cut short: it may be a whole line of junk.
    err.put(std::string_view(usage.word.data(), usage.word.size() < 40 ? usage.word.size() : 40));
    err.put(usage.after);
    end_message();
    err.put(usage_line);
    err.flush();
    return exit_usage;
}

// ------------------------------------------------------------- TELDO.dll

constexpr const char* export_names[] = {"TELDO_Open", "TELDO_RD", "TELDO_WR", "TELDO_Close"};
constinit FARPROC exports[4] = {};
constinit bool device_open = false;

template <typename Fn>
Fn bound(int index) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(exports[index]));
}

// Loads TELDO.dll and opens the device, the first time it is called; false,
// with the reason told, when either fails.
bool open_device() {
    if (device_open) return true;
    const HMODULE library = LoadLibraryW(L"TELDO.dll");
    if (!library) {
        const DWORD error = GetLastError();
        begin_message();
        err.put("cannot load TELDO.dll: ");
        put_system_error(error);
        end_message();
        hint(error == ERROR_BAD_EXE_FORMAT
                 ? "that TELDO.dll is of the other package: keep teldo.exe and TELDO.dll of"
                   " one package together"
                 : "keep teldo.exe beside TELDO.dll, in its package's folder");
        return false;
    }
    for (int i = 0; i < 4; ++i) {
        exports[i] = GetProcAddress(library, export_names[i]);
        if (!exports[i]) {
            const DWORD error = GetLastError();
            begin_message();
            err.put("TELDO.dll has no function ");
            err.put(export_names[i]);
            err.put(": ");
            put_system_error(error);
            end_message();
            return false;
        }
    }
    if (bound<decltype(&TELDO_Open)>(0)() != 1) {
        // TELDO_Open's last thing is the system's CreateFile: its error.
        const DWORD error = GetLastError();
        begin_message();
        err.put("cannot open the card's device \\\\.\\TELDO: ");
        put_system_error(error);
        end_message();
        if (error == ERROR_FILE_NOT_FOUND)
            hint("the TELDO port driver is not installed or not started"
                 " (sc query TELDO; driver\\README.txt)");
        else if (error == ERROR_SHARING_VIOLATION)
            hint("another program holds the card (Brenvo, or another program using"
                 " TELDO.dll): close it, then run teldo again");
        else if (error == ERROR_ACCESS_DENIED)
            hint("this user may not open the card: run teldo as administrator, or ask"
                 " the administrator to let users open it (driver\\README.txt)");
        return false;
    }
    device_open = true;
    return true;
}

// Tells which request failed, its port, the system's error, and what to do
// where that is known.
void request_failed(bool write, std::uint16_t port, std::uint8_t value, DWORD error) {
    begin_message();
    if (write) {
        err.put("write of ");
        err.hex(value, 2);
        err.put(" to ");
    } else {
        err.put("read of ");
    }
    err.put("port ");
    err.hex(port, 4);
    err.put(" failed: ");
    put_system_error(error);
    end_message();
    if (error == ERROR_ACCESS_DENIED)
        hint("the driver refused it: the port is outside the ports the administrator"
             " opened for the card (driver\\README.txt), or another program holds the card");
}

// Reads `count` ports from `first` on into `bytes`; false at the first
// failure, with its port and reason told.
bool read_ports(std::uint16_t first, std::uint32_t count) {
    const auto read = bound<decltype(&TELDO_RD)>(1);
    for (std::uint32_t i = 0; i < count; ++i) {
        const auto port = static_cast<std::uint16_t>(first + i);
        // TELDO_RD gives 0 for a failed request as for a port that holds 0.
        // Its request is the system's DeviceIoControl, its last call, which
        // sets the last error when it fails and leaves it as it was when it
        // succeeds: a 0 with the last error no longer 0 is a failure.
        SetLastError(0);
        const std::uint8_t value = read(port);
        const DWORD error = value == 0 ? GetLastError() : 0;
        if (error != 0) {
            request_failed(false, port, 0, error);
            return false;
        }
        bytes[i] = value;
    }
    return true;
}

// Writes bytes[i] to port first + i; false at the first failure, told.
bool write_ports(std::uint16_t first, std::uint32_t count) {
    const auto write = bound<decltype(&TELDO_WR)>(2);
    for (std::uint32_t i = 0; i < count; ++i) {
        const auto port = static_cast<std::uint16_t>(first + i);
        SetLastError(0);
        if (write(port, bytes[i]) != 1) {
            request_failed(true, port, bytes[i], GetLastError());
            return false;
        }
    }
    return true;
}

void put_bytes(std::uint32_t count) {
    for (std::uint32_t i = 0; i < count; ++i) {
        if (i != 0) out.put(' ');
        out.hex(bytes[i], 2);
    }
    out.put("\r\n");
}

// Sends a checked request and prints what it read. A line of results is
// printed once all its reads succeeded: a failed read prints no byte.
bool execute(const Request& request) {
    if (!open_device()) return false;
    switch (request.verb) {
        case Verb::read:
            if (!read_ports(request.first, request.count)) return false;
            put_bytes(request.count);
            break;
        case Verb::write:
            if (!write_ports(request.first, request.count)) return false;
            break;
        case Verb::dump:
            for (std::uint32_t done = 0; done < request.count; done += 16) {
                const auto first = static_cast<std::uint16_t>(request.first + done);
                const std::uint32_t count = request.count - done < 16 ? request.count - done : 16;
                if (!read_ports(first, count)) return false;
                out.hex(first, 4);
                out.put(':');
                out.put(' ');
                put_bytes(count);
            }
            break;
    }
    out.flush();
    return true;
}

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
        if (got == Got::too_long) return usage_error({"longer than 32767 characters"});
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
        Request request;
        if (const Usage wrong = parse(Words(text, false), request); wrong.before)
            return usage_error(wrong);
        if (!execute(request)) return exit_failed;
    }
}

// ------------------------------------------------------------- command line

// The arguments, each followed by a NUL. A command line holds at most
// 32767 characters, and no argument comes out longer than it went in.
constinit char arguments[32768];

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
        if (length < sizeof arguments) arguments[length++] = c < 0x80 ? static_cast<char>(c) : '?';
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

int run_command_line() {
    const std::string_view text = split_command_line(GetCommandLineW());
    std::string_view first, more;
    Words words(text, true);
    if (!words.next(first)) return usage_error({"no command given"});
    if (is(first, "--help") || is(first, "/?")) {
        out.put(help_text);
        return exit_done;
    }
    if (is(first, "--version")) {
        out.put("teldo " BRENVO_VERSION_TEXT "\r\n");
        return exit_done;
    }
    if (first.size() == 1 && first[0] == '-') {
        if (words.next(more)) return usage_error({"- takes nothing after it: '", more, "'"});
        return run_script();
    }
    Request request;
    if (const Usage wrong = parse(Words(text, true), request); wrong.before)
        return usage_error(wrong);
    return execute(request) ? exit_done : exit_failed;
}

}  // namespace

extern "C" [[noreturn]] void WINAPI process_entry() {
    const int code = run_command_line();
    out.flush();
    if (device_open) bound<decltype(&TELDO_Close)>(3)();
    ExitProcess(static_cast<UINT>(code));
}

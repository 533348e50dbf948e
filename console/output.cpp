#include "output.h"

#include "wide_pieces.h"

namespace teldo::console {

constinit Output<STD_OUTPUT_HANDLE> out{};
constinit Output<STD_ERROR_HANDLE> err{};
constinit std::uint32_t line_number = 0;

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

void hint(const char* text) {
    err.put("teldo: ");
    err.put(text);
    end_message();
}

int usage_error(const char* before, std::string_view word, const char* after, std::string_view usage_line) {
    begin_message();
    err.put(before);
    err.echo(std::string_view(word.data(), word.size() < 40 ? word.size() : 40));
    err.put(after);
    end_message();
    err.put(usage_line);
    err.flush();
    return exit_usage;
}

int exit_code_after_output(int code) { return code == exit_done && (out.lost || err.lost) ? exit_failed : code; }

namespace {

// Room for the longest text FormatMessageW gives: 64 KiB.
constinit wchar_t system_text[32768];

}  // namespace

// The system's text is in the language of Windows, outside ASCII in most
// of them: to a console it goes as UTF-16, which shows in any code page;
// to a file or a pipe in the console's code page, as the console's own
// programs write theirs. Either way a piece at a time, so that a text of
// any length arrives whole.
void put_system_error(DWORD error) {
    err.put("error ");
    err.decimal(error);
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                      FORMAT_MESSAGE_MAX_WIDTH_MASK,
                                  nullptr, error, 0, system_text, sizeof system_text / sizeof system_text[0], nullptr);
    // No text (FormatMessageW fails): the number alone says it.
    while (length > 0 && (system_text[length - 1] == L' ' || system_text[length - 1] == L'\r' ||
                          system_text[length - 1] == L'\n'))
        --length;
    if (length == 0) return;
    err.put(": ");
    err.flush();
    const HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (GetConsoleMode(handle, &mode)) {
        for (DWORD at = 0; at < length;) {
            const DWORD count = static_cast<DWORD>(piece_length(system_text + at, length - at, 4096));
            DWORD written = 0;
            if (!WriteConsoleW(handle, system_text + at, count, &written, nullptr) || written == 0) {
                err.lost = true;
                return;
            }
            at += written;
        }
        return;
    }
    UINT code_page = GetConsoleOutputCP();
    if (code_page == 0) code_page = CP_OEMCP;  // no console: the system's own
    const bool converted = convert_in_pieces<256>(
        system_text, length,
        [code_page](const wchar_t* units, std::size_t count, char* bytes, std::size_t room) -> std::size_t {
            const int got = WideCharToMultiByte(code_page, 0, units, static_cast<int>(count), bytes,
                                                static_cast<int>(room), nullptr, nullptr);
            return got > 0 ? static_cast<std::size_t>(got) : 0;
        },
        [](const char* bytes, std::size_t count) { err.put(std::string_view(bytes, count)); });
    // A text this code page cannot take at all: the number has said it.
    if (!converted) err.put("(the system's text does not convert to this code page)");
}

}  // namespace teldo::console

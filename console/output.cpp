#include "output.h"

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
    err.put(std::string_view(word.data(), word.size() < 40 ? word.size() : 40));
    err.put(after);
    end_message();
    err.put(usage_line);
    err.flush();
    return exit_usage;
}

// The system's text is in the language of Windows, outside ASCII in most
// of them: to a console it goes as UTF-16, which shows in any code page;
// to a file or a pipe in the console's code page, as the console's own
// programs write theirs.
void put_system_error(DWORD error) {
    err.put("error ");
    err.decimal(error);
    wchar_t text[256];
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                      FORMAT_MESSAGE_MAX_WIDTH_MASK,
                                  nullptr, error, 0, text, sizeof text / sizeof text[0], nullptr);
    while (length > 0 && (text[length - 1] == L' ' || text[length - 1] == L'\r' || text[length - 1] == L'\n'))
        --length;
    if (length == 0) return;
    err.put(": ");
    err.flush();
    const HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0, written = 0;
    if (GetConsoleMode(handle, &mode)) {
        WriteConsoleW(handle, text, length, &written, nullptr);
        return;
    }
    UINT code_page = GetConsoleOutputCP();
    if (code_page == 0) code_page = CP_OEMCP;
    char bytes[3 * 256];
    const int converted = WideCharToMultiByte(code_page, 0, text, static_cast<int>(length), bytes, sizeof bytes,
                                              nullptr, nullptr);
    if (converted > 0) err.put(std::string_view(bytes, static_cast<std::size_t>(converted)));
}

}  // namespace teldo::console

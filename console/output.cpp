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

void put_system_error(DWORD error) {
    err.put("error ");
    err.decimal(error);
    char text[256];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                      FORMAT_MESSAGE_MAX_WIDTH_MASK,
                                  nullptr, error, 0, text, sizeof text, nullptr);
    while (length > 0 && (text[length - 1] == ' ' || text[length - 1] == '\r' || text[length - 1] == '\n'))
        --length;
    if (length == 0) return;
    err.put(": ");
    err.put(std::string_view(text, length));
}

}  // namespace teldo::console

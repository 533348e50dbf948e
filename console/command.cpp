#include "command.h"

#include "hex_entry.h"
#include "teldo_protocol.h"

namespace teldo::console {
namespace {

constexpr bool blank(char c) { return c == ' ' || c == '\t'; }

struct VerbWord {
    const char* name;
    Verb verb;
    std::uint8_t width;
    const char* syntax;
};
constexpr VerbWord verbs[] = {
    {"rd", Verb::read, 1, "rd takes [--fifo] PORT [COUNT]"},
    {"rd16", Verb::read, 2, "rd16 takes [--fifo] PORT [COUNT]"},
    {"rd32", Verb::read, 4, "rd32 takes [--fifo] PORT [COUNT]"},
    {"wr", Verb::write, 1, "wr takes [--fifo] PORT VALUE..."},
    {"wr16", Verb::write, 2, "wr16 takes [--fifo] PORT VALUE..."},
    {"wr32", Verb::write, 4, "wr32 takes [--fifo] PORT VALUE..."},
    {"dump", Verb::dump, 1, "dump takes FROM TO"},
};

}  // namespace

constinit std::uint8_t elements[max_elements * 4];

bool Words::next(std::string_view& word) {
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

bool is(std::string_view word, const char* name) {
    for (char c : word) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (*name == '\0' || c != *name) return false;
        ++name;
    }
    return *name == '\0';
}

bool read_number(std::string_view word, std::uint64_t& value, bool decimal) {
    if (!decimal && word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) word.remove_prefix(2);
    if (word.empty()) return false;
    value = 0;
    for (char c : word) {
        const int digit = !decimal             ? brenvo::hex_digit(static_cast<unsigned char>(c))
                          : c >= '0' && c <= '9' ? c - '0'
                                                 : -1;
        if (digit < 0) return false;
        value = value > 0xFFFFFFFF ? 0x100000000 : value * (decimal ? 10 : 16) + static_cast<std::uint64_t>(digit);
    }
    return true;
}

Usage parse(Words words, Command& command) {
    std::string_view verb, word, first_word;
    words.next(verb);
    const VerbWord* found = nullptr;
    for (const VerbWord& candidate : verbs)
        if (is(verb, candidate.name)) found = &candidate;
    if (!found) return {"unknown command '", verb, "'"};
    command = {found->verb, found->width, false, 0, 0};
    const char* const syntax = found->syntax;

    if (!words.next(word)) return {syntax};
    if (is(word, "--fifo")) {
        if (command.verb == Verb::dump) return {"--fifo is for rd and wr: ", {}, syntax};
        command.fifo = true;
        if (!words.next(word)) return {syntax};
    }
    std::uint64_t number = 0;
    auto port = [&](const char* role) -> Usage {
        if (!read_number(word, number)) return {"'", word, "' is not a hex number"};
        if (number > 0xFFFF) return {role, word, " is above FFFF"};
        return {};
    };
    if (Usage wrong = port(command.verb == Verb::dump ? "FROM " : "port "); wrong.before) return wrong;
    first_word = word;
    command.first = static_cast<std::uint16_t>(number);
    if (command.first % command.width != 0)
        return {"port ", word, command.width == 2 ? " is odd: a word's port is even"
                                                  : " is not a multiple of 4, as a dword's port is"};
    // Elements that fit: a FIFO's all stay at its port; others run up to FFFF.
    const std::uint32_t room = command.fifo ? max_elements : (0x10000u - command.first) / command.width;
    const std::uint64_t largest = command.width == 4 ? 0xFFFFFFFF : (1u << 8 * command.width) - 1;

    switch (command.verb) {
        case Verb::read:
            command.count = 1;
            if (words.next(word)) {
                if (!read_number(word, number)) return {"'", word, "' is not a hex number"};
                if (number == 0) return {"COUNT ", word, " reads nothing: it takes 1 to 10000"};
                if (number > max_elements) return {"COUNT ", word, " is above 10000"};
                if (number > room) return {"COUNT ", word, " from that port runs past port FFFF"};
                command.count = static_cast<std::uint32_t>(number);
            }
            break;
        case Verb::write:
            while (words.next(word)) {
                if (!read_number(word, number)) return {"'", word, "' is not a hex number"};
                if (number > largest)
                    return {"value ", word,
                            command.width == 1 ? " is above FF" : command.width == 2 ? " is above FFFF" : " is above FFFFFFFF"};
                if (command.count == room)
                    return command.fifo ? Usage{"more than 10000 values for port ", first_word}
                                        : Usage{"too many values for port ", first_word, ": they run past port FFFF"};
                store_element(elements + command.count * command.width, command.width,
                              static_cast<std::uint32_t>(number));
                ++command.count;
            }
            if (command.count == 0) return {syntax};
            break;
        case Verb::dump:
            if (!words.next(word)) return {syntax};
            if (Usage wrong = port("TO "); wrong.before) return wrong;
            if (number < command.first) return {"TO ", word, " is below FROM"};
            command.count = static_cast<std::uint32_t>(number) - command.first + 1;
            break;
    }
    if (words.next(word)) return {syntax};
    return {};
}

}  // namespace teldo::console

#include "program_text.h"

namespace teldo::console {
namespace {

using program::Operation;

// The messages below name these limits.
static_assert(program::max_operations == 256 && program::max_wait_us == 1000 && program::max_poll_us == 10000 &&
              program::max_program_us == 50000);

struct OpWord {
    const char* name;
    std::uint8_t op, width;
    const char* syntax;
};
constexpr OpWord op_words[] = {
    {"rd", program::op_read, 1, "rd takes PORT"},
    {"rd16", program::op_read, 2, "rd16 takes PORT"},
    {"rd32", program::op_read, 4, "rd32 takes PORT"},
    {"wr", program::op_write, 1, "wr takes PORT VALUE"},
    {"wr16", program::op_write, 2, "wr16 takes PORT VALUE"},
    {"wr32", program::op_write, 4, "wr32 takes PORT VALUE"},
    {"modify", program::op_modify, 1, "modify takes PORT MASK BITS"},
    {"modify16", program::op_modify, 2, "modify16 takes PORT MASK BITS"},
    {"modify32", program::op_modify, 4, "modify32 takes PORT MASK BITS"},
    {"wait", program::op_wait, 0, "wait takes N us|ms, N in decimal"},
    {"poll", program::op_poll, 1, "poll takes PORT MASK VALUE N us|ms, N in decimal"},
    {"poll16", program::op_poll, 2, "poll16 takes PORT MASK VALUE N us|ms, N in decimal"},
    {"poll32", program::op_poll, 4, "poll32 takes PORT MASK VALUE N us|ms, N in decimal"},
};

// One line's operation, its words up to any comment. Syntax is checked
// here; the rules of programs are is_valid's, and only once it refuses an
// operation is it looked at again to say why.
Usage parse_operation(Words words, Operation& o) {
    std::string_view verb, word, port_word, value_words[2], time_words;
    words.next(verb);
    const OpWord* found = nullptr;
    for (const OpWord& candidate : op_words)
        if (is(verb, candidate.name)) found = &candidate;
    if (!found) return {"unknown operation '", verb, "'"};
    o = {found->op, found->width, 0, 0, 0, 0};
    const char* const syntax = found->syntax;
    // The roles of a and b, as the messages name them.
    const char* const roles[2] = {o.op == program::op_write ? "value " : "mask ",
                                  o.op == program::op_poll ? "value " : "bits "};

    std::uint64_t number = 0;
    if (o.op != program::op_wait) {
        if (!words.next(port_word)) return {syntax};
        if (!read_number(port_word, number)) return {"'", port_word, "' is not a hex number"};
        if (number > 0xFFFF) return {"port ", port_word, " is above FFFF"};
        o.port = static_cast<std::uint16_t>(number);
        const int values = o.op == program::op_read ? 0 : o.op == program::op_write ? 1 : 2;
        std::uint32_t* const fields[2] = {&o.a, &o.b};
        for (int i = 0; i < values; ++i) {
            if (!words.next(value_words[i])) return {syntax};
            if (!read_number(value_words[i], number)) return {"'", value_words[i], "' is not a hex number"};
            if (number > 0xFFFFFFFF) return {roles[i], value_words[i], " is above FFFFFFFF"};
            *fields[i] = static_cast<std::uint32_t>(number);
        }
    }
    if (o.op == program::op_wait || o.op == program::op_poll) {
        std::string_view count, unit;
        if (!words.next(count)) return {syntax};
        if (!read_number(count, number, true)) return {"'", count, "' is not a time: N us or N ms, N in decimal"};
        if (!words.next(unit)) return {syntax};
        const bool ms = is(unit, "ms");
        if (!ms && !is(unit, "us")) return {"'", unit, "' is not a unit of time: us or ms"};
        if (ms) number *= 1000;  // at most 2^32 x 1000: no overflow
        time_words = std::string_view(count.data(), static_cast<std::size_t>(unit.data() + unit.size() - count.data()));
        (o.op == program::op_wait ? o.a : o.c) = number > 0xFFFFFFFF ? 0xFFFFFFFF : static_cast<std::uint32_t>(number);
    }
    if (words.next(word)) return {syntax};
    if (program::is_valid(o)) return {};

    if (o.op == program::op_wait) return {"a wait of ", time_words, " is not 1 to 1000 us"};
    if (o.port % o.width != 0)
        return {"port ", port_word,
                o.width == 2 ? " is odd: a word's port is even" : " is not a multiple of 4, as a dword's port is"};
    const std::uint32_t too_wide = ~program::value_mask(o.width);
    for (int i = 0; i < 2; ++i)
        if (((i == 0 ? o.a : o.b) & too_wide) != 0)
            return {roles[i], value_words[i], o.width == 1 ? " is above FF" : " is above FFFF"};
    if (o.op == program::op_poll && (o.b & ~o.a) != 0)
        return {"value ", value_words[1], " has bits outside the mask: the poll could never end by it"};
    if (o.op == program::op_poll) return {"a poll of ", time_words, " is not 1 to 10000 us"};
    return {"this operation breaks a rule of port programs"};
}

}  // namespace

Usage parse_program(std::string_view text, Program& result, std::uint32_t& line) {
    result.count = 0;
    line = 1;
    // Notepad's "Unicode": every other byte 0, which no line here could read.
    if (text.size() >= 2 && ((text[0] == '\xFF' && text[1] == '\xFE') || (text[0] == '\xFE' && text[1] == '\xFF')))
        return {"the text is UTF-16: save it as ANSI or UTF-8"};
    // A UTF-8 file may start with its byte order mark.
    if (text.size() >= 3 && text[0] == '\xEF' && text[1] == '\xBB' && text[2] == '\xBF') text.remove_prefix(3);
    std::uint32_t time = 0;
    for (line = 1; !text.empty(); ++line) {
        std::size_t end = 0;
        while (end < text.size() && text[end] != '\n') ++end;
        std::string_view row(text.data(), end);
        text.remove_prefix(end < text.size() ? end + 1 : end);
        if (!row.empty() && row[row.size() - 1] == '\r') row.remove_suffix(1);
        std::size_t comment = 0;
        while (comment < row.size() && row[comment] != '#') ++comment;
        row = std::string_view(row.data(), comment);
        std::string_view first;
        if (!Words(row, false).next(first)) continue;
        if (result.count == program::max_operations) return {"a 257th operation: a program has at most 256"};
        Operation& operation = result.operations[result.count];
        if (const Usage wrong = parse_operation(Words(row, false), operation); wrong.before) return wrong;
        time += program::time_of(operation);  // at most 256 x 10,000: no overflow
        if (time > program::max_program_us)
            return {"with this line the waits and polls add up to more than 50000 us, the most a program may take"};
        result.lines[result.count++] = line;
    }
    line = 0;
    if (result.count == 0) return {"the program has no operations"};
    return {};
}

}  // namespace teldo::console

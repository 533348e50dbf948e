// teldo.exe's commands, as words: what each may say, checked whole before
// anything is sent for it.
#pragma once

#include <cstdint>
#include <string_view>

namespace teldo::console {

// The words of one command. On the command line each word ends with a NUL
// (the command line's quotes are resolved already); in a line of standard
// input words are separated by spaces and tabs.
class Words {
public:
    constexpr Words(std::string_view text, bool nul_ended) : rest_(text), nul_ended_(nul_ended) {}
    bool next(std::string_view& word);

private:
    std::string_view rest_;
    bool nul_ended_;
};

// Whether `word` is `name` (lower case), in any case.
bool is(std::string_view word, const char* name);

// A whole word as a hex number: "0x" or "0X" may lead, then one or more hex
// digits by the project's digit rule and nothing else (unlike Brenvo's
// fields, which read up to the first other character); or, with `decimal`,
// decimal digits alone. Leading zeros do not count; a number past FFFFFFFF
// stays just above it, above every limit here, so that no long number wraps
// round to a small one.
bool read_number(std::string_view word, std::uint64_t& value, bool decimal = false);

enum class Verb : std::uint8_t { read, write, dump };

// A checked command: `count` elements of `width` bytes (1, 2 or 4), the
// first at port `first` and each next one `width` ports on, or all at
// `first` for a FIFO. A write's elements are in `elements`, each low byte
// first.
struct Command {
    Verb verb;
    std::uint8_t width;
    bool fifo;
    std::uint16_t first;
    std::uint32_t count;
};

constexpr std::uint32_t max_elements = 0x10000;
// A write's elements, or the elements read: one command at a time uses it.
extern constinit std::uint8_t elements[max_elements * 4];

// A usage error's message: `before`, the word as given, `after`; no error
// while `before` is null.
struct Usage {
    const char* before = nullptr;
    std::string_view word = {};
    const char* after = "";
};

// Checks a whole command (`words` holds at least one word) and gives it, or
// the first thing wrong with it.
Usage parse(Words words, Command& command);

}  // namespace teldo::console

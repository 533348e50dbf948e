// A UTF-16 text, of any length, converted to a code page through a buffer of
// fixed size, a piece at a time: a piece never parts the two units of a
// surrogate pair, and the buffer holds a piece in any code page. No
// platform header.
#pragma once

#include <cstddef>

namespace teldo::console {

// The most bytes one UTF-16 unit takes in the code pages a console has:
// 4 in GB18030 (54936), 3 in UTF-8 (4 for a pair), 2 in the other
// double-byte code pages. A code page that shifts state (ISO 2022, UTF-7)
// may take more; a piece is then halved until it fits.
constexpr std::size_t most_bytes_a_unit = 4;

// How many of the `length` units at `text` make the next piece of at most
// `most` units (at least 2): one less where the piece would end between the
// two units of a pair.
template <class Unit>
constexpr std::size_t piece_length(const Unit* text, std::size_t length, std::size_t most) {
    if (length <= most) return length;
    const auto last = static_cast<unsigned long>(text[most - 1]);
    return last >= 0xD800 && last <= 0xDBFF ? most - 1 : most;
}

// Converts the `length` units at `text` a piece at a time:
// `convert(units, count, bytes, room)` writes a piece's bytes and gives
// their number, or 0 when it cannot (the room too small among the reasons);
// `put(bytes, count)` takes them. False when a piece of 2 units cannot be
// converted.
template <std::size_t units_a_piece, class Unit, class Convert, class Put>
bool convert_in_pieces(const Unit* text, std::size_t length, Convert convert, Put put) {
    static_assert(units_a_piece >= 2);
    char bytes[units_a_piece * most_bytes_a_unit];
    for (std::size_t at = 0; at < length;) {
        std::size_t count = piece_length(text + at, length - at, units_a_piece);
        std::size_t got = 0;
        while ((got = convert(text + at, count, bytes, sizeof bytes)) == 0 && count > 2)
            count = piece_length(text + at, count, count / 2 < 2 ? 2 : count / 2);
        if (got == 0) return false;
        put(bytes, got);
        at += count;
    }
    return true;
}

}  // namespace teldo::console

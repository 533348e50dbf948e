// How typed characters reach the key filter: one UTF-16 unit at a time. A
// character beyond the Basic Multilingual Plane is two units, a high
// surrogate then a low one, and the filter judges it once, by the first.
// Pure logic, no window.
#pragma once

#include <array>
#include <cstdint>

namespace brenvo {

constexpr bool high_surrogate(std::uint16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
constexpr bool low_surrogate(std::uint16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// The UTF-16 units of a typed character code (WM_UNICHAR brings UTF-32): one
// in the Basic Multilingual Plane, two from U+10000 to U+10FFFF. A code past
// U+10FFFF is no character and counts as U+FFFD, the replacement character.
struct Utf16Units {
    std::array<std::uint16_t, 2> unit;
    int count;
};

constexpr Utf16Units utf16_units(std::uint32_t code) {
    if (code > 0x10FFFF) code = 0xFFFD;
    if (code <= 0xFFFF) return {{static_cast<std::uint16_t>(code), 0}, 1};
    const std::uint32_t offset = code - 0x10000;
    return {{static_cast<std::uint16_t>(0xD800 + (offset >> 10)),
             static_cast<std::uint16_t>(0xDC00 + (offset & 0x3FF))},
            2};
}

// Remembers where a high surrogate was just refused, so that the low half
// following it in the same field is dropped unjudged: one refused character,
// two beeps, not four. Any other unit in between ends the pair.
class SurrogatePairs {
public:
    // Whether the key filter is to judge this unit, typed into `field`.
    constexpr bool to_judge(const void* field, std::uint16_t unit) {
        const bool second_half = low_surrogate(unit) && refused_high_in_ == field;
        refused_high_in_ = nullptr;
        return !second_half;
    }
    // What the filter decided about a unit it judged.
    constexpr void judged(const void* field, std::uint16_t unit, bool accepted) {
        if (!accepted && high_surrogate(unit)) refused_high_in_ = field;
    }

private:
    const void* refused_high_in_ = nullptr;
};

}  // namespace brenvo

#include "hex_entry.h"

namespace brenvo {
namespace {

// To signed 32-bit: fails only for numbers of no integer width.
std::optional<std::int32_t> to_int32(HexNumber number) {
    if (number.width == HexWidth::too_large) return std::nullopt;
    return number.value;
}

std::optional<std::int16_t> to_int16(std::int32_t value) {
    if (value < -32768 || value > 32767) return std::nullopt;
    return static_cast<std::int16_t>(value);
}

std::optional<std::uint8_t> to_uint8(std::int32_t value) {
    if (value < 0 || value > 255) return std::nullopt;
    return static_cast<std::uint8_t>(value);
}

Narrowed misfit(Entry entry) {
    Narrowed result;
    result.misfit = entry;
    return result;
}

}  // namespace

HexNumber read_hex(std::wstring_view entry) {
    std::uint32_t bits = 0;
    int significant = 0;
    for (wchar_t c : entry) {
        const int digit = hex_digit(c);
        if (digit < 0) break;
        if (significant == 0 && digit == 0) continue;  // leading zero
        if (++significant > 8) return {HexWidth::too_large, 0};
        bits = (bits << 4) | static_cast<std::uint32_t>(digit);
    }
    // 80000000 to FFFFFFFF would read as negative numbers and so pass for small
    // ones (FFFF8378 as -31880, the bit pattern of port 8378): refused instead.
    if (bits > 0x7FFFFFFF) return {HexWidth::too_large, 0};
    if (significant <= 4)
        return {HexWidth::int16, static_cast<std::int16_t>(static_cast<std::uint16_t>(bits))};
    return {HexWidth::int32, static_cast<std::int32_t>(bits)};
}

Narrowed narrow_read(std::wstring_view address_entry) {
    const auto address32 = to_int32(read_hex(address_entry));
    if (!address32) return misfit(Entry::read_address);
    const auto address16 = to_int16(*address32);
    if (!address16) return misfit(Entry::read_address);
    Narrowed result;
    result.port = *address16;
    return result;
}

Narrowed narrow_write(std::wstring_view address_entry, std::wstring_view value_entry) {
    const auto address32 = to_int32(read_hex(address_entry));
    if (!address32) return misfit(Entry::write_address);
    const auto value32 = to_int32(read_hex(value_entry));
    const auto value16 = value32 ? to_int16(*value32) : std::nullopt;
    if (!value16) return misfit(Entry::write_value);
    const auto value8 = to_uint8(*value16);
    if (!value8) return misfit(Entry::write_value);
    const auto address16 = to_int16(*address32);
    if (!address16) return misfit(Entry::write_address);
    Narrowed result;
    result.port = *address16;
    result.value = *value8;
    return result;
}

}  // namespace brenvo

// Hexadecimal entry: the key filter shared by the three entry fields, the
// hex digit rule, the "&H" reading of an entry's text, the narrowing of the
// read and write actions' entries to the library's argument widths, and the
// hex display of a byte. Pure logic, no window.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace brenvo {

// True when the key filter lets a typed character through: backspace (8),
// 46 to 70 ("." "/" "0"-"9" ":"-"@" "A"-"F") and 97 to 102 ("a"-"f").
// Every other code, negative ones and control characters included, is refused.
constexpr bool key_accepted(std::int16_t code) {
    return code == 8 || (code >= 46 && code <= 70) || (code >= 97 && code <= 102);
}

// The value of one hexadecimal digit, 0-9, A-F or a-f; -1 for any other
// character. The one digit rule of the project: Brenvo's "&H" reading below
// and teldo.exe's numbers both read their digits with it.
constexpr int hex_digit(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    return -1;
}

// The width an "&H" number takes: up to four significant digits make a
// signed 16-bit number, five to eight a signed 32-bit one. More than eight
// significant digits fit no integer type, and neither do eight from 80000000
// up: as signed 32-bit numbers they would be negative, which no entry means.
enum class HexWidth : std::uint8_t { int16, int32, too_large };

struct HexNumber {
    HexWidth width;
    std::int32_t value;  // sign-extended from its width; 0 when too_large
};

// Reads "&H" followed by the entry text: hex digits from the start up to the
// first character that is not one; no leading digit reads as 0. Leading zeros
// are not significant.
HexNumber read_hex(std::wstring_view entry);

// The entries the read and write actions narrow, for the out-of-range report.
enum class Entry : std::uint8_t { read_address, write_address, write_value };

// The library call's arguments, or the first entry whose narrowing fails.
struct Narrowed {
    std::optional<Entry> misfit;
    std::int16_t port = 0;    // bit pattern of the 16-bit port address
    std::uint8_t value = 0;   // write only
};

// Read action: the address to signed 32-bit, then to signed 16-bit.
Narrowed narrow_read(std::wstring_view address_entry);

// Write action, in this order: the address to signed 32-bit; the value to
// signed 16-bit, then to unsigned 8-bit; the address to signed 16-bit. So when
// both entries are too large the value is reported first.
Narrowed narrow_write(std::wstring_view address_entry, std::wstring_view value_entry);

// A byte as upper-case hexadecimal without leading zeros: "0" to "FF",
// NUL-terminated in place so that showing it needs no allocation.
struct ByteHex {
    wchar_t text[3];
    constexpr std::wstring_view view() const { return text; }
};

constexpr ByteHex byte_hex(std::uint8_t value) {
    constexpr wchar_t digits[] = L"0123456789ABCDEF";
    if (value < 0x10) return {{digits[value], L'\0', L'\0'}};
    return {{digits[value >> 4], digits[value & 0xF], L'\0'}};
}

}  // namespace brenvo

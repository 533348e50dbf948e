// The hex entry rules without a window: the key filter and how typed
// characters meet it, the "&H" reading and the read and write actions'
// narrowings, and the byte display.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "hex_entry.h"
#include "typed_units.h"

namespace brenvo {
namespace {

TEST(KeyFilter, AcceptsExactlyBackspaceAndTheHexBlocksOverEverySigned16BitCode) {
    const std::string accepted_printable = "./0123456789:;<=>?@ABCDEFabcdef";
    int accepted = 0;
    for (int code = -32768; code <= 32767; ++code) {
        const bool expected =
            code == 8 || (code >= 0 && code < 128 &&
                          accepted_printable.find(static_cast<char>(code)) != std::string::npos);
        ASSERT_EQ(key_accepted(static_cast<std::int16_t>(code)), expected) << "code " << code;
        accepted += expected;
    }
    EXPECT_EQ(accepted, 1 + 25 + 6);
}

// Character codes typed in a row, as the window hands their UTF-16 units to
// the key filter: what reaches the field, and how many characters were
// refused (two beeps each). A character of two halves is judged once.
struct TypedRun {
    std::vector<std::pair<int, std::uint32_t>> codes;  // field (0 or 1), code
    std::u16string inserted;
    int refused;
};

TEST(TypedUnits, EveryCharacterMeetsTheKeyFilterOnceHoweverManyHalvesItHas) {
    const TypedRun runs[] = {
        {{{0, 0x1F600}}, u"", 1},                         // one UTF-32 code
        {{{0, 0xD83D}, {0, 0xDE00}}, u"", 1},             // its two UTF-16 halves
        {{{0, 0x10041}}, u"", 1},                         // low 16 bits "A"
        {{{0, 0x110041}}, u"", 1},                        // no character at all
        {{{0, 0xDE00}}, u"", 1},                          // a lone low half
        {{{0, 0xD83D}, {0, L'3'}}, u"3", 1},              // a lone high half
        {{{0, 0xD83D}, {1, 0xDE00}}, u"", 2},             // halves in two fields
        {{{0, 0xD83D}, {0, 0xDE00}, {0, 0xDE00}}, u"", 2},
        {{{0, L'3'}, {0, L'f'}, {0, L'G'}}, u"3f", 1},
    };
    for (const TypedRun& run : runs) {
        SCOPED_TRACE(testing::Message() << "first code 0x" << std::hex << run.codes[0].second);
        const int fields[2] = {};
        SurrogatePairs pairs;
        std::u16string inserted;
        int refused = 0;
        for (const auto& [field, code] : run.codes) {
            const Utf16Units units = utf16_units(code);
            for (int i = 0; i < units.count; ++i) {
                const std::uint16_t unit = units.unit[i];
                if (!pairs.to_judge(&fields[field], unit)) continue;
                const bool accepted = key_accepted(static_cast<std::int16_t>(unit));
                pairs.judged(&fields[field], unit, accepted);
                if (accepted) inserted += static_cast<char16_t>(unit);
                else ++refused;
            }
        }
        EXPECT_TRUE(inserted == run.inserted) << inserted.size() << " units reached the field";
        EXPECT_EQ(refused, run.refused);
    }
}

struct ReadingCase {
    const wchar_t* entry;
    HexWidth width;
    std::int32_t value;
};

class HexReading : public testing::TestWithParam<ReadingCase> {};

TEST_P(HexReading, ReadsAsTheHexNumberRuleSays) {
    const HexNumber number = read_hex(GetParam().entry);
    EXPECT_EQ(number.width, GetParam().width);
    EXPECT_EQ(number.value, GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(
    Entries, HexReading,
    testing::Values(
        // No leading digit reads as 0.
        ReadingCase{L"", HexWidth::int16, 0}, ReadingCase{L".", HexWidth::int16, 0},
        ReadingCase{L":5", HexWidth::int16, 0}, ReadingCase{L"0", HexWidth::int16, 0},
        // Reading stops at the first character that is not a hex digit.
        ReadingCase{L"3f8", HexWidth::int16, 1016}, ReadingCase{L"3F8", HexWidth::int16, 1016},
        ReadingCase{L"3F8.5", HexWidth::int16, 1016}, ReadingCase{L"1:2", HexWidth::int16, 1},
        ReadingCase{L"a/b", HexWidth::int16, 10}, ReadingCase{L"Ab@cd", HexWidth::int16, 0xAB},
        ReadingCase{L"12 34", HexWidth::int16, 0x12},
        // One to four significant digits: signed 16-bit.
        ReadingCase{L"FF", HexWidth::int16, 255}, ReadingCase{L"7FFF", HexWidth::int16, 32767},
        ReadingCase{L"8000", HexWidth::int16, -32768}, ReadingCase{L"ffff", HexWidth::int16, -1},
        // Leading zeros are not significant.
        ReadingCase{L"0000FFFF", HexWidth::int16, -1}, ReadingCase{L"00010", HexWidth::int16, 16},
        ReadingCase{L"0000000000001", HexWidth::int16, 1},
        // Five to eight significant digits: signed 32-bit.
        ReadingCase{L"10000", HexWidth::int32, 65536}, ReadingCase{L"0FFFF0", HexWidth::int32, 0xFFFF0},
        ReadingCase{L"7FFFFFFF", HexWidth::int32, 2147483647},
        ReadingCase{L"0007FFFFFFF", HexWidth::int32, 2147483647},
        // More than eight significant digits, or eight from 80000000 up (a
        // negative 32-bit number), fit no integer.
        ReadingCase{L"80000000", HexWidth::too_large, 0},
        ReadingCase{L"FFFFFFFF", HexWidth::too_large, 0},
        ReadingCase{L"FFFF8000", HexWidth::too_large, 0},
        ReadingCase{L"100000000", HexWidth::too_large, 0},
        ReadingCase{L"123456789ABCDEF", HexWidth::too_large, 0}));

struct ReadActionCase {
    const wchar_t* address;
    bool fits;
    std::uint16_t port;
};

class ReadNarrowing : public testing::TestWithParam<ReadActionCase> {};

TEST_P(ReadNarrowing, GivesThePortOrReportsTheAddress) {
    const Narrowed narrowed = narrow_read(GetParam().address);
    if (GetParam().fits) {
        EXPECT_FALSE(narrowed.misfit.has_value());
        EXPECT_EQ(static_cast<std::uint16_t>(narrowed.port), GetParam().port);
    } else {
        ASSERT_TRUE(narrowed.misfit.has_value());
        EXPECT_EQ(*narrowed.misfit, Entry::read_address);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Entries, ReadNarrowing,
    testing::Values(ReadActionCase{L"", true, 0x0000}, ReadActionCase{L"3f8", true, 0x03F8},
                    ReadActionCase{L"3F8.5", true, 0x03F8}, ReadActionCase{L"1:2", true, 0x0001},
                    ReadActionCase{L"7FFF", true, 0x7FFF}, ReadActionCase{L"8000", true, 0x8000},
                    ReadActionCase{L"FFFF", true, 0xFFFF},
                    // Eight characters with leading zeros still fit.
                    ReadActionCase{L"00007FFF", true, 0x7FFF},
                    ReadActionCase{L"0000FFFF", true, 0xFFFF},
                    ReadActionCase{L"10000", false, 0}, ReadActionCase{L"7FFFFFFF", false, 0},
                    ReadActionCase{L"80000000", false, 0}, ReadActionCase{L"FFFF7FFF", false, 0},
                    // Their low 16 bits are a port, but they are no address.
                    ReadActionCase{L"FFFF8000", false, 0}, ReadActionCase{L"FFFFFFFF", false, 0},
                    ReadActionCase{L"123456789", false, 0}));

struct WriteActionCase {
    const wchar_t* address;
    const wchar_t* value;
    bool fits;
    Entry misfit;  // when it does not fit
    std::uint16_t port;
    std::uint8_t byte;
};

class WriteNarrowing : public testing::TestWithParam<WriteActionCase> {};

TEST_P(WriteNarrowing, GivesPortAndValueOrReportsTheFirstEntryThatFails) {
    const WriteActionCase& c = GetParam();
    const Narrowed narrowed = narrow_write(c.address, c.value);
    if (c.fits) {
        EXPECT_FALSE(narrowed.misfit.has_value());
        EXPECT_EQ(static_cast<std::uint16_t>(narrowed.port), c.port);
        EXPECT_EQ(narrowed.value, c.byte);
    } else {
        ASSERT_TRUE(narrowed.misfit.has_value());
        EXPECT_EQ(*narrowed.misfit, c.misfit);
    }
}

constexpr Entry address = Entry::write_address, value = Entry::write_value;

INSTANTIATE_TEST_SUITE_P(
    Entries, WriteNarrowing,
    testing::Values(
        WriteActionCase{L"378", L"55", true, {}, 0x0378, 0x55},
        WriteActionCase{L"378", L"", true, {}, 0x0378, 0x00},
        WriteActionCase{L"", L"FF", true, {}, 0x0000, 0xFF},
        WriteActionCase{L"FFFF", L"0", true, {}, 0xFFFF, 0x00},
        WriteActionCase{L"8000", L"7f.1", true, {}, 0x8000, 0x7F},
        WriteActionCase{L"378", L"000000FF", true, {}, 0x0378, 0xFF},
        // The value must lie in 0 to FF; FFFF is -1 as a 16-bit number.
        WriteActionCase{L"378", L"100", false, value, 0, 0},
        WriteActionCase{L"378", L"FFFF", false, value, 0, 0},
        WriteActionCase{L"378", L"8000", false, value, 0, 0},
        WriteActionCase{L"378", L"10000", false, value, 0, 0},
        WriteActionCase{L"378", L"FFFFFFFF", false, value, 0, 0},
        WriteActionCase{L"378", L"123456789", false, value, 0, 0},
        WriteActionCase{L"10000", L"55", false, address, 0, 0},
        WriteActionCase{L"80000000", L"55", false, address, 0, 0},
        WriteActionCase{L"FFFFFFFF", L"55", false, address, 0, 0},
        WriteActionCase{L"FFFF8378", L"55", false, address, 0, 0},
        // The value is narrowed before the address, except that an address of
        // no integer width fails at its very first conversion.
        WriteActionCase{L"10000", L"100", false, value, 0, 0},
        WriteActionCase{L"7FFFFFFF", L"FFFF", false, value, 0, 0},
        WriteActionCase{L"123456789", L"100", false, address, 0, 0},
        WriteActionCase{L"FFFFFFFF", L"100", false, address, 0, 0}));

TEST(ByteDisplay, IsUpperCaseHexWithoutLeadingZeros) {
    EXPECT_EQ(byte_hex(0x00).view(), L"0");
    EXPECT_EQ(byte_hex(0x0A).view(), L"A");
    EXPECT_EQ(byte_hex(0x10).view(), L"10");
    EXPECT_EQ(byte_hex(0x3F).view(), L"3F");
    EXPECT_EQ(byte_hex(0xFF).view(), L"FF");
    for (int v = 0; v < 256; ++v) {
        const std::wstring text(byte_hex(static_cast<std::uint8_t>(v)).view());
        EXPECT_EQ(std::stoi(text, nullptr, 16), v);
        EXPECT_TRUE(text == L"0" || text.front() != L'0') << v;
        EXPECT_EQ(text.find_first_of(L"abcdef"), std::wstring::npos) << v;
    }
}

}  // namespace
}  // namespace brenvo

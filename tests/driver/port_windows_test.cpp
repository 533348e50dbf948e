// The port windows as an administrator writes them and as an attacker might:
// every list either reads exactly as meant or is refused whole.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "port_windows.h"

namespace {

using teldo::windows::PortWindows;
using teldo::windows::Refusal;

// A REG_MULTI_SZ's data: each string with its NUL, then the list's NUL.
std::u16string multi_sz(const std::vector<std::u16string>& strings) {
    std::u16string data;
    for (const auto& s : strings) data += s + u'\0';
    return data + u'\0';
}

std::u16string many_windows(int count) {
    std::vector<std::u16string> strings;
    for (int i = 0; i < count; ++i) strings.push_back(u"0" + std::u16string(1, u"123456789ABCDEF"[i % 15]) + u"00");
    return multi_sz(strings);
}

struct Case {
    const char* what;
    std::u16string data;
    Refusal refusal;
    std::vector<std::pair<int, int>> windows = {};  // when read
    bool odd_bytes = false;
};

TEST(PortWindows, ReadsAListOrRefusesItWhole) {
    const Case cases[] = {
        {"a range and a port", multi_sz({u"0300-031F", u"0378"}), Refusal::none, {{0x300, 0x31F}, {0x378, 0x378}}},
        {"either case, short forms", multi_sz({u"2f8-2Ff", u"ffff"}), Refusal::none, {{0x2F8, 0x2FF}, {0xFFFF, 0xFFFF}}},
        {"the list's NUL left out", std::u16string(u"0378") + u'\0', Refusal::none, {{0x378, 0x378}}},
        {"NUL padding after the list", multi_sz({u"0378"}) + u'\0' + u'\0', Refusal::none, {{0x378, 0x378}}},
        {"sixteen windows", many_windows(16), Refusal::none},
        {"just outside the system board", multi_sz({u"0100-0CF7", u"0D00-FFFF"}), Refusal::none, {{0x100, 0xCF7}, {0xD00, 0xFFFF}}},
        {"empty data", u"", Refusal::unterminated},
        {"no terminator", u"0378", Refusal::unterminated},
        {"an odd byte length", multi_sz({u"0378"}), Refusal::unterminated, {}, true},
        {"an empty list", multi_sz({}), Refusal::no_window},
        {"a lone dash", multi_sz({u"-"}), Refusal::bad_syntax},
        {"five digits", multi_sz({u"10000"}), Refusal::bad_syntax},
        {"four digits with a leading zero too many", multi_sz({u"00378"}), Refusal::bad_syntax},
        {"an open range", multi_sz({u"0300-"}), Refusal::bad_syntax},
        {"a prefix", multi_sz({u"0x378"}), Refusal::bad_syntax},
        {"a space", multi_sz({u"0300 -031F"}), Refusal::bad_syntax},
        {"text after the list", multi_sz({u"0378"}) + u"0379" + u'\0', Refusal::bad_syntax},
        {"a wide digit", multi_sz({u"０378"}), Refusal::bad_syntax},
        {"start after end", multi_sz({u"FFFF-0000"}), Refusal::start_after_end},
        {"seventeen windows", many_windows(17), Refusal::too_many},
        {"a thousand windows", many_windows(1000), Refusal::too_many},
        {"the keyboard controller", multi_sz({u"0060"}), Refusal::reserved},
        {"reaching down into the system board", multi_sz({u"00F0-0100"}), Refusal::reserved},
        {"the reset port inside a wide range", multi_sz({u"0000-FFFF"}), Refusal::reserved},
        {"PCI configuration data", multi_sz({u"0378", u"0CFC"}), Refusal::reserved},
        {"reaching up into PCI configuration", multi_sz({u"0C00-0CF8"}), Refusal::reserved},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        PortWindows windows;
        windows.parse(u"0300-031F\0\0", 11, false);  // a table left from before must not survive
        EXPECT_EQ(windows.parse(c.data.data(), c.data.size(), c.odd_bytes), c.refusal);
        if (c.refusal != Refusal::none) {
            EXPECT_EQ(windows.size(), 0u);
            continue;
        }
        if (c.windows.empty()) continue;
        ASSERT_EQ(windows.size(), c.windows.size());
        for (std::size_t i = 0; i < c.windows.size(); ++i) {
            EXPECT_EQ(windows[i].first, c.windows[i].first);
            EXPECT_EQ(windows[i].last, c.windows[i].second);
        }
    }
}

// Exactly the ports of the windows are admitted, edges included, and the
// admitted port is the one asked for.
TEST(PortWindows, AdmitsExactlyThePortsOfItsWindows) {
    PortWindows windows;
    const auto data = multi_sz({u"0300-031F", u"0378", u"FFF0-FFFF"});
    ASSERT_EQ(windows.parse(data.data(), data.size(), false), Refusal::none);
    for (std::uint32_t port = 0; port <= 0xFFFF; ++port) {
        const bool inside = (port >= 0x300 && port <= 0x31F) || port == 0x378 || port >= 0xFFF0;
        const auto admitted = windows.admit(static_cast<std::uint16_t>(port));
        ASSERT_EQ(admitted.has_value(), inside) << std::hex << port;
        if (admitted) {
            ASSERT_EQ(admitted->number(), port);
        }
    }
    EXPECT_FALSE(PortWindows{}.admit(0x378)) << "no windows, no port";
}

}  // namespace

// The port windows as an administrator writes them and as an attacker might:
// every list either reads exactly as meant or is refused whole; the block
// requests' rules, which decide which ports a request may touch; and
// teldo.exe's driver set-up, which checks a --ports list by the same rules,
// tells why a driver does not start, and takes a card's windows from the
// devices Windows gave I/O ranges; and how teldo.exe converts the system's
// error texts for a file or a pipe.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "cards_rules.h"
#include "port_list.h"
#include "port_model.h"
#include "port_windows.h"
#include "start_errors.h"
#include "wide_pieces.h"

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
        {"just outside the reserved ranges", multi_sz({u"0100-04CF", u"04D2-0CF7", u"0D00-FFFF"}), Refusal::none,
         {{0x100, 0x4CF}, {0x4D2, 0xCF7}, {0xD00, 0xFFFF}}},
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
        {"the interrupt controllers' trigger control", multi_sz({u"04C0-04D0"}), Refusal::reserved},
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

// A block is admitted only if every port it touches is inside the windows,
// which it may cross from one into the next.
TEST(PortWindows, AdmitsABlockOnlyWhenEveryPortItTouchesIsInside) {
    PortWindows windows;
    const auto data = multi_sz({u"0300-030F", u"0310-031F", u"0378", u"FFF0-FFFF"});
    ASSERT_EQ(windows.parse(data.data(), data.size(), false), Refusal::none);
    const std::pair<teldo::Block, bool> cases[] = {
        {{0x300, 4, false, 8}, true},     // 0300-031F, across two windows
        {{0x31C, 4, false, 2}, false},    // 031C-0323
        {{0x2FE, 2, false, 2}, false},    // 02FE-0301
        {{0x31E, 2, true, 100}, true},    // a FIFO touches 031E-031F only
        {{0x31E, 2, false, 100}, false},  // consecutive: far past the window
        {{0x378, 1, true, 5}, true},
        {{0x378, 2, true, 1}, false},     // 0378-0379
        {{0xFFFC, 4, false, 1}, true},    // up to FFFF
        {{0xFFF0, 4, true, 9}, true},
    };
    for (const auto& [block, inside] : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << block.port << " width " << int(block.width)
                                        << (block.same_port ? " FIFO" : "") << " count " << block.count);
        ASSERT_TRUE(teldo::is_valid(block));
        EXPECT_EQ(windows.admit(block).has_value(), inside);
    }
}

// The block requests' header and lengths: anything but an exact match of a
// valid header fails before the bus, and touches no port.
TEST(BlockRequests, TakeOnlyAValidHeaderWithExactlyItsLengths) {
    using teldo::model::Outcome;
    struct Case {
        const char* what;
        std::uint16_t port;
        std::uint8_t width, flags;
        std::uint32_t count;
        bool write;
        int input_extra = 0, output_extra = 0;  // bytes more (or fewer) than the header asks
        Outcome outcome = Outcome::bad_block;
    };
    const Case cases[] = {
        {"words", 0x100, 2, 0, 3, false, 0, 0, Outcome::done},
        {"a FIFO of dwords written", 0x100, 4, 1, 3, true, 0, 0, Outcome::done},
        {"64 KiB of dwords", 0x0, 4, 0, 0x4000, false, 0, 0, Outcome::done},
        {"a dword FIFO at the top", 0xFFFC, 4, 1, 0x4000, true, 0, 0, Outcome::done},
        {"width 0", 0x100, 0, 0, 1, false},
        {"width 3", 0x100, 3, 0, 1, false},
        {"width 8", 0x100, 8, 0, 1, true},
        {"an unknown flag", 0x100, 1, 2, 1, false},
        {"count 0", 0x100, 1, 0, 0, false},
        {"one byte too many", 0x0, 1, 0, 0x10001, false},
        {"a count whose bytes overflow 32 bits", 0x100, 4, 0, 0x40000001, true},
        {"an odd word port", 0x101, 2, 0, 1, false},
        {"a dword port not a multiple of 4", 0x102, 4, 1, 1, true},
        {"past FFFF", 0xFFFE, 2, 0, 2, true},
        {"a read with input after the header", 0x100, 1, 0, 2, false, 1, 0},
        {"a read's output one byte short", 0x100, 2, 0, 2, false, 0, -1},
        {"a write's output", 0x100, 1, 0, 2, true, 0, 1},
        {"a write one byte short", 0x100, 2, 0, 2, true, -1, 0},
        {"shorter than a header", 0x100, 1, 0, 1, false, -1, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::uint32_t bytes = c.count * c.width;
        const std::uint8_t header[8] = {static_cast<std::uint8_t>(c.port), static_cast<std::uint8_t>(c.port >> 8),
                                        c.width, c.flags,
                                        static_cast<std::uint8_t>(c.count), static_cast<std::uint8_t>(c.count >> 8),
                                        static_cast<std::uint8_t>(c.count >> 16), static_cast<std::uint8_t>(c.count >> 24)};
        const std::uint32_t input_length = 8 + (c.write ? bytes : 0) + c.input_extra;
        const std::uint32_t output_length = (c.write ? 0 : bytes) + c.output_extra;
        std::vector<std::uint8_t> buffer(std::max<std::uint32_t>({input_length, output_length, 8}), 0x5A);
        std::copy(std::begin(header), std::end(header), buffer.begin());
        auto space = std::make_unique<teldo::model::PortSpace>();
        teldo::diag::FaultPlan faults{};
        const teldo::model::Request request{c.write ? teldo::IOCTL_PORT_WRITE_BLOCK : teldo::IOCTL_PORT_READ_BLOCK,
                                            buffer.data(), input_length, output_length ? buffer.data() : nullptr,
                                            output_length};
        const auto reply = teldo::model::serve(*space, faults, request);
        EXPECT_EQ(reply.outcome, c.outcome);
        EXPECT_EQ(reply.returned, c.outcome == Outcome::done && !c.write ? bytes : 0u);
        if (c.outcome != Outcome::done) {
            EXPECT_EQ(space->read(c.port), 0xFF) << "a refused write reached the port";
        }
    }
}

// A program is taken only whole: one operation that breaks a rule, in the
// middle of valid ones, refuses it; so do a header or lengths other than
// the program's. Each row is one rule's edge, on one side or the other.
TEST(PortPrograms, TakeOnlyAProgramWhoseEveryOperationKeepsTheRules) {
    namespace p = teldo::program;
    using Op = p::Operation;
    struct Row {
        Op operation;
        bool valid;
    };
    const Row rows[] = {
        {{p::op_read, 4, 0xFFFC, 0, 0, 0}, true},          {{p::op_read, 4, 0xFFFE, 0, 0, 0}, false},
        {{p::op_read, 2, 0x301, 0, 0, 0}, false},          {{p::op_read, 3, 0x300, 0, 0, 0}, false},
        {{p::op_read, 1, 0x300, 0, 0, 1}, false},          {{p::op_write, 1, 0x300, 0xFF, 0, 0}, true},
        {{p::op_write, 1, 0x300, 0x100, 0, 0}, false},     {{p::op_write, 2, 0x300, 0x10000, 0, 0}, false},
        {{p::op_write, 4, 0x300, 0xFFFFFFFF, 0, 0}, true}, {{p::op_write, 1, 0x300, 1, 1, 0}, false},
        {{p::op_modify, 2, 0x300, 0xFFFF, 0x8000, 0}, true}, {{p::op_modify, 1, 0x300, 0x1FF, 0, 0}, false},
        {{p::op_modify, 1, 0x300, 0x01, 0x100, 0}, false}, {{p::op_modify, 1, 0x300, 1, 1, 1}, false},
        {{p::op_wait, 0, 0, 1, 0, 0}, true},               {{p::op_wait, 0, 0, 1000, 0, 0}, true},
        {{p::op_wait, 0, 0, 0, 0, 0}, false},              {{p::op_wait, 0, 0, 1001, 0, 0}, false},
        {{p::op_wait, 1, 0, 10, 0, 0}, false},             {{p::op_wait, 0, 0x300, 10, 0, 0}, false},
        {{p::op_poll, 1, 0x300, 0x80, 0x80, 10000}, true}, {{p::op_poll, 1, 0x300, 0x80, 0, 1}, true},
        {{p::op_poll, 1, 0x300, 0x80, 0x80, 0}, false},    {{p::op_poll, 1, 0x300, 0x80, 0x80, 10001}, false},
        {{p::op_poll, 1, 0x300, 0x80, 0x40, 10}, false},   {{p::op_poll, 2, 0x300, 0x1FFFF, 0, 10}, false},
        {{0, 1, 0x300, 0, 0, 0}, false},                   {{6, 1, 0x300, 0, 0, 0}, false},
    };
    auto bytes_of = [](const std::vector<Op>& operations, std::uint32_t count) {
        std::vector<std::uint8_t> input(p::input_length(operations.size()));
        p::store_header(input.data(), count);
        for (std::size_t i = 0; i < operations.size(); ++i)
            p::store_operation(input.data() + p::input_length(i), operations[i]);
        return input;
    };
    const Op read{p::op_read, 1, 0x300, 0, 0, 0};
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << "op " << int(row.operation.op) << " width " << int(row.operation.width)
                                        << std::hex << " port " << row.operation.port << " a " << row.operation.a
                                        << " b " << row.operation.b << std::dec << " c " << row.operation.c);
        const std::vector<Op> operations{read, row.operation, read};
        const auto input = bytes_of(operations, 3);
        EXPECT_EQ(p::check(input.data(), input.size(), p::output_length(3)), row.valid ? 3u : 0u);
    }
    // The program as a whole: its count, lengths, header and total time.
    const std::vector<Op> full(256, read);
    const auto largest = bytes_of(full, 256);
    EXPECT_EQ(p::check(largest.data(), largest.size(), p::output_length(256)), 256u);
    EXPECT_EQ(p::check(largest.data(), largest.size() - 1, p::output_length(256)), 0u);
    EXPECT_EQ(p::check(largest.data(), largest.size(), p::output_length(256) + 4), 0u);
    const std::vector<Op> too_many(257, read);
    const auto over = bytes_of(too_many, 257);
    EXPECT_EQ(p::check(over.data(), over.size(), p::output_length(257)), 0u);
    auto versioned = bytes_of({read}, 1);
    EXPECT_EQ(p::check(versioned.data(), versioned.size(), p::output_length(1)), 1u);
    versioned[0] = 2;
    EXPECT_EQ(p::check(versioned.data(), versioned.size(), p::output_length(1)), 0u);
    auto flagged = bytes_of({read}, 1);
    flagged[7] = 0x80;
    EXPECT_EQ(p::check(flagged.data(), flagged.size(), p::output_length(1)), 0u);
    // Five polls of 10 ms are all the time a program may take; 1 us more is not.
    std::vector<Op> timed(5, Op{p::op_poll, 1, 0x300, 1, 1, 10000});
    for (const bool valid : {true, false}) {
        const auto input = bytes_of(timed, timed.size());
        EXPECT_EQ(p::check(input.data(), input.size(), p::output_length(timed.size())) != 0, valid) << timed.size();
        timed.push_back({p::op_wait, 0, 0, 1, 0, 0});
    }
}

// A --ports list is refused by the driver's own rules, naming the window to
// blame; a list it takes becomes exactly the REG_MULTI_SZ the driver reads.
TEST(DriverSetUp, ChecksAPortsListByTheDriversRulesAndNamesTheWindow) {
    using teldo::console::no_window;
    std::string seventeen = "0300";
    for (int i = 0; i < 16; ++i) seventeen += ",0300";
    struct Case {
        std::string list;
        Refusal refusal;
        std::size_t window;
        std::string_view named;
    };
    const Case cases[] = {
        {"0300-031F,0378", Refusal::none, no_window, ""},
        {"300-31f,ffff", Refusal::none, no_window, ""},
        {"0300-031F,0060", Refusal::reserved, 1, "0060"},
        {"00F0-0100,0378", Refusal::reserved, 0, "00F0-0100"},
        {"0C00-0CF8", Refusal::reserved, 0, "0C00-0CF8"},
        {"0310-0300", Refusal::start_after_end, 0, "0310-0300"},
        {"0300,,0378", Refusal::bad_syntax, 1, ""},
        {"0378,", Refusal::bad_syntax, 1, ""},
        {"", Refusal::bad_syntax, 0, ""},
        {"0x300", Refusal::bad_syntax, 0, "0x300"},
        {"0300 ,0378", Refusal::bad_syntax, 0, "0300 "},
        {"0300-031F-0320", Refusal::bad_syntax, 0, "0300-031F-0320"},
        {seventeen, Refusal::too_many, 16, "0300"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.list);
        char16_t units[teldo::console::max_list_units] = {};
        std::size_t count = 0;
        const auto verdict = teldo::console::read_port_list(c.list, units, count);
        EXPECT_EQ(verdict.refusal, c.refusal);
        EXPECT_EQ(verdict.window, c.window);
        if (c.window != no_window) {
            EXPECT_EQ(teldo::console::list_window(c.list, c.window), c.named);
        }
        if (c.refusal == Refusal::none) {
            std::u16string expected;
            for (char ch : c.list) expected += ch == ',' ? u'\0' : char16_t(ch);
            expected += std::u16string(2, u'\0');
            EXPECT_EQ(std::u16string(units, count), expected);
        }
    }
    // The same rules on a Ports value as found in the registry.
    const auto found = multi_sz({u"0378", u"0300-031F", u"0CFC"});
    const auto verdict = teldo::console::examine_windows(found.data(), found.size(), false);
    EXPECT_EQ(verdict.refusal, Refusal::reserved);
    EXPECT_EQ(verdict.window, 2u);
    EXPECT_EQ(teldo::console::examine_windows(found.data(), found.size(), true).window, no_window)
        << "an odd byte length is the value's fault, not a window's";
}

// A driver's start error in plain words, told for the Windows at hand.
TEST(DriverSetUp, TellsWhyTheDriverDoesNotStartForThisWindows) {
    using teldo::console::ThisWindows;
    const ThisWindows win64{true, false, true}, win32_driver_on_64{true, true, true}, win8_32bit{false, true, true},
        xp{false, true, false}, win64_driver_on_32{false, false, true};
    struct Case {
        std::uint32_t error;
        ThisWindows windows;
        const char* words;  // in the words, or null: no words of ours
        const char* fix;    // in the fix
    };
    const Case cases[] = {
        {2, win64, "file is missing", "SysWOW64"},
        {2, xp, "file is missing", "teldo driver install"},
        {577, win64, "test-signing mode is off, or Secure Boot", "bcdedit /set testsigning on"},
        {577, win8_32bit, "Secure Boot is on", "firmware"},
        {1275, win32_driver_on_64, "win32 package's 32-bit driver", "win64 package's teldo.exe"},
        {1275, win64, "driver-blocking policy", "Core isolation"},
        {0x800B010C, win64, "revoked", "signed anew"},
        // The driver of the other architecture, or a damaged copy: the same
        // words for both errors.
        {193, win64_driver_on_32, "win64 package's 64-bit driver, and this is 32-bit Windows", "win32 package's"},
        {216, win64_driver_on_32, "win64 package's 64-bit driver, and this is 32-bit Windows", "win32 package's"},
        {216, xp, "damaged", "teldo driver install"},
        {225, xp, "antivirus", "exclusions"},
        {487, xp, "Ports value", "--ports"},
        {1114, win64, nullptr, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "error " << c.error);
        const auto problem = teldo::console::start_problem(c.error, c.windows);
        if (!c.words) {
            EXPECT_EQ(problem.words, nullptr);
            continue;
        }
        ASSERT_NE(problem.words, nullptr);
        EXPECT_NE(std::string(problem.words).find(c.words), std::string::npos) << problem.words;
        EXPECT_NE(std::string(problem.fix).find(c.fix), std::string::npos) << problem.fix;
    }
}

// The devices of a PC, and what `--card ID` takes from them: the device an
// instance ID or a unique hardware-ID prefix names, and its assigned I/O
// ranges as windows, or the refusal in words; never a bus or a bridge,
// whose ranges are other devices' ports; and which devices hold a window.
TEST(Cards, TakeTheAssignedRangesOfTheOneDeviceAnIdNames) {
    using namespace std::literals;
    using teldo::cards::CardRefusal;
    using teldo::cards::Device;
    using teldo::cards::IoRange;
    using teldo::cards::Source;
    const IoRange parallel[] = {{0xD000, 0xD007}, {0xD400, 0xD403}}, serial_1[] = {{0xC000, 0xC007}},
                  serial_2[] = {{0xC100, 0xC107}}, com3[] = {{0xB000, 0xB007}}, dio[] = {{0xE000, 0xE07F}},
                  boot[] = {{0xE400, 0xE41F}}, ide[] = {{0xF000, 0xF00F}, {0x01F0, 0x01F7}},
                  root[] = {{0x0000, 0x0CF7}, {0x0D00, 0xFFFF}}, bridge[] = {{0xD000, 0xEFFF}},
                  board[] = {{0x0400, 0x047F}, {0x04D0, 0x04D1}};
    const Device devices[] = {
        {u"PCI\\VEN_1415&DEV_C110&SUBSYS_C1101415&REV_00\\4&2F6A1B3&0&00E0", u"PCI Parallel Port", u"",
         u"PCI\\VEN_1415&DEV_C110&SUBSYS_C1101415&REV_00\0PCI\\VEN_1415&DEV_C110\0"sv, u"PCI\\CC_0701\0"sv, u"Ports",
         false, Source::assigned, parallel},
        {u"PCI\\VEN_1415&DEV_9501&SUBSYS_00011415&REV_00\\4&1C3D2E&0&10E0", u"PCI Serial Port", u"",
         u"PCI\\VEN_1415&DEV_9501&SUBSYS_00011415&REV_00\0"sv, u"PCI\\CC_0700\0"sv, u"Ports", false, Source::assigned,
         serial_1},
        {u"PCI\\VEN_1415&DEV_9501&SUBSYS_00011415&REV_00\\4&1C3D2E&0&18E0", u"PCI Serial Port", u"",
         u"PCI\\VEN_1415&DEV_9501&SUBSYS_00011415&REV_00\0"sv, u"PCI\\CC_0700\0"sv, u"Ports", false, Source::assigned,
         serial_2},
        {u"PCI\\VEN_1415&DEV_C158&SUBSYS_C1581415&REV_00\\4&3B2A10&0&20E0", u"Communications Port (COM3)",
         u"Serial", u"PCI\\VEN_1415&DEV_C158&SUBSYS_C1581415&REV_00\0"sv, u"PCI\\CC_0700\0"sv, u"Ports", true,
         Source::assigned, com3},
        {u"PCI\\VEN_10B5&DEV_9050&SUBSYS_905010B5&REV_01\\5&22F0A1&0&0048", u"Digital I/O card", u"",
         u"PCI\\VEN_10B5&DEV_9050&SUBSYS_905010B5&REV_01\0"sv, u"PCI\\CC_0680\0"sv, u"Unknown", false,
         Source::assigned, dio},
        {u"PCI\\VEN_10B5&DEV_8111&SUBSYS_811110B5&REV_21\\4&5A6B7C&0&00E4", u"PCI-to-PCI bridge", u"pci",
         u"PCI\\VEN_10B5&DEV_8111&SUBSYS_811110B5&REV_21\0"sv, u"PCI\\VEN_10B5&CC_060400\0PCI\\CC_0604\0"sv,
         u"System", true, Source::assigned, bridge},
        {u"PCI\\VEN_13FE&DEV_1680&SUBSYS_168013FE&REV_00\\4&1F2E3D&0&30E0", u"PCI Device", u"",
         u"PCI\\VEN_13FE&DEV_1680&SUBSYS_168013FE&REV_00\0"sv, u"PCI\\CC_0780\0"sv, u"", false, Source::boot, boot},
        {u"PCI\\VEN_10EE&DEV_7021&SUBSYS_000710EE&REV_00\\4&2A1B0C&0&38E0", u"Memory card", u"",
         u"PCI\\VEN_10EE&DEV_7021&SUBSYS_000710EE&REV_00\0"sv, u"PCI\\CC_0580\0"sv, u"System", false, Source::assigned,
         {}},
        {u"PCI\\VEN_8086&DEV_7010&SUBSYS_00000000&REV_00\\3&13C0B0C5&0&09", u"IDE Controller", u"pciide",
         u"PCI\\VEN_8086&DEV_7010&SUBSYS_00000000&REV_00\0"sv, u"PCI\\CC_0101\0"sv, u"hdc", true, Source::assigned, ide},
        {u"ACPI\\PNP0A08\\0", u"PCI Express Root Complex", u"pci", u"ACPI\\PNP0A08\0*PNP0A08\0"sv,
         u"ACPI\\PNP0A03\0"sv, u"System", true, Source::assigned, root},
        {u"ACPI\\PNP0C02\\1", u"Motherboard resources", u"", u"ACPI\\PNP0C02\0*PNP0C02\0"sv, u""sv, u"System", true,
         Source::assigned, board},
    };
    struct Row {
        const char* what;
        std::string_view id;
        std::size_t windows_before;
        CardRefusal refusal;
        int device;  // the device named, -1 for none
        std::vector<std::pair<int, int>> windows;
        std::vector<const char*> said;  // each in the message or the warning
    };
    const Row rows[] = {
        {"an instance ID, in another case", "pci\\ven_1415&dev_c110&subsys_c1101415&rev_00\\4&2f6a1b3&0&00e0", 0,
         CardRefusal::none, 0, {{0xD000, 0xD007}, {0xD400, 0xD403}}, {}},
        {"a hardware-ID prefix of one device", "PCI\\VEN_1415&DEV_C110", 14, CardRefusal::none, 0,
         {{0xD000, 0xD007}, {0xD400, 0xD403}}, {}},
        {"a bridge is never a card: its prefix names the card alone", "PCI\\VEN_10B5", 0, CardRefusal::none, 4,
         {{0xE000, 0xE07F}}, {}},
        {"a device whose own driver runs: taken, with a warning", "PCI\\VEN_1415&DEV_C158", 0, CardRefusal::none, 3,
         {{0xB000, 0xB007}}, {"warning", "has a driver of its own, Serial, started: two drivers will drive one card"}},
        {"no device", "PCI\\VEN_1415&DEV_C111", 0, CardRefusal::no_match, -1, {}, {"teldo cards lists"}},
        {"a root bus is no device of ours", "ACPI\\PNP0A08", 0, CardRefusal::no_match, -1, {}, {"teldo cards lists"}},
        {"the root bus by its instance ID", "ACPI\\PNP0A08\\0", 0, CardRefusal::no_match, -1, {}, {}},
        {"two devices of one hardware ID", "pci\\ven_1415&dev_9501", 0, CardRefusal::several, -1, {},
         {"2 devices", "\\4&1C3D2E&0&10E0\r\n", "\\4&1C3D2E&0&18E0\r\n", "by its instance ID"}},
        {"a disk controller", "PCI\\VEN_8086&DEV_7010", 0, CardRefusal::bus_master, 8, {},
         {"class hdc", "reaches the PC's memory through DMA"}},
        {"memory ranges only", "PCI\\VEN_10EE", 0, CardRefusal::no_ports, 7, {}, {"has no I/O ports\r\n"}},
        {"only a boot configuration: its boot ranges, which Windows keeps for it", "PCI\\VEN_13FE&DEV_1680", 0,
         CardRefusal::none, 6, {{0xE400, 0xE41F}}, {}},
        {"a range on the interrupt controllers' trigger control", "ACPI\\PNP0C02", 0, CardRefusal::reserved, 10, {},
         {"its range 04D0-04D1: it overlaps"}},
        {"a 17th window", "PCI\\VEN_1415&DEV_C110", 15, CardRefusal::too_many, 0, {}, {"more than 16 windows"}},
    };
    struct Sink {
        std::string text;
        void put(char c) { text += c; }
        void put(std::string_view more) { text += more; }
        void decimal(std::uint32_t value) { text += std::to_string(value); }
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const auto choice = teldo::cards::choose_card(devices, row.id, row.windows_before);
        EXPECT_EQ(choice.refusal, row.refusal);
        if (row.device >= 0) {
            EXPECT_EQ(choice.matches, 1u);
            EXPECT_EQ(choice.device, std::size_t(row.device));
        }
        std::vector<std::pair<int, int>> windows;
        for (std::size_t i = 0; i < choice.window_count; ++i) windows.emplace_back(choice.windows[i].first, choice.windows[i].last);
        EXPECT_EQ(windows, row.windows);
        EXPECT_EQ(choice.other_driver, row.refusal == CardRefusal::none && row.device == 3);
        Sink said;
        if (choice.refusal != CardRefusal::none) teldo::cards::tell_refusal(said, choice, devices, row.id);
        else if (choice.other_driver) teldo::cards::tell_other_driver(said, devices[choice.device], row.id);
        for (const char* words : row.said) EXPECT_NE(said.text.find(words), std::string::npos) << words << " in:\n" << said.text;
    }

    // Whose ports a window covers: never a bus's or a bridge's.
    const std::pair<teldo::windows::PortRange, std::vector<std::size_t>> held[] = {
        {{0xD004, 0xD004}, {0}}, {{0xC004, 0xC1FF}, {1, 2}}, {{0x0300, 0x031F}, {}}, {{0xE410, 0xE410}, {6}},
    };
    for (const auto& [window, expected] : held) {
        std::size_t found[4] = {};
        const std::size_t count = teldo::cards::holders(window, devices, found);
        EXPECT_EQ(std::vector<std::size_t>(found, found + std::min<std::size_t>(count, 4)), expected) << window.first;
    }

    // How much of a range the driver's windows open, for teldo cards.
    using teldo::cards::Coverage;
    teldo::windows::PortWindows open;
    ASSERT_EQ(open.parse(u"0378\0D000-D003\0D004-D007\0\0", 26, false), Refusal::none);
    const std::pair<IoRange, Coverage> covered[] = {
        {{0xD000, 0xD007}, Coverage::inside},   {{0xD000, 0xD008}, Coverage::partly},
        {{0x0000, 0x0CF7}, Coverage::partly},   {{0x0CF8, 0x0CFF}, Coverage::outside},
        {{0xFFF0, 0x1000F}, Coverage::beyond},
    };
    for (const auto& [range, expected] : covered) EXPECT_EQ(teldo::cards::coverage(range, open), expected) << range.first;
}

// A system text of any length reaches a file whole through teldo.exe's
// fixed buffer, in GB18030 (4 bytes a unit), in a code page that shifts
// state (more), and with no surrogate pair parted between two pieces.
TEST(TeldoOutput, ASystemTextOfAnyLengthArrivesWholeInAnyCodePage) {
    std::u16string text;
    for (int i = 0; text.size() < 1000; ++i) text += i % 4 == 3 ? u"\U0001F600" : u"\u00E4";
    // Converts as WideCharToMultiByte does: `bytes_a_unit` bytes a unit, a
    // pair as "<>", a lone surrogate as '?'; 0 when the room is too small.
    for (const std::size_t bytes_a_unit : {std::size_t{4}, std::size_t{8}}) {
        SCOPED_TRACE(testing::Message() << bytes_a_unit << " bytes a unit");
        auto convert = [bytes_a_unit](const char16_t* units, std::size_t count, char* bytes, std::size_t room) {
            std::string piece;
            for (std::size_t i = 0; i < count; ++i) {
                const bool high = units[i] >= 0xD800 && units[i] <= 0xDBFF;
                const bool low = units[i] >= 0xDC00 && units[i] <= 0xDFFF;
                if (high && i + 1 < count && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
                    piece += "<>", ++i;
                } else {
                    piece += high || low ? std::string(1, '?') : std::string(bytes_a_unit, 'a');
                }
            }
            if (piece.size() > room) return std::size_t{0};
            std::copy(piece.begin(), piece.end(), bytes);
            return piece.size();
        };
        std::string whole(text.size() * 8, '\0');
        whole.resize(convert(text.data(), text.size(), whole.data(), whole.size()));
        std::string arrived;
        EXPECT_TRUE(teldo::console::convert_in_pieces<256>(
            text.data(), text.size(), convert,
            [&arrived](const char* bytes, std::size_t count) { arrived.append(bytes, count); }));
        EXPECT_EQ(arrived, whole);
    }
}

}  // namespace

// The port windows of the driver's real mode, without any kernel API: the
// administrator's lists (Parameters\Ports, the plain windows of legacy
// cards, and Parameters\CardPorts, the ranges Windows gave Plug and Play
// cards; each a REG_MULTI_SZ of "0300-031F" or "0378" strings) read as
// untrusted bytes into one fixed table, the ports no list may open, and the
// one check that admits a port to the bus.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "teldo_protocol.h"

namespace teldo::windows {

struct PortRange {
    std::uint16_t first;
    std::uint16_t last;  // inclusive
    constexpr bool overlaps(PortRange other) const {
        return first <= other.last && other.first <= last;
    }
};

// The system board's ports, which no window may touch: the DMA, interrupt
// and timer controllers, the keyboard controller (which can reset the PC),
// CMOS and the reset port 92 all lie in 0000-00FF; 0CF8-0CFF is the PCI
// configuration mechanism, through which any device of the PC (and its
// memory decoding) can be reprogrammed; 04D0-04D1 set each interrupt line
// to edge or level triggering, which can silence any device's interrupts.
struct ReservedRange {
    PortRange ports;
    const char* why;
};
constexpr ReservedRange reserved_ranges[] = {
    {{0x0000, 0x00FF}, "system board: DMA, interrupt, timer and keyboard controllers, CMOS, reset"},
    {{0x04D0, 0x04D1}, "interrupt controllers' edge and level control"},
    {{0x0CF8, 0x0CFF}, "PCI configuration"},
};

constexpr std::size_t max_windows = 16;

// Why a Ports value was refused (none: it was read).
enum class Refusal : std::uint8_t {
    none,
    wrong_type,       // not a REG_MULTI_SZ
    unterminated,     // odd length, or the last string has no NUL
    no_window,        // an empty list
    bad_syntax,       // not 1-4 hex digits, optionally "-" and 1-4 more
    start_after_end,  // "0310-0300"
    too_many,         // more than max_windows strings
    reserved,         // overlaps a reserved range
};

// A port a window admits. Only PortWindows::admit makes one, so a function
// that takes it cannot be reached with a port outside the windows.
class AdmittedPort {
public:
    constexpr std::uint16_t number() const { return port_; }

private:
    friend class PortWindows;
    constexpr explicit AdmittedPort(std::uint16_t port) : port_(port) {}
    std::uint16_t port_;
};

// A block whose every port lies inside the windows; only PortWindows::admit
// makes one.
class AdmittedBlock {
public:
    constexpr const Block& block() const { return block_; }

private:
    friend class PortWindows;
    constexpr explicit AdmittedBlock(const Block& block) : block_(block) {}
    Block block_;
};

class PortWindows {
public:
    // Reads a REG_MULTI_SZ's data: `units` UTF-16 code units (`count` of
    // them, the value's byte length / 2; `odd_bytes` when that length was
    // odd). On any refusal the table is left empty.
    constexpr Refusal parse(const char16_t* units, std::size_t count, bool odd_bytes) {
        count_ = 0;
        return parse_more(units, count, odd_bytes);
    }
    // Reads a second list after the first: its windows join the table under
    // the same rules, at most max_windows in all. On any refusal the whole
    // table is left empty.
    constexpr Refusal parse_more(const char16_t* units, std::size_t count, bool odd_bytes) {
        const Refusal refusal = parse_list(units, count, odd_bytes);
        if (refusal != Refusal::none) count_ = 0;
        return refusal;
    }

    constexpr std::optional<AdmittedPort> admit(std::uint16_t port) const {
        for (std::size_t i = 0; i < count_; ++i)
            if (port >= windows_[i].first && port <= windows_[i].last) return AdmittedPort(port);
        return std::nullopt;
    }

    // Admits a block only if every port that any of its elements touches
    // lies inside a window; its range may run on from one window into the
    // next.
    constexpr std::optional<AdmittedBlock> admit(const Block& block) const {
        std::uint32_t next = block.port;
        while (next <= block.last_port()) {
            std::uint32_t reach = next;  // the last port known to be open from `next`
            bool inside = false;
            for (std::size_t i = 0; i < count_; ++i)
                if (next >= windows_[i].first && next <= windows_[i].last && windows_[i].last >= reach) {
                    reach = windows_[i].last;
                    inside = true;
                }
            if (!inside) return std::nullopt;
            next = reach + 1;
        }
        return AdmittedBlock(block);
    }

    constexpr std::size_t size() const { return count_; }
    constexpr PortRange operator[](std::size_t i) const { return windows_[i]; }

private:
    constexpr Refusal parse_list(const char16_t* units, std::size_t count, bool odd_bytes) {
        if (odd_bytes || count == 0 || units[count - 1] != 0) return Refusal::unterminated;
        const std::size_t before = count_;
        std::size_t at = 0;
        while (at < count && units[at] != 0) {
            if (count_ == max_windows) return Refusal::too_many;
            PortRange range{};
            const Refusal refusal = parse_window(units, at, range);
            if (refusal != Refusal::none) return refusal;
            for (const auto& reserved : reserved_ranges)
                if (range.overlaps(reserved.ports)) return Refusal::reserved;
            windows_[count_++] = range;
            ++at;  // past the string's NUL
        }
        // The list ends with an empty string (or the data's end); only NULs
        // may follow it.
        for (; at < count; ++at)
            if (units[at] != 0) return Refusal::bad_syntax;
        return count_ == before ? Refusal::no_window : Refusal::none;
    }

    // One string from `at` up to its NUL, which `at` is left on.
    static constexpr Refusal parse_window(const char16_t* units, std::size_t& at, PortRange& range) {
        std::uint32_t first = 0;
        if (!parse_port(units, at, first)) return Refusal::bad_syntax;
        std::uint32_t last = first;
        if (units[at] == u'-') {
            ++at;
            if (!parse_port(units, at, last)) return Refusal::bad_syntax;
        }
        if (units[at] != 0) return Refusal::bad_syntax;
        if (first > last) return Refusal::start_after_end;
        range = {static_cast<std::uint16_t>(first), static_cast<std::uint16_t>(last)};
        return Refusal::none;
    }

    // 1 to 4 hexadecimal digits, either case.
    static constexpr bool parse_port(const char16_t* units, std::size_t& at, std::uint32_t& port) {
        int digits = 0;
        port = 0;
        for (;; ++at, ++digits) {
            const char16_t c = units[at];
            std::uint32_t digit = 0;
            if (c >= u'0' && c <= u'9') digit = c - u'0';
            else if (c >= u'A' && c <= u'F') digit = c - u'A' + 10;
            else if (c >= u'a' && c <= u'f') digit = c - u'a' + 10;
            else break;
            if (digits == 4) return false;
            port = port * 16 + digit;
        }
        return digits > 0;
    }

    std::array<PortRange, max_windows> windows_{};
    std::size_t count_ = 0;
};

}  // namespace teldo::windows

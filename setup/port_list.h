// The port windows as an administrator gives them to `teldo driver install
// --ports` ("0300-031F,0378") and as the driver finds them in its Ports
// value: checked with the driver's own rules (port_windows.h), window by
// window, so that a refusal names the window it is about.
#pragma once

#include <cstddef>
#include <string_view>

#include "port_windows.h"

namespace teldo::console {

// The longest REG_MULTI_SZ a list that the driver takes can make: 16
// windows of "FFFF-FFFF" with their NULs, and the list's final NUL.
constexpr std::size_t max_list_units = windows::max_windows * 10 + 1;
constexpr std::size_t no_window = static_cast<std::size_t>(-1);

struct ListVerdict {
    windows::Refusal refusal = windows::Refusal::none;
    std::size_t window = no_window;  // which window (from 0) is to blame, if one is
};

// Why the driver would refuse the REG_MULTI_SZ data `units` (`count` UTF-16
// units; `odd_bytes` when its byte length was odd), naming the first window
// to blame; refusal none when it would take it.
constexpr ListVerdict examine_windows(const char16_t* units, std::size_t count, bool odd_bytes) {
    windows::PortWindows whole;
    const windows::Refusal refusal = whole.parse(units, count, odd_bytes);
    if (refusal == windows::Refusal::none) return {};
    // A value that is no list of strings, or an empty one, has no window to blame.
    if (refusal == windows::Refusal::unterminated || refusal == windows::Refusal::no_window) return {refusal, no_window};
    // The culprit: the first string refused on its own, or the seventeenth.
    std::size_t at = 0;
    for (std::size_t index = 0; at < count && units[at] != 0; ++index) {
        std::size_t end = at;
        while (end < count && units[end] != 0) ++end;
        if (index == windows::max_windows) return {windows::Refusal::too_many, index};
        if (end - at > 9) return {windows::Refusal::bad_syntax, index};
        char16_t alone[11] = {};
        for (std::size_t i = at; i < end; ++i) alone[i - at] = units[i];
        windows::PortWindows one;
        const windows::Refusal own = one.parse(alone, end - at + 2, false);
        if (own != windows::Refusal::none) return {own, index};
        at = end + 1;
    }
    return {refusal, no_window};
}

// The window that starts at `start` in a comma-separated list: up to the
// next comma or the end. (No string_view::find: it needs the C runtime.)
constexpr std::string_view window_at(std::string_view list, std::size_t start) {
    std::size_t end = start;
    while (end < list.size() && list[end] != ',') ++end;
    return std::string_view(list.data() + start, end - start);
}

// The comma-separated list `list` (ASCII) as the REG_MULTI_SZ units the
// driver reads, in `units` (room for max_list_units), their number in
// `count`; with the driver's verdict on them. An empty window, or one too
// long to be a window, is bad syntax; a 17th window is one too many.
constexpr ListVerdict read_port_list(std::string_view list, char16_t* units, std::size_t& count) {
    count = 0;
    for (std::size_t index = 0, start = 0;; ++index) {
        const std::string_view item = window_at(list, start);
        if (item.empty() || item.size() > 9) return {windows::Refusal::bad_syntax, index};
        if (index == windows::max_windows) return {windows::Refusal::too_many, index};
        for (char c : item) units[count++] = static_cast<unsigned char>(c) < 0x80 ? char16_t(c) : u'?';
        units[count++] = 0;
        start += item.size();
        if (start == list.size()) break;
        ++start;  // past the comma
    }
    units[count++] = 0;
    return examine_windows(units, count, false);
}

// The `index`th window (from 0) of a comma-separated list.
constexpr std::string_view list_window(std::string_view list, std::size_t index) {
    std::size_t start = 0;
    for (; index > 0 && start < list.size(); --index) start += window_at(list, start).size() + 1;
    return start <= list.size() ? window_at(list, start) : std::string_view{};
}

// Why, in words: "not 1 to 4 hex digits, or two such joined by -", ...
constexpr const char* refusal_words(windows::Refusal refusal) {
    using windows::Refusal;
    switch (refusal) {
        case Refusal::none: return "taken";
        case Refusal::wrong_type: return "the value is not a REG_MULTI_SZ";
        case Refusal::unterminated: return "the value does not end as a list of strings must";
        case Refusal::no_window: return "no window at all";
        case Refusal::bad_syntax: return "not a port (1 to 4 hex digits) or two ports joined by -";
        case Refusal::start_after_end: return "its first port is above its last";
        case Refusal::too_many: return "more than 16 windows";
        case Refusal::reserved:
            return "it overlaps 0000-00FF (the system board), 04D0-04D1 (the interrupt controllers' edge and "
                   "level control) or 0CF8-0CFF (PCI configuration), which no window may open";
    }
    return "refused";
}

}  // namespace teldo::console

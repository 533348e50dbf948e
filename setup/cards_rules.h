// The devices of the PC and the I/O ranges Windows gave them, as teldo.exe
// reads them from the configuration manager (setup/cards.cpp), and the rules
// that turn a card into port windows: which device an ID names, which
// devices may never be a card's windows, and whose ports a window covers.
// Pure, without any Windows call, so that the native tests hold them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "port_list.h"
#include "port_windows.h"

namespace teldo::cards {

// An I/O range as the configuration manager gives it (IO_DES: IOD_Alloc_Base
// to IOD_Alloc_End, both inclusive), 64 bits wide: only up to FFFF is a port
// that a window can open.
struct IoRange {
    std::uint64_t first;
    std::uint64_t last;
};

// Where a device's ranges come from: the configuration Windows assigned it
// (ALLOC_LOG_CONF), or, where there is none, the one the firmware set up at
// boot (BOOT_LOG_CONF), which Windows keeps reserved for a device it has not
// started.
enum class Source : std::uint8_t { none, assigned, boot };

// One present device. The texts are UTF-16 as Windows gives them; the ID
// lists are REG_MULTI_SZ data, strings separated by NULs.
struct Device {
    std::u16string_view instance_id;
    std::u16string_view name;            // friendly name, else description
    std::u16string_view service;         // its driver's service; empty: none
    std::u16string_view hardware_ids;
    std::u16string_view compatible_ids;
    std::u16string_view device_class;    // its setup class: "Ports", "HDC", ...
    bool started = false;                // DN_STARTED: its driver runs it
    Source source = Source::none;
    std::span<const IoRange> ranges;     // its I/O ranges from `source`
};

// ------------------------------------------------------------------ texts

constexpr char16_t upper(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; }

// Whether `text` begins with `start`, ASCII letters in either case; device
// IDs are ASCII, and the words of a command line too.
template <class Start>
constexpr bool starts_with(std::u16string_view text, Start start) {
    if (start.size() > text.size()) return false;
    for (std::size_t i = 0; i < start.size(); ++i)
        if (upper(text[i]) != upper(static_cast<unsigned char>(start[i]))) return false;
    return true;
}
template <class Other>
constexpr bool same_text(std::u16string_view text, Other other) {
    return text.size() == other.size() && starts_with(text, other);
}

// Calls `visit` with each string of a REG_MULTI_SZ (empty ones skipped)
// until it returns true; whether one did.
template <class Visit>
constexpr bool any_string(std::u16string_view list, Visit visit) {
    std::size_t at = 0;
    while (at < list.size()) {
        std::size_t end = at;
        while (end < list.size() && list[end] != 0) ++end;
        if (end > at && visit(std::u16string_view(list.data() + at, end - at))) return true;
        at = end + 1;
    }
    return false;
}

// ------------------------------------------------------------ which devices

// A bus or a bridge lists the ranges it forwards to the devices behind it as
// its own: they are those devices' ports, never its. The PCI root bus is
// ACPI\PNP0A03, or ACPI\PNP0A08 for PCI Express (also in their generic
// *PNP0A0x forms), a PCI-to-PCI bridge has the class code 0604, a
// PCI-to-ISA bridge 0601. Either ID list may carry them.
constexpr std::string_view bus_and_bridge_ids[] = {"ACPI\\PNP0A03", "ACPI\\PNP0A08", "*PNP0A03",
                                                   "*PNP0A08",     "PCI\\CC_0604",  "PCI\\CC_0601"};

constexpr bool is_bus_or_bridge(const Device& device) {
    auto known = [](std::u16string_view id) {
        for (const std::string_view bus : bus_and_bridge_ids)
            if (same_text(id, bus)) return true;
        return false;
    };
    return any_string(device.hardware_ids, known) || any_string(device.compatible_ids, known);
}

// The setup classes of controllers that master the bus (disk and storage
// controllers, display adapters, network adapters): they move data to and
// from the PC's memory by DMA, at addresses their ports are given.
constexpr std::string_view bus_master_classes[] = {"HDC", "SCSIAdapter", "Display", "Net"};

constexpr bool is_bus_master(const Device& device) {
    for (const std::string_view name : bus_master_classes)
        if (same_text(device.device_class, name)) return true;
    return false;
}

// What `teldo cards` lists: a device with I/O ranges that is no bus or bridge.
constexpr bool listed(const Device& device) { return !device.ranges.empty() && !is_bus_or_bridge(device); }

// Whether `id` names the device by a prefix of one of its hardware IDs.
// Buses and bridges are never named.
constexpr bool named_by_prefix(const Device& device, std::string_view id) {
    return !id.empty() && !is_bus_or_bridge(device) &&
           any_string(device.hardware_ids, [id](std::u16string_view hardware_id) { return starts_with(hardware_id, id); });
}

// ------------------------------------------------------- the driver's windows

// A Parameters value as the registry holds it.
struct ListValue {
    bool present = false;
    bool multi_sz = false;
    const char16_t* units = nullptr;
    std::size_t count = 0;  // the byte length / 2
    bool odd_bytes = false;
};

// The driver's windows from its Ports and CardPorts values, read as the
// driver reads them as it starts (driver/service_key.cpp): an absent value
// adds nothing, CardPorts joins Ports under the same rules, 16 windows in
// all, and a value longer than the driver reads is refused. `windows` is a
// fresh table. Refusal none with no windows: neither value is there.
constexpr windows::Refusal driver_windows(const ListValue& ports, const ListValue& card_ports,
                                          windows::PortWindows& windows) {
    // The driver reads at most this many units of a value (16 longest
    // windows, the list's NUL, as many again).
    constexpr std::size_t longest = 2 * (windows::max_windows * 10 + 1);
    for (const ListValue* value : {&ports, &card_ports}) {
        if (!value->present) continue;
        if (!value->multi_sz) return windows::Refusal::wrong_type;
        if (value->count > longest) return windows::Refusal::unterminated;
        const windows::Refusal refusal = windows.size() == 0
                                             ? windows.parse(value->units, value->count, value->odd_bytes)
                                             : windows.parse_more(value->units, value->count, value->odd_bytes);
        if (refusal != windows::Refusal::none) return refusal;
    }
    return windows::Refusal::none;
}

// How much of a range the windows open.
enum class Coverage : std::uint8_t { inside, partly, outside, beyond };  // beyond: it reaches above FFFF

constexpr Coverage coverage(IoRange range, const windows::PortWindows& windows) {
    if (range.last > 0xFFFF || range.first > range.last) return Coverage::beyond;
    const windows::PortRange ports{static_cast<std::uint16_t>(range.first), static_cast<std::uint16_t>(range.last)};
    bool any = false;
    for (std::size_t i = 0; i < windows.size(); ++i) any = any || windows[i].overlaps(ports);
    if (!any) return Coverage::outside;
    // From the first port on, each next port must lie in a window; the
    // windows may meet or overlap.
    std::uint32_t next = ports.first;
    while (next <= ports.last) {
        std::uint32_t reach = 0;  // the last port open from `next` on, once `inside`
        bool inside = false;
        for (std::size_t i = 0; i < windows.size(); ++i)
            if (next >= windows[i].first && next <= windows[i].last && (!inside || windows[i].last > reach)) {
                reach = windows[i].last;
                inside = true;
            }
        if (!inside) return Coverage::partly;
        next = reach + 1;
    }
    return Coverage::inside;
}

// ------------------------------------------------------------- --card ID

enum class CardRefusal : std::uint8_t {
    none,
    no_match,    // no device has that instance ID, nor a hardware ID starting with it
    several,     // hardware IDs of several devices start with it
    bus_master,  // a disk, storage, display or network controller
    no_ports,    // no I/O range, neither assigned nor kept from boot
    reserved,    // a range touches a range no window may open
    beyond,      // a range lies above FFFF
    too_many,    // more than 16 windows in all
};

// The windows `--card ID` takes, or why not.
struct CardChoice {
    CardRefusal refusal = CardRefusal::none;
    std::size_t device = 0;   // the device named (the first of several)
    std::size_t matches = 0;  // how many devices the ID names
    std::size_t range = 0;    // reserved, beyond: the range to blame
    // Taken, but the device has a driver of its own (its service, or
    // started): two drivers would drive one card.
    bool other_driver = false;
    std::array<windows::PortRange, windows::max_windows> windows{};
    std::size_t window_count = 0;
};

// The card that `id` names among `devices`: the one whose instance ID it is
// (in any case), else the one device with a hardware ID that starts with
// it; its assigned I/O ranges become windows, after `windows_before` windows
// already taken. A card that Windows assigned no ranges gives those of its
// boot configuration, which Windows keeps reserved for it while it has no
// driver (the device's source says which).
constexpr CardChoice choose_card(std::span<const Device> devices, std::string_view id, std::size_t windows_before) {
    CardChoice choice;
    for (std::size_t i = 0; i < devices.size() && choice.matches == 0; ++i)
        if (!id.empty() && !is_bus_or_bridge(devices[i]) && same_text(devices[i].instance_id, id)) {
            choice.device = i;
            choice.matches = 1;
        }
    if (choice.matches == 0)
        for (std::size_t i = 0; i < devices.size(); ++i)
            if (named_by_prefix(devices[i], id) && choice.matches++ == 0) choice.device = i;
    const Device* card = choice.matches == 1 ? &devices[choice.device] : nullptr;
    if (!card) {
        choice.refusal = choice.matches == 0 ? CardRefusal::no_match : CardRefusal::several;
    } else if (is_bus_master(*card)) {
        choice.refusal = CardRefusal::bus_master;
    } else if (card->source == Source::none || card->ranges.empty()) {
        choice.refusal = CardRefusal::no_ports;
    } else {
        for (; choice.range < card->ranges.size(); ++choice.range) {
            const IoRange range = card->ranges[choice.range];
            if (range.last > 0xFFFF || range.first > range.last) {
                choice.refusal = CardRefusal::beyond;
                break;
            }
            const windows::PortRange ports{static_cast<std::uint16_t>(range.first),
                                           static_cast<std::uint16_t>(range.last)};
            for (const auto& reserved : windows::reserved_ranges)
                if (ports.overlaps(reserved.ports)) choice.refusal = CardRefusal::reserved;
            if (choice.refusal != CardRefusal::none) break;
            if (windows_before + choice.window_count == windows::max_windows) {
                choice.refusal = CardRefusal::too_many;
                break;
            }
            choice.windows[choice.window_count++] = ports;
        }
    }
    if (choice.refusal != CardRefusal::none) {
        choice.window_count = 0;
        return choice;
    }
    choice.range = 0;
    choice.other_driver = card->started || !card->service.empty();
    return choice;
}

// The devices whose I/O ranges (assigned or boot) overlap `window`, buses
// and bridges never among them: their indexes in `found`, as many as it
// holds; how many there are.
constexpr std::size_t holders(windows::PortRange window, std::span<const Device> devices,
                              std::span<std::size_t> found) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < devices.size(); ++i) {
        if (is_bus_or_bridge(devices[i])) continue;
        for (const IoRange range : devices[i].ranges) {
            if (range.first <= window.last && window.first <= range.last && range.first <= range.last) {
                if (count < found.size()) found[count] = i;
                ++count;
                break;
            }
        }
    }
    return count;
}

// ---------------------------------------------------------------- in words

// A port or the first or last of a range: at least 4 hex digits, more
// above FFFF.
template <class Sink>
void put_port(Sink& sink, std::uint64_t port) {
    int digits = 4;
    while (digits < 16 && (port >> (4 * digits)) != 0) ++digits;
    while (digits-- > 0) sink.put("0123456789ABCDEF"[(port >> (4 * digits)) & 0xF]);
}
// "0300-031F", or "0378" for a single port.
template <class Sink>
void put_range(Sink& sink, IoRange range) {
    put_port(sink, range.first);
    if (range.last != range.first) {
        sink.put('-');
        put_port(sink, range.last);
    }
}
// An ID or a name; a character beyond ASCII shows as '?'.
template <class Sink>
void put_text(Sink& sink, std::u16string_view text) {
    for (const char16_t c : text) sink.put(c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?');
}

// Why `--card id` is refused, as lines of teldo.exe's messages on standard
// error: what is wrong, then what to do.
template <class Sink>
void tell_refusal(Sink& sink, const CardChoice& choice, std::span<const Device> devices, std::string_view id) {
    auto begin = [&] {
        sink.put("teldo: --card ");
        sink.put(id);
        sink.put(": ");
    };
    const Device* card = choice.matches == 1 ? &devices[choice.device] : nullptr;
    auto name_card = [&] {
        put_text(sink, card->instance_id);
        if (!card->name.empty()) {
            sink.put(" (");
            put_text(sink, card->name);
            sink.put(")");
        }
    };
    begin();
    switch (choice.refusal) {
        case CardRefusal::none: sink.put("taken\r\n"); return;
        case CardRefusal::no_match:
            sink.put("no present device (buses and bridges aside) has that instance ID, or a hardware ID that"
                     " starts with it\r\n"
                     "teldo: teldo cards lists the devices that have I/O ports, each with its instance ID\r\n");
            return;
        case CardRefusal::several:
            sink.put("it starts a hardware ID of ");
            sink.decimal(static_cast<std::uint32_t>(choice.matches));
            sink.put(" devices:\r\n");
            for (const Device& device : devices)
                if (named_by_prefix(device, id)) {
                    sink.put("teldo:   ");
                    put_text(sink, device.instance_id);
                    sink.put("\r\n");
                }
            sink.put("teldo: name one of them by its instance ID\r\n");
            return;
        case CardRefusal::bus_master:
            name_card();
            sink.put(" is a controller of the class ");
            put_text(sink, card->device_class);
            sink.put(", which masters the bus: a port window onto a bus master reaches the PC's memory through"
                     " DMA\r\n");
            return;
        case CardRefusal::no_ports:
            name_card();
            sink.put(" has no I/O ports\r\n");
            return;
        case CardRefusal::reserved:
        case CardRefusal::beyond:
            sink.put("its range ");
            put_range(sink, card->ranges[choice.range]);
            sink.put(": ");
            sink.put(choice.refusal == CardRefusal::beyond ? "it lies above FFFF, beyond the ports a window can open"
                                                           : console::refusal_words(windows::Refusal::reserved));
            sink.put("\r\n");
            return;
        case CardRefusal::too_many:
            sink.put("its ");
            sink.decimal(static_cast<std::uint32_t>(card->ranges.size()));
            sink.put(" ranges and the other windows make more than 16 windows\r\n");
            return;
    }
}

// The warning for a card taken that has a driver of its own.
template <class Sink>
void tell_other_driver(Sink& sink, const Device& card, std::string_view id) {
    sink.put("teldo: --card ");
    sink.put(id);
    sink.put(": warning: ");
    put_text(sink, card.instance_id);
    sink.put(" has a driver of its own");
    if (!card.service.empty()) {
        sink.put(", ");
        put_text(sink, card.service);
    }
    sink.put(card.started ? ", started" : "");
    sink.put(": two drivers will drive one card\r\n");
}

}  // namespace teldo::cards

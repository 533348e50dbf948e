// The claim of the plain port windows, without any kernel API: the bytes of
// the CM_RESOURCE_LIST that the driver reports for its driver object, so
// that Plug and Play knows the ports are in use and refuses a window that a
// device already holds. Laid out by hand, as the platform documents it
// under its 4-byte packing: a 20-byte header (one full descriptor, ISA bus
// 0, a partial list of version 1, revision 1), then one port descriptor a
// window, its start at 4 and its length at 12. A descriptor is 16 bytes on
// x86 and 20 on x64, where the widest member of its union (an interrupt's
// 64-bit affinity) makes it longer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "port_windows.h"
#include "teldo_protocol.h"

namespace teldo::claim {

constexpr std::uint32_t header_bytes = 20, descriptor_bytes = sizeof(void*) == 8 ? 20 : 16;
constexpr std::uint32_t max_bytes = header_bytes + descriptor_bytes * windows::max_windows;

constexpr std::uint32_t interface_isa = 1;
constexpr std::uint8_t resource_type_port = 1, share_device_exclusive = 1;
constexpr std::uint16_t port_io = 1;  // CM_RESOURCE_PORT_IO: I/O space, not memory

// Lays out the claim of windows [first, first + count) of `windows` into
// `out` (max_bytes at least); returns its length in bytes.
constexpr std::uint32_t lay_out(const windows::PortWindows& windows, std::size_t first, std::size_t count,
                                std::uint8_t* out) {
    store_element(out, 4, 1);                   // CM_RESOURCE_LIST.Count
    store_element(out + 4, 4, interface_isa);   // InterfaceType
    store_element(out + 8, 4, 0);               // BusNumber
    store_element(out + 12, 2, 1);              // PartialResourceList.Version
    store_element(out + 14, 2, 1);              // .Revision
    store_element(out + 16, 4, static_cast<std::uint32_t>(count));
    for (std::size_t i = 0; i < count; ++i) {
        std::uint8_t* d = out + header_bytes + descriptor_bytes * i;
        for (std::uint32_t b = 0; b < descriptor_bytes; ++b) d[b] = 0;
        const windows::PortRange range = windows[first + i];
        d[0] = resource_type_port;
        d[1] = share_device_exclusive;
        store_element(d + 2, 2, port_io);
        store_element(d + 4, 4, range.first);   // Start, a 64-bit address
        store_element(d + 8, 4, 0);
        store_element(d + 12, 4, range.last - range.first + 1u);  // Length
    }
    return header_bytes + descriptor_bytes * static_cast<std::uint32_t>(count);
}

}  // namespace teldo::claim

// The real ISA bus, reached only through the administrator's port windows.
#pragma once

#include <cstdint>

#include "port_windows.h"

namespace teldo::bus {

enum class Direction : std::uint8_t { in, out };

// One byte-wide port cycle: reads the port (the value is ignored) or writes
// `value` to it. With port_block, the only code of the driver that reaches a
// port; each takes what only the windows make.
std::uint8_t port_cycle(windows::AdmittedPort port, Direction direction, std::uint8_t value);

// A block's elements, each exactly one cycle of its width, in order: read
// into `data` or written from it, little-endian. A FIFO is one string
// transfer of `count` elements at its port.
void port_block(const windows::AdmittedBlock& admitted, Direction direction, std::uint8_t* data);

// A bus for the request logic: a port outside every window is refused
// before any port cycle.
class RealBus {
public:
    explicit constexpr RealBus(const windows::PortWindows& windows) : windows_(windows) {}
    bool in(std::uint16_t port, std::uint8_t& value) const {
        const auto admitted = windows_.admit(port);
        if (!admitted) return false;
        value = port_cycle(*admitted, Direction::in, 0);
        return true;
    }
    bool out(std::uint16_t port, std::uint8_t value) const {
        const auto admitted = windows_.admit(port);
        if (!admitted) return false;
        port_cycle(*admitted, Direction::out, value);
        return true;
    }

    bool read_block(const Block& block, std::uint8_t* data) const {
        const auto admitted = windows_.admit(block);
        if (!admitted) return false;
        port_block(*admitted, Direction::in, data);
        return true;
    }
    bool write_block(const Block& block, const std::uint8_t* data) const {
        const auto admitted = windows_.admit(block);
        if (!admitted) return false;
        // Only read from: the out direction never writes to `data`.
        port_block(*admitted, Direction::out, const_cast<std::uint8_t*>(data));
        return true;
    }

private:
    const windows::PortWindows& windows_;
};

}  // namespace teldo::bus

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

// One element of a block of one: a single cycle of its width, read (the
// value is ignored) or writing `value`; a read returns what the port gave.
std::uint32_t port_element(const windows::AdmittedBlock& admitted, Direction direction, std::uint32_t value);

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

    // A program's cycles. run_program() admits every port first; each cycle
    // is admitted again, as only an admission makes a port reachable.
    bool admits(std::uint16_t port, std::uint32_t width) const {
        return windows_.admit(element(port, width)).has_value();
    }
    std::uint32_t read_element(std::uint16_t port, std::uint32_t width) const {
        const auto admitted = windows_.admit(element(port, width));
        return admitted ? port_element(*admitted, Direction::in, 0) : 0;
    }
    void write_element(std::uint16_t port, std::uint32_t width, std::uint32_t value) const {
        if (const auto admitted = windows_.admit(element(port, width))) port_element(*admitted, Direction::out, value);
    }

private:
    static constexpr Block element(std::uint16_t port, std::uint32_t width) {
        return {port, static_cast<std::uint8_t>(width), false, 1};
    }
    const windows::PortWindows& windows_;
};

}  // namespace teldo::bus

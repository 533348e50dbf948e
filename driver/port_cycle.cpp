// The port cycle itself. On x86 it goes through the HAL, as the platform
// asks of drivers there; on x64 the HAL exports no port functions, and the
// DDK's own inline functions are the single in/out instructions. The
// function sits alone in the section .portio, where the build's binary
// check expects every port instruction of the driver, and nowhere else.
#include "kernel.h"
#include "real_bus.h"

namespace teldo::bus {

__attribute__((section(".portio"), noinline)) std::uint8_t port_cycle(
    windows::AdmittedPort port, Direction direction, std::uint8_t value) {
#if defined(__x86_64__)
    if (direction == Direction::out) {
        __outbyte(port.number(), value);
        return value;
    }
    return __inbyte(port.number());
#else
    auto* address = reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(port.number()));
    if (direction == Direction::out) {
        WRITE_PORT_UCHAR(address, value);
        return value;
    }
    return READ_PORT_UCHAR(address);
#endif
}

}  // namespace teldo::bus

// The port cycles themselves. On x86 they go through the HAL, as the
// platform asks of drivers there; on x64 the HAL exports no port functions,
// and the DDK's own inline functions are the single in/out instructions and
// their rep ins/outs string forms. The three functions sit alone in the
// section .portio, where the build's binary check expects every port
// instruction of the driver, and nowhere else.
#include "kernel.h"
#include "real_bus.h"

namespace teldo::bus {
namespace {

#if defined(__x86_64__)
__attribute__((section(".portio"))) std::uint32_t port_in(std::uint16_t port, std::uint32_t width) {
    if (width == 1) return __inbyte(port);
    if (width == 2) return __inword(port);
    return __indword(port);
}
__attribute__((section(".portio"))) void port_out(std::uint16_t port, std::uint32_t width, std::uint32_t value) {
    if (width == 1) __outbyte(port, static_cast<UCHAR>(value));
    else if (width == 2) __outword(port, static_cast<USHORT>(value));
    else __outdword(port, value);
}
// A FIFO: the buffer holds `count` elements in the processor's own order,
// which is little-endian; the system buffer is aligned for any width.
__attribute__((section(".portio"))) void port_string(std::uint16_t port, std::uint32_t width, bool in,
                                                    std::uint8_t* data, std::uint32_t count) {
    if (width == 1) in ? __inbytestring(port, data, count) : __outbytestring(port, data, count);
    else if (width == 2) in ? __inwordstring(port, reinterpret_cast<PUSHORT>(data), count)
                            : __outwordstring(port, reinterpret_cast<PUSHORT>(data), count);
    else in ? __indwordstring(port, reinterpret_cast<PULONG>(data), count)
            : __outdwordstring(port, reinterpret_cast<PULONG>(data), count);
}
#else
__attribute__((section(".portio"))) std::uint32_t port_in(std::uint16_t port, std::uint32_t width) {
    const auto address = static_cast<ULONG_PTR>(port);
    if (width == 1) return READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(address));
    if (width == 2) return READ_PORT_USHORT(reinterpret_cast<PUSHORT>(address));
    return READ_PORT_ULONG(reinterpret_cast<PULONG>(address));
}
__attribute__((section(".portio"))) void port_out(std::uint16_t port, std::uint32_t width, std::uint32_t value) {
    const auto address = static_cast<ULONG_PTR>(port);
    if (width == 1) WRITE_PORT_UCHAR(reinterpret_cast<PUCHAR>(address), static_cast<UCHAR>(value));
    else if (width == 2) WRITE_PORT_USHORT(reinterpret_cast<PUSHORT>(address), static_cast<USHORT>(value));
    else WRITE_PORT_ULONG(reinterpret_cast<PULONG>(address), value);
}
__attribute__((section(".portio"))) void port_string(std::uint16_t port, std::uint32_t width, bool in,
                                                    std::uint8_t* data, std::uint32_t count) {
    const auto address = static_cast<ULONG_PTR>(port);
    if (width == 1) {
        auto* p = reinterpret_cast<PUCHAR>(address);
        in ? READ_PORT_BUFFER_UCHAR(p, data, count) : WRITE_PORT_BUFFER_UCHAR(p, data, count);
    } else if (width == 2) {
        auto* p = reinterpret_cast<PUSHORT>(address);
        auto* buffer = reinterpret_cast<PUSHORT>(data);
        in ? READ_PORT_BUFFER_USHORT(p, buffer, count) : WRITE_PORT_BUFFER_USHORT(p, buffer, count);
    } else {
        auto* p = reinterpret_cast<PULONG>(address);
        auto* buffer = reinterpret_cast<PULONG>(data);
        in ? READ_PORT_BUFFER_ULONG(p, buffer, count) : WRITE_PORT_BUFFER_ULONG(p, buffer, count);
    }
}
#endif

}  // namespace

__attribute__((section(".portio"), noinline)) std::uint8_t port_cycle(
    windows::AdmittedPort port, Direction direction, std::uint8_t value) {
    if (direction == Direction::out) {
        port_out(port.number(), 1, value);
        return value;
    }
    return static_cast<std::uint8_t>(port_in(port.number(), 1));
}

__attribute__((section(".portio"), noinline)) void port_block(const windows::AdmittedBlock& admitted,
                                                              Direction direction, std::uint8_t* data) {
    const Block& block = admitted.block();
    const bool in = direction == Direction::in;
    if (block.same_port) return port_string(block.port, block.width, in, data, block.count);
    for (std::uint32_t i = 0; i < block.count; ++i, data += block.width) {
        const auto port = static_cast<std::uint16_t>(block.element_port(i));
        if (in) store_element(data, block.width, port_in(port, block.width));
        else port_out(port, block.width, load_element(data, block.width));
    }
}

__attribute__((section(".portio"), noinline)) std::uint32_t port_element(const windows::AdmittedBlock& admitted,
                                                                         Direction direction, std::uint32_t value) {
    const Block& element = admitted.block();
    if (direction == Direction::in) return port_in(element.port, element.width);
    port_out(element.port, element.width, value);
    return value;
}

}  // namespace teldo::bus

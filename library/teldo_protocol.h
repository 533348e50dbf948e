// The request protocol between TELDO.dll and the port driver: the device
// path, the control codes and the byte layouts of the requests. Shared by
// the library, the port driver and the tests; it needs no platform header.
#pragma once

#include <cstdint>

namespace teldo {

// The platform's CTL_CODE layout: device type in bits 16-31, required access
// in bits 14-15, function number in bits 2-13, transfer method in bits 0-1.
constexpr std::uint32_t control_code(std::uint32_t device_type, std::uint32_t function,
                                     std::uint32_t method, std::uint32_t access) {
    return (device_type << 16) | (access << 14) | (function << 2) | method;
}

constexpr std::uint32_t port_device_type = 0x8000;  // vendor-defined device type
constexpr std::uint32_t method_buffered = 0;
constexpr std::uint32_t file_any_access = 0;

constexpr std::uint32_t IOCTL_PORT_WRITE =
    control_code(port_device_type, 0x800, method_buffered, file_any_access);
constexpr std::uint32_t IOCTL_PORT_READ =
    control_code(port_device_type, 0x801, method_buffered, file_any_access);
static_assert(IOCTL_PORT_WRITE == 0x80002000);
static_assert(IOCTL_PORT_READ == 0x80002004);

// "\\.\TELDO": nine single-byte characters and a NUL.
constexpr char device_path[] = "\\\\.\\TELDO";
static_assert(sizeof device_path == 10);

// Input of IOCTL_PORT_READ; the reply is one byte, the port's value.
struct ReadRequest {
    std::uint8_t port_low;
    std::uint8_t port_high;
};
static_assert(sizeof(ReadRequest) == 2);

// Input of IOCTL_PORT_WRITE; the request has no output buffer.
struct WriteRequest {
    std::uint8_t port_low;
    std::uint8_t port_high;
    std::uint8_t value;
    std::uint8_t padding;  // no defined content
};
static_assert(sizeof(WriteRequest) == 4);

constexpr std::uint32_t read_reply_length = 1;

constexpr ReadRequest make_read_request(std::uint16_t port) {
    return {static_cast<std::uint8_t>(port), static_cast<std::uint8_t>(port >> 8)};
}

constexpr WriteRequest make_write_request(std::uint16_t port, std::uint8_t value) {
    return {static_cast<std::uint8_t>(port), static_cast<std::uint8_t>(port >> 8), value, 0};
}

}  // namespace teldo

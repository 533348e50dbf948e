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

// The block requests: words, dwords and runs of elements in one request.
// They are the driver's own, beside the two byte requests above.
constexpr std::uint32_t IOCTL_PORT_READ_BLOCK =
    control_code(port_device_type, 0x802, method_buffered, file_any_access);
constexpr std::uint32_t IOCTL_PORT_WRITE_BLOCK =
    control_code(port_device_type, 0x803, method_buffered, file_any_access);
static_assert(IOCTL_PORT_READ_BLOCK == 0x80002008);
static_assert(IOCTL_PORT_WRITE_BLOCK == 0x8000200C);

// The 8 bytes that start both block requests. A read's input is exactly
// the header and its output count x width bytes; a write's input is the
// header followed by count x width bytes, and it has no output. Elements
// are little-endian.
struct BlockHeader {
    std::uint8_t port_low;
    std::uint8_t port_high;
    std::uint8_t width;  // bytes per element: 1, 2 or 4
    std::uint8_t flags;
    std::uint8_t count[4];  // elements, little-endian, at least 1
};
static_assert(sizeof(BlockHeader) == 8);

constexpr std::uint8_t block_same_port = 0x01;  // a FIFO: every element at `port`
constexpr std::uint32_t max_block_bytes = 0x10000;

// An element of `width` bytes (1 to 4) at `data`, which has no alignment of
// its own, low byte first; and back.
constexpr std::uint32_t load_element(const std::uint8_t* data, std::uint32_t width) {
    std::uint32_t value = 0;
    for (std::uint32_t byte = width; byte-- > 0;) value = value << 8 | data[byte];
    return value;
}
constexpr void store_element(std::uint8_t* data, std::uint32_t width, std::uint32_t value) {
    for (std::uint32_t byte = 0; byte < width; ++byte, value >>= 8) data[byte] = static_cast<std::uint8_t>(value);
}

// A block as a header describes it, once its rules are checked.
struct Block {
    std::uint16_t port;
    std::uint8_t width;
    bool same_port;
    std::uint32_t count;

    constexpr std::uint32_t bytes() const { return count * width; }
    // The port of element `i`: a FIFO's are all at `port`.
    constexpr std::uint32_t element_port(std::uint32_t i) const { return same_port ? port : port + i * width; }
    // The last port any element touches.
    constexpr std::uint32_t last_port() const { return port + (same_port ? width : bytes()) - 1u; }
};

// The block's rules: a width of 1, 2 or 4; no flag but block_same_port; at
// least one element and at most max_block_bytes; a word's port even and a
// dword's a multiple of 4 (the chipset would split an unaligned access into
// byte cycles); no port touched past FFFF.
constexpr bool is_valid(const Block& block) {
    if (block.width != 1 && block.width != 2 && block.width != 4) return false;
    if (block.count == 0 || block.count > max_block_bytes / block.width) return false;
    if (block.port % block.width != 0) return false;
    return block.last_port() <= 0xFFFF;
}

constexpr BlockHeader make_block_header(const Block& block) {
    return {static_cast<std::uint8_t>(block.port), static_cast<std::uint8_t>(block.port >> 8), block.width,
            block.same_port ? block_same_port : std::uint8_t{0},
            {static_cast<std::uint8_t>(block.count), static_cast<std::uint8_t>(block.count >> 8),
             static_cast<std::uint8_t>(block.count >> 16), static_cast<std::uint8_t>(block.count >> 24)}};
}

// Reads a header's 8 bytes; false when it breaks a rule.
constexpr bool read_block_header(const std::uint8_t* bytes, Block& block) {
    if ((bytes[3] & ~block_same_port) != 0) return false;
    block = {static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8), bytes[2], (bytes[3] & block_same_port) != 0,
             load_element(bytes + 4, 4)};
    return is_valid(block);
}

}  // namespace teldo

// Port programs: a card's handshake (writes, reads, waits, polls and
// read-modify-writes) sent as one request and run whole, with no other
// request's cycle between its operations. The request's layout and the
// rules that a program must meet before its first cycle; shared by the
// driver, TELDOX.dll, teldo.exe and the tests. No platform header.
#pragma once

#include <cstdint>

#include "teldo_protocol.h"

namespace teldo {

// Unlike the byte and block requests, a program requires a handle opened
// for reading and writing: the system checks it before the driver sees it.
constexpr std::uint32_t file_read_access = 1, file_write_access = 2;
constexpr std::uint32_t IOCTL_PORT_RUN =
    control_code(port_device_type, 0x804, method_buffered, file_read_access | file_write_access);
static_assert(IOCTL_PORT_RUN == 0x8000E010);

namespace program {

enum Op : std::uint8_t {
    op_read = 1,    // result: the port's value
    op_write = 2,   // writes a
    op_modify = 3,  // reads v, writes (v & ~a) | (b & a); result: v
    op_wait = 4,    // waits a microseconds (port and width 0)
    op_poll = 5,    // reads until (v & a) == b, for at most c microseconds; result: the last v
};

constexpr std::uint16_t version = 1;
constexpr std::uint32_t max_operations = 256;
constexpr std::uint32_t max_wait_us = 1000, max_poll_us = 10000;
// Waits and poll limits together: how long a program may hold the bus,
// beside its cycles.
constexpr std::uint32_t max_program_us = 50000;

// The request: this header, then `count` operations of 16 bytes. The reply:
// the reply header, then one 4-byte result an operation. Little-endian.
constexpr std::uint32_t header_bytes = 8, operation_bytes = 16;
constexpr std::uint32_t reply_header_bytes = 8, result_bytes = 4;
constexpr std::uint16_t not_stopped = 0xFFFF;

constexpr std::uint32_t input_length(std::uint32_t count) { return header_bytes + operation_bytes * count; }
constexpr std::uint32_t output_length(std::uint32_t count) { return reply_header_bytes + result_bytes * count; }

// One operation, as laid out in the request.
struct Operation {
    std::uint8_t op;
    std::uint8_t width;  // 1, 2 or 4; 0 for a wait
    std::uint16_t port;
    std::uint32_t a, b, c;
};
static_assert(sizeof(Operation) == operation_bytes);

constexpr Operation load_operation(const std::uint8_t* bytes) {
    return {bytes[0], bytes[1], static_cast<std::uint16_t>(bytes[2] | bytes[3] << 8), load_element(bytes + 4, 4),
            load_element(bytes + 8, 4), load_element(bytes + 12, 4)};
}
constexpr void store_operation(std::uint8_t* bytes, const Operation& operation) {
    bytes[0] = operation.op;
    bytes[1] = operation.width;
    store_element(bytes + 2, 2, operation.port);
    store_element(bytes + 4, 4, operation.a);
    store_element(bytes + 8, 4, operation.b);
    store_element(bytes + 12, 4, operation.c);
}

// The microseconds that an operation may hold the bus beside its cycles.
constexpr std::uint32_t time_of(const Operation& operation) {
    return operation.op == op_wait ? operation.a : operation.op == op_poll ? operation.c : 0;
}

// The values that fit an element of `width` bytes.
constexpr std::uint32_t value_mask(std::uint32_t width) { return width == 4 ? ~0u : (1u << 8 * width) - 1; }

// An operation's own rules: a known op; a wait with no port and no width,
// 1 to 1,000 us; a port operation of width 1, 2 or 4 at a port aligned to
// it and not running past FFFF, with values that fit the width, a poll of 1
// to 10,000 us whose expected bits lie inside its mask (others could never
// match), and every field the op does not use 0.
constexpr bool is_valid(const Operation& operation) {
    const Operation& o = operation;
    if (o.op == op_wait) return o.width == 0 && o.port == 0 && o.a >= 1 && o.a <= max_wait_us && o.b == 0 && o.c == 0;
    if (o.op < op_read || o.op > op_poll) return false;
    if (o.width != 1 && o.width != 2 && o.width != 4) return false;
    if (o.port % o.width != 0 || o.port + o.width - 1u > 0xFFFF) return false;
    const std::uint32_t wide = ~value_mask(o.width);
    switch (o.op) {
        case op_read: return o.a == 0 && o.b == 0 && o.c == 0;
        case op_write: return (o.a & wide) == 0 && o.b == 0 && o.c == 0;
        case op_modify: return ((o.a | o.b) & wide) == 0 && o.c == 0;
        default: return ((o.a | o.b) & wide) == 0 && (o.b & ~o.a) == 0 && o.c >= 1 && o.c <= max_poll_us;
    }
}

// The header's count if the whole request is a program that may run:
// version 1, no flags, 1 to 256 operations, each valid, their waits and
// poll limits 50,000 us at most, and lengths of exactly that many
// operations and results; 0 otherwise. Reads the whole input.
constexpr std::uint32_t check(const std::uint8_t* input, std::uint32_t input_bytes, std::uint32_t output_bytes) {
    if (input == nullptr || input_bytes < header_bytes) return 0;
    const std::uint32_t count = load_element(input + 2, 2);
    if (load_element(input, 2) != version || load_element(input + 4, 4) != 0) return 0;
    if (count == 0 || count > max_operations) return 0;
    if (input_bytes != input_length(count) || output_bytes != output_length(count)) return 0;
    std::uint32_t time = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        const Operation operation = load_operation(input + input_length(i));
        if (!is_valid(operation)) return 0;
        time += time_of(operation);  // at most 256 x 10,000: no overflow
    }
    return time <= max_program_us ? count : 0;
}

// The reply's header.
struct ReplyHeader {
    std::uint16_t done;     // operations that ran to their end
    std::uint16_t stopped;  // the poll that timed out, or not_stopped
    std::uint32_t elapsed_us;
};

constexpr void store_reply_header(std::uint8_t* bytes, const ReplyHeader& header) {
    store_element(bytes, 2, header.done);
    store_element(bytes + 2, 2, header.stopped);
    store_element(bytes + 4, 4, header.elapsed_us);
}
constexpr ReplyHeader load_reply_header(const std::uint8_t* bytes) {
    return {static_cast<std::uint16_t>(load_element(bytes, 2)), static_cast<std::uint16_t>(load_element(bytes + 2, 2)),
            load_element(bytes + 4, 4)};
}

// A program's header, for the senders.
constexpr void store_header(std::uint8_t* bytes, std::uint32_t count) {
    store_element(bytes, 2, version);
    store_element(bytes + 2, 2, count);
    store_element(bytes + 4, 4, 0);
}

}  // namespace program
}  // namespace teldo

// What the port driver does with a request, without any kernel API: the
// checks on every request, the simulated port space, and the record of
// recent requests that the diagnostic device reports. The bus a request
// reaches is a parameter: the simulated one here, or the driver's real one.
#pragma once

#include <array>
#include <cstdint>

#include "port_program.h"
#include "program_run.h"
#include "teldo_diagnostics.h"
#include "teldo_protocol.h"

namespace teldo::model {

enum class Outcome : std::uint8_t {
    done,          // served; `returned` output bytes are valid
    bad_length,    // an input or output length the request does not take
    no_buffer,     // a length was given but its buffer is missing
    unknown_code,  // not a request of this device
    injected,      // failed on purpose by the fault plan
    refused_port,  // the bus does not open this port (or one of a block's)
    bad_block,     // a block header that breaks a rule, or lengths that do not match it
    bad_program,   // a program that breaks a rule, or lengths that do not match it
};

struct Reply {
    Outcome outcome;
    std::uint32_t returned;  // output bytes written
};

// 65,536 byte-wide ports. A port never written reads 0xFF, as an open ISA
// bus does. Each byte is kept inverted, so that all-zero memory, which is
// what a driver's static storage holds when it is loaded (no C++ run-time
// runs constructors there), already reads 0xFF everywhere.
class PortSpace {
public:
    constexpr void clear() { inverted_.fill(0); }
    constexpr std::uint8_t read(std::uint16_t port) const {
        return static_cast<std::uint8_t>(~inverted_[port]);
    }
    constexpr void write(std::uint16_t port, std::uint8_t value) {
        inverted_[port] = static_cast<std::uint8_t>(~value);
    }

    // As a bus for serve(): every port is open. A word or dword at port p
    // is the bytes from p up, the lowest first.
    constexpr bool in(std::uint16_t port, std::uint8_t& value) const {
        value = read(port);
        return true;
    }
    constexpr bool out(std::uint16_t port, std::uint8_t value) {
        write(port, value);
        return true;
    }
    constexpr bool read_block(const Block& block, std::uint8_t* data) const {
        for (std::uint32_t i = 0; i < block.count; ++i)
            for (std::uint32_t byte = 0; byte < block.width; ++byte)
                *data++ = read(static_cast<std::uint16_t>(block.element_port(i) + byte));
        return true;
    }
    constexpr bool write_block(const Block& block, const std::uint8_t* data) {
        for (std::uint32_t i = 0; i < block.count; ++i)
            for (std::uint32_t byte = 0; byte < block.width; ++byte)
                write(static_cast<std::uint16_t>(block.element_port(i) + byte), *data++);
        return true;
    }
    // As a bus for run_program().
    constexpr bool admits(std::uint16_t, std::uint32_t) const { return true; }
    constexpr std::uint32_t read_element(std::uint16_t port, std::uint32_t width) const {
        std::uint32_t value = 0;
        for (std::uint32_t byte = width; byte-- > 0;)
            value = value << 8 | read(static_cast<std::uint16_t>(port + byte));
        return value;
    }
    constexpr void write_element(std::uint16_t port, std::uint32_t width, std::uint32_t value) {
        for (std::uint32_t byte = 0; byte < width; ++byte, value >>= 8)
            write(static_cast<std::uint16_t>(port + byte), static_cast<std::uint8_t>(value));
    }

private:
    std::array<std::uint8_t, 0x10000> inverted_{};
};

// A request as the device sees it. With buffered transfer the input and the
// output share one system buffer, so `input` and `output` may be the same.
struct Request {
    std::uint32_t code;
    const std::uint8_t* input;
    std::uint32_t input_length;
    std::uint8_t* output;
    std::uint32_t output_length;
};

// What a request asks of the bus once its code, lengths and header are
// checked: a byte or a block, read or written, or a program. A request that
// breaks a rule carries its refusal instead, and goes no further.
struct Work {
    Outcome refusal;  // done: well-formed, to be served
    bool read;
    bool is_block;
    Block block;  // a byte request's port is block.port
    std::uint32_t program = 0;  // a program's operations; 0 for any other request
};

// Checks a request without touching the bus or the output: the two byte
// requests with exactly their lengths; the block requests with their
// header's rules and lengths that match it exactly; a program whole, every
// operation of it; any other code is unknown.
constexpr Work check(const Request& request) {
    Work work{Outcome::done, false, false, {}};
    if (request.code == IOCTL_PORT_RUN) {
        work.program = program::check(request.input, request.input_length, request.output_length);
        if (work.program == 0) work.refusal = Outcome::bad_program;
        else if (request.output == nullptr) work.refusal = Outcome::no_buffer;
        return work;
    }
    work.is_block = request.code == IOCTL_PORT_READ_BLOCK || request.code == IOCTL_PORT_WRITE_BLOCK;
    work.read = request.code == IOCTL_PORT_READ || request.code == IOCTL_PORT_READ_BLOCK;
    if (work.is_block) {
        if (request.input == nullptr || request.input_length < sizeof(BlockHeader) ||
            !read_block_header(request.input, work.block))
            return work.refusal = Outcome::bad_block, work;
        const std::uint32_t want_input = sizeof(BlockHeader) + (work.read ? 0 : work.block.bytes());
        const std::uint32_t want_output = work.read ? work.block.bytes() : 0;
        if (request.input_length != want_input || request.output_length != want_output)
            return work.refusal = Outcome::bad_block, work;
        if (work.read && request.output == nullptr) work.refusal = Outcome::no_buffer;
        return work;
    }
    if (!work.read && request.code != IOCTL_PORT_WRITE) return work.refusal = Outcome::unknown_code, work;
    const std::uint32_t want_input = work.read ? sizeof(ReadRequest) : sizeof(WriteRequest);
    const std::uint32_t want_output = work.read ? read_reply_length : 0;
    if (request.input_length != want_input || request.output_length != want_output)
        return work.refusal = Outcome::bad_length, work;
    if (request.input == nullptr || (want_output != 0 && request.output == nullptr))
        return work.refusal = Outcome::no_buffer, work;
    work.block = {static_cast<std::uint16_t>(request.input[0] | (request.input[1] << 8)), 1, false, 1};
    return work;
}

// What the fault plan does to a well-formed request: fail it, serve a read
// with nothing, or leave it alone; it takes its turn from the plan. A
// request that breaks a rule takes no turn.
enum class Fault : std::uint8_t { none, fail, empty };
constexpr Fault take_fault(diag::FaultPlan& faults, const Work& work) {
    if (work.refusal != Outcome::done) return Fault::none;
    if (faults.fail_next != 0) return --faults.fail_next, Fault::fail;
    if (work.read && faults.empty_next_reads != 0) return --faults.empty_next_reads, Fault::empty;
    return Fault::none;
}

// Whether checked work reaches the bus at all: not when it broke a rule or
// the fault plan fails or empties it. The reply then needs no bus.
constexpr bool needs_bus(const Work& work, Fault fault) {
    return work.refusal == Outcome::done && fault == Fault::none;
}
constexpr Reply without_bus(const Work& work, Fault fault) {
    if (work.refusal != Outcome::done) return {work.refusal, 0};
    return fault == Fault::fail ? Reply{Outcome::injected, 0} : Reply{Outcome::done, 0};
}

// Serves checked work with the fault plan's verdict on `bus`: a refusal or
// a planned fault touches neither bus nor buffer. `bus` performs the port
// cycles: `bool in(port, value&)`, `bool out(port, value)`, `bool
// read_block(block, data)` and `bool write_block(block, data)`, false when
// it does not open a port (then nothing reached a port), and a program's
// (run_program()), whose waits and polls take their time from `clock`.
template <class Bus, class Clock = StoppedClock>
constexpr Reply perform(Bus& bus, const Work& work, Fault fault, const Request& request, const Clock& clock = {}) {
    if (!needs_bus(work, fault)) return without_bus(work, fault);
    constexpr Reply refused{Outcome::refused_port, 0};
    if (work.program != 0)
        return run_program(bus, clock, work.program, request.input, request.output)
                   ? Reply{Outcome::done, program::output_length(work.program)}
                   : refused;
    if (work.is_block) {
        if (!work.read)
            return bus.write_block(work.block, request.input + sizeof(BlockHeader)) ? Reply{Outcome::done, 0} : refused;
        // The header is read; the reply may now overwrite the shared buffer.
        return bus.read_block(work.block, request.output) ? Reply{Outcome::done, work.block.bytes()} : refused;
    }
    if (!work.read) return bus.out(work.block.port, request.input[2]) ? Reply{Outcome::done, 0} : refused;
    std::uint8_t value = 0;  // input read before output is written
    if (!bus.in(work.block.port, value)) return refused;
    request.output[0] = value;
    return {Outcome::done, 1};
}

// The three in a row: anything that breaks a rule fails without touching a
// buffer, then the fault plan, then the bus.
template <class Bus>
constexpr Reply serve(Bus& bus, diag::FaultPlan& faults, const Request& request) {
    const Work work = check(request);
    return perform(bus, work, take_fault(faults, work), request);
}

// The last requests received, oldest first once read out.
class RequestLog {
public:
    constexpr void clear() { total_ = 0; }
    constexpr std::uint32_t total() const { return total_; }

    // Records a request before it is served (serving a read overwrites the
    // shared buffer), as pending; returns its number, by which the caller
    // sets its status once it is served.
    constexpr std::uint32_t add(const Request& request, bool from_owner) {
        diag::RecordedRequest& entry = ring_[total_ % diag::recorded_capacity];
        entry = {};
        entry.status = diag::status_pending;
        entry.code = request.code;
        entry.input_length = request.input_length;
        entry.output_length = request.output_length;
        entry.from_owner = from_owner ? 1 : 0;
        if (request.input != nullptr)
            for (std::uint32_t i = 0; i < request.input_length && i < sizeof entry.input; ++i)
                entry.input[i] = request.input[i];
        return total_++;
    }

    // Sets the status of request `number`, unless a reset or newer entries
    // took its place.
    constexpr void set_status(std::uint32_t number, std::int32_t status) {
        if (number < total_ && total_ - number <= diag::recorded_capacity)
            ring_[number % diag::recorded_capacity].status = status;
    }

    // Copies the recent entries, oldest first; returns how many.
    constexpr std::uint32_t copy_to(diag::RecordedRequest (&out)[diag::recorded_capacity]) const {
        const std::uint32_t count =
            total_ < diag::recorded_capacity ? total_ : diag::recorded_capacity;
        const std::uint32_t first = total_ - count;
        for (std::uint32_t i = 0; i < count; ++i)
            out[i] = ring_[(first + i) % diag::recorded_capacity];
        return count;
    }

private:
    std::array<diag::RecordedRequest, diag::recorded_capacity> ring_{};
    std::uint32_t total_ = 0;
};

}  // namespace teldo::model

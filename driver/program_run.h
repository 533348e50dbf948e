// How the driver runs a checked port program on a bus, without any kernel
// API: the bus performs the cycles, a clock measures and waits.
#pragma once

#include <cstdint>

#include "port_program.h"

namespace teldo::model {

// n / d for 64-bit numbers by shifts and subtractions: a 32-bit driver has no
// run-time library for a 64-bit division. Only a few a program.
constexpr std::uint64_t divide(std::uint64_t n, std::uint64_t d) {
    std::uint64_t quotient = 0, remainder = 0;
    for (int bit = 63; bit >= 0; --bit) {
        remainder = remainder << 1 | (n >> bit & 1);
        if (remainder >= d) remainder -= d, quotient |= std::uint64_t{1} << bit;
    }
    return quotient;
}

// A clock from a counter of `frequency` ticks a second. Its waits are busy
// waits on the counter itself: the time they take is the counter's, on any
// HAL, and they need nothing else of the system.
template <class Counter>
class CounterClock {
public:
    constexpr CounterClock(std::uint64_t frequency, Counter counter)
        : frequency_(frequency == 0 ? 1 : frequency), counter_(counter) {}
    std::uint64_t now() const { return counter_(); }
    std::uint64_t ticks(std::uint32_t us) const { return divide(us * frequency_, 1000000); }
    // Whole microseconds, saturating far beyond any program's length.
    std::uint32_t microseconds(std::uint64_t ticks) const {
        if (ticks >= std::uint64_t{1} << 44) return 0xFFFFFFFF;
        const std::uint64_t us = divide(ticks * 1000000, frequency_);
        return us > 0xFFFFFFFF ? 0xFFFFFFFF : static_cast<std::uint32_t>(us);
    }
    void wait(std::uint32_t us) const {
        const std::uint64_t begun = now(), length = ticks(us);
        while (now() - begun < length) {
        }
    }

private:
    std::uint64_t frequency_;
    Counter counter_;
};

// A clock that never moves and waits for nothing, for a bus that no time
// reaches (the request logic's own tests): a poll then ends by its reads,
// one a microsecond of its limit.
struct StoppedClock {
    constexpr std::uint64_t now() const { return 0; }
    constexpr std::uint64_t ticks(std::uint32_t) const { return ~std::uint64_t{0}; }
    constexpr std::uint32_t microseconds(std::uint64_t) const { return 0; }
    constexpr void wait(std::uint32_t) const {}
};

// A poll: reads, then a microsecond's pause, until the port is ready; at most
// c reads, and no more than c us by the clock, whichever ends first. True
// when the port was ready; `value` is the last read.
template <class Bus, class Clock>
bool poll(Bus& bus, const Clock& clock, const program::Operation& o, std::uint32_t& value) {
    const std::uint64_t begun = clock.now(), limit = clock.ticks(o.c);
    for (std::uint32_t reads = 1;; ++reads) {
        value = bus.read_element(o.port, o.width);
        if ((value & o.a) == o.b) return true;
        if (reads >= o.c || clock.now() - begun >= limit) return false;
        clock.wait(1);
    }
}

// Runs the `count` operations of a checked program (program::check) whose
// request is `input` and whose reply goes to `output`, which may be the same
// buffer: each operation is read before its result is written, and result
// i never reaches operation i + 1. Every port is admitted before the first
// cycle; false, with nothing run or written, when one is not. `bus` has
// `bool admits(port, width)`, `std::uint32_t read_element(port, width)` and
// `void write_element(port, width, value)`.
template <class Bus, class Clock>
bool run_program(Bus& bus, const Clock& clock, std::uint32_t count, const std::uint8_t* input,
                 std::uint8_t* output) {
    using namespace program;
    for (std::uint32_t i = 0; i < count; ++i) {
        const Operation o = load_operation(input + input_length(i));
        if (o.op != op_wait && !bus.admits(o.port, o.width)) return false;
    }
    const std::uint64_t start = clock.now();
    ReplyHeader reply{0, not_stopped, 0};
    for (std::uint32_t i = 0; i < count; ++i) {
        const Operation o = load_operation(input + input_length(i));
        std::uint32_t result = 0;
        bool ended = true;
        switch (o.op) {
            case op_read: result = bus.read_element(o.port, o.width); break;
            case op_write: bus.write_element(o.port, o.width, o.a); break;
            case op_modify:
                result = bus.read_element(o.port, o.width);
                bus.write_element(o.port, o.width, (result & ~o.a) | (o.b & o.a));
                break;
            case op_wait: clock.wait(o.a); break;
            case op_poll: ended = poll(bus, clock, o, result); break;
        }
        store_element(output + output_length(i), 4, result);
        if (!ended) {
            reply.stopped = static_cast<std::uint16_t>(i);
            break;
        }
        reply.done = static_cast<std::uint16_t>(i + 1);
    }
    reply.elapsed_us = clock.microseconds(clock.now() - start);
    // The operations that did not run have no result.
    const std::uint32_t filled = reply.done + (reply.stopped != not_stopped ? 1u : 0u);
    for (std::uint32_t i = filled; i < count; ++i) store_element(output + output_length(i), 4, 0);
    store_reply_header(output, reply);
    return true;
}

}  // namespace teldo::model

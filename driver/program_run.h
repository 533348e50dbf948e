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

// A clock from a counter of `frequency` ticks a second, read once a program.
// Its times are minimums on any counter: a reading may come just before the
// counter steps, so a time of n ticks needs n + 1 counted, and a counter
// that steps backwards (unsynchronised processors, a thread that moved)
// counts as standing still. Its waits are busy waits on the counter itself,
// which need nothing else of the system.
template <class Counter>
class CounterClock {
public:
    // How far the counter has moved forward since `start`, step by step.
    struct Span {
        std::uint64_t last;
        std::uint64_t ticks = 0;
    };

    constexpr CounterClock(std::uint64_t frequency, Counter counter)
        : frequency_(frequency == 0 ? 1 : frequency), counter_(counter), pause_(ticks(1)) {}

    Span start() const { return {counter_()}; }
    std::uint64_t spent(Span& span) const {
        const std::uint64_t now = counter_();
        const auto step = static_cast<std::int64_t>(now - span.last);
        if (step > 0) span.ticks += static_cast<std::uint64_t>(step);
        span.last = now;
        return span.ticks;
    }
    // The ticks to count for at least `us` microseconds: rounded up, and
    // one more for the unknown phase of the first reading.
    constexpr std::uint64_t ticks(std::uint32_t us) const {
        return divide(us * frequency_ + 999999, 1000000) + 1;
    }
    // The whole microseconds that surely passed while `ticks` were counted:
    // one tick fewer, rounded down, saturating far beyond any program.
    constexpr std::uint32_t microseconds(std::uint64_t ticks) const {
        if (ticks <= 1) return 0;
        if (ticks > std::uint64_t{1} << 44) return 0xFFFFFFFF;
        const std::uint64_t us = divide((ticks - 1) * 1000000, frequency_);
        return us > 0xFFFFFFFF ? 0xFFFFFFFF : static_cast<std::uint32_t>(us);
    }
    void wait(std::uint32_t us) const { wait_ticks(ticks(us)); }
    // A poll's microsecond between reads, its ticks worked out once.
    void pause() const { wait_ticks(pause_); }

private:
    void wait_ticks(std::uint64_t length) const {
        Span span = start();
        while (spent(span) < length) {
        }
    }

    std::uint64_t frequency_;
    Counter counter_;
    std::uint64_t pause_;
};

// A clock that never moves and waits for nothing, for a bus that no time
// reaches (the request logic's own tests): a poll then ends by its pauses,
// one a microsecond of its limit.
struct StoppedClock {
    struct Span {};
    constexpr Span start() const { return {}; }
    constexpr std::uint64_t spent(Span&) const { return 0; }
    constexpr std::uint64_t ticks(std::uint32_t) const { return ~std::uint64_t{0}; }
    constexpr std::uint32_t microseconds(std::uint64_t) const { return 0; }
    constexpr void wait(std::uint32_t) const {}
    constexpr void pause() const {}
};

// A poll: reads, then a pause of at least a microsecond, until the port is
// ready or c us have passed. After c pauses c us have passed whatever the
// clock says, so the count ends the poll on a clock that does not move, and
// never before its time on one that does. True when the port was ready;
// `value` is the last read.
template <class Bus, class Clock>
bool poll(Bus& bus, const Clock& clock, const program::Operation& o, std::uint32_t& value) {
    auto span = clock.start();
    const std::uint64_t limit = clock.ticks(o.c);
    for (std::uint32_t pauses = 0;; ++pauses) {
        value = bus.read_element(o.port, o.width);
        if ((value & o.a) == o.b) return true;
        if (pauses >= o.c || clock.spent(span) >= limit) return false;
        clock.pause();
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
    auto span = clock.start();
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
    reply.elapsed_us = clock.microseconds(clock.spent(span));
    // The operations that did not run have no result.
    const std::uint32_t filled = reply.done + (reply.stopped != not_stopped ? 1u : 0u);
    for (std::uint32_t i = filled; i < count; ++i) store_element(output + output_length(i), 4, 0);
    store_reply_header(output, reply);
    return true;
}

}  // namespace teldo::model

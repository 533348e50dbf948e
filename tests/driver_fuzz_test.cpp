// A seeded storm of random device-control requests, malformed and
// well-formed, against the port driver's simulated bus. Every malformed
// request must fail, every well-formed one must do exactly what it should
// (checked against a model of the port space), and the driver must serve
// correctly afterwards.
// Replay a failure with TELDO_FUZZ_SEED set to the printed seed.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <random>
#include <vector>

#include "driver_diagnostics.h"
#include "report.h"

namespace {

using namespace teldo::test;
using teldo::IOCTL_PORT_READ;
using teldo::IOCTL_PORT_WRITE;

constexpr int request_count = 10000;

std::uint32_t chosen_seed() {
    if (const char* given = std::getenv("TELDO_FUZZ_SEED"); given && *given)
        return static_cast<std::uint32_t>(std::strtoul(given, nullptr, 10));
    return std::random_device{}() ^ GetTickCount();
}

struct RandomRequest {
    std::uint32_t code;
    std::uint32_t input_length, output_length;
    bool input_buffer, output_buffer;

    bool well_formed() const {
        if (code == IOCTL_PORT_READ)
            return input_length == 2 && output_length == 1 && input_buffer && output_buffer;
        if (code == IOCTL_PORT_WRITE)
            return input_length == 4 && output_length == 0 && input_buffer;
        return false;
    }
};

class RequestGenerator {
public:
    explicit RequestGenerator(std::uint32_t seed) : random_(seed) {}

    RandomRequest next() {
        RandomRequest request{};
        switch (pick(6)) {
            case 0: request.code = random_(); break;  // anything at all
            case 1:  // a neighbour of a system code: other function, method or access
                request.code = (pick(2) ? IOCTL_PORT_READ : IOCTL_PORT_WRITE) ^ (1u << pick(32));
                break;
            default: request.code = pick(2) ? IOCTL_PORT_READ : IOCTL_PORT_WRITE; break;
        }
        request.input_length = length();
        request.output_length = length();
        if (pick(3) == 0) {  // exactly the right lengths, half of the time
            const bool read = request.code == IOCTL_PORT_READ;
            request.input_length = read ? 2 : 4;
            request.output_length = read ? 1 : 0;
        }
        // A missing input buffer is always sent with length 0: Wine's own client
        // code faults or hangs on an input length without its buffer, before
        // any driver sees the request.
        request.input_buffer = request.input_length != 0;
        if (pick(10) == 0) request.input_length = 0, request.input_buffer = false;
        request.output_buffer = request.output_length != 0 && pick(10) != 0;
        return request;
    }

    std::uint32_t pick(std::uint32_t below) { return random_() % below; }

private:
    // Mostly short, sometimes up to and beyond a page.
    std::uint32_t length() {
        switch (pick(4)) {
            case 0: return pick(9);
            case 1: return pick(2) ? pick(3) : pick(6);
            case 2: return 4090 + pick(20);
            default: return pick(9000);
        }
    }

    std::mt19937 random_;
};

TEST(DriverFuzz, RandomRequestsFailOrServeExactly) {
    DriverDiagnostics diagnostics;
    ASSERT_TRUE(diagnostics.reset());
    HANDLE device = open_port_device();
    ASSERT_NE(device, INVALID_HANDLE_VALUE);

    const std::uint32_t seed = chosen_seed();
    std::cout << "TELDO_FUZZ_SEED=" << seed << std::endl;
    SCOPED_TRACE("TELDO_FUZZ_SEED=" + std::to_string(seed));
    RequestGenerator generator(seed);

    std::vector<std::uint8_t> ports(0x10000, 0xFF);  // what the driver should hold
    std::vector<std::uint8_t> input(9100), output(9100);
    int malformed = 0, well_formed = 0, stopped_by_platform = 0, failures = 0;
    std::uint32_t reached_driver = 0;
    for (int i = 0; i < request_count && failures < 10; ++i) {
        const RandomRequest request = generator.next();
        for (auto& byte : input) byte = static_cast<std::uint8_t>(generator.pick(256));
        const std::uint16_t port = static_cast<std::uint16_t>(input[0] | (input[1] << 8));
        const std::uint8_t sentinel = static_cast<std::uint8_t>(~ports[port]);
        output[0] = sentinel;
        DWORD returned = 0;
        const bool succeeded = DeviceIoControl(
            device, request.code, request.input_buffer ? input.data() : nullptr,
            request.input_length, request.output_buffer ? output.data() : nullptr,
            request.output_length, &returned, nullptr);

        const auto describe = [&] {
            return "request " + std::to_string(i) + ": code " + std::to_string(request.code) +
                   " in " + std::to_string(request.input_length) + (request.input_buffer ? "" : " (no buffer)") +
                   " out " + std::to_string(request.output_length) + (request.output_buffer ? "" : " (no buffer)");
        };
        // The driver's record tells whether the request reached it and how
        // it was completed.
        const auto snapshot = diagnostics.snapshot();
        const bool reached = snapshot.requests != reached_driver;
        if (reached) {
            ++reached_driver;
            const auto& seen = snapshot.recent[snapshot.recorded - 1];
            if (snapshot.requests != reached_driver || seen.code != request.code ||
                seen.input_length != request.input_length)
                ++failures, ADD_FAILURE() << "the record does not show " << describe();
            if (succeeded != (seen.status >= 0))
                ++failures, ADD_FAILURE() << "the caller was told otherwise than the driver "
                                             "completed "
                                          << describe();
        }

        if (!request.well_formed()) {
            ++malformed;
            if (!reached) ++stopped_by_platform;
            if (succeeded) ++failures, ADD_FAILURE() << "accepted " << describe();
            if (request.output_buffer && output[0] != sentinel)
                ++failures, ADD_FAILURE() << "wrote output for " << describe();
            continue;
        }
        ++well_formed;
        if (!succeeded || !reached) {
            ++failures, ADD_FAILURE() << "refused " << describe();
            continue;
        }
        if (request.code == IOCTL_PORT_WRITE) {
            ports[port] = input[2];
        } else if (returned != 1 || output[0] != ports[port]) {
            ++failures, ADD_FAILURE() << "read of port " << port << " gave " << int(output[0])
                                      << " (" << returned << " bytes), expected "
                                      << int(ports[port]);
        }
    }

    EXPECT_EQ(diagnostics.snapshot().requests, reached_driver);

    // Afterwards every port the storm wrote, and a spread of others, still
    // read what the model says, and writes still land.
    int checked = 0;
    for (std::uint32_t port = 0; port <= 0xFFFF; ++port) {
        if (ports[port] == 0xFF && port % 251 != 0) continue;
        std::uint8_t value = 0;
        ASSERT_TRUE(raw_read(device, static_cast<std::uint16_t>(port), value)) << port;
        EXPECT_EQ(value, ports[port]) << "port " << port;
        ++checked;
    }
    EXPECT_TRUE(raw_write(device, 0x4242, 0x24));
    std::uint8_t value = 0;
    EXPECT_TRUE(raw_read(device, 0x4242, value));
    EXPECT_EQ(value, 0x24);
    CloseHandle(device);

    std::cout << malformed << " malformed (" << stopped_by_platform << " stopped before the driver) and "
              << well_formed << " well-formed requests, " << checked
              << " ports checked afterwards" << std::endl;
    report_row("1-driver-fuzz", "Random device requests (seed " + std::to_string(seed) + ")",
               std::to_string(malformed) + " malformed, " + std::to_string(well_formed) +
                   " well-formed",
               ::testing::Test::HasFailure() ? "**FAILED**"
                                             : "every malformed one failed, every well-formed "
                                               "one served exactly; driver still serving");
}

}  // namespace

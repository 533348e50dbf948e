// A seeded storm of random device-control requests, malformed and
// well-formed, against the port driver's simulated bus. Every malformed
// request must fail, every well-formed one must do exactly what it should
// (checked against a model of the port space), and the driver must serve
// correctly afterwards.
// Replay a failure with TELDO_FUZZ_SEED set to the printed seed.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "driver_diagnostics.h"
#include "report.h"

namespace {

using namespace teldo::test;
using teldo::IOCTL_PORT_READ;
using teldo::IOCTL_PORT_READ_BLOCK;
using teldo::IOCTL_PORT_WRITE;
using teldo::IOCTL_PORT_WRITE_BLOCK;

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

    // `input` holds the request's input bytes.
    bool well_formed(const std::vector<std::uint8_t>& input) const {
        if (code == IOCTL_PORT_READ)
            return input_length == 2 && output_length == 1 && input_buffer && output_buffer;
        if (code == IOCTL_PORT_WRITE)
            return input_length == 4 && output_length == 0 && input_buffer;
        teldo::Block block{};
        if ((code != IOCTL_PORT_READ_BLOCK && code != IOCTL_PORT_WRITE_BLOCK) || !input_buffer ||
            input_length < sizeof(teldo::BlockHeader) || !teldo::read_block_header(input.data(), block))
            return false;
        if (code == IOCTL_PORT_READ_BLOCK)
            return input_length == 8 && output_length == block.bytes() && output_buffer;
        return input_length == 8 + block.bytes() && output_length == 0;
    }
};

constexpr std::uint32_t codes[] = {IOCTL_PORT_READ, IOCTL_PORT_WRITE, IOCTL_PORT_READ_BLOCK, IOCTL_PORT_WRITE_BLOCK};

class RequestGenerator {
public:
    explicit RequestGenerator(std::uint32_t seed) : random_(seed) {}

    // A request, and its input bytes in `input`.
    RandomRequest next(std::vector<std::uint8_t>& input) {
        RandomRequest request{};
        switch (pick(6)) {
            case 0: request.code = random_(); break;  // anything at all
            case 1:  // a neighbour of a port code: other function, method or access
                request.code = codes[pick(4)] ^ (1u << pick(32));
                break;
            default: request.code = codes[pick(4)]; break;
        }
        request.input_length = length();
        request.output_length = length();
        for (std::size_t b = 0; b < std::max<std::uint32_t>(request.input_length, 8); ++b)
            input[b] = static_cast<std::uint8_t>(pick(256));
        if (request.code == IOCTL_PORT_READ_BLOCK || request.code == IOCTL_PORT_WRITE_BLOCK) {
            // A header near the rules, half of the time: each field now and
            // then just outside them.
            if (pick(2) == 0) {
                const std::uint8_t widths[] = {1, 2, 4, 1, 2, 4, 0, 3, 8};
                const std::uint8_t width = widths[pick(9)];
                const std::uint32_t count = pick(8) == 0 ? random_() : 1 + pick(pick(16) == 0 ? 0x10000 : 24);
                const std::uint32_t port = pick(2) ? pick(0x10000) & ~(width ? width - 1u : 0u) : pick(0x10000);
                const std::uint8_t header[8] = {std::uint8_t(port), std::uint8_t(port >> 8), width,
                                                std::uint8_t(pick(8) == 0 ? pick(256) : pick(2)),
                                                std::uint8_t(count), std::uint8_t(count >> 8),
                                                std::uint8_t(count >> 16), std::uint8_t(count >> 24)};
                std::copy(std::begin(header), std::end(header), input.begin());
            }
            if (pick(3) != 0) {  // the lengths the header asks for, often
                const std::uint32_t bytes = (input[4] | input[5] << 8) * input[2];
                const bool read = request.code == IOCTL_PORT_READ_BLOCK;
                request.input_length = read ? 8 : std::min<std::uint32_t>(8 + bytes, 0x10008);
                request.output_length = read ? std::min<std::uint32_t>(bytes, 0x10000) : 0;
                if (pick(4) == 0) request.input_length += pick(3) - 1u;
            }
        } else if (pick(3) == 0) {  // exactly the right lengths, half of the time
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

// A request sent, waiting to be found in the driver's record.
struct SentRequest {
    int index;
    RandomRequest request;
    std::array<std::uint8_t, 8> first_input;  // as the record keeps them
    bool succeeded;
    bool well_formed;
};

std::string describe(const SentRequest& sent) {
    const RandomRequest& request = sent.request;
    return "request " + std::to_string(sent.index) + ": code " + std::to_string(request.code) +
           " in " + std::to_string(request.input_length) + (request.input_buffer ? "" : " (no buffer)") +
           " out " + std::to_string(request.output_length) + (request.output_buffer ? "" : " (no buffer)");
}

// The driver takes a request's input from the system buffer only for a
// buffered code: for any other, the record keeps no input byte.
bool is_record_of(const teldo::diag::RecordedRequest& seen, const SentRequest& sent) {
    const bool buffered = (sent.request.code & 3) == 0;
    const std::size_t kept = std::min<std::size_t>(sent.request.input_length, sent.first_input.size());
    const std::array<std::uint8_t, 8> none{};
    return seen.code == sent.request.code && seen.input_length == sent.request.input_length &&
           seen.output_length == sent.request.output_length &&
           std::equal(seen.input, seen.input + kept, buffered ? sent.first_input.begin() : none.begin());
}

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
    std::vector<std::uint8_t> input(0x10010), output(0x10010);
    int malformed = 0, well_formed = 0, stopped_by_platform = 0, failures = 0;
    std::uint32_t reached_driver = 0;

    // The driver's record tells which requests reached it and how it
    // completed them. It keeps the last 32, so it is read once per batch of
    // 16 requests: each sent request, in order, either is the next new entry
    // (same code, lengths and first input bytes) or never reached the driver.
    std::vector<SentRequest> batch;
    const auto match_batch_with_record = [&] {
        const auto snapshot = diagnostics.snapshot();
        const std::uint32_t arrived = snapshot.requests - reached_driver;
        if (arrived > batch.size() || arrived > snapshot.recorded) {
            ++failures, ADD_FAILURE() << arrived << " requests reached the driver out of "
                                      << batch.size() << " sent";
            batch.clear();
            return;
        }
        const teldo::diag::RecordedRequest* next = snapshot.recent + (snapshot.recorded - arrived);
        const teldo::diag::RecordedRequest* const end = snapshot.recent + snapshot.recorded;
        for (const SentRequest& sent : batch) {
            const bool reached = next != end && is_record_of(*next, sent);
            if (reached && sent.succeeded != (next->status >= 0))
                ++failures, ADD_FAILURE() << "the caller was told otherwise than the driver completed "
                                          << describe(sent);
            if (reached) ++next;
            if (!sent.well_formed && !reached) ++stopped_by_platform;
            if (sent.well_formed && !reached)
                ++failures, ADD_FAILURE() << "the record does not show " << describe(sent);
        }
        if (next != end)
            ++failures, ADD_FAILURE() << "the record shows " << (end - next)
                                      << " requests that were not sent, after "
                                      << describe(batch.back());
        reached_driver = snapshot.requests;
        batch.clear();
    };

    for (int i = 0; i < request_count && failures < 10; ++i) {
        const RandomRequest request = generator.next(input);
        const std::uint16_t port = static_cast<std::uint16_t>(input[0] | (input[1] << 8));
        const std::uint8_t sentinel = static_cast<std::uint8_t>(~ports[port]);
        output[0] = sentinel;
        DWORD returned = 0;
        const bool succeeded = DeviceIoControl(
            device, request.code, request.input_buffer ? input.data() : nullptr,
            request.input_length, request.output_buffer ? output.data() : nullptr,
            request.output_length, &returned, nullptr);
        SentRequest sent{i, request, {}, succeeded, request.well_formed(input)};
        std::copy_n(input.begin(), sent.first_input.size(), sent.first_input.begin());
        batch.push_back(sent);

        teldo::Block block{};
        const bool is_block = request.code == IOCTL_PORT_READ_BLOCK || request.code == IOCTL_PORT_WRITE_BLOCK;
        if (!request.well_formed(input)) {
            ++malformed;
            if (succeeded) ++failures, ADD_FAILURE() << "accepted " << describe(sent);
            if (request.output_buffer && output[0] != sentinel)
                ++failures, ADD_FAILURE() << "wrote output for " << describe(sent);
        } else if (!succeeded) {
            ++well_formed;
            ++failures, ADD_FAILURE() << "refused " << describe(sent);
        } else if (++well_formed; is_block && teldo::read_block_header(input.data(), block)) {
            // The model's bytes of each element, low byte first.
            const bool write = request.code == IOCTL_PORT_WRITE_BLOCK;
            bool same = returned == (write ? 0 : block.bytes());
            for (std::uint32_t e = 0, at = 0; e < block.count; ++e)
                for (std::uint32_t b = 0; b < block.width; ++b, ++at) {
                    const std::uint32_t p = block.element_port(e) + b;
                    if (write) ports[p] = input[8 + at];
                    else same = same && output[at] == ports[p];
                }
            if (!same) ++failures, ADD_FAILURE() << "the block gave other bytes than the model: " << describe(sent);
        } else if (request.code == IOCTL_PORT_WRITE) {
            ports[port] = input[2];
        } else if (returned != 1 || output[0] != ports[port]) {
            ++failures, ADD_FAILURE() << "read of port " << port << " gave " << int(output[0])
                                      << " (" << returned << " bytes), expected "
                                      << int(ports[port]);
        }
        if (batch.size() == 16) match_batch_with_record();
    }
    if (!batch.empty()) match_batch_with_record();

    EXPECT_EQ(diagnostics.snapshot().requests, reached_driver);

    // Afterwards every port reads what the model says, all of them in one
    // block read, and a spread of them byte by byte; writes still land.
    const teldo::BlockHeader whole = teldo::make_block_header({0, 1, false, 0x10000});
    std::vector<std::uint8_t> space(0x10000);
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(device, IOCTL_PORT_READ_BLOCK, const_cast<teldo::BlockHeader*>(&whole), sizeof whole,
                                space.data(), 0x10000, &returned, nullptr));
    ASSERT_EQ(returned, 0x10000u);
    int checked = 0;
    for (std::uint32_t port = 0; port <= 0xFFFF; ++port) {
        if (space[port] != ports[port] && ++failures < 20) ADD_FAILURE() << "port " << port;
        if (port % 251 != 0) continue;
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
              << well_formed << " well-formed requests; afterwards all 65,536 ports in one block and "
              << checked << " one by one" << std::endl;
    report_row("1-driver-fuzz", "Random device requests (seed " + std::to_string(seed) + ")",
               std::to_string(malformed) + " malformed, " + std::to_string(well_formed) +
                   " well-formed",
               ::testing::Test::HasFailure() ? "**FAILED**"
                                             : "every malformed one failed, every well-formed "
                                               "one served exactly; driver still serving");
}

}  // namespace

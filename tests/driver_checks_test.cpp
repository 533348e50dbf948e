// The port driver's checks, on its simulated bus: every malformed request
// fails cleanly, changes no port, and the driver goes on serving.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "driver_diagnostics.h"

namespace {

using teldo::IOCTL_PORT_READ;
using teldo::IOCTL_PORT_WRITE;
using namespace teldo::test;

constexpr std::uint16_t probe_port = 0x0123;

struct Malformed {
    const char* what;
    std::uint32_t code;
    std::uint32_t input_length;   // input buffer of this length, or none if 0
    std::uint32_t output_length;  // output buffer of this length, or none if 0
    bool omit_input = false;      // pass no input buffer despite the length
};

const Malformed malformed_requests[] = {
    {"read, no input", IOCTL_PORT_READ, 0, 1},
    {"read, 1 input byte", IOCTL_PORT_READ, 1, 1},
    {"read, 3 input bytes", IOCTL_PORT_READ, 3, 1},
    {"read, 4 input bytes", IOCTL_PORT_READ, 4, 1},
    {"read, a page of input", IOCTL_PORT_READ, 4097, 1},
    {"read, no output", IOCTL_PORT_READ, 2, 0},
    {"read, 2 output bytes", IOCTL_PORT_READ, 2, 2},
    {"read, a page of output", IOCTL_PORT_READ, 2, 4097},
    {"write, no input", IOCTL_PORT_WRITE, 0, 0},
    {"write, 2 input bytes", IOCTL_PORT_WRITE, 2, 0},
    {"write, 3 input bytes", IOCTL_PORT_WRITE, 3, 0},
    {"write, 5 input bytes", IOCTL_PORT_WRITE, 5, 0},
    {"write, a page of input", IOCTL_PORT_WRITE, 4097, 0},
    {"write with an output byte", IOCTL_PORT_WRITE, 4, 1},
    {"read, input length without a buffer", IOCTL_PORT_READ, 2, 1, true},
    {"write, input length without a buffer", IOCTL_PORT_WRITE, 4, 0, true},
    {"unknown function 0x802", 0x80002008, 4, 0},
    {"write code with direct transfer", 0x80002001, 4, 0},
    {"write code with another device type", 0x00012000, 4, 0},
    {"write code with read access", 0x80006000, 4, 0},
    {"diagnostic reset sent to the port device", teldo::diag::IOCTL_DIAG_RESET, 0, 0},
    {"code zero", 0, 4, 1},
};

class DriverChecks : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(diagnostics_.reset());
        device_ = open_port_device();
        ASSERT_NE(device_, INVALID_HANDLE_VALUE);
    }
    void TearDown() override {
        if (device_ != INVALID_HANDLE_VALUE) CloseHandle(device_);
    }

    // Sends a request whose input, where present, would write 0x42 to the
    // probe port if the driver took it.
    bool send(const Malformed& request) {
        std::vector<std::uint8_t> input(request.input_length, 0x42);
        if (input.size() >= 2) {
            input[0] = probe_port & 0xFF;
            input[1] = probe_port >> 8;
        }
        std::vector<std::uint8_t> output(request.output_length, 0xEE);
        DWORD returned = 0;
        return DeviceIoControl(device_, request.code,
                               request.omit_input || input.empty() ? nullptr : input.data(),
                               request.input_length, output.empty() ? nullptr : output.data(),
                               request.output_length, &returned, nullptr);
    }

    DriverDiagnostics diagnostics_;
    HANDLE device_ = INVALID_HANDLE_VALUE;
};

TEST_F(DriverChecks, MalformedRequestsFailAndChangeNothing) {
    for (const Malformed& request : malformed_requests) {
        SCOPED_TRACE(request.what);
        EXPECT_FALSE(send(request));
        std::uint8_t value = 0;
        ASSERT_TRUE(raw_read(device_, probe_port, value)) << "the driver stopped serving";
        EXPECT_EQ(value, 0xFF);
    }
}

TEST_F(DriverChecks, TheRecordShowsTheRefusalsWithErrorStatus) {
    for (const Malformed& request : malformed_requests) send(request);
    // The platform itself turns some away (a length without its buffer) before
    // they reach the driver; every one that did reach it was refused.
    const auto snapshot = diagnostics_.snapshot();
    EXPECT_GE(snapshot.requests, std::size(malformed_requests) - 4);
    EXPECT_LE(snapshot.requests, std::size(malformed_requests));
    const std::vector<teldo::diag::RecordedRequest> seen = diagnostics_.recent();
    ASSERT_FALSE(seen.empty());
    for (const auto& entry : seen) EXPECT_LT(entry.status, 0) << std::hex << entry.code;
}

TEST_F(DriverChecks, WellFormedRequestsStillServeAfterwards) {
    for (const Malformed& request : malformed_requests) send(request);
    for (std::uint32_t port = 0; port <= 0xFFFF; port += 0x1111) {
        ASSERT_TRUE(raw_write(device_, port, static_cast<std::uint8_t>(port >> 4)));
        std::uint8_t value = 0;
        ASSERT_TRUE(raw_read(device_, port, value));
        EXPECT_EQ(value, static_cast<std::uint8_t>(port >> 4)) << port;
    }
}

TEST_F(DriverChecks, RecordKeepsTheLatestRequestsOldestFirst) {
    constexpr std::uint32_t sent = teldo::diag::recorded_capacity + 8;
    for (std::uint32_t i = 0; i < sent; ++i) raw_write(device_, static_cast<std::uint16_t>(i), 0);
    const auto snapshot = diagnostics_.snapshot();
    EXPECT_EQ(snapshot.requests, sent);
    ASSERT_EQ(snapshot.recorded, teldo::diag::recorded_capacity);
    for (std::uint32_t i = 0; i < snapshot.recorded; ++i)
        EXPECT_EQ(snapshot.recent[i].input[0], sent - teldo::diag::recorded_capacity + i);
}

TEST_F(DriverChecks, DiagnosticRequestsCheckTheirLengthsToo) {
    HANDLE diag = CreateFileA(teldo::diag::device_path, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(diag, INVALID_HANDLE_VALUE);
    std::vector<std::uint8_t> buffer(sizeof(teldo::diag::Snapshot) + 16, 0);
    DWORD returned;
    struct {
        std::uint32_t code, input_length, output_length;
    } const cases[] = {
        {teldo::diag::IOCTL_DIAG_RESET, 4, 0},
        {teldo::diag::IOCTL_DIAG_SNAPSHOT, 0, sizeof(teldo::diag::Snapshot) - 1},
        {teldo::diag::IOCTL_DIAG_SNAPSHOT, 0, sizeof(teldo::diag::Snapshot) + 1},
        {teldo::diag::IOCTL_DIAG_INJECT, sizeof(teldo::diag::FaultPlan) - 1, 0},
        {teldo::diag::IOCTL_DIAG_INJECT, 0, 0},
        {IOCTL_PORT_READ, 2, 1},
    };
    for (const auto& c : cases)
        EXPECT_FALSE(DeviceIoControl(diag, c.code, c.input_length ? buffer.data() : nullptr,
                                     c.input_length, c.output_length ? buffer.data() : nullptr,
                                     c.output_length, &returned, nullptr))
            << std::hex << c.code << " " << c.input_length << " " << c.output_length;
    CloseHandle(diag);
    EXPECT_EQ(diagnostics_.snapshot().requests, 0u) << "nothing reached the port device";
}

}  // namespace

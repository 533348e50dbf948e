#include "driver_diagnostics.h"

#include <gtest/gtest.h>

#include "polling.h"

namespace teldo::test {

DriverDiagnostics::DriverDiagnostics()
    : device_(CreateFileA(diag::device_path, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)) {
    if (device_ == INVALID_HANDLE_VALUE)
        ADD_FAILURE() << "no \\\\.\\TELDODiag: the port driver is not running, or its "
                         "service key does not turn its diagnostic device on, error "
                      << GetLastError();
}

DriverDiagnostics::~DriverDiagnostics() {
    if (device_ != INVALID_HANDLE_VALUE) CloseHandle(device_);
}

bool DriverDiagnostics::reset() {
    DWORD returned;
    return DeviceIoControl(device_, diag::IOCTL_DIAG_RESET, nullptr, 0, nullptr, 0, &returned,
                           nullptr);
}

diag::Snapshot DriverDiagnostics::snapshot() {
    diag::Snapshot snapshot{};
    DWORD returned = 0;
    if (!DeviceIoControl(device_, diag::IOCTL_DIAG_SNAPSHOT, nullptr, 0, &snapshot,
                         sizeof snapshot, &returned, nullptr) ||
        returned != sizeof snapshot)
        ADD_FAILURE() << "diagnostic snapshot failed, error " << GetLastError();
    return snapshot;
}

diag::Snapshot DriverDiagnostics::snapshot_after_closes(std::uint32_t closes) {
    diag::Snapshot seen{};
    poll(5000, [&] { return (seen = snapshot()).closes >= closes; });
    return seen;
}

bool DriverDiagnostics::inject(diag::FaultPlan plan) {
    DWORD returned;
    return DeviceIoControl(device_, diag::IOCTL_DIAG_INJECT, &plan, sizeof plan, nullptr, 0,
                           &returned, nullptr);
}

std::vector<diag::RecordedRequest> DriverDiagnostics::recent() {
    const diag::Snapshot taken = snapshot();
    return {taken.recent, taken.recent + taken.recorded};
}

void expect_port_request(const diag::RecordedRequest& seen, const ExpectedRequest& expected) {
    EXPECT_EQ(seen.code, expected.write ? IOCTL_PORT_WRITE : IOCTL_PORT_READ);
    EXPECT_EQ(seen.input_length, expected.write ? sizeof(WriteRequest) : sizeof(ReadRequest));
    EXPECT_EQ(seen.output_length, expected.write ? 0u : read_reply_length);
    EXPECT_EQ(seen.input[0], expected.port & 0xFF) << "port, low byte";
    EXPECT_EQ(seen.input[1], expected.port >> 8) << "port, high byte";
    if (expected.write) {
        EXPECT_EQ(seen.input[2], expected.value) << "value";
    }
    EXPECT_EQ(seen.from_owner, 1u);
}

HANDLE open_port_device() {
    return CreateFileA(device_path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool raw_read(HANDLE device, std::uint16_t port, std::uint8_t& value) {
    const ReadRequest request = make_read_request(port);
    DWORD returned;
    return DeviceIoControl(device, IOCTL_PORT_READ, const_cast<ReadRequest*>(&request),
                           sizeof request, &value, read_reply_length, &returned, nullptr);
}

bool raw_write(HANDLE device, std::uint16_t port, std::uint8_t value) {
    const WriteRequest request = make_write_request(port, value);
    DWORD returned;
    return DeviceIoControl(device, IOCTL_PORT_WRITE, const_cast<WriteRequest*>(&request),
                           sizeof request, nullptr, 0, &returned, nullptr);
}

}  // namespace teldo::test

// Client of the port driver's diagnostic device: reset it, read what
// reached the port device, plan faults.
#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

#include "teldo_diagnostics.h"

namespace teldo::test {

class DriverDiagnostics {
public:
    DriverDiagnostics();
    ~DriverDiagnostics();
    DriverDiagnostics(const DriverDiagnostics&) = delete;
    DriverDiagnostics& operator=(const DriverDiagnostics&) = delete;

    bool reset();
    diag::Snapshot snapshot();
    // A snapshot once the driver has counted `closes` closes, or after 5 s:
    // Wine hands a close to the driver some time after CloseHandle returns.
    diag::Snapshot snapshot_after_closes(std::uint32_t closes);
    bool inject(diag::FaultPlan plan);

    // The recorded requests of the latest snapshot, oldest first.
    std::vector<diag::RecordedRequest> recent();

private:
    HANDLE device_;
};

// A read of `port`, or a write of `value` to it, as TELDO.dll sends it.
struct ExpectedRequest {
    bool write;
    std::uint16_t port;
    std::uint8_t value = 0;
};

// Checks that `seen` is exactly that request (code, lengths, port bytes low
// first, value) and came through the holder's handle.
void expect_port_request(const diag::RecordedRequest& seen, const ExpectedRequest& expected);

// Opens \\.\TELDO directly, as a second opener would.
HANDLE open_port_device();

// A read or write through a raw handle; false when the request failed.
bool raw_read(HANDLE device, std::uint16_t port, std::uint8_t& value);
bool raw_write(HANDLE device, std::uint16_t port, std::uint8_t value);

}  // namespace teldo::test

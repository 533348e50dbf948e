// Client of the stand-in driver's diagnostic device: reset it, read what
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
    bool inject(diag::FaultPlan plan);

    // The recorded requests of the latest snapshot, oldest first.
    std::vector<diag::RecordedRequest> recent();

private:
    HANDLE device_;
};

// Opens \\.\TELDO directly, as a second opener would.
HANDLE open_port_device();

// A read or write through a raw handle; false when the request failed.
bool raw_read(HANDLE device, std::uint16_t port, std::uint8_t& value);
bool raw_write(HANDLE device, std::uint16_t port, std::uint8_t value);

}  // namespace teldo::test

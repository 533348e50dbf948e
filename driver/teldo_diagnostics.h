// Diagnostic requests of the TELDO port driver. They go to a second device,
// "\\.\TELDODiag", which any number of openers may use at once, so that a test
// can watch what reached the port device while another process holds it. The
// driver publishes it only when its service key holds Parameters\Diagnostics,
// a REG_DWORD of 1, as it starts, in either mode; only SYSTEM and
// Administrators may open it, whoever may open the port device.
#pragma once

#include <cstdint>

#include "teldo_protocol.h"

namespace teldo::diag {

constexpr char device_path[] = "\\\\.\\TELDODiag";

// Function numbers well away from the port device's 0x800 and 0x801.
constexpr std::uint32_t IOCTL_DIAG_RESET =
    control_code(port_device_type, 0xA00, method_buffered, file_any_access);
constexpr std::uint32_t IOCTL_DIAG_SNAPSHOT =
    control_code(port_device_type, 0xA01, method_buffered, file_any_access);
constexpr std::uint32_t IOCTL_DIAG_INJECT =
    control_code(port_device_type, 0xA02, method_buffered, file_any_access);

// One request that reached the port device, as the driver saw it.
struct RecordedRequest {
    std::uint32_t code;
    std::uint32_t input_length;
    std::uint32_t output_length;
    std::int32_t status;           // NTSTATUS the driver completed it with, or status_pending
    std::uint32_t from_owner;      // 1 when it came through the holder's handle
    std::uint8_t input[8];         // the first input bytes (fewer if shorter)
};

constexpr std::uint32_t recorded_capacity = 32;
// STATUS_PENDING: a recorded request that is still on the bus.
constexpr std::int32_t status_pending = 0x103;

// Output of IOCTL_DIAG_SNAPSHOT.
struct Snapshot {
    std::uint32_t opens;             // creates granted
    std::uint32_t closes;            // releases by the holder: its last handle closed
    std::uint32_t refused_opens;     // creates refused: device held, or not opened to read and write
    std::uint32_t held;              // 1 while an opener holds the device
    std::uint32_t requests;          // device-control requests since the reset
    std::uint32_t recorded;          // entries valid in recent[], oldest first
    RecordedRequest recent[recorded_capacity];
};

// Input of IOCTL_DIAG_INJECT: faults applied to the next port requests.
struct FaultPlan {
    std::uint32_t fail_next;         // this many requests fail with an error
    std::uint32_t empty_next_reads;  // this many reads succeed with no byte
};

// IOCTL_DIAG_RESET takes no buffers. It clears the counts, the record and the
// fault plan and, on the simulated bus, sets every port back to 0xFF (with
// real ports it touches no port); it leaves the holder alone.

}  // namespace teldo::diag

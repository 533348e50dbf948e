// Presses read or write in a running Brenvo.exe and checks the outcome against
// the field texts at the moment of the press: either exactly the one request
// the hex reading of those texts gives, with the byte the port holds shown for
// a read, or (for an entry out of range) a warning and no request at all.
// Keeps a model of the driver's simulated ports (all 0xFF after a reset).
#pragma once

#include <cstdint>
#include <vector>

#include "brenvo_process.h"
#include "driver_diagnostics.h"

namespace brenvo::test {

class CheckedActions {
public:
    // The driver must have been reset just before the program started.
    CheckedActions(BrenvoProcess& brenvo, teldo::test::DriverDiagnostics& diagnostics)
        : brenvo_(brenvo), diagnostics_(diagnostics), ports_(0x10000, 0xFF) {}

    enum class Outcome { request, warning, fault };

    // Presses Command1 (read) or Command2 (write) and checks what followed;
    // test failures are recorded through GoogleTest.
    Outcome press(int button);

    std::uint32_t requests() const { return requests_; }
    std::uint32_t warnings() const { return warnings_; }

private:
    BrenvoProcess& brenvo_;
    teldo::test::DriverDiagnostics& diagnostics_;
    std::vector<std::uint8_t> ports_;
    std::uint32_t requests_ = 0;
    std::uint32_t warnings_ = 0;
};

}  // namespace brenvo::test

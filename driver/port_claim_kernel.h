// The plain windows claimed for the driver while it runs, so that no device
// is given their ports and no window covers a device's. The windows taken
// from cards are not claimed: their device holds them.
#pragma once

#include <cstddef>

#include "kernel.h"
#include "port_windows.h"

namespace teldo::claim {

enum class Outcome : unsigned char {
    nothing_to_claim,  // the simulated bus, or only cards' windows
    claimed,
    not_implemented,  // a system without the call (Wine): the driver runs unclaimed
    conflict,         // a device holds ports of `window`: the driver does not start
    failed,           // the claim failed otherwise: the driver does not start
};

struct Result {
    Outcome outcome;
    NTSTATUS status;
    windows::PortRange window = {};  // the window in conflict
    bool holds() const { return outcome == Outcome::claimed; }
    bool stops_start() const { return outcome == Outcome::conflict || outcome == Outcome::failed; }
};

// Claims the first `plain` windows for `driver`. Whatever fails is given
// back before it returns.
Result take(PDRIVER_OBJECT driver, const windows::PortWindows& windows, std::size_t plain);
// Gives the claim back (the same call with no list).
void give_back(PDRIVER_OBJECT driver);

}  // namespace teldo::claim

// What the driver reads from its service key as it starts, and what it
// writes back there while it runs.
#pragma once

#include <cstddef>

#include "kernel.h"
#include "port_claim_kernel.h"
#include "port_windows.h"

namespace teldo::settings {

struct Settings {
    bool diagnostics = false;     // Parameters\Diagnostics = 1: publish \\.\TELDODiag
    bool users_may_open = false;  // Parameters\UsersMayOpen = 1: Users may open the devices
    bool real_ports = false;      // Parameters\Ports or CardPorts is set: drive the real bus
    std::size_t plain_windows = 0;  // the first windows, from Ports; the rest are CardPorts'
};

// Reads Parameters below the service key (registry_path) once. Ports and
// CardPorts, when present, fill `windows`, Ports' first, under the same
// rules (16 windows in all); a value that cannot be read or is malformed
// fails with STATUS_INVALID_PARAMETER, one that reaches a reserved port
// with STATUS_CONFLICTING_ADDRESSES, so that the driver never falls back to
// simulation while an administrator believes it drives the card. Every key
// it opens is closed again.
NTSTATUS read(PUNICODE_STRING registry_path, Settings& settings, windows::PortWindows& windows);

// The service key's volatile subkey Status, value Mode: how the running
// driver serves the port device ("simulated bus", or "real ports 0300-031F
// 0378, ..."); in real mode, value Claim: whether its plain windows are
// claimed ("claimed 0300-031F", "not claimed: ...", or for a start that
// a conflict stopped, "refused: 0378 overlaps ports that a device holds",
// with no Mode); and value Diagnostics, a REG_DWORD of 1, while it
// publishes the diagnostic device. Written once the driver has started, or
// when a conflict stopped it; its failure only leaves the description out.
// withdraw_mode() deletes the key as the driver unloads.
void publish_mode(PUNICODE_STRING registry_path, const Settings& settings, const windows::PortWindows& windows,
                  const claim::Result& claim);
void withdraw_mode();

}  // namespace teldo::settings

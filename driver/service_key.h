// What the driver reads from its service key as it starts, and what it
// writes back there while it runs.
#pragma once

#include "kernel.h"
#include "port_windows.h"

namespace teldo::settings {

struct Settings {
    bool diagnostics = false;     // Parameters\Diagnostics = 1: publish \\.\TELDODiag
    bool users_may_open = false;  // Parameters\UsersMayOpen = 1: Users may open the devices
    bool real_ports = false;      // Parameters\Ports is set: drive the real bus
};

// Reads Parameters below the service key (registry_path) once. Ports, when
// present, fills `windows`; a Ports value that cannot be read or is
// malformed fails with STATUS_INVALID_PARAMETER, one that reaches a
// reserved port with STATUS_CONFLICTING_ADDRESSES, so that the driver never
// falls back to simulation while an administrator believes it drives the
// card. Every key it opens is closed again.
NTSTATUS read(PUNICODE_STRING registry_path, Settings& settings, windows::PortWindows& windows);

// The service key's volatile subkey Status, value Mode: how the running
// driver serves the port device ("simulated bus", or "real ports 0300-031F
// 0378, ..."); and value Diagnostics, a REG_DWORD of 1, while it publishes
// the diagnostic device. Written once the driver has started; its failure
// only leaves the description out. withdraw_mode() deletes the key as the
// driver unloads.
void publish_mode(PUNICODE_STRING registry_path, const Settings& settings,
                  const windows::PortWindows& windows);
void withdraw_mode();

}  // namespace teldo::settings

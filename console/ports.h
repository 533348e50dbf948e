// teldo.exe's way to the ports: TELDOX.dll, bound at run time.
#pragma once

#include "command.h"

namespace teldo::console {

// Sends a checked command, in as few requests as the driver takes (one per
// 64 KiB), and prints what it read; false, with the reason told, when the
// device cannot be opened or a request fails. A failed read prints nothing.
bool execute(const Command& command);

// Closes the device if a command opened it.
void close_device();

}  // namespace teldo::console

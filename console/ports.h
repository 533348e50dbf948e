// teldo.exe's way to the ports: TELDOX.dll, bound at run time.
#pragma once

#include "command.h"
#include "program_text.h"

namespace teldo::console {

// Sends a checked command, in as few requests as the driver takes (one per
// 64 KiB), and prints what it read; false, with the reason told, when the
// device cannot be opened or a request fails. A failed read prints nothing.
bool execute(const Command& command);

// Runs a checked program as one request and prints, for each read, modify
// and poll that ran, its port and the value it read; false, with the reason
// told, when the device cannot be opened, the request fails or a poll timed
// out (its line named).
bool run(const Program& checked);

// Closes the device if a command opened it.
void close_device();

}  // namespace teldo::console

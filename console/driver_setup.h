// teldo driver install | remove | status: the TELDO port driver set up with
// the service manager's API (Windows 2000 has no sc.exe), and a plain
// answer to why it does not run.
#pragma once

#include "command.h"

namespace teldo::console {

// Runs "driver ..." (the words after "driver"); the process's exit code.
int driver_command(Words words);

}  // namespace teldo::console

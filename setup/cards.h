// teldo cards: the present devices to which Windows gave I/O ports, read
// from the configuration manager (SETUPAPI and CFGMGR32, loaded by their
// full path in the system folder), and whether the TELDO port driver's
// windows open them. The rules on the devices are in cards_rules.h.
#pragma once

#include <span>

#include "cards_rules.h"
#include "command.h"

namespace teldo::console {

// Runs "cards" (the words after it); the process's exit code.
int cards_command(Words words);

namespace setup {

// Every present device, with its I/O ranges, in storage that lasts until
// the process ends. False after a message that says why not (the process
// then ends with exit_failed): the win32 teldo.exe on 64-bit Windows, a
// system DLL or function missing, or an error of the configuration manager,
// named with its CR_ code.
bool read_devices(std::span<const cards::Device>& devices);

}  // namespace setup
}  // namespace teldo::console

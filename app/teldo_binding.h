// Late binding of TELDO.dll. The library is loaded by its file name at the
// first call of any of these functions, and each export is looked up by name at
// its own first call; from then on a call goes straight to the export. If the
// library or an export cannot be bound, the operator is told which one and why,
// and the program ends with exit code binding_failure_exit_code.
#pragma once

#include <cstdint>

namespace brenvo::teldo {

constexpr unsigned binding_failure_exit_code = 3;

// 1 when the device was opened, 0 when not.
std::int32_t open();
// The byte at a port; the port is the 16-bit pattern of the address.
std::uint8_t read(std::int16_t port);
// 1 on success, 0 on failure.
std::int32_t write(std::int16_t port, std::uint8_t value);
// -1 when no device is open, else the platform close's result.
std::int32_t close();

}  // namespace brenvo::teldo

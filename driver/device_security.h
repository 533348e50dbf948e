// Who may open the driver's devices.
#pragma once

#include "kernel.h"

namespace teldo::security {

// Replaces the device object's DACL with the fixed one of device_dacl.h:
// SYSTEM and Administrators, plus Users when `users_may_open`. The driver
// must not publish a device when this fails.
NTSTATUS restrict_device(PDEVICE_OBJECT device, bool users_may_open);

}  // namespace teldo::security

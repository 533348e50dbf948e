// The DACL is set through a kernel handle to the device object, with the
// calls that every Windows from 2000 on exports (IoCreateDeviceSecure, which
// would take it at creation, is not in MinGW's libraries). The driver sets it
// in DriverEntry, before it creates the device's link and before the I/O
// manager lets anyone open the device.
#include "device_security.h"

#include "device_dacl.h"

extern "C" {
// Declared in ntifs.h, which does not combine with wdm.h.
NTKERNELAPI NTSTATUS NTAPI ObOpenObjectByPointer(PVOID object, ULONG handle_attributes,
                                                 PVOID passed_access_state,
                                                 ACCESS_MASK desired_access,
                                                 POBJECT_TYPE object_type,
                                                 KPROCESSOR_MODE access_mode, PHANDLE handle);
NTSYSAPI NTSTATUS NTAPI ZwSetSecurityObject(HANDLE handle, SECURITY_INFORMATION information,
                                            PSECURITY_DESCRIPTOR descriptor);
}

namespace teldo::security {
namespace {

alignas(4) constexpr Descriptor administrators_only = device_descriptor(false);
alignas(4) constexpr Descriptor with_users = device_descriptor(true);

}  // namespace

NTSTATUS restrict_device(PDEVICE_OBJECT device, bool users_may_open) {
    HANDLE handle = nullptr;
    NTSTATUS status = ObOpenObjectByPointer(device, OBJ_KERNEL_HANDLE, nullptr, WRITE_DAC, nullptr,
                                            KernelMode, &handle);
    if (!NT_SUCCESS(status)) return status;
    const Descriptor& descriptor = users_may_open ? with_users : administrators_only;
    status = ZwSetSecurityObject(handle, DACL_SECURITY_INFORMATION,
                                 const_cast<std::uint8_t*>(descriptor.data()));
    ZwClose(handle);
    return status;
}

}  // namespace teldo::security

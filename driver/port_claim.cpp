// The claim of the plain windows for the driver object, with the call that
// every Windows from 2000 on offers a driver of legacy hardware.
#include "port_claim_kernel.h"

#include <cstddef>

#include "port_claim.h"

extern "C" {
// Declared in ntddk.h, which does not combine with wdm.h.
NTKERNELAPI NTSTATUS NTAPI IoReportResourceForDetection(PDRIVER_OBJECT driver, PCM_RESOURCE_LIST driver_list,
                                                        ULONG driver_list_size, PDEVICE_OBJECT device,
                                                        PCM_RESOURCE_LIST device_list, ULONG device_list_size,
                                                        PBOOLEAN conflict_detected);
}

// The list laid out by hand is the platform's structure.
static_assert(sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR) == teldo::claim::descriptor_bytes);
static_assert(offsetof(CM_PARTIAL_RESOURCE_DESCRIPTOR, u.Port.Start) == 4);
static_assert(offsetof(CM_PARTIAL_RESOURCE_DESCRIPTOR, u.Port.Length) == 12);
static_assert(offsetof(CM_RESOURCE_LIST, List[0].PartialResourceList.PartialDescriptors) ==
              teldo::claim::header_bytes);
static_assert(Isa == teldo::claim::interface_isa && CmResourceTypePort == teldo::claim::resource_type_port &&
              CmResourceShareDeviceExclusive == teldo::claim::share_device_exclusive &&
              CM_RESOURCE_PORT_IO == teldo::claim::port_io);

namespace teldo::claim {
namespace {

alignas(8) constinit std::uint8_t list[max_bytes] = {};

// Claims windows [first, first + count); a conflict whichever way the
// system reports it.
NTSTATUS report(PDRIVER_OBJECT driver, const windows::PortWindows& windows, std::size_t first, std::size_t count) {
    const std::uint32_t length = lay_out(windows, first, count, list);
    BOOLEAN conflict = FALSE;
    const NTSTATUS status = IoReportResourceForDetection(driver, reinterpret_cast<PCM_RESOURCE_LIST>(list), length,
                                                         nullptr, nullptr, 0, &conflict);
    return NT_SUCCESS(status) && conflict ? STATUS_CONFLICTING_ADDRESSES : status;
}

}  // namespace

Result take(PDRIVER_OBJECT driver, const windows::PortWindows& windows, std::size_t plain) {
    if (plain == 0) return {Outcome::nothing_to_claim, STATUS_SUCCESS};
    const NTSTATUS status = report(driver, windows, 0, plain);
    if (NT_SUCCESS(status)) return {Outcome::claimed, status};
    if (status == STATUS_NOT_IMPLEMENTED) return {Outcome::not_implemented, status};
    Result result{Outcome::failed, status};
    if (status == STATUS_CONFLICTING_ADDRESSES) {
        // Which window: the first that conflicts on its own.
        result.outcome = Outcome::conflict;
        for (std::size_t i = 0; i < plain; ++i)
            if (report(driver, windows, i, 1) == STATUS_CONFLICTING_ADDRESSES) {
                result.window = windows[i];
                break;
            }
    }
    give_back(driver);
    return result;
}

void give_back(PDRIVER_OBJECT driver) {
    BOOLEAN conflict = FALSE;
    IoReportResourceForDetection(driver, nullptr, 0, nullptr, nullptr, 0, &conflict);
}

}  // namespace teldo::claim

// teldo.sys: the TELDO port driver. It publishes \\.\TELDO with its port
// requests (bytes, blocks, and programs that run a handshake whole) and
// grants it to one opener at a time. By default it serves a
// simulated port space. When the administrator lists port windows under its
// service key (Parameters\Ports, and CardPorts for the ranges of Plug and
// Play cards), it drives the real bus instead, but only inside those
// windows; the plain ones it claims for itself while it runs, so that they
// can never cover a device's ports. In both modes only SYSTEM and Administrators (and,
// if allowed, Users) may open it, and only for reading and writing. Only
// when its service key turns it on (Parameters, Diagnostics = 1) does it
// also publish \\.\TELDODiag, for SYSTEM and Administrators alone, where a
// test may read what reached the port device, clear it, reset the
// simulated ports and plan faults.
//
// Two locks. A spin lock guards the driver's state (the holder, the fault
// plan, the record, the counts) and is held only for a few instructions.
// The bus, simulated or real, is serialised by a kernel mutex, which waits
// at PASSIVE_LEVEL and leaves its holder there: a 64 KiB block, up to
// 65,536 port cycles, runs under it while the rest of the PC goes on. It
// gives one request the bus at a time; which waiter comes next is the
// kernel's choice, not the order of arrival. A request is checked, and its
// holder decided, before it waits for the bus, so that one that will be
// refused never waits behind a program or a block. Whoever takes both locks
// takes the mutex first; no request is completed while either is held.
#include "kernel.h"

#include "device_dacl.h"
#include "device_security.h"
#include "port_claim_kernel.h"
#include "port_model.h"
#include "real_bus.h"
#include "service_key.h"

namespace {

struct DriverState {
    teldo::model::PortSpace ports;
    teldo::model::RequestLog log;
    teldo::diag::FaultPlan faults{};
    PFILE_OBJECT holder = nullptr;  // the file object that holds \\.\TELDO
    std::uint32_t opens = 0;
    std::uint32_t closes = 0;
    std::uint32_t refused_opens = 0;
};

// Static storage is all the driver has at load: nothing runs constructors in
// a kernel driver, so every piece of state must be constant-initialised.
constinit DriverState state;
constinit teldo::settings::Settings settings;
constinit teldo::windows::PortWindows port_windows;
constinit KSPIN_LOCK state_lock = 0;
constinit KMUTEX bus_mutex{};
constinit std::uint64_t counter_frequency = 0;
constinit bool windows_claimed = false;
constinit PDEVICE_OBJECT port_device = nullptr;
constinit PDEVICE_OBJECT diag_device = nullptr;

constexpr wchar_t port_device_name[] = L"\\Device\\TELDO";
constexpr wchar_t port_link_name[] = L"\\DosDevices\\TELDO";
constexpr wchar_t diag_device_name[] = L"\\Device\\TELDODiag";
constexpr wchar_t diag_link_name[] = L"\\DosDevices\\TELDODiag";

class StateGuard {
public:
    StateGuard() { KeAcquireSpinLock(&state_lock, &irql_); }
    ~StateGuard() { KeReleaseSpinLock(&state_lock, irql_); }
    StateGuard(const StateGuard&) = delete;
    StateGuard& operator=(const StateGuard&) = delete;

private:
    KIRQL irql_;
};

// Holds the bus: a port request's cycles, or the simulated ports' reset.
// Waiters wait at PASSIVE_LEVEL or APC_LEVEL, with no timeout: the only
// levels where such a wait is allowed (dispatch_control refuses others).
class BusGuard {
public:
    BusGuard() { KeWaitForSingleObject(&bus_mutex, Executive, KernelMode, FALSE, nullptr); }
    ~BusGuard() { KeReleaseMutex(&bus_mutex, FALSE); }
    BusGuard(const BusGuard&) = delete;
    BusGuard& operator=(const BusGuard&) = delete;
};

// What a request is completed with. The functions that decide it under the
// locks return one, and the dispatch routine completes the request only
// once every lock is released: a completion routine may send the device
// another request on the same processor, which would otherwise wait for the
// lock forever.
struct Completion {
    NTSTATUS status;
    ULONG_PTR information = 0;
};

NTSTATUS complete(PIRP irp, Completion completion) {
    irp->IoStatus.Status = completion.status;
    irp->IoStatus.Information = completion.information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return completion.status;
}

NTSTATUS status_of(teldo::model::Outcome outcome) {
    using teldo::model::Outcome;
    switch (outcome) {
        case Outcome::done: return STATUS_SUCCESS;
        case Outcome::bad_length: return STATUS_INFO_LENGTH_MISMATCH;
        case Outcome::no_buffer: return STATUS_INVALID_PARAMETER;
        case Outcome::unknown_code: return STATUS_INVALID_DEVICE_REQUEST;
        case Outcome::injected: return STATUS_IO_DEVICE_ERROR;
        case Outcome::refused_port: return STATUS_ACCESS_DENIED;
        case Outcome::bad_block: return STATUS_INVALID_PARAMETER;
        case Outcome::bad_program: return STATUS_INVALID_PARAMETER;
    }
    return STATUS_INVALID_DEVICE_REQUEST;
}

// The system buffer holds a request's input and output only for a buffered
// code, the transfer method of every request of this driver. For any other
// code it is not a buffer of the request at all: the request goes on with
// none, to be refused as unknown without a byte touched.
teldo::model::Request request_of(PIRP irp, const IO_STACK_LOCATION& stack) {
    const auto& parameters = stack.Parameters.DeviceIoControl;
    auto* buffer = (parameters.IoControlCode & 3) == teldo::method_buffered
                       ? static_cast<std::uint8_t*>(irp->AssociatedIrp.SystemBuffer)
                       : nullptr;
    return {parameters.IoControlCode, parameters.InputBufferLength ? buffer : nullptr,
            parameters.InputBufferLength, parameters.OutputBufferLength ? buffer : nullptr,
            parameters.OutputBufferLength};
}

// A program's time: the performance counter, whose frequency is fixed
// while the system runs (read once, at the start). Its waits are busy
// waits on the counter, at PASSIVE_LEVEL under the bus mutex alone, where
// the scheduler may still run other threads.
auto program_clock() {
    return teldo::model::CounterClock(counter_frequency, [] {
        return static_cast<std::uint64_t>(KeQueryPerformanceCounter(nullptr).QuadPart);
    });
}

// A port request: checked whole; recorded, its holder decided and its turn
// of the fault plan taken under the spin lock; then, only if it is well
// formed, from the holder and not failed by the plan, served on the bus
// under the bus mutex alone; its status recorded under the spin lock again.
// A program is one request.
Completion serve_port_request(const teldo::model::Request& request, PFILE_OBJECT file) {
    using namespace teldo::model;
    const Work work = check(request);
    bool from_holder = false;
    Fault fault = Fault::none;
    std::uint32_t entry = 0;
    {
        StateGuard guard;
        from_holder = file != nullptr && file == state.holder;
        entry = state.log.add(request, from_holder);
        if (from_holder) fault = take_fault(state.faults, work);
    }
    Completion completion{STATUS_ACCESS_DENIED};  // a handle the device was not granted to
    if (from_holder && !needs_bus(work, fault)) {
        const Reply reply = without_bus(work, fault);
        completion = {status_of(reply.outcome), reply.returned};
    } else if (from_holder) {
        BusGuard bus;
        teldo::bus::RealBus real_bus(port_windows);
        const auto clock = program_clock();
        const Reply reply = settings.real_ports ? perform(real_bus, work, fault, request, clock)
                                                : perform(state.ports, work, fault, request, clock);
        completion = {status_of(reply.outcome), reply.returned};
    }
    StateGuard guard;
    state.log.set_status(entry, completion.status);
    return completion;
}

// A reset of the simulated ports waits for the bus, so that it never tears a
// block in flight; the rest of the state is the spin lock's.
Completion reset_diagnostics() {
    BusGuard bus;
    if (!settings.real_ports) state.ports.clear();  // memory; a real port is never reset
    StateGuard guard;
    state.log.clear();
    state.faults = {};
    state.opens = state.closes = state.refused_opens = 0;
    return {STATUS_SUCCESS};
}

Completion serve_diag_request(const teldo::model::Request& request) {
    using namespace teldo::diag;
    if (request.code == IOCTL_DIAG_RESET) {
        if (request.input_length != 0 || request.output_length != 0) return {STATUS_INFO_LENGTH_MISMATCH};
        return reset_diagnostics();
    }
    StateGuard guard;
    switch (request.code) {
        case IOCTL_DIAG_SNAPSHOT: {
            if (request.input_length != 0 || request.output_length != sizeof(Snapshot))
                return {STATUS_INFO_LENGTH_MISMATCH};
            if (request.output == nullptr) return {STATUS_INVALID_PARAMETER};
            auto& snapshot = *reinterpret_cast<Snapshot*>(request.output);
            snapshot = {};
            snapshot.opens = state.opens;
            snapshot.closes = state.closes;
            snapshot.refused_opens = state.refused_opens;
            snapshot.held = state.holder != nullptr ? 1 : 0;
            snapshot.requests = state.log.total();
            snapshot.recorded = state.log.copy_to(snapshot.recent);
            return {STATUS_SUCCESS, sizeof(Snapshot)};
        }
        case IOCTL_DIAG_INJECT:
            if (request.input_length != sizeof(FaultPlan) || request.output_length != 0)
                return {STATUS_INFO_LENGTH_MISMATCH};
            if (request.input == nullptr) return {STATUS_INVALID_PARAMETER};
            state.faults = *reinterpret_cast<const FaultPlan*>(request.input);
            return {STATUS_SUCCESS};
        default:
            return {STATUS_INVALID_DEVICE_REQUEST};
    }
}

// An open may use the device only if it asked for both reading and writing
// data: the byte and block requests require no access of their own, so an
// open for attributes or for reading alone must not reach the ports. The
// access asked for is in the security context, which the I/O manager has
// checked against the device's DACL for a caller from user mode; kernel
// code that opens the device without a check is trusted as the kernel is.
// Only kernel code that builds its own create request, or Wine, sends a
// create without a security context; it is taken as a full open, which
// lets the driver's tests under Wine open the device (Wine checks no device
// security at all).
bool asks_read_and_write(const IO_STACK_LOCATION& stack) {
    const PIO_SECURITY_CONTEXT context = stack.Parameters.Create.SecurityContext;
    return context == nullptr || teldo::security::asks_read_and_write(context->DesiredAccess);
}

// The port device serves one holder; the diagnostic device every full open.
Completion serve_create(PDEVICE_OBJECT device, const IO_STACK_LOCATION& stack) {
    const PFILE_OBJECT file = stack.FileObject;
    if (file == nullptr) return {STATUS_INVALID_PARAMETER};
    // A device has one name: \\.\TELDO\x names nothing.
    if (file->FileName.Length != 0) return {STATUS_OBJECT_NAME_NOT_FOUND};
    const bool full_open = asks_read_and_write(stack);
    if (device != port_device) return {full_open ? STATUS_SUCCESS : STATUS_ACCESS_DENIED};
    StateGuard guard;
    if (!full_open) {
        ++state.refused_opens;
        return {STATUS_ACCESS_DENIED};
    }
    if (state.holder != nullptr) {
        ++state.refused_opens;
        return {STATUS_SHARING_VIOLATION};
    }
    state.holder = file;
    ++state.opens;
    return {STATUS_SUCCESS};
}

NTSTATUS NTAPI dispatch_create(PDEVICE_OBJECT device, PIRP irp) {
    return complete(irp, serve_create(device, *IoGetCurrentIrpStackLocation(irp)));
}

// Frees the device if `file` holds it.
void release(PFILE_OBJECT file) {
    StateGuard guard;
    if (file != nullptr && file == state.holder) {
        state.holder = nullptr;
        ++state.closes;
    }
}

// Cleanup (the last handle to a file object is closed) frees the device,
// even if something still holds a reference to the file object itself.
// Close (its last reference is gone) comes after the cleanup on Windows and
// finds nothing to free; Wine sends no cleanup at all, so there the close
// is what frees it.
NTSTATUS NTAPI dispatch_cleanup_or_close(PDEVICE_OBJECT device, PIRP irp) {
    if (device == port_device) release(IoGetCurrentIrpStackLocation(irp)->FileObject);
    return complete(irp, {STATUS_SUCCESS});
}

// A request may wait for the bus, and a wait with no timeout is allowed only
// up to APC_LEVEL: a kernel caller above it is refused before anything else.
NTSTATUS NTAPI dispatch_control(PDEVICE_OBJECT device, PIRP irp) {
    if (KeGetCurrentIrql() > APC_LEVEL) return complete(irp, {STATUS_INVALID_DEVICE_STATE});
    const IO_STACK_LOCATION& stack = *IoGetCurrentIrpStackLocation(irp);
    const teldo::model::Request request = request_of(irp, stack);
    return complete(irp, device == port_device ? serve_port_request(request, stack.FileObject)
                                               : serve_diag_request(request));
}

void delete_device(PDEVICE_OBJECT& device, const wchar_t* link_name) {
    if (device == nullptr) return;
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, link_name);
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(device);
    device = nullptr;
}

VOID NTAPI driver_unload(PDRIVER_OBJECT driver) {
    teldo::settings::withdraw_mode();
    if (windows_claimed) teldo::claim::give_back(driver);
    windows_claimed = false;
    delete_device(diag_device, diag_link_name);
    delete_device(port_device, port_link_name);
}

NTSTATUS create_device(PDRIVER_OBJECT driver, const wchar_t* device_name,
                       const wchar_t* link_name, bool users_may_open, PDEVICE_OBJECT& device) {
    UNICODE_STRING name;
    UNICODE_STRING link;
    RtlInitUnicodeString(&name, device_name);
    RtlInitUnicodeString(&link, link_name);
    // Secure open: an open of a name below the device (\\.\TELDO\x) is checked
    // against the device's security like an open of the device itself.
    NTSTATUS status = IoCreateDevice(driver, 0, &name, teldo::port_device_type,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    device->Flags |= DO_BUFFERED_IO;
    // Only SYSTEM and Administrators (and Users, if allowed) may open it, in
    // either mode: the simulated bus's device takes the one holder slot,
    // which no other user may do.
    status = teldo::security::restrict_device(device, users_may_open);
    if (NT_SUCCESS(status)) status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        device = nullptr;
    }
    return status;
}

}  // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path) {
    KeInitializeSpinLock(&state_lock);
    KeInitializeMutex(&bus_mutex, 0);
    LARGE_INTEGER frequency;
    KeQueryPerformanceCounter(&frequency);
    counter_frequency = static_cast<std::uint64_t>(frequency.QuadPart);
    driver->MajorFunction[IRP_MJ_CREATE] = dispatch_create;
    driver->MajorFunction[IRP_MJ_CLOSE] = dispatch_cleanup_or_close;
    driver->MajorFunction[IRP_MJ_CLEANUP] = dispatch_cleanup_or_close;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch_control;
    driver->DriverUnload = driver_unload;

    // The settings are read once: a change takes effect when the driver is
    // started again. A Ports value that cannot be used stops the start.
    NTSTATUS status = teldo::settings::read(registry_path, settings, port_windows);
    if (!NT_SUCCESS(status)) return status;
    // The plain windows are claimed before anything can reach them. A window
    // that a device holds stops the start, and the Status key names it; a
    // Windows without the call (as Wine is) runs unclaimed, and says so.
    teldo::claim::Result claim{teldo::claim::Outcome::nothing_to_claim, STATUS_SUCCESS};
    if (settings.real_ports) claim = teldo::claim::take(driver, port_windows, settings.plain_windows);
    if (claim.stops_start()) {
        teldo::settings::publish_mode(registry_path, settings, port_windows, claim);
        return claim.status;
    }
    windows_claimed = claim.holds();
    status = create_device(driver, port_device_name, port_link_name, settings.users_may_open, port_device);
    // The diagnostic device shows the holder's requests and plans faults in
    // its requests: administrators only, whatever Users may do.
    if (NT_SUCCESS(status) && settings.diagnostics)
        status = create_device(driver, diag_device_name, diag_link_name, false, diag_device);
    if (!NT_SUCCESS(status)) {
        driver_unload(driver);
        return status;
    }
    teldo::settings::publish_mode(registry_path, settings, port_windows, claim);
    return status;
}

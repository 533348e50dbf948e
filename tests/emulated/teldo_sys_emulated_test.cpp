// The shipped teldo.sys of both packages, executed against a kernel of
// stand-ins: the x86 driver on an emulated Pentium, the x64 driver on an
// emulated x86-64 processor, each test's rows run on both. DriverEntry with
// the settings of its service key, the requests an application's handles
// bring on the simulated bus and on real ports, and unload, with the
// structures the I/O manager would pass, 32-bit or 64-bit. The x86 driver
// reaches a port through the HAL; the x64 one with its own in and out
// instructions, which the emulator hands to the fake kernel as the bus.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>

#include "ddk_layout.h"
#include "fake_kernel.h"
#include "port_program.h"
#include "teldo_diagnostics.h"
#include "x86_machine.h"

namespace {

using namespace teldo::emu;
using namespace std::string_literals;
namespace k = teldo::emu::ddk;
namespace st = teldo::emu::ddk::status;

const std::u16string service_key = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\TELDO";
const std::u16string status_key = service_key + u"\\Status";
const std::u16string port_device = u"\\Device\\TELDO", diag_device = u"\\Device\\TELDODiag";

// The values of the service key's Parameters key, by name.
using Parameters = std::map<std::u16string, RegistryValue>;
const Parameters simulated{{u"Diagnostics", dword_value(1)}};

// A REG_MULTI_SZ: every string with its NUL, then the list's final NUL.
RegistryValue port_list(const std::vector<std::u16string>& windows) {
    std::u16string units;
    for (const auto& window : windows) units += window + u'\0';
    return wide_value(k::reg_multi_sz, units + u'\0');
}

// Real mode: Ports set, by default to a range and a single port.
Parameters real_ports(RegistryValue ports = port_list({u"0300-031F", u"0378"}), bool diagnostics = true,
                      std::optional<RegistryValue> users_may_open = std::nullopt) {
    Parameters parameters{{u"Ports", std::move(ports)}};
    if (diagnostics) parameters[u"Diagnostics"] = dword_value(1);
    if (users_may_open) parameters[u"UsersMayOpen"] = *users_may_open;
    return parameters;
}

// A value's UTF-16 units; an odd last byte shows as U+FFFD.
std::u16string units_of(const RegistryValue& value) {
    std::u16string units;
    for (std::size_t i = 0; i + 1 < value.data.size(); i += 2)
        units += static_cast<char16_t>(value.data[i] | value.data[i + 1] << 8);
    return value.data.size() % 2 ? units + u'\uFFFD' : units;
}

template <class T>
std::vector<std::uint8_t> bytes_of(const T& value) {
    std::vector<std::uint8_t> bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
}

// The accounts that a self-relative descriptor's DACL grants access, as
// "S-1-5-..." strings with the access mask of each, sorted; decoded from the
// platform's documented layout. Anything else in the descriptor is an error.
using Grants = std::vector<std::pair<std::string, std::uint32_t>>;
Grants access_granted(const std::vector<std::uint8_t>& sd, std::string& error) {
    namespace d = descriptor_format;
    auto u8 = [&](std::uint32_t at) -> std::uint32_t {
        if (at < sd.size()) return sd[at];
        if (error.empty()) error = "read past the descriptor's " + std::to_string(sd.size()) + " bytes";
        return 0;
    };
    auto u16 = [&](std::uint32_t at) { return u8(at) | u8(at + 1) << 8; };
    auto u32 = [&](std::uint32_t at) { return u16(at) | u16(at + 2) << 16; };
    auto refuse = [&](const std::string& why) {
        if (error.empty()) error = why;
        return Grants{};
    };
    if (u8(d::revision) != k::security_descriptor_revision) return refuse("descriptor revision");
    if (u16(d::control) != (d::se_dacl_present | d::se_dacl_protected | d::se_self_relative))
        return refuse("control bits " + std::to_string(u16(d::control)));
    if (u32(d::owner) || u32(d::group) || u32(d::sacl)) return refuse("an owner, group or SACL");
    const std::uint32_t acl = u32(d::dacl);
    if (acl < d::header_size) return refuse("DACL offset " + std::to_string(acl));
    if (u8(acl + k::acl::revision) != k::acl_revision) return refuse("ACL revision");
    Grants granted;
    std::uint32_t ace = acl + k::acl::size;
    for (std::uint32_t i = 0, count = u16(acl + k::acl::ace_count); i < count; ++i) {
        const std::uint32_t sid = ace + d::ace_sid, rids = u8(sid + d::sid_count);
        if (u8(ace + d::ace_type) != d::access_allowed_ace_type || u8(ace + d::ace_flags) != 0)
            return refuse("ACE " + std::to_string(i) + " is no plain access-allowed ACE");
        if (u16(ace + d::ace_size) != d::ace_sid + d::sid_rids + 4 * rids)
            return refuse("ACE " + std::to_string(i) + "'s size");
        if (u8(sid + d::sid_revision) != d::sid_revision_1) return refuse("SID revision");
        std::uint64_t authority = 0;
        for (std::uint32_t b = 0; b < 6; ++b) authority = authority << 8 | u8(sid + d::sid_authority + b);
        std::string text = "S-1-" + std::to_string(authority);
        for (std::uint32_t r = 0; r < rids; ++r) text += "-" + std::to_string(u32(sid + d::sid_rids + 4 * r));
        granted.push_back({text, u32(ace + d::ace_mask)});
        ace += u16(ace + d::ace_size);
    }
    if (ace != acl + u16(acl + k::acl::acl_size)) return refuse("the ACL's size is not its ACEs'");
    if (!error.empty()) return {};
    std::sort(granted.begin(), granted.end());
    return granted;
}

// The windows that real_ports() opens by default, as first and last port.
using Windows = std::vector<std::pair<std::uint16_t, std::uint16_t>>;
const Windows default_windows{{0x300, 0x31F}, {0x378, 0x378}};

// Where Windows loads drivers on x64, far from the image's preferred base
// (0x140000000): an absolute address the image does not relocate leads
// nowhere.
constexpr Address x64_driver_base = 0xFFFFF80001000000;

// The package's teldo.sys of `arch` loaded into a machine of its own (its
// static state is fresh), with a driver object and the service key's path,
// as the kernel hands them to DriverEntry.
class LoadedDriver {
public:
    // `parameters`: the service key's Parameters values, or none for no
    // Parameters key at all. `windows`: the ports a cycle may reach; any
    // other cycle fails the test.
    explicit LoadedDriver(Arch arch, std::optional<Parameters> parameters = simulated, Windows windows = {})
        : arch(arch), machine(arch), kernel(machine), offsets(kernel.layout()) {
        kernel.windows = std::move(windows);
        kernel.keys[service_key] = {};
        if (parameters) kernel.keys[service_key + u"\\Parameters"] = *parameters;
        std::string error;
        const auto file = read_packaged(arch, "teldo.sys", error);
        EXPECT_FALSE(file.empty()) << error;
        loaded = !file.empty() && machine.load(file, arch == Arch::x64 ? x64_driver_base : 0, sys, error);
        EXPECT_TRUE(loaded) << error;
        driver = machine.allocate(offsets.driver_object.size);
        registry_path = unicode(service_key);
        diag_file = file_object();
    }
    ~LoadedDriver() { EXPECT_TRUE(machine.faults().empty()) << machine.fault_report(); }

    // Every handle the driver opens is closed again, but for one: a started
    // driver keeps its Status key open until unload.
    std::uint32_t driver_entry() {
        if (!loaded) return ~0u;
        const auto status = static_cast<std::uint32_t>(machine.call(sys.entry_point, {driver, registry_path}));
        EXPECT_EQ(kernel.open_keys(), status == st::success ? std::vector{status_key} : std::vector<std::u16string>{})
            << "registry keys open after DriverEntry";
        EXPECT_TRUE(kernel.object_handles.empty()) << "object handles open after DriverEntry";
        return status;
    }
    void unload() {
        const Address routine = machine.ptr(driver + offsets.driver_object.driver_unload);
        ASSERT_NE(routine, 0u);
        machine.call(routine, {driver});
        EXPECT_TRUE(kernel.key_handles.empty() && kernel.object_handles.empty()) << "handles open after unload";
    }
    Address dispatch_routine(std::uint8_t major) {
        return machine.ptr(driver + offsets.driver_object.major_function + offsets.pointer * major);
    }
    Address device(const std::u16string& name) {
        for (const auto& d : kernel.devices)
            if (d.name == name && !d.deleted) return d.object;
        return 0;
    }

    struct Reply {
        std::uint32_t status;
        std::uint64_t information;
        std::vector<std::uint8_t> buffer;
        Address system_buffer;
    };
    // A file object as the I/O manager makes it for an open of the device,
    // with the rest of the name after the device's (empty for \\.\TELDO).
    Address file_object(const std::u16string& rest_of_name = u"") {
        const Address file = machine.allocate(offsets.file_object.size);
        machine.put(file + offsets.file_object.file_name,
                    machine.bytes(unicode(rest_of_name), offsets.unicode_string.size));
        return file;
    }

    // Sends an IRP as the I/O manager would, with one stack location and,
    // for a device control, a system buffer holding the input; a create
    // carries a security context with `desired`, the access the opener asked
    // for, and an access state with `granted`. Checks that the driver
    // completes it exactly once with the status it returns, with no lock
    // held, that it copies no block of a port request's buffer under its
    // spin lock, and that it touches no system buffer at all for a code
    // whose transfer method is not buffered (it is none of the request's).
    Reply send(Address device_object, std::uint8_t major, Address file, std::uint32_t code = 0,
               const std::vector<std::uint8_t>& input = {}, std::uint32_t output_length = 0) {
        const auto& irp_at = offsets.irp;
        const auto& stack_at = offsets.io_stack_location;
        const Address irp = machine.allocate(irp_at.size);
        const Address stack = machine.allocate(stack_at.size);
        const std::uint32_t length = std::max<std::uint32_t>(input.size(), output_length);
        const Address buffer = length ? machine.allocate(length) : 0;
        machine.put(buffer, input);
        machine.put_ptr(irp + irp_at.system_buffer, buffer);
        machine.put_ptr(irp + irp_at.current_stack_location, stack);
        machine.put8(stack + stack_at.major_function, major);
        machine.put32(stack + stack_at.output_buffer_length, output_length);
        machine.put32(stack + stack_at.input_buffer_length, static_cast<std::uint32_t>(input.size()));
        machine.put32(stack + stack_at.io_control_code, code);
        machine.put_ptr(stack + stack_at.device_object, device_object);
        machine.put_ptr(stack + stack_at.file_object, file);
        if (major == k::irp_mj_create) {
            const Address context = machine.allocate(offsets.io_security_context.size);
            const Address access = machine.allocate(offsets.access_state.size);
            machine.put32(access + offsets.access_state.previously_granted_access, granted);
            machine.put_ptr(context + offsets.io_security_context.access_state, access);
            machine.put32(context + offsets.io_security_context.desired_access, desired);
            machine.put_ptr(stack + stack_at.security_context, context);
        }
        if (major == k::irp_mj_device_control && (code & 3) != 0)
            machine.watch(buffer, length, [this](Address, std::uint32_t, bool) {
                machine.fault("the system buffer touched for a code that is not buffered");
            });
        else if (major == k::irp_mj_device_control && device_object == device(port_device))
            kernel.guard_request_buffer(buffer, length);
        const auto status = static_cast<std::uint32_t>(machine.call(dispatch_routine(major), {device_object, irp}));
        machine.watch(0, 0, nullptr);
        EXPECT_EQ(kernel.completions[irp], 1) << "completions of one IRP";
        EXPECT_EQ(machine.u32(irp + irp_at.io_status), status) << "completed with the status returned";
        EXPECT_FALSE(kernel.lock_held || kernel.bus_held) << "the locks are given back";
        return {status, machine.ptr(irp + irp_at.information), machine.bytes(buffer, length), buffer};
    }
    Reply control(const std::u16string& device_name, Address file, std::uint32_t code,
                  const std::vector<std::uint8_t>& input = {}, std::uint32_t output_length = 0) {
        return send(device(device_name), k::irp_mj_device_control, file, code, input, output_length);
    }
    teldo::diag::Snapshot snapshot() {
        const Reply reply = control(diag_device, diag_file, teldo::diag::IOCTL_DIAG_SNAPSHOT, {},
                                    sizeof(teldo::diag::Snapshot));
        EXPECT_EQ(reply.status, st::success) << "the snapshot";
        teldo::diag::Snapshot snapshot{};
        std::memcpy(&snapshot, reply.buffer.data(), std::min(sizeof snapshot, reply.buffer.size()));
        return snapshot;
    }

    const Arch arch;
    Machine machine;
    FakeKernel kernel;
    const k::Layout& offsets;
    PeImage sys;
    bool loaded = false;
    Address driver = 0, registry_path = 0, diag_file = 0;
    // What the next create asks for, and what its access state says was
    // granted; TELDO.dll opens for reading and writing.
    std::uint32_t desired = k::file_generic_read | k::file_generic_write, granted = desired;

private:
    Address unicode(const std::u16string& text) {
        const auto& at = offsets.unicode_string;
        const Address string = machine.allocate(at.size);
        machine.put16(string + at.length, static_cast<std::uint16_t>(2 * text.size()));
        machine.put16(string + at.maximum_length, static_cast<std::uint16_t>(2 * text.size() + 2));
        machine.put_ptr(string + at.buffer, machine.allocate_wide(text));
        return string;
    }
};

class EmulatedTeldoSys : public testing::TestWithParam<Arch>, protected LoadedDriver {
protected:
    EmulatedTeldoSys() : LoadedDriver(GetParam()) {}
};

class EmulatedTeldoSysRealPorts : public testing::TestWithParam<Arch>, protected LoadedDriver {
protected:
    EmulatedTeldoSysRealPorts() : LoadedDriver(GetParam(), real_ports(), default_windows) {}
};

std::string arch_name(const testing::TestParamInfo<Arch>& info) { return info.param == Arch::x64 ? "x64" : "x86"; }
INSTANTIATE_TEST_SUITE_P(BothDrivers, EmulatedTeldoSys, testing::Values(Arch::x86, Arch::x64), arch_name);
INSTANTIATE_TEST_SUITE_P(BothDrivers, EmulatedTeldoSysRealPorts, testing::Values(Arch::x86, Arch::x64), arch_name);

TEST_P(EmulatedTeldoSys, PublishesBothDevicesAndUnloadRemovesThem) {
    ASSERT_EQ(driver_entry(), st::success);
    const std::pair<std::u16string, std::u16string> published[] = {
        {port_device, u"\\DosDevices\\TELDO"}, {diag_device, u"\\DosDevices\\TELDODiag"}};
    for (const auto& [name, link] : published) {
        const Address object = device(name);
        ASSERT_NE(object, 0u) << "no device " << std::string(name.begin(), name.end());
        EXPECT_EQ(machine.u32(object + offsets.device_object.device_type), teldo::port_device_type);
        EXPECT_EQ(machine.u32(object + offsets.device_object.characteristics), k::file_device_secure_open);
        EXPECT_NE(machine.u32(object + offsets.device_object.flags) & k::do_buffered_io, 0u);
        EXPECT_EQ(kernel.links[link], name);
    }
    for (std::uint8_t major = 0; major <= k::irp_mj_maximum; ++major) {
        const bool served = major == k::irp_mj_create || major == k::irp_mj_close ||
                            major == k::irp_mj_cleanup || major == k::irp_mj_device_control;
        EXPECT_EQ(dispatch_routine(major) != 0, served) << "major function " << int(major);
    }
    unload();
    EXPECT_TRUE(kernel.live_devices().empty());
    EXPECT_TRUE(kernel.links.empty());
}

// Whichever call that makes a device fails, DriverEntry fails with its
// status and leaves nothing behind (no device, link, handle or Status key),
// as the kernel unloads a driver without calling its unload routine when
// DriverEntry fails. In real mode that includes setting a device's DACL.
TEST_P(EmulatedTeldoSys, AFailureHalfWayUndoesWhatWasCreated) {
    struct Case {
        bool real;
        const char* function;
        int call;
        std::uint32_t status;
    };
    const Case cases[] = {
        {false, "IoCreateDevice", 0, st::insufficient_resources},
        {false, "IoCreateSymbolicLink", 0, st::insufficient_resources},
        {false, "IoCreateDevice", 1, st::insufficient_resources},
        {false, "IoCreateSymbolicLink", 1, st::insufficient_resources},
        {false, "ZwSetSecurityObject", 1, st::access_denied},
        {true, "ObOpenObjectByPointer", 0, st::access_denied},
        {true, "ZwSetSecurityObject", 0, st::invalid_security_descr},
        {true, "ObOpenObjectByPointer", 1, st::insufficient_resources},
        {true, "ZwSetSecurityObject", 1, st::access_denied},
        {true, "IoCreateSymbolicLink", 1, st::insufficient_resources},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << (c.real ? "real ports: " : "simulated bus: ") << c.function
                                        << " call " << c.call << " fails");
        LoadedDriver fresh(arch, c.real ? real_ports() : simulated);
        fresh.kernel.fail(c.function, c.call, c.status);
        EXPECT_EQ(fresh.driver_entry(), c.status);
        EXPECT_TRUE(fresh.kernel.live_devices().empty());
        EXPECT_TRUE(fresh.kernel.links.empty());
        EXPECT_TRUE(fresh.kernel.created_keys.empty()) << "a Status key for a driver that did not start";
    }
}

// Only an administrator's value under the service key publishes the
// diagnostic device; the port device is there either way.
TEST_P(EmulatedTeldoSys, TheDiagnosticDeviceNeedsTheServiceKeysValue) {
    const std::pair<std::optional<Parameters>, bool> cases[] = {
        {std::nullopt, false}, {Parameters{{u"Diagnostics", dword_value(0)}}, false}, {simulated, true}};
    for (const auto& [parameters, published] : cases) {
        SCOPED_TRACE(testing::Message() << "Parameters\\Diagnostics " << (parameters ? "set" : "absent")
                                        << ", published: " << published);
        LoadedDriver fresh(arch, parameters);
        EXPECT_EQ(fresh.driver_entry(), st::success);
        EXPECT_NE(fresh.device(port_device), 0u);
        EXPECT_EQ(fresh.device(diag_device) != 0, published);
        EXPECT_EQ(fresh.kernel.links.count(u"\\DosDevices\\TELDODiag") != 0, published);
    }
}

// The device serves one holder: an open that asked for both reading and
// writing data, in generic or specific rights, whatever its access state
// says (a kernel open's is empty). Any lesser open, or one of a name below
// the device's, is refused and takes nothing; the holder's cleanup (its
// last handle closed) frees the device, before the file object's close.
TEST_P(EmulatedTeldoSys, ServesOneFullOpenAtATimeUntilItsCleanup) {
    ASSERT_EQ(driver_entry(), st::success);
    const Address port = device(port_device), diag = device(diag_device);
    const Address first = file_object(), second = file_object(), lesser = file_object();
    const Address generic = file_object(), kernel_open = file_object();
    const Address named = file_object(u"\\x"), named_diag = file_object(u"\\x");
    struct Step {
        const char* what;
        Address device;
        std::uint8_t major;
        Address file;
        std::uint32_t code;
        std::vector<std::uint8_t> input;
        std::uint32_t output_length, status, information;
        int byte;  // expected first buffer byte, or -1
        std::uint32_t desired = k::file_generic_read | k::file_generic_write, granted = desired;
    };
    const std::uint32_t rd = teldo::IOCTL_PORT_READ, wr = teldo::IOCTL_PORT_WRITE;
    const std::uint8_t create = k::irp_mj_create, control = k::irp_mj_device_control;
    const std::uint32_t denied = st::access_denied;
    const Step steps[] = {
        {"attributes only, all granted", port, create, lesser, 0, {}, 0, denied, 0, -1, k::file_read_attributes,
         k::file_all_access},
        {"reading only", port, create, lesser, 0, {}, 0, denied, 0, -1, k::file_generic_read},
        {"GENERIC_READ only", port, create, lesser, 0, {}, 0, denied, 0, -1, k::generic_read},
        {"writing only", port, create, lesser, 0, {}, 0, denied, 0, -1, k::file_generic_write},
        {"GENERIC_WRITE only", port, create, lesser, 0, {}, 0, denied, 0, -1, k::generic_write},
        {"synchronize only", port, create, lesser, 0, {}, 0, denied, 0, -1, k::synchronize},
        {"diagnostics, reading only", diag, create, lesser, 0, {}, 0, denied, 0, -1, k::file_generic_read},
        {"a lesser open may not read", port, control, lesser, rd, {0xF8, 0x03}, 1, denied, 0, -1},
        {"\\\\.\\TELDO\\x", port, create, named, 0, {}, 0, st::object_name_not_found, 0, -1},
        {"\\\\.\\TELDODiag\\x", diag, create, named_diag, 0, {}, 0, st::object_name_not_found, 0, -1},
        {"first opens", port, create, first, 0, {}, 0, st::success, 0, -1},
        {"second is refused", port, create, second, 0, {}, 0, st::sharing_violation, 0, -1},
        {"write", port, control, first, wr, {0xF8, 0x03, 0x5A, 0}, 0, st::success, 0, -1},
        {"read back", port, control, first, rd, {0xF8, 0x03}, 1, st::success, 1, 0x5A},
        {"never written", port, control, first, rd, {0xF9, 0x03}, 1, st::success, 1, 0xFF},
        {"wrong length", port, control, first, rd, {0xF8, 0x03, 0}, 1, st::info_length_mismatch, 0, -1},
        {"not the holder", port, control, second, rd, {0xF8, 0x03}, 1, denied, 0, -1},
        {"second, refused, cleans up (Wine gave it a handle)", port, k::irp_mj_cleanup, second, 0, {}, 0,
         st::success, 0, -1},
        {"first still reads", port, control, first, rd, {0xF8, 0x03}, 1, st::success, 1, 0x5A},
        {"first cleans up", port, k::irp_mj_cleanup, first, 0, {}, 0, st::success, 0, -1},
        {"first may no longer read", port, control, first, rd, {0xF8, 0x03}, 1, denied, 0, -1},
        {"second opens before first's close", port, create, second, 0, {}, 0, st::success, 0, -1},
        {"first closes", port, k::irp_mj_close, first, 0, {}, 0, st::success, 0, -1},
        {"a close of one never held", port, k::irp_mj_close, lesser, 0, {}, 0, st::success, 0, -1},
        {"second still reads", port, control, second, rd, {0xF8, 0x03}, 1, st::success, 1, 0x5A},
        {"second cleans up", port, k::irp_mj_cleanup, second, 0, {}, 0, st::success, 0, -1},
        {"GENERIC_READ | GENERIC_WRITE, not mapped", port, create, generic, 0, {}, 0, st::success, 0, -1,
         k::generic_read | k::generic_write},
        {"that open cleans up", port, k::irp_mj_cleanup, generic, 0, {}, 0, st::success, 0, -1},
        {"GENERIC_ALL", port, create, generic, 0, {}, 0, st::success, 0, -1, k::generic_all},
        {"that open cleans up too", port, k::irp_mj_cleanup, generic, 0, {}, 0, st::success, 0, -1},
        {"a kernel open of read and write data, nothing granted", port, create, kernel_open, 0, {}, 0, st::success,
         0, -1, k::file_read_data | k::file_write_data, 0},
        {"the kernel's open reads", port, control, kernel_open, rd, {0xF8, 0x03}, 1, st::success, 1, 0x5A},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        desired = step.desired;
        granted = step.granted;
        const Reply reply = send(step.device, step.major, step.file, step.code, step.input, step.output_length);
        EXPECT_EQ(reply.status, step.status);
        EXPECT_EQ(reply.information, step.information);
        if (step.byte >= 0) {
            EXPECT_EQ(reply.buffer.at(0), step.byte);
        }
    }
    EXPECT_TRUE(kernel.cycles.empty()) << "the simulated bus reached a port";
}

// Windows 0300-031F and 0378: a request for a port inside one is exactly one
// port cycle on that port (on x86 through the HAL, the Pentium refusing any
// port instruction of the driver's own); any other port, even next to a
// window, is refused before any cycle. The record shows each request with
// the status it got.
TEST_P(EmulatedTeldoSysRealPorts, ReachesOnlyThePortsOfItsWindows) {
    ASSERT_EQ(driver_entry(), st::success);
    const Address holder = file_object();
    ASSERT_EQ(send(device(port_device), k::irp_mj_create, holder).status, st::success);
    struct Access {
        std::uint16_t port;
        bool write;
        std::uint8_t value;  // written, or given back by the bus
        bool inside;
    };
    const Access accesses[] = {
        {0x0300, false, 0x3C, true},  {0x031F, true, 0xA5, true},   {0x0378, false, 0x81, true},
        {0x0378, true, 0x00, true},   {0x0310, true, 0x7E, true},   {0x02FF, false, 0x11, false},
        {0x0320, true, 0x22, false},  {0x0377, true, 0x33, false},  {0x0379, false, 0x44, false},
        {0x0060, false, 0x55, false}, {0x0092, true, 0x01, false},  {0x0CF8, true, 0x80, false},
        {0x0CFC, false, 0x66, false},
    };
    for (const auto& access : accesses) {
        SCOPED_TRACE(testing::Message() << (access.write ? "write " : "read ") << std::hex << access.port);
        kernel.cycles.clear();
        kernel.port_byte = access.value;
        const std::uint8_t low = access.port & 0xFF, high = access.port >> 8;
        const Reply reply = access.write
                                ? control(port_device, holder, teldo::IOCTL_PORT_WRITE, {low, high, access.value, 0})
                                : control(port_device, holder, teldo::IOCTL_PORT_READ, {low, high}, 1);
        EXPECT_EQ(reply.status, access.inside ? st::success : st::access_denied);
        std::vector<FakeKernel::PortCycle> cycles;
        if (access.inside) cycles.push_back({access.port, access.value, access.write});
        EXPECT_EQ(kernel.cycles, cycles);
        EXPECT_EQ(reply.information, access.inside && !access.write ? 1u : 0u);
        if (access.inside && !access.write) {
            EXPECT_EQ(reply.buffer.at(0), access.value);
        }
    }
    const teldo::diag::Snapshot record = snapshot();
    ASSERT_EQ(record.recorded, std::size(accesses));
    for (std::size_t i = 0; i < std::size(accesses); ++i) {
        const auto& entry = record.recent[i];
        SCOPED_TRACE(testing::Message() << "recorded request " << i);
        EXPECT_EQ(entry.code, accesses[i].write ? teldo::IOCTL_PORT_WRITE : teldo::IOCTL_PORT_READ);
        EXPECT_EQ(entry.input[0] | entry.input[1] << 8, accesses[i].port);
        EXPECT_EQ(static_cast<std::uint32_t>(entry.status), accesses[i].inside ? st::success : st::access_denied);
        EXPECT_EQ(entry.from_owner, 1u);
    }
}

// A block request's input: its header, then (for a write) the elements.
std::vector<std::uint8_t> block_input(const teldo::Block& block, const std::vector<std::uint8_t>& elements = {}) {
    const teldo::BlockHeader header = teldo::make_block_header(block);
    std::vector<std::uint8_t> input = bytes_of(header);
    input.insert(input.end(), elements.begin(), elements.end());
    return input;
}

// Words, dwords and FIFOs with windows 0300-031F and 0378: each element is
// exactly one cycle of its width at its port, and a block that touches any
// port outside the windows, or breaks a rule of the header, is refused
// before its first cycle. A FIFO's elements go straight between the port and
// the system buffer, one after the other: on x86 in one HAL buffer call, on
// x64 as one rep ins or rep outs (the reply starts the buffer; written
// elements follow the header).
TEST_P(EmulatedTeldoSysRealPorts, BlocksReachTheirPortsAsOneCycleAnElement) {
    ASSERT_EQ(driver_entry(), st::success);
    const Address holder = file_object();
    ASSERT_EQ(send(device(port_device), k::irp_mj_create, holder).status, st::success);
    using Cycle = FakeKernel::PortCycle;
    struct Case {
        const char* what;
        teldo::Block block;
        bool write;
        std::vector<std::uint32_t> elements;  // written, or given back by the bus
        std::uint32_t status;
        std::vector<Cycle> cycles;
        bool fifo;  // the cycles move their elements through the system buffer
    };
    const std::uint32_t denied = st::access_denied, invalid = st::invalid_parameter;
    // Every width, consecutive and FIFO, read and written: each is a port
    // access of its own in the drivers' code.
    const Case cases[] = {
        {"words", {0x300, 2, false, 3}, false, {0xA1B2, 0xC3D4, 0xE5F6}, st::success,
         {{0x300, 0xA1B2, false, 2}, {0x302, 0xC3D4, false, 2}, {0x304, 0xE5F6, false, 2}}, false},
        {"words written", {0x306, 2, false, 2}, true, {0x1357, 0x9BDF}, st::success,
         {{0x306, 0x1357, true, 2}, {0x308, 0x9BDF, true, 2}}, false},
        {"dwords", {0x310, 4, false, 2}, false, {0x89ABCDEF, 0x76543210}, st::success,
         {{0x310, 0x89ABCDEF, false, 4}, {0x314, 0x76543210, false, 4}}, false},
        {"dwords written up to the window's end", {0x318, 4, false, 2}, true, {0x11223344, 0x55667788}, st::success,
         {{0x318, 0x11223344, true, 4}, {0x31C, 0x55667788, true, 4}}, false},
        {"bytes", {0x31E, 1, false, 2}, false, {0x5A, 0xA5}, st::success,
         {{0x31E, 0x5A, false, 1}, {0x31F, 0xA5, false, 1}}, false},
        {"bytes written", {0x301, 1, false, 2}, true, {0x3C, 0xC3}, st::success,
         {{0x301, 0x3C, true, 1}, {0x302, 0xC3, true, 1}}, false},
        {"a FIFO of words", {0x310, 2, true, 3}, false, {0x0102, 0x0304, 0x0506}, st::success,
         {{0x310, 0x0102, false, 2}, {0x310, 0x0304, false, 2}, {0x310, 0x0506, false, 2}}, true},
        {"a FIFO of words written", {0x312, 2, true, 2}, true, {0x2468, 0x8642}, st::success,
         {{0x312, 0x2468, true, 2}, {0x312, 0x8642, true, 2}}, true},
        {"a FIFO of bytes", {0x378, 1, true, 2}, false, {0x12, 0x34}, st::success,
         {{0x378, 0x12, false, 1}, {0x378, 0x34, false, 1}}, true},
        {"a FIFO of bytes written", {0x378, 1, true, 2}, true, {0x80, 0x7F}, st::success,
         {{0x378, 0x80, true, 1}, {0x378, 0x7F, true, 1}}, true},
        {"a FIFO of dwords", {0x300, 4, true, 2}, false, {0xDEADBEEF, 0x01234567}, st::success,
         {{0x300, 0xDEADBEEF, false, 4}, {0x300, 0x01234567, false, 4}}, true},
        {"a FIFO of dwords written", {0x304, 4, true, 2}, true, {0xCAFEF00D, 0x0BADBEEF}, st::success,
         {{0x304, 0xCAFEF00D, true, 4}, {0x304, 0x0BADBEEF, true, 4}}, true},
        {"one port past the window", {0x31C, 4, false, 2}, false, {}, denied, {}, false},
        {"a word over the one-port window", {0x378, 2, true, 1}, true, {0x1234}, denied, {}, false},
        {"starting below the window", {0x2FE, 2, false, 2}, false, {}, denied, {}, false},
        {"an unaligned word", {0x301, 2, false, 1}, false, {}, invalid, {}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        kernel.cycles.clear();
        kernel.buffer_calls.clear();
        std::vector<std::uint8_t> data;
        for (std::uint32_t element : c.elements)
            for (std::uint32_t byte = 0; byte < c.block.width; ++byte) data.push_back(element >> 8 * byte & 0xFF);
        kernel.reads_give = c.write ? std::vector<std::uint32_t>{} : c.elements;
        const Reply reply = c.write ? control(port_device, holder, teldo::IOCTL_PORT_WRITE_BLOCK, block_input(c.block, data))
                                    : control(port_device, holder, teldo::IOCTL_PORT_READ_BLOCK, block_input(c.block),
                                              c.block.bytes());
        EXPECT_EQ(reply.status, c.status);
        std::vector<Cycle> cycles = c.cycles;
        const Address elements_at = reply.system_buffer + (c.write ? sizeof(teldo::BlockHeader) : 0);
        for (std::size_t i = 0; c.fifo && i < cycles.size(); ++i) cycles[i].memory = elements_at + i * c.block.width;
        EXPECT_EQ(kernel.cycles, cycles);
        const bool read_back = c.status == st::success && !c.write;
        EXPECT_EQ(reply.information, read_back ? c.block.bytes() : 0u);
        if (read_back) {
            EXPECT_EQ(std::vector<std::uint8_t>(reply.buffer.begin(), reply.buffer.begin() + data.size()), data);
        }
        if (arch == Arch::x64) continue;
        ASSERT_EQ(kernel.buffer_calls.size(), c.fifo ? 1u : 0u);
        if (c.fifo) {
            EXPECT_EQ(kernel.buffer_calls[0].port, c.block.port);
            EXPECT_EQ(kernel.buffer_calls[0].width, c.block.width);
            EXPECT_EQ(kernel.buffer_calls[0].count, c.block.count);
            EXPECT_EQ(kernel.buffer_calls[0].write, c.write);
        }
    }
}

// A program's request: its header, then each operation.
using Operation = teldo::program::Operation;
std::vector<std::uint8_t> program_input(const std::vector<Operation>& operations) {
    std::vector<std::uint8_t> input(teldo::program::input_length(operations.size()));
    teldo::program::store_header(input.data(), operations.size());
    for (std::size_t i = 0; i < operations.size(); ++i)
        teldo::program::store_operation(input.data() + teldo::program::input_length(i), operations[i]);
    return input;
}

// Programs with windows 0300-031F and 0378, run whole in one request: the
// cycles are the program's, in its order, each at its width, with waits
// where it has them (busy waits on the performance counter, never under the
// spin lock: the fake kernel faults it); a modify keeps the bits outside its mask; a poll
// reads until its port is ready, or stops the program at its limit, which
// still succeeds with `stopped` and `done` at the poll. A program with one
// bad operation anywhere, or one port outside the windows, is refused before
// any cycle or wait. Each program is one request of the record.
TEST_P(EmulatedTeldoSysRealPorts, ProgramsRunWholeInOrderOrNotAtAll) {
    ASSERT_EQ(driver_entry(), st::success);
    const Address holder = file_object();
    ASSERT_EQ(send(device(port_device), k::irp_mj_create, holder).status, st::success);
    namespace p = teldo::program;
    using Cycle = FakeKernel::PortCycle;
    struct Case {
        const char* what;
        std::vector<Operation> operations;
        std::vector<std::uint32_t> reads_give;
        std::uint32_t status;
        std::vector<Cycle> cycles;
        std::vector<std::uint32_t> results;
        std::uint16_t done, stopped;
        std::map<std::size_t, std::uint32_t> waits;  // cycle -> the microseconds waited before it
    };
    std::vector<Operation> bad_at_255(255, Operation{p::op_write, 1, 0x300, 0x55, 0, 0});
    bad_at_255.push_back({p::op_read, 2, 0x301, 0, 0, 0});
    std::vector<Operation> outside_late(200, Operation{p::op_read, 4, 0x31C, 0, 0, 0});
    outside_late.push_back({p::op_write, 2, 0x378, 0x1234, 0, 0});  // 0379 is outside
    const std::uint32_t none = p::not_stopped, invalid = st::invalid_parameter, denied = st::access_denied;
    const Case cases[] = {
        {"a handshake at every width",
         {{p::op_write, 1, 0x300, 0x41, 0, 0},
          {p::op_wait, 0, 0, 120, 0, 0},
          {p::op_poll, 1, 0x301, 0xF0, 0xA0, 100},
          {p::op_read, 2, 0x302, 0, 0, 0},
          {p::op_read, 4, 0x304, 0, 0, 0},
          {p::op_write, 2, 0x306, 0xBEEF, 0, 0},
          {p::op_write, 4, 0x308, 0xCAFEF00D, 0, 0},
          {p::op_modify, 1, 0x378, 0x0F, 0xF3, 0},
          {p::op_modify, 2, 0x30A, 0x00F0, 0x0050, 0},
          {p::op_modify, 4, 0x30C, 0xFF000000, 0x12000000, 0}},
         {0x00, 0x7F, 0xA5, 0xA1B2, 0xC3D4E5F6, 0xA4, 0x1234, 0xAABBCCDD},
         st::success,
         {{0x300, 0x41, true, 1}, {0x301, 0x00, false, 1}, {0x301, 0x7F, false, 1}, {0x301, 0xA5, false, 1},
          {0x302, 0xA1B2, false, 2}, {0x304, 0xC3D4E5F6, false, 4}, {0x306, 0xBEEF, true, 2},
          {0x308, 0xCAFEF00D, true, 4}, {0x378, 0xA4, false, 1}, {0x378, 0xA3, true, 1},
          {0x30A, 0x1234, false, 2}, {0x30A, 0x1254, true, 2}, {0x30C, 0xAABBCCDD, false, 4},
          {0x30C, 0x12BBCCDD, true, 4}},
         {0, 0, 0xA5, 0xA1B2, 0xC3D4E5F6, 0, 0, 0xA4, 0x1234, 0xAABBCCDD},
         10, none, {{1, 120}}},
        {"a poll whose port is never ready stops the program",
         {{p::op_write, 1, 0x300, 0x01, 0, 0}, {p::op_poll, 2, 0x31E, 0x8000, 0x8000, 20}, {p::op_read, 1, 0x378, 0, 0, 0}},
         {},
         st::success, {}, {0, 0x7F7F, 0}, 1, 1, {}},
        {"one bad operation at the end", bad_at_255, {}, invalid, {}, {}, 0, none, {}},
        {"a port outside the windows late in the program", outside_late, {}, denied, {}, {}, 0, none, {}},
        {"a wait too long for a program", {{p::op_write, 1, 0x300, 1, 0, 0}, {p::op_wait, 0, 0, 1001, 0, 0}},
         {}, invalid, {}, {}, 0, none, {}},
    };
    std::uint32_t programs = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        kernel.cycles.clear();
        kernel.cycle_times.clear();
        kernel.reads_give = c.reads_give;
        kernel.port_byte = 0x7F;
        const std::uint64_t clock_before = kernel.clock_ns;
        const std::uint32_t count = c.operations.size();
        const Reply reply = control(port_device, holder, teldo::IOCTL_PORT_RUN, program_input(c.operations),
                                    p::output_length(count));
        ++programs;
        EXPECT_EQ(reply.status, c.status);
        if (c.status != st::success) {
            EXPECT_TRUE(kernel.cycles.empty()) << "a refused program reached the bus";
            EXPECT_EQ(kernel.clock_ns, clock_before) << "a refused program waited";
            EXPECT_EQ(reply.information, 0u);
            continue;
        }
        ASSERT_EQ(reply.information, p::output_length(count));
        const p::ReplyHeader header = p::load_reply_header(reply.buffer.data());
        EXPECT_EQ(header.done, c.done);
        EXPECT_EQ(header.stopped, c.stopped);
        std::vector<std::uint32_t> results;
        for (std::uint32_t i = 0; i < count; ++i)
            results.push_back(teldo::load_element(reply.buffer.data() + p::output_length(i), 4));
        EXPECT_EQ(results, c.results);
        // The time from before the first operation to after the last: all
        // of the fake kernel's time meanwhile, less the counter's
        // uncertainty of a tick and the rounding down.
        const auto spent_us = static_cast<std::uint32_t>((kernel.clock_ns - clock_before) / 1000);
        EXPECT_LE(header.elapsed_us, spent_us);
        EXPECT_GE(header.elapsed_us + 2, spent_us);
        if (c.stopped == none) {
            EXPECT_EQ(kernel.cycles, c.cycles);
            // Waits where the program has them, and only there: between two
            // cycles, a few counter readings at most (a poll's pause).
            for (std::size_t i = 1; i < kernel.cycle_times.size(); ++i) {
                const auto gap_us = static_cast<std::uint32_t>((kernel.cycle_times[i] - kernel.cycle_times[i - 1]) / 1000);
                const std::uint32_t waited = c.waits.count(i) ? c.waits.at(i) : 0;
                EXPECT_GE(gap_us, waited) << "before cycle " << i;
                EXPECT_LE(gap_us, waited + 6) << "before cycle " << i;
            }
            continue;
        }
        // A poll that times out reads its port until its limit is spent, by
        // no more than a read, a pause and the counter's readings (each a
        // microsecond here), and nothing after it runs.
        ASSERT_GE(kernel.cycles.size(), 3u);
        EXPECT_EQ(kernel.cycles.front(), (Cycle{0x300, 0x01, true, 1}));
        for (std::size_t i = 1; i < kernel.cycles.size(); ++i)
            EXPECT_EQ(kernel.cycles[i], (Cycle{0x31E, 0x7F7F, false, 2})) << "cycle " << i;
        EXPECT_GE(header.elapsed_us, 20u);
        EXPECT_LE(header.elapsed_us, 26u);
    }
    EXPECT_EQ(snapshot().requests, programs);
}

// Waits and poll limits are minimums on any PC's counter: the PIT's rate,
// the ACPI timer's and the 10 MHz of Windows 10, each read by a processor
// faster than the counter steps (a reading takes 40 ns, or 90 ns in the
// long row, where 10,000 us of polling would otherwise be slow), at several
// phases of the first reading, from just below 2^32 ticks, with a counter
// that steps back during a wait, and with cycles and waits before each
// timed operation. Every wait lasts at least its time
// and at most two ticks and a few readings more; a poll that times out
// gives up no sooner than its limit and within a read, a pause and a few
// ticks after it; the reply's elapsed time never claims more than passed.
TEST_P(EmulatedTeldoSysRealPorts, WaitsAndPollLimitsLastAtLeastTheirTimeOnAnyCounter) {
    namespace p = teldo::program;
    struct Case {
        std::uint64_t frequency;
        std::vector<double> phases;  // where in its tick the program's first reading falls
        std::uint32_t first_wait, second_wait, poll;
        std::uint64_t reading_ns = 40;
        std::uint64_t steps_back = 0;  // ticks, half-way through the first wait
    };
    const std::vector<double> phases{0, 0.25, 0.5, 0.999};
    const Case cases[] = {
        {1193182, phases, 3, 10, 20},
        {3579545, phases, 1, 10, 20},
        {10000000, phases, 1, 10, 20},
        {10000000, {0.5}, 1000, 3, 10000, 90},
        {3579545, {0.5}, 10, 1, 20, 40, 100000},
    };
    for (const auto& c : cases) {
        for (const double phase : c.phases) {
            SCOPED_TRACE(testing::Message() << c.frequency << " Hz, phase " << phase << ", waits " << c.first_wait
                                            << " and " << c.second_wait << " us, poll " << c.poll << " us");
            LoadedDriver fresh(arch, real_ports(), default_windows);
            FakeKernel& kernel = fresh.kernel;
            kernel.counter_frequency = c.frequency;
            kernel.counter_start = (std::uint64_t{1} << 32) - 7;
            const double tick_ns = 1e9 / c.frequency;
            kernel.reading_ns = c.reading_ns;
            ASSERT_EQ(fresh.driver_entry(), st::success);
            const Address holder = fresh.file_object();
            ASSERT_EQ(fresh.send(fresh.device(port_device), k::irp_mj_create, holder).status, st::success);
            const std::vector<Operation> program{
                {p::op_write, 1, 0x300, 1, 0, 0}, {p::op_wait, 0, 0, c.first_wait, 0, 0},
                {p::op_write, 1, 0x300, 2, 0, 0}, {p::op_wait, 0, 0, c.second_wait, 0, 0},
                {p::op_write, 1, 0x300, 3, 0, 0}, {p::op_poll, 2, 0x31E, 0x8000, 0x8000, c.poll}};
            kernel.port_byte = 0x7F;
            const std::uint64_t before = kernel.clock_ns;
            const double first_reading_in_tick = std::fmod(double(before + c.reading_ns), tick_ns);
            kernel.counter_phase_ns =
                static_cast<std::uint64_t>(std::fmod(phase * tick_ns - first_reading_in_tick + tick_ns, tick_ns));
            // A program's first reading, its first cycle, half its first wait.
            kernel.counter_back = c.steps_back;
            kernel.counter_back_at_ns = before + c.reading_ns + 1000 + c.first_wait * 500;
            const Reply reply = fresh.control(port_device, holder, teldo::IOCTL_PORT_RUN, program_input(program),
                                              p::output_length(program.size()));
            ASSERT_EQ(reply.status, st::success);
            const p::ReplyHeader header = p::load_reply_header(reply.buffer.data());
            EXPECT_EQ(header.stopped, 5);
            ASSERT_GE(kernel.cycle_times.size(), 4u);
            // Between one cycle's end and the next one's start (a cycle
            // takes a microsecond).
            auto gap_ns = [&](std::size_t cycle) { return kernel.cycle_times[cycle] - 1000 - kernel.cycle_times[cycle - 1]; };
            const double slack_ns = 2 * tick_ns + 3 * c.reading_ns;
            EXPECT_GE(gap_ns(1), c.first_wait * 1000u);
            EXPECT_LE(gap_ns(1), c.first_wait * 1000 + slack_ns);
            EXPECT_GE(gap_ns(2), c.second_wait * 1000u);
            EXPECT_LE(gap_ns(2), c.second_wait * 1000 + slack_ns);
            const std::uint64_t poll_ns = kernel.clock_ns - kernel.cycle_times[2];
            EXPECT_GE(poll_ns, c.poll * 1000u);
            EXPECT_LE(poll_ns, c.poll * 1000 + 2000 + 6 * tick_ns + 60 * c.reading_ns);
            const std::uint64_t request_ns = kernel.clock_ns - before;
            EXPECT_LE(header.elapsed_us * 1000ull, request_ns);
            if (c.steps_back == 0) {
                EXPECT_GE(header.elapsed_us * 1000 + 1000 + tick_ns, request_ns);
            }
        }
    }
}

// A request that will be refused never waits for the bus, which another
// request may hold for as long as a program or a 64 KiB block takes (the
// fake kernel faults such a wait here): one that breaks a rule, one from a
// handle that is not the holder, one whose code is not buffered (its system
// buffer is not touched either), and any from a kernel caller above
// APC_LEVEL, where a wait with no timeout is not allowed.
TEST_P(EmulatedTeldoSysRealPorts, RefusedRequestsNeverWaitForTheBus) {
    namespace p = teldo::program;
    ASSERT_EQ(driver_entry(), st::success);
    const Address holder = file_object(), other = file_object();
    ASSERT_EQ(send(device(port_device), k::irp_mj_create, holder).status, st::success);
    struct Case {
        const char* what;
        Address file;
        std::uint32_t code;
        std::vector<std::uint8_t> input;
        std::uint32_t output_length;
        std::uint8_t irql;
        std::uint32_t status;
    };
    const std::uint32_t rd = teldo::IOCTL_PORT_READ, apc = k::apc_level;
    const Case cases[] = {
        {"a byte read of the wrong length", holder, rd, {0x00, 0x03, 0}, 1, apc, st::info_length_mismatch},
        {"an unaligned word block", holder, teldo::IOCTL_PORT_READ_BLOCK, block_input({0x301, 2, false, 1}), 2, apc,
         st::invalid_parameter},
        {"a program with a wait too long", holder, teldo::IOCTL_PORT_RUN,
         program_input({{p::op_write, 1, 0x300, 1, 0, 0}, {p::op_wait, 0, 0, 1001, 0, 0}}), p::output_length(2), apc,
         st::invalid_parameter},
        {"a handle that does not hold the device", other, rd, {0x00, 0x03}, 1, apc, st::access_denied},
        {"a write with a code of direct transfer", holder, teldo::IOCTL_PORT_WRITE | 1, {0x00, 0x03, 0x5A, 0}, 0, apc,
         st::invalid_device_request},
        {"a read with a code of neither transfer", holder, rd | 3, {0x00, 0x03}, 1, apc, st::invalid_device_request},
        {"a good read from DISPATCH_LEVEL", holder, rd, {0x00, 0x03}, 1, k::dispatch_level,
         st::invalid_device_state},
    };
    kernel.bus_busy = true;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        kernel.irql = c.irql;
        const Reply reply = control(port_device, c.file, c.code, c.input, c.output_length);
        EXPECT_EQ(reply.status, c.status);
        EXPECT_EQ(reply.information, 0u);
    }
    kernel.irql = k::apc_level;
    kernel.bus_busy = false;
    EXPECT_TRUE(kernel.cycles.empty());
    EXPECT_EQ(control(port_device, holder, rd, {0x00, 0x03}, 1).status, st::success);
}

// The largest block, 64 KiB, holds only the bus: no port cycle and no byte
// of its buffer moves while the spin lock is held (the fake kernel faults
// either), on real ports and on the simulated bus, and the record shows it
// served.
TEST_P(EmulatedTeldoSys, A64KiBBlockRunsOutsideTheSpinLock) {
    struct Case {
        const char* what;
        bool real;
        teldo::Block block;
        bool write;
    };
    const Case cases[] = {
        {"a FIFO read of bytes, real ports", true, {0x378, 1, true, 0x10000}, false},
        {"a FIFO written in dwords, real ports", true, {0x300, 4, true, 0x4000}, true},
        {"dwords read, simulated", false, {0x0000, 4, false, 0x4000}, false},
        {"bytes written, simulated", false, {0x0000, 1, false, 0x10000}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        LoadedDriver fresh(arch, c.real ? real_ports() : simulated, default_windows);
        ASSERT_EQ(fresh.driver_entry(), st::success);
        const Address holder = fresh.file_object();
        ASSERT_EQ(fresh.send(fresh.device(port_device), k::irp_mj_create, holder).status, st::success);
        const std::vector<std::uint8_t> data(c.write ? 0x10000 : 0, 0x5A);
        const Reply reply = fresh.control(port_device, holder, c.write ? teldo::IOCTL_PORT_WRITE_BLOCK : teldo::IOCTL_PORT_READ_BLOCK,
                                          block_input(c.block, data), c.write ? 0 : 0x10000);
        EXPECT_EQ(reply.status, st::success);
        EXPECT_EQ(fresh.kernel.cycles.size(), c.real ? c.block.count : 0u);
        const teldo::diag::Snapshot record = fresh.snapshot();
        ASSERT_EQ(record.recorded, 1u);
        EXPECT_EQ(static_cast<std::uint32_t>(record.recent[0].status), st::success);
    }
}

// The simulated bus: a word or dword at port p is the bytes from p up, the
// lowest first; a FIFO reads its same ports each time.
TEST_P(EmulatedTeldoSys, TheSimulatedBusKeepsWiderElementsAsLittleEndianBytes) {
    ASSERT_EQ(driver_entry(), st::success);
    const Address holder = file_object();
    ASSERT_EQ(send(device(port_device), k::irp_mj_create, holder).status, st::success);
    const Reply written = control(port_device, holder, teldo::IOCTL_PORT_WRITE_BLOCK,
                                  block_input({0x1000, 4, false, 2}, {0x44, 0x33, 0x22, 0x11, 0x88, 0x77, 0x66, 0x55}));
    ASSERT_EQ(written.status, st::success);
    struct Case {
        teldo::Block block;
        std::vector<std::uint8_t> bytes;
    };
    const Case cases[] = {
        {{0x1002, 2, false, 2}, {0x22, 0x11, 0x88, 0x77}},
        {{0x1004, 2, true, 3}, {0x88, 0x77, 0x88, 0x77, 0x88, 0x77}},
        {{0x1007, 1, false, 2}, {0x55, 0xFF}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.block.port);
        const Reply reply = control(port_device, holder, teldo::IOCTL_PORT_READ_BLOCK, block_input(c.block), c.block.bytes());
        EXPECT_EQ(reply.status, st::success);
        ASSERT_EQ(reply.information, c.bytes.size());
        EXPECT_EQ(std::vector<std::uint8_t>(reply.buffer.begin(), reply.buffer.begin() + reply.information), c.bytes);
    }
    EXPECT_EQ(control(port_device, holder, teldo::IOCTL_PORT_READ, {0x03, 0x10}, 1).buffer.at(0), 0x11);
    EXPECT_TRUE(kernel.cycles.empty()) << "the simulated bus reached a port";
}

// A Ports value that cannot be used stops the start with the reason, before
// anything is made or any port is touched: the driver never falls back to
// the simulated bus while an administrator believes it drives the card.
TEST_P(EmulatedTeldoSys, AnUnusablePortsValueStopsTheStartAndLeavesNothing) {
    RegistryValue odd = port_list({u"0378"});
    odd.data.push_back(0);
    const std::uint32_t invalid = st::invalid_parameter, reserved = st::conflicting_addresses;
    struct Case {
        const char* what;
        RegistryValue ports;
        std::uint32_t status;
        std::uint32_t query = st::success;  // what reading Ports answered
    };
    const Case cases[] = {
        {"a REG_SZ", wide_value(k::reg_sz, u"0378\0"s), invalid},
        {"an odd byte length", odd, invalid},
        {"no NUL at its end", wide_value(k::reg_multi_sz, u"0378"s), invalid},
        {"an empty list", wide_value(k::reg_multi_sz, u"\0"s), invalid},
        {"\"-\"", port_list({u"-"}), invalid},
        {"\"10000\"", port_list({u"10000"}), invalid},
        {"\"FFFF-0000\"", port_list({u"FFFF-0000"}), invalid},
        {"17 windows", port_list(std::vector<std::u16string>(17, u"0300-031F")), invalid},
        {"1,000 windows, more than the driver's buffer", port_list(std::vector<std::u16string>(1000, u"0300")),
         invalid, st::buffer_overflow},
        {"\"0000-00FF\"", port_list({u"0000-00FF"}), reserved},
        {"\"0378\" and \"00F0-0100\"", port_list({u"0378", u"00F0-0100"}), reserved},
        {"\"0CFC\"", port_list({u"0CFC"}), reserved},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        LoadedDriver fresh(arch, real_ports(c.ports));
        EXPECT_EQ(fresh.driver_entry(), c.status);
        const auto& queries = fresh.kernel.queries;
        const auto ports = std::find_if(queries.begin(), queries.end(), [](auto& q) { return q.value == u"Ports"; });
        ASSERT_NE(ports, queries.end());
        EXPECT_EQ(ports->status, c.query);
        EXPECT_TRUE(fresh.kernel.live_devices().empty());
        EXPECT_TRUE(fresh.kernel.links.empty());
        EXPECT_TRUE(fresh.kernel.created_keys.empty());
        EXPECT_TRUE(fresh.kernel.objects_opened.empty());
        EXPECT_TRUE(fresh.kernel.cycles.empty());
    }
}

// In either mode every device the driver publishes gets, before its link
// exists, a protected DACL that lets only SYSTEM and Administrators open it
// with full access, and Users only when UsersMayOpen is a REG_DWORD of
// exactly 1, only to read and write (no DELETE, WRITE_DAC or WRITE_OWNER),
// and never the diagnostic device.
TEST_P(EmulatedTeldoSys, OnlyAdministratorsMayOpenItsDevices) {
    const Grants admins{{"S-1-5-18", k::file_all_access}, {"S-1-5-32-544", k::file_all_access}};
    Grants and_users = admins;
    and_users.push_back({"S-1-5-32-545", 0x0012019F});
    auto users_may_open = [](RegistryValue value) { return real_ports(port_list({u"0378"}), false, value); };
    struct Case {
        const char* what;
        Parameters parameters;
        std::vector<std::pair<std::u16string, Grants>> devices;
    };
    const Case cases[] = {
        {"simulated bus, both devices", simulated, {{port_device, admins}, {diag_device, admins}}},
        {"simulated bus, UsersMayOpen 1", Parameters{{u"UsersMayOpen", dword_value(1)}}, {{port_device, and_users}}},
        {"real ports, both devices", real_ports(), {{port_device, admins}, {diag_device, admins}}},
        {"UsersMayOpen 1", users_may_open(dword_value(1)), {{port_device, and_users}}},
        {"UsersMayOpen 1, diagnostics", real_ports(port_list({u"0378"}), true, dword_value(1)),
         {{port_device, and_users}, {diag_device, admins}}},
        {"UsersMayOpen 2", users_may_open(dword_value(2)), {{port_device, admins}}},
        {"UsersMayOpen 1, not a DWORD", users_may_open({k::reg_binary, {1, 0, 0, 0}}), {{port_device, admins}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        LoadedDriver fresh(arch, c.parameters);
        ASSERT_EQ(fresh.driver_entry(), st::success);
        EXPECT_EQ(fresh.kernel.objects_opened.size(), c.devices.size());
        ASSERT_EQ(fresh.kernel.security.size(), c.devices.size());
        for (std::size_t i = 0; i < c.devices.size(); ++i) {
            const auto& set = fresh.kernel.security[i];
            EXPECT_EQ(set.device, c.devices[i].first);
            EXPECT_EQ(set.information, k::dacl_security_information);
            EXPECT_FALSE(set.linked) << "the device could be opened before its DACL was set";
            std::string error;
            EXPECT_EQ(access_granted(set.descriptor, error), c.devices[i].second);
            EXPECT_EQ(error, "");
        }
    }
}

// The diagnostic device in real mode: a reset clears the record and the
// fault plan but touches no port (a real port cannot be set back), and a
// planned fault fails or empties a request before any port cycle.
TEST_P(EmulatedTeldoSysRealPorts, DiagnosticsNeverReachAPort) {
    ASSERT_EQ(driver_entry(), st::success);
    const Address holder = file_object();
    ASSERT_EQ(send(device(port_device), k::irp_mj_create, holder).status, st::success);
    struct Step {
        const char* what;
        const std::u16string& device;
        std::uint32_t code;
        std::vector<std::uint8_t> input;
        std::uint32_t output_length, status, information;
        std::size_t cycles;
    };
    const std::uint32_t rd = teldo::IOCTL_PORT_READ;
    const Step steps[] = {
        {"a write", port_device, teldo::IOCTL_PORT_WRITE, {0x00, 0x03, 0x5A, 0}, 0, st::success, 0, 1},
        {"reset", diag_device, teldo::diag::IOCTL_DIAG_RESET, {}, 0, st::success, 0, 0},
        {"a failure and an empty read planned", diag_device, teldo::diag::IOCTL_DIAG_INJECT,
         bytes_of(teldo::diag::FaultPlan{1, 1}), 0, st::success, 0, 0},
        {"the failed read", port_device, rd, {0x00, 0x03}, 1, st::io_device_error, 0, 0},
        {"the empty read", port_device, rd, {0x00, 0x03}, 1, st::success, 0, 0},
        {"the next read", port_device, rd, {0x00, 0x03}, 1, st::success, 1, 1},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        kernel.cycles.clear();
        const Reply reply = control(step.device, step.device == port_device ? holder : diag_file, step.code,
                                    step.input, step.output_length);
        EXPECT_EQ(reply.status, step.status);
        EXPECT_EQ(reply.information, step.information);
        EXPECT_EQ(kernel.cycles.size(), step.cycles);
    }
    EXPECT_EQ(snapshot().requests, 3u) << "the requests since the reset";
}

// The volatile Status key says how the running driver serves the port
// device, with the windows as the driver read them, and whether the
// diagnostic device is on; it goes at unload. A Status key left from before
// (not volatile, so it would outlive a restart) is replaced, not reused.
TEST_P(EmulatedTeldoSys, TheStatusKeySaysTheModeUntilUnload) {
    std::vector<std::u16string> sixteen;
    std::u16string listed;
    for (char16_t digit : u"0123456789ABCDEF"s) {
        sixteen.push_back(u"06"s + digit + u"0-06" + digit + u"F");
        listed += u" " + sixteen.back();
    }
    struct Case {
        const char* what;
        Parameters parameters;
        std::u16string mode;
        bool diagnostics;
        bool left_before = false;
    };
    const Case cases[] = {
        {"simulated bus", simulated, u"simulated bus", true},
        {"real ports, written loosely", real_ports(port_list({u"300-31f", u"0378-0378"}), false),
         u"real ports 0300-031F 0378, opened by Administrators only", false},
        {"16 windows, Users too", real_ports(port_list(sixteen), true, dword_value(1)),
         u"real ports" + listed + u", opened by Administrators and Users", true},
        {"a Status key left from before", Parameters{}, u"simulated bus", false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        LoadedDriver fresh(arch, c.parameters);
        if (c.left_before) fresh.kernel.keys[status_key] = {{u"Mode", wide_value(k::reg_sz, u"real ports 0378\0"s)},
                                                            {u"Diagnostics", dword_value(1)}};
        ASSERT_EQ(fresh.driver_entry(), st::success);
        ASSERT_FALSE(fresh.kernel.created_keys.empty());
        EXPECT_EQ(fresh.kernel.created_keys.back().path, status_key);
        EXPECT_EQ(fresh.kernel.created_keys.back().options, k::reg_option_volatile);
        EXPECT_EQ(fresh.kernel.volatile_keys.count(status_key), 1u);
        auto& values = fresh.kernel.keys[status_key];
        EXPECT_EQ(values[u"Mode"].type, k::reg_sz);
        EXPECT_EQ(units_of(values[u"Mode"]), c.mode + u'\0');
        EXPECT_EQ(values.count(u"Diagnostics") ? values[u"Diagnostics"].data : std::vector<std::uint8_t>{},
                  c.diagnostics ? dword_value(1).data : std::vector<std::uint8_t>{});
        fresh.unload();
        EXPECT_EQ(fresh.kernel.deleted_keys.back(), status_key);
        EXPECT_EQ(fresh.kernel.keys.count(status_key), 0u);
    }
}

// The plain windows (Ports) are claimed for the driver before anything can
// reach them, each range exactly, and given back at unload; a card's
// windows (CardPorts, the ranges Windows gave the card) join them under the
// same rules but are never claimed, since their device holds them. A window
// that a device holds stops the start with nothing made, however the
// conflict is told, and the Status key names it; a Windows without the call
// runs unclaimed and says so.
TEST_P(EmulatedTeldoSys, ClaimsItsPlainWindowsWhileItRuns) {
    using Ranges = FakeKernel::Ranges;
    auto with_cards = [](std::vector<std::u16string> ports, std::vector<std::u16string> cards) {
        Parameters parameters = ports.empty() ? Parameters{} : real_ports(port_list(ports), false);
        parameters[u"CardPorts"] = port_list(cards);
        return parameters;
    };
    const Parameters both = with_cards({u"0300-031F", u"0378"}, {u"D000-D007"});
    const Ranges plain{{0x300, 0x31F}, {0x378, 0x378}};
    struct Case {
        const char* what;
        Parameters parameters;
        Ranges held;
        bool by_flag_only;
        std::uint32_t answer, status;
        std::vector<Ranges> claims;  // until the start's end
        std::u16string claim;        // the Status key's Claim, or empty for none
        bool released_at_unload;
    };
    const std::uint32_t conflict = st::conflicting_addresses;
    const std::u16string refused = u"refused: 0378 overlaps ports that a device holds";
    const Case cases[] = {
        {"Ports claimed, CardPorts not", both, {}, false, st::success, st::success, {plain},
         u"claimed 0300-031F 0378", true},
        {"only a card's windows", with_cards({}, {u"D000-D007", u"D010-D017"}), {}, false, st::success, st::success, {},
         u"nothing to claim: every window is a card's, which holds it", false},
        {"a device holds 0378", both, {{0x378, 0x37A}}, false, st::success, conflict,
         {plain, {{0x300, 0x31F}}, {{0x378, 0x378}}, {}}, refused, false},
        {"a conflict told by ConflictDetected alone", both, {{0x370, 0x378}}, true, st::success, conflict,
         {plain, {{0x300, 0x31F}}, {{0x378, 0x378}}, {}}, refused, false},
        {"a Windows that cannot claim (Wine)", both, {}, false, st::not_implemented, st::success, {plain},
         u"not claimed: this Windows cannot claim ports", false},
        {"a card's window at 04D0", with_cards({u"0378"}, {u"04D0-04D1"}), {}, false, st::success, conflict, {}, u"",
         false},
        {"17 windows in both lists", with_cards({u"0300", u"0304", u"0308", u"030C", u"0310", u"0314", u"0318",
                                                  u"031C", u"0320"},
                                                 {u"D000", u"D004", u"D008", u"D00C", u"D010", u"D014", u"D018", u"D01C"}),
         {}, false, st::success, st::invalid_parameter, {}, u"", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        LoadedDriver fresh(arch, c.parameters, {{0x378, 0x378}, {0xD000, 0xD007}});
        fresh.kernel.held_by_devices = c.held;
        fresh.kernel.conflict_by_flag_only = c.by_flag_only;
        fresh.kernel.claim_answer = c.answer;
        ASSERT_EQ(fresh.driver_entry(), c.status);
        EXPECT_EQ(fresh.kernel.claims, c.claims);
        auto& status = fresh.kernel.keys[status_key];
        EXPECT_EQ(status.count(u"Claim") ? units_of(status[u"Claim"]) : u"", c.claim.empty() ? u"" : c.claim + u'\0');
        if (c.status != st::success) {
            EXPECT_TRUE(fresh.kernel.live_devices().empty());
            EXPECT_TRUE(fresh.kernel.links.empty());
            EXPECT_EQ(status.count(u"Mode"), 0u);
            EXPECT_TRUE(fresh.kernel.key_handles.empty());
            continue;
        }
        const Address holder = fresh.file_object();
        ASSERT_EQ(fresh.send(fresh.device(port_device), k::irp_mj_create, holder).status, st::success);
        EXPECT_EQ(fresh.control(port_device, holder, teldo::IOCTL_PORT_READ, {0x07, 0xD0}, 1).status, st::success)
            << "a card's window does not reach its ports";
        const std::size_t before_unload = fresh.kernel.claims.size();
        fresh.unload();
        EXPECT_EQ(fresh.kernel.claims.size(), before_unload + (c.released_at_unload ? 1 : 0));
        if (c.released_at_unload) {
            EXPECT_EQ(fresh.kernel.claims.back(), Ranges{});
        }
    }
}

// The guard under the tests above: a port instruction that a loaded image
// executes is a fault, whether the port is in DX or in the instruction.
TEST(EmulatedPentium, APortInstructionInAnImageIsAFault) {
    const std::vector<std::uint8_t> instructions[] = {
        {0x66, 0xBA, 0x78, 0x03, 0xEC},  // mov dx, 0378h; in al, dx
        {0xE6, 0x80},                    // out 80h, al
    };
    for (const auto& instruction : instructions) {
        Machine machine;
        PeImage sys;
        std::string error;
        const auto file = read_packaged(Arch::x86, "teldo.sys", error);
        ASSERT_TRUE(!file.empty() && machine.load(file, 0, sys, error)) << error;
        auto code = instruction;
        code.insert(code.end(), {0xC2, 0x08, 0x00});  // ret 8, as DriverEntry returns
        machine.put(sys.entry_point, code);
        machine.call(sys.entry_point, {0, 0});
        EXPECT_NE(machine.fault_report().find("a port instruction"), std::string::npos) << machine.fault_report();
    }
}

}  // namespace

// The shipped x86 teldo.sys, executed on an emulated Pentium against a kernel
// of stand-ins: DriverEntry, the requests an application's handles bring,
// and unload, with the 32-bit structures the I/O manager would pass.
#include <gtest/gtest.h>

#include <map>

#include "ddk32_layout.h"
#include "teldo_diagnostics.h"
#include "x86_machine.h"

namespace {

using namespace teldo::emu;
namespace k = teldo::emu::ddk32;

constexpr std::uint32_t status_success = 0, status_insufficient_resources = 0xC000009A,
                        status_sharing_violation = 0xC0000043, status_access_denied = 0xC0000022,
                        status_info_length_mismatch = 0xC0000004, status_not_found = 0xC0000034,
                        status_buffer_too_small = 0xC0000023;

// The kernel as far as the driver uses it. Devices and links are tracked by
// name; the Nth creating call (IoCreateDevice or IoCreateSymbolicLink) can be
// made to fail; every IRP's completions are counted; the spin lock must be
// taken and given back in pairs, by address, at the right IRQL.
struct FakeKernel {
    struct Device {
        std::u16string name;
        std::uint32_t object;
        bool deleted = false;
    };
    std::vector<Device> devices;
    std::map<std::u16string, std::u16string> links;  // link -> device
    int creating_calls = 0;
    int fail_creating_call = -1;
    std::map<std::uint32_t, int> completions;  // IRP -> times completed
    std::uint32_t lock = 0;
    bool lock_held = false;
    // The registry: keys by path, each with its DWORD values; keys open now.
    std::map<std::u16string, std::map<std::u16string, std::uint32_t>> keys;
    std::map<std::uint32_t, std::u16string> open_keys;
    std::uint32_t next_key = 0x1000;

    std::u16string name(Machine& m, std::uint32_t unicode) {
        return m.wide(m.u32(unicode + k::unicode_string::buffer), m.u16(unicode + k::unicode_string::length));
    }

    explicit FakeKernel(Machine& m) {
        auto stdcall = [&m](const char* function, int arguments, Machine::Handler handler) {
            m.provide("NTOSKRNL.EXE", function, arguments, Convention::stdcall, std::move(handler));
        };
        stdcall("RtlInitUnicodeString", 2, [&m](const std::uint32_t* a) {
            std::uint32_t length = 0;
            while (a[1] && m.u16(a[1] + length) != 0) length += 2;
            m.put16(a[0] + k::unicode_string::length, static_cast<std::uint16_t>(length));
            m.put16(a[0] + 2, static_cast<std::uint16_t>(a[1] ? length + 2 : 0));
            m.put32(a[0] + k::unicode_string::buffer, a[1]);
            return 0u;
        });
        stdcall("IoCreateDevice", 7, [this, &m](const std::uint32_t* a) {
            if (creating_calls++ == fail_creating_call) return status_insufficient_resources;
            const std::uint32_t device = m.allocate(k::device_object::size + a[1]);
            m.put32(device + k::device_object::driver_object, a[0]);
            m.put32(device + k::device_object::device_type, a[3]);
            m.put32(device + k::device_object::characteristics, a[4]);
            m.put32(device + k::device_object::next_device, m.u32(a[0] + k::driver_object::device_object));
            m.put32(a[0] + k::driver_object::device_object, device);
            m.put32(a[6], device);
            devices.push_back({name(m, a[2]), device});
            return status_success;
        });
        stdcall("IoCreateSymbolicLink", 2, [this, &m](const std::uint32_t* a) {
            if (creating_calls++ == fail_creating_call) return status_insufficient_resources;
            links[name(m, a[0])] = name(m, a[1]);
            return status_success;
        });
        stdcall("IoDeleteSymbolicLink", 1, [this, &m](const std::uint32_t* a) {
            return links.erase(name(m, a[0])) ? status_success : status_not_found;
        });
        stdcall("IoDeleteDevice", 1, [this, &m](const std::uint32_t* a) {
            for (auto& device : devices)
                if (device.object == a[0] && !device.deleted) return device.deleted = true, 0u;
            m.fault("IoDeleteDevice of a device that does not exist");
            return 0u;
        });
        stdcall("KeInitializeSpinLock", 1, [this, &m](const std::uint32_t* a) {
            m.put32(lock = a[0], 0);
            return 0u;
        });
        stdcall("ZwOpenKey", 3, [this, &m](const std::uint32_t* a) {
            namespace oa = k::object_attributes;
            std::u16string path = name(m, m.u32(a[2] + oa::object_name));
            if (const std::uint32_t root = m.u32(a[2] + oa::root_directory)) {
                if (!open_keys.count(root)) m.fault("ZwOpenKey below a key that is not open");
                path = open_keys[root] + u"\\" + path;
            }
            if (!keys.count(path)) return status_not_found;
            open_keys[next_key] = path;
            m.put32(a[0], next_key++);
            return status_success;
        });
        stdcall("ZwQueryValueKey", 6, [this, &m](const std::uint32_t* a) {
            namespace info = k::key_value_partial_information;
            if (!open_keys.count(a[0]) || a[2] != k::key_value_partial_information_class) {
                m.fault("ZwQueryValueKey of a key not open, or not for KeyValuePartialInformation");
                return status_not_found;
            }
            const auto& values = keys[open_keys[a[0]]];
            const auto value = values.find(name(m, a[1]));
            if (value == values.end()) return status_not_found;
            m.put32(a[5], info::data + 4);
            if (a[4] < info::data + 4) return status_buffer_too_small;
            m.put32(a[3] + info::type, k::reg_dword);
            m.put32(a[3] + info::data_length, 4);
            m.put32(a[3] + info::data, value->second);
            return status_success;
        });
        stdcall("ZwClose", 1, [this, &m](const std::uint32_t* a) {
            if (!open_keys.erase(a[0])) m.fault("ZwClose of a handle not open");
            return status_success;
        });
        // The "f" functions of the kernel and the HAL take ECX and EDX.
        m.provide("NTOSKRNL.EXE", "IofCompleteRequest", 2, Convention::fastcall, [this](const std::uint32_t* a) {
            ++completions[a[0]];
            return 0u;
        });
        m.provide("HAL.DLL", "KfAcquireSpinLock", 1, Convention::fastcall, [this, &m](const std::uint32_t* a) {
            if (a[0] != lock || lock_held) m.fault("KfAcquireSpinLock of a lock not initialised or held");
            lock_held = true;
            return 0x00u;  // was at PASSIVE_LEVEL
        });
        m.provide("HAL.DLL", "KfReleaseSpinLock", 2, Convention::fastcall, [this, &m](const std::uint32_t* a) {
            if (a[0] != lock || !lock_held) m.fault("KfReleaseSpinLock of a lock not held");
            if ((a[1] & 0xFF) != 0) m.fault("KfReleaseSpinLock back to an IRQL that was not the caller's");
            lock_held = false;
            return 0u;
        });
    }

    std::vector<std::u16string> live_devices() const {
        std::vector<std::u16string> names;
        for (const auto& device : devices)
            if (!device.deleted) names.push_back(device.name);
        return names;
    }
};

const std::u16string service_key = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\TELDO";

// teldo.sys loaded into a machine of its own (its static state is fresh),
// with a driver object and the service key's path, as the kernel hands them
// to DriverEntry.
class LoadedDriver {
public:
    // `diagnostics`: the service key's Parameters\Diagnostics, or -1 for no
    // Parameters key at all.
    explicit LoadedDriver(int diagnostics = 1) {
        kernel.keys[service_key] = {};
        if (diagnostics >= 0) kernel.keys[service_key + u"\\Parameters"][u"Diagnostics"] = diagnostics;
        std::string error;
        const auto file = read_packaged("teldo.sys", error);
        EXPECT_FALSE(file.empty()) << error;
        loaded = !file.empty() && machine.load(file, 0, sys, error);
        EXPECT_TRUE(loaded) << error;
        driver = machine.allocate(k::driver_object::size);
        registry_path = unicode(service_key);
    }
    ~LoadedDriver() { EXPECT_TRUE(machine.faults().empty()) << machine.fault_report(); }

    std::uint32_t driver_entry() {
        if (!loaded) return ~0u;
        const std::uint32_t status = machine.call(sys.entry_point, {driver, registry_path});
        EXPECT_TRUE(kernel.open_keys.empty()) << "registry keys left open";
        return status;
    }
    std::uint32_t dispatch_routine(std::uint8_t major) {
        return machine.u32(driver + k::driver_object::major_function + 4 * major);
    }
    std::uint32_t device(const std::u16string& name) {
        for (const auto& d : kernel.devices)
            if (d.name == name && !d.deleted) return d.object;
        return 0;
    }

    struct Reply {
        std::uint32_t status, information;
        std::vector<std::uint8_t> buffer;
    };
    // Sends an IRP as the I/O manager would, with one stack location and,
    // for a device control, a system buffer holding the input; checks that
    // the driver completes it exactly once with the status it returns.
    Reply send(std::uint32_t device_object, std::uint8_t major, std::uint32_t file, std::uint32_t code = 0,
               const std::vector<std::uint8_t>& input = {}, std::uint32_t output_length = 0) {
        const std::uint32_t irp = machine.allocate(k::irp::size);
        const std::uint32_t stack = machine.allocate(k::io_stack_location::size);
        const std::uint32_t length = std::max<std::uint32_t>(input.size(), output_length);
        const std::uint32_t buffer = length ? machine.allocate(length) : 0;
        machine.put(buffer, input);
        machine.put32(irp + k::irp::system_buffer, buffer);
        machine.put32(irp + k::irp::current_stack_location, stack);
        machine.put8(stack + k::io_stack_location::major_function, major);
        machine.put32(stack + k::io_stack_location::output_buffer_length, output_length);
        machine.put32(stack + k::io_stack_location::input_buffer_length, static_cast<std::uint32_t>(input.size()));
        machine.put32(stack + k::io_stack_location::io_control_code, code);
        machine.put32(stack + k::io_stack_location::device_object, device_object);
        machine.put32(stack + k::io_stack_location::file_object, file);
        const std::uint32_t status = machine.call(dispatch_routine(major), {device_object, irp});
        EXPECT_EQ(kernel.completions[irp], 1) << "completions of one IRP";
        EXPECT_EQ(machine.u32(irp + k::irp::io_status), status) << "completed with the status returned";
        EXPECT_FALSE(kernel.lock_held) << "the spin lock is given back";
        return {status, machine.u32(irp + k::irp::information), machine.bytes(buffer, length)};
    }

    Machine machine;
    FakeKernel kernel{machine};
    Pe32Image sys;
    bool loaded = false;
    std::uint32_t driver = 0, registry_path = 0;

private:
    std::uint32_t unicode(const std::u16string& text) {
        const std::uint32_t string = machine.allocate(k::unicode_string::size);
        machine.put16(string + k::unicode_string::length, static_cast<std::uint16_t>(2 * text.size()));
        machine.put16(string + 2, static_cast<std::uint16_t>(2 * text.size() + 2));
        machine.put32(string + k::unicode_string::buffer, machine.allocate_wide(text));
        return string;
    }
};

class EmulatedTeldoSys : public testing::Test, protected LoadedDriver {};

TEST_F(EmulatedTeldoSys, PublishesBothDevicesAndUnloadRemovesThem) {
    ASSERT_EQ(driver_entry(), status_success);
    const std::pair<std::u16string, std::u16string> published[] = {
        {u"\\Device\\TELDO", u"\\DosDevices\\TELDO"}, {u"\\Device\\TELDODiag", u"\\DosDevices\\TELDODiag"}};
    for (const auto& [name, link] : published) {
        const std::uint32_t object = device(name);
        ASSERT_NE(object, 0u) << "no device " << std::string(name.begin(), name.end());
        EXPECT_EQ(machine.u32(object + k::device_object::device_type), teldo::port_device_type);
        EXPECT_EQ(machine.u32(object + k::device_object::characteristics), k::file_device_secure_open);
        EXPECT_NE(machine.u32(object + k::device_object::flags) & k::do_buffered_io, 0u);
        EXPECT_EQ(kernel.links[link], name);
    }
    for (std::uint8_t major = 0; major <= k::irp_mj_maximum; ++major) {
        const bool served = major == k::irp_mj_create || major == k::irp_mj_close ||
                            major == k::irp_mj_cleanup || major == k::irp_mj_device_control;
        EXPECT_EQ(dispatch_routine(major) != 0, served) << "major function " << int(major);
    }
    const std::uint32_t unload = machine.u32(driver + k::driver_object::driver_unload);
    ASSERT_NE(unload, 0u);
    machine.call(unload, {driver});
    EXPECT_TRUE(kernel.live_devices().empty());
    EXPECT_TRUE(kernel.links.empty());
}

// Whichever creating call fails, DriverEntry fails with its status and
// leaves nothing behind, as the kernel unloads a driver without calling its
// unload routine when DriverEntry fails.
TEST_F(EmulatedTeldoSys, AFailureHalfWayUndoesWhatWasCreated) {
    for (int failing = 0; failing < 4; ++failing) {
        SCOPED_TRACE(testing::Message() << "creating call " << failing << " fails");
        LoadedDriver fresh;
        fresh.kernel.fail_creating_call = failing;
        EXPECT_EQ(fresh.driver_entry(), status_insufficient_resources);
        EXPECT_TRUE(fresh.kernel.live_devices().empty());
        EXPECT_TRUE(fresh.kernel.links.empty());
    }
}

// Only an administrator's value under the service key publishes the
// diagnostic device; the port device is there either way.
TEST_F(EmulatedTeldoSys, TheDiagnosticDeviceNeedsTheServiceKeysValue) {
    const std::pair<int, bool> cases[] = {{-1, false}, {0, false}, {1, true}};
    for (const auto& [diagnostics, published] : cases) {
        SCOPED_TRACE(testing::Message() << "Parameters\\Diagnostics " << diagnostics);
        LoadedDriver fresh(diagnostics);
        EXPECT_EQ(fresh.driver_entry(), status_success);
        EXPECT_NE(fresh.device(u"\\Device\\TELDO"), 0u);
        EXPECT_EQ(fresh.device(u"\\Device\\TELDODiag") != 0, published);
        EXPECT_EQ(fresh.kernel.links.count(u"\\DosDevices\\TELDODiag") != 0, published);
    }
}

TEST_F(EmulatedTeldoSys, ServesOneHolderAtATimeThroughTheBufferedRequest) {
    ASSERT_EQ(driver_entry(), status_success);
    const std::uint32_t port = device(u"\\Device\\TELDO");
    const std::uint32_t first = machine.allocate(0x80), second = machine.allocate(0x80);
    struct Step {
        const char* what;
        std::uint8_t major;
        std::uint32_t file, code;
        std::vector<std::uint8_t> input;
        std::uint32_t output_length, status, information;
        int byte;  // expected first buffer byte, or -1
    };
    const std::uint32_t rd = teldo::IOCTL_PORT_READ, wr = teldo::IOCTL_PORT_WRITE;
    const Step steps[] = {
        {"first opens", k::irp_mj_create, first, 0, {}, 0, status_success, 0, -1},
        {"second is refused", k::irp_mj_create, second, 0, {}, 0, status_sharing_violation, 0, -1},
        {"write", k::irp_mj_device_control, first, wr, {0xF8, 0x03, 0x5A, 0}, 0, status_success, 0, -1},
        {"read back", k::irp_mj_device_control, first, rd, {0xF8, 0x03}, 1, status_success, 1, 0x5A},
        {"never written", k::irp_mj_device_control, first, rd, {0xF9, 0x03}, 1, status_success, 1, 0xFF},
        {"wrong length", k::irp_mj_device_control, first, rd, {0xF8, 0x03, 0}, 1,
         status_info_length_mismatch, 0, -1},
        {"not the holder", k::irp_mj_device_control, second, rd, {0xF8, 0x03}, 1, status_access_denied, 0, -1},
        {"first cleans up", k::irp_mj_cleanup, first, 0, {}, 0, status_success, 0, -1},
        {"first closes", k::irp_mj_close, first, 0, {}, 0, status_success, 0, -1},
        {"second opens now", k::irp_mj_create, second, 0, {}, 0, status_success, 0, -1},
        {"and reads", k::irp_mj_device_control, second, rd, {0xF8, 0x03}, 1, status_success, 1, 0x5A},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        const Reply reply = send(port, step.major, step.file, step.code, step.input, step.output_length);
        EXPECT_EQ(reply.status, step.status);
        EXPECT_EQ(reply.information, step.information);
        if (step.byte >= 0) {
            EXPECT_EQ(reply.buffer.at(0), step.byte);
        }
    }
}

}  // namespace

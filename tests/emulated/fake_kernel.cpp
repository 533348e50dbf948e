#include "fake_kernel.h"

#include <algorithm>

#include "teldo_diagnostics.h"
#include "teldo_protocol.h"

namespace teldo::emu {
namespace {

namespace k = ddk;
namespace st = ddk::status;

// An argument of 32 bits: on x64 the bits above it in its register or stack
// slot are undefined.
std::uint32_t low(std::uint64_t argument) { return static_cast<std::uint32_t>(argument); }

std::vector<std::uint8_t> bytes_of64(std::uint64_t value) {
    std::vector<std::uint8_t> bytes(8);
    for (auto& byte : bytes) byte = static_cast<std::uint8_t>(value), value >>= 8;
    return bytes;
}

}  // namespace

RegistryValue dword_value(std::uint32_t value) {
    return {k::reg_dword,
            {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
             static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)}};
}

RegistryValue wide_value(std::uint32_t type, const std::u16string& units) {
    RegistryValue value{type, {}};
    for (char16_t unit : units) {
        value.data.push_back(static_cast<std::uint8_t>(unit));
        value.data.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    return value;
}

FakeKernel::FakeKernel(Machine& m)
    : m_(m), k_(m.arch() == Arch::x64 ? ddk::ddk64 : ddk::ddk32),
      next_handle_(m.arch() == Arch::x64 ? 0xFFFFFFFF80000100 : 0x80000100) {
    auto stdcall = [&m](const char* dll, const char* function, int arguments, Machine::Handler handler) {
        m.provide(dll, function, arguments, Convention::stdcall, std::move(handler));
    };
    using Args = const std::uint64_t*;
    const ddk::Layout& l = k_;
    const char* const nt = "NTOSKRNL.EXE";
    stdcall(nt, "RtlInitUnicodeString", 2, [&m, &l](Args a) {
        std::uint32_t length = 0;
        while (a[1] && m.u16(a[1] + length) != 0) length += 2;
        m.put16(a[0] + l.unicode_string.length, static_cast<std::uint16_t>(length));
        m.put16(a[0] + l.unicode_string.maximum_length, static_cast<std::uint16_t>(a[1] ? length + 2 : 0));
        m.put_ptr(a[0] + l.unicode_string.buffer, a[1]);
        return 0u;
    });

    // Devices and their links.
    stdcall(nt, "IoCreateDevice", 7, [this, &m, &l](Args a) {
        if (auto status = failure("IoCreateDevice")) return *status;
        const Address device = m.allocate(l.device_object.size + low(a[1]));
        m.put_ptr(device + l.device_object.driver_object, a[0]);
        m.put32(device + l.device_object.device_type, low(a[3]));
        m.put32(device + l.device_object.characteristics, low(a[4]));
        m.put_ptr(device + l.device_object.next_device, m.ptr(a[0] + l.driver_object.device_object));
        m.put_ptr(a[0] + l.driver_object.device_object, device);
        m.put_ptr(a[6], device);
        devices.push_back({name(a[2]), device});
        return st::success;
    });
    stdcall(nt, "IoCreateSymbolicLink", 2, [this](Args a) {
        if (auto status = failure("IoCreateSymbolicLink")) return *status;
        links[name(a[0])] = name(a[1]);
        return st::success;
    });
    stdcall(nt, "IoReportResourceForDetection", 7, [this, &m](Args a) {
        if (a[0] == 0 || a[3] != 0 || a[4] != 0 || low(a[5]) != 0 || a[6] == 0)
            m.fault("IoReportResourceForDetection other than for the driver object's own list");
        if (a[1] == 0 && low(a[2]) != 0) m.fault("IoReportResourceForDetection with a size and no list");
        const Ranges ranges = a[1] ? claimed_ranges(a[1], low(a[2])) : Ranges{};
        claims.push_back(ranges);
        const bool conflict = std::any_of(ranges.begin(), ranges.end(), [&](const auto& range) {
            return std::any_of(held_by_devices.begin(), held_by_devices.end(), [&](const auto& held) {
                return range.first <= held.second && held.first <= range.second;
            });
        });
        m.put(a[6], {static_cast<std::uint8_t>(conflict)});
        if (conflict) return conflict_by_flag_only ? st::success : st::conflicting_addresses;
        return ranges.empty() ? st::success : claim_answer;
    });
    stdcall(nt, "IoDeleteSymbolicLink", 1, [this](Args a) {
        return links.erase(name(a[0])) ? st::success : st::object_name_not_found;
    });
    stdcall(nt, "IoDeleteDevice", 1, [this, &m](Args a) {
        for (auto& device : devices)
            if (device.object == a[0] && !device.deleted) return device.deleted = true, 0u;
        m.fault("IoDeleteDevice of a device that does not exist");
        return 0u;
    });

    // A device's security, through a kernel handle to the device object.
    stdcall(nt, "ObOpenObjectByPointer", 7, [this, &m](Args a) {
        const Device* device = live_device(a[0]);
        if (!device) m.fault("ObOpenObjectByPointer of an object that is no live device");
        if (!(low(a[1]) & k::obj_kernel_handle))
            m.fault("ObOpenObjectByPointer for a handle that is not a kernel handle");
        if (a[2] != 0) m.fault("ObOpenObjectByPointer with an access state");
        if ((a[5] & 0xFF) != k::kernel_mode)  // KPROCESSOR_MODE is one byte
            m.fault("ObOpenObjectByPointer with an access mode other than KernelMode");
        if (auto status = failure("ObOpenObjectByPointer")) return *status;
        if (!device) return st::invalid_handle;
        objects_opened.push_back(device->name);
        m.put_ptr(a[6], new_handle(object_handles, {device->name, low(a[3])}));
        return st::success;
    });
    stdcall(nt, "ZwSetSecurityObject", 3, [this, &m](Args a) {
        const auto object = object_handles.find(a[0]);
        if (object == object_handles.end()) return m.fault("ZwSetSecurityObject of a handle not open"), st::invalid_handle;
        if (!(object->second.access & k::write_dac))
            return m.fault("ZwSetSecurityObject through a handle without WRITE_DAC"), st::access_denied;
        const bool linked = std::any_of(links.begin(), links.end(),
                                        [&](const auto& link) { return link.second == object->second.name; });
        security.push_back({object->second.name, low(a[1]), descriptor(a[2]), linked});
        if (auto status = failure("ZwSetSecurityObject")) return *status;
        return st::success;
    });

    // The registry.
    stdcall(nt, "ZwOpenKey", 3, [this, &m](Args a) {
        const std::u16string path = object_path(a[2]);
        if (!keys.count(path)) return st::object_name_not_found;
        m.put_ptr(a[0], new_handle(key_handles, {path, low(a[1])}));
        return st::success;
    });
    stdcall(nt, "ZwCreateKey", 7, [this, &m](Args a) {
        const std::u16string path = object_path(a[2]);
        if (auto status = failure("ZwCreateKey")) return *status;
        const bool existed = keys.count(path) != 0;
        keys[path];
        created_keys.push_back({path, low(a[5])});
        if (!existed && (low(a[5]) & k::reg_option_volatile)) volatile_keys.insert(path);
        m.put_ptr(a[0], new_handle(key_handles, {path, low(a[1])}));
        if (a[6]) m.put32(a[6], existed ? k::reg_opened_existing_key : k::reg_created_new_key);
        return st::success;
    });
    // KeyValuePartialInformation as the kernel gives it: ResultLength is
    // always the length needed; a buffer shorter than the header (up to
    // Data) gets nothing (STATUS_BUFFER_TOO_SMALL), one shorter than the whole
    // gets the header and as much data as fits (STATUS_BUFFER_OVERFLOW).
    stdcall(nt, "ZwQueryValueKey", 6, [this, &m](Args a) {
        namespace info = k::key_value_partial_information;
        const std::u16string* path = key(a[0], k::key_query_value, "ZwQueryValueKey");
        if (low(a[2]) != k::key_value_partial_information_class)
            m.fault("ZwQueryValueKey for other than KeyValuePartialInformation");
        const std::u16string value_name = name(a[1]);
        auto answer = [&](std::uint32_t status) { return queries.push_back({value_name, status}), status; };
        if (!path || !keys[*path].count(value_name)) return answer(st::object_name_not_found);
        const RegistryValue& value = keys[*path][value_name];
        const std::uint32_t needed = info::data + static_cast<std::uint32_t>(value.data.size());
        const std::uint32_t length = low(a[4]);
        m.put32(a[5], needed);
        if (length < info::data) return answer(st::buffer_too_small);
        m.put32(a[3] + info::title_index, 0);
        m.put32(a[3] + info::type, value.type);
        m.put32(a[3] + info::data_length, static_cast<std::uint32_t>(value.data.size()));
        const std::uint32_t fits = std::min(length, needed) - info::data;
        m.put(a[3] + info::data, std::vector<std::uint8_t>(value.data.begin(), value.data.begin() + fits));
        return answer(length < needed ? st::buffer_overflow : st::success);
    });
    stdcall(nt, "ZwSetValueKey", 6, [this, &m](Args a) {
        const std::u16string* path = key(a[0], k::key_set_value, "ZwSetValueKey");
        if (!path) return st::access_denied;
        keys[*path][name(a[1])] = {low(a[3]), m.bytes(a[4], low(a[5]))};
        return st::success;
    });
    stdcall(nt, "ZwDeleteKey", 1, [this](Args a) {
        const std::u16string* path = key(a[0], k::delete_access, "ZwDeleteKey");
        if (!path) return st::access_denied;
        keys.erase(*path);
        volatile_keys.erase(*path);
        deleted_keys.push_back(*path);
        return st::success;
    });
    stdcall(nt, "ZwClose", 1, [this, &m](Args a) {
        if (!key_handles.erase(a[0]) && !object_handles.erase(a[0])) m.fault("ZwClose of a handle not open");
        return st::success;
    });

    // The bus's mutex: waited for at PASSIVE_LEVEL only, never twice by its
    // holder (the tests run one thread), with no timeout.
    stdcall(nt, "KeInitializeMutex", 2, [this, &m](Args a) {
        if (low(a[1]) != 0) m.fault("KeInitializeMutex with a level other than 0");
        bus_mutex = a[0];
        return 0u;
    });
    stdcall(nt, "KeWaitForSingleObject", 5, [this, &m](Args a) {
        if (!bus_mutex || a[0] != bus_mutex) m.fault("KeWaitForSingleObject on an object that is no initialised mutex");
        if (lock_held || irql > k::apc_level) m.fault("KeWaitForSingleObject above APC_LEVEL");
        if (bus_busy) m.fault("a wait behind another request for the bus");
        if (bus_held) m.fault("the bus mutex waited for by its holder");
        if ((a[2] & 0xFF) != k::kernel_mode || (a[3] & 0xFF) != 0 || a[4] != 0)
            m.fault("KeWaitForSingleObject other than in kernel mode, not alertable, with no timeout");
        bus_held = true;
        return st::success;
    });
    stdcall(nt, "KeReleaseMutex", 2, [this, &m](Args a) {
        if (a[0] != bus_mutex || !bus_held) m.fault("a mutex released that is not held");
        if ((a[1] & 0xFF) != 0) m.fault("KeReleaseMutex with a wait to follow");
        bus_held = false;
        return 0u;
    });

    // The performance counter, the HAL's on both architectures: never read
    // under the spin lock, where a busy wait would hold up the processor.
    m.provide("HAL.DLL", "KeQueryPerformanceCounter", 1, Convention::stdcall_wide, [this, &m](Args a) {
        if (lock_held) m.fault("the performance counter read while the spin lock is held");
        if (a[0]) m.put(a[0], bytes_of64(counter_frequency));
        clock_ns += reading_ns;
        return counter_start + (clock_ns + counter_phase_ns) * counter_frequency / 1000000000ull -
               (clock_ns >= counter_back_at_ns ? counter_back : 0);
    });
    // The IRQL: the HAL's on x86, CR8 on x64.
    m.provide("HAL.DLL", "KeGetCurrentIrql", 0, Convention::stdcall, [this](Args) -> std::uint64_t { return irql; });
    m.answer_cr8([this] { return std::uint64_t{irql}; });

    // Requests, and the lock that guards the driver's state. On x86 the "f"
    // functions of the kernel and the HAL take ECX and EDX.
    m.provide(nt, "IofCompleteRequest", 2, Convention::fastcall, [this, &m](Args a) {
        // A completion routine may call the driver again on this processor.
        if (lock_held || bus_held) m.fault("IofCompleteRequest while the driver holds a lock");
        ++completions[a[0]];
        return 0u;
    });
    auto acquire = [this, &m](Args a) {
        if (a[0] != lock || lock_held) m.fault("a spin lock acquired that is not initialised, or held");
        lock_held = true;
        irql_before_lock = irql;
        irql = k::dispatch_level;
        return std::uint64_t{irql_before_lock};
    };
    auto release = [this, &m](Args a) {
        if (a[0] != lock || !lock_held) m.fault("a spin lock released that is not held");
        if ((a[1] & 0xFF) != irql_before_lock) m.fault("a spin lock released to an IRQL that was not the caller's");
        lock_held = false;
        irql = irql_before_lock;
        return 0u;
    };
    if (m.arch() == Arch::x64) {
        // KeInitializeSpinLock is inline on x64: a lock is initialised when
        // it holds zero at its first acquisition.
        stdcall(nt, "KeAcquireSpinLockRaiseToDpc", 1, [this, &m, acquire](Args a) {
            if (!lock && m.ptr(a[0]) == 0) lock = a[0];
            return acquire(a);
        });
        stdcall(nt, "KeReleaseSpinLock", 2, release);
        m.attach_bus([this](std::uint16_t port, std::uint32_t width, bool write, std::uint32_t value, Address memory) {
            return port_cycle(port, width, write, value, memory);
        });
        return;
    }
    stdcall(nt, "KeInitializeSpinLock", 1, [this, &m](Args a) {
        m.put32(lock = a[0], 0);
        return 0u;
    });
    m.provide("HAL.DLL", "KfAcquireSpinLock", 1, Convention::fastcall, acquire);
    m.provide("HAL.DLL", "KfReleaseSpinLock", 2, Convention::fastcall, release);

    // The HAL's port functions, one element or a buffer of them at a time,
    // of each width. Its reads leave EAX's bits above the width undefined,
    // so they are not zero here either.
    for (const std::uint32_t width : {1u, 2u, 4u}) {
        const std::string suffix = width == 1 ? "UCHAR" : width == 2 ? "USHORT" : "ULONG";
        const std::uint32_t mask = width == 4 ? ~0u : (1u << 8 * width) - 1;
        auto port = [&m, width](std::uint64_t address, const std::string& function) {
            if (address + width - 1 > 0xFFFF) m.fault(function + " of an address beyond the port space");
            return static_cast<std::uint32_t>(address);
        };
        stdcall("HAL.DLL", ("READ_PORT_" + suffix).c_str(), 1, [=, this](Args a) {
            return (0x5EED5EEDu & ~mask) | port_cycle(port(a[0], "READ_PORT_" + suffix), width, false, 0, 0);
        });
        stdcall("HAL.DLL", ("WRITE_PORT_" + suffix).c_str(), 2, [=, this](Args a) {
            port_cycle(port(a[0], "WRITE_PORT_" + suffix), width, true, low(a[1]) & mask, 0);
            return 0u;
        });
        stdcall("HAL.DLL", ("READ_PORT_BUFFER_" + suffix).c_str(), 3, [=, this, &m](Args a) {
            const std::uint32_t at = port(a[0], "READ_PORT_BUFFER_" + suffix), count = low(a[2]);
            buffer_calls.push_back({at, width, count, a[1], false});
            for (std::uint32_t i = 0; i < count; ++i) {
                const Address element = a[1] + i * width;
                std::vector<std::uint8_t> bytes(width);
                store_element(bytes.data(), width, port_cycle(at, width, false, 0, element));
                m.put(element, bytes);
            }
            return 0u;
        });
        stdcall("HAL.DLL", ("WRITE_PORT_BUFFER_" + suffix).c_str(), 3, [=, this, &m](Args a) {
            const std::uint32_t at = port(a[0], "WRITE_PORT_BUFFER_" + suffix), count = low(a[2]);
            buffer_calls.push_back({at, width, count, a[1], true});
            for (std::uint32_t i = 0; i < count; ++i) {
                const Address element = a[1] + i * width;
                port_cycle(at, width, true, load_element(m.bytes(element, width).data(), width), element);
            }
            return 0u;
        });
    }
}

// One cycle: recorded, refused as a fault outside the windows, and for a
// read answered from reads_give or port_byte.
std::uint32_t FakeKernel::port_cycle(std::uint32_t port, std::uint32_t width, bool write, std::uint32_t value,
                                     Address memory) {
    const bool inside = std::any_of(windows.begin(), windows.end(), [&](const auto& window) {
        return port >= window.first && port + width - 1 <= window.second;
    });
    if (!inside) m_.fault("a port cycle outside the windows, at port " + std::to_string(port));
    if (lock_held) m_.fault("a port cycle while the spin lock is held, at port " + std::to_string(port));
    if (!bus_held) m_.fault("a port cycle outside the bus mutex, at port " + std::to_string(port));
    if (!write) {
        value = port_byte * 0x01010101u;
        if (!reads_give.empty()) value = reads_give.front(), reads_give.erase(reads_give.begin());
        if (width < 4) value &= (1u << 8 * width) - 1;
    }
    cycles.push_back({port, value, write, width, memory});
    cycle_times.push_back(clock_ns += 1000);
    return value;
}

FakeKernel::Ranges FakeKernel::claimed_ranges(Address list, std::uint32_t size) {
    // The header: one full descriptor, ISA bus 0, a partial list of version
    // 1, revision 1; then the port descriptors, 16 bytes on x86 and 20 on
    // x64, where an interrupt's 64-bit affinity widens their union.
    const std::uint32_t header = 20, stride = m_.arch() == Arch::x64 ? 20 : 16;
    const std::uint32_t count = m_.u32(list + 16);
    if (m_.u32(list) != 1 || m_.u32(list + 4) != 1 || m_.u32(list + 8) != 0 || m_.u16(list + 12) != 1 ||
        m_.u16(list + 14) != 1 || count == 0 || size != header + stride * count)
        return m_.fault("a claim whose resource list is not one ISA list of its size"), Ranges{};
    Ranges ranges;
    for (std::uint32_t i = 0; i < count; ++i) {
        const Address d = list + header + stride * i;
        const std::uint32_t start = m_.u32(d + 4), length = m_.u32(d + 12);
        if (m_.u8(d) != 1 || m_.u8(d + 1) != 1 || m_.u16(d + 2) != 1 || m_.u32(d + 8) != 0 || length == 0 ||
            start + length - 1 > 0xFFFF)
            m_.fault("a claim's descriptor " + std::to_string(i) + " is no exclusive range of I/O ports");
        ranges.push_back({static_cast<std::uint16_t>(start), static_cast<std::uint16_t>(start + length - 1)});
    }
    return ranges;
}

void FakeKernel::guard_request_buffer(Address buffer, std::uint32_t length) {
    constexpr std::uint32_t recorded = sizeof(teldo::diag::RecordedRequest::input);
    m_.watch(buffer, length, [this, buffer](Address address, std::uint32_t size, bool write) {
        if (lock_held && (write || address + size > buffer + recorded))
            m_.fault("a request's buffer copied while the spin lock is held");
    });
}

std::vector<std::u16string> FakeKernel::live_devices() const {
    std::vector<std::u16string> names;
    for (const auto& device : devices)
        if (!device.deleted) names.push_back(device.name);
    return names;
}

std::vector<std::u16string> FakeKernel::open_keys() const {
    std::vector<std::u16string> paths;
    for (const auto& [handle, key] : key_handles) paths.push_back(key.name);
    return paths;
}

std::optional<std::uint32_t> FakeKernel::failure(const std::string& function) {
    const int call = calls_[function]++;
    const auto planned = failures_.find(function);
    if (planned != failures_.end() && planned->second.first == call) return planned->second.second;
    return std::nullopt;
}

std::u16string FakeKernel::name(Address unicode) {
    return m_.wide(m_.ptr(unicode + k_.unicode_string.buffer), m_.u16(unicode + k_.unicode_string.length));
}

std::u16string FakeKernel::object_path(Address attributes) {
    std::u16string path = name(m_.ptr(attributes + k_.object_attributes.object_name));
    if (const Address root = m_.ptr(attributes + k_.object_attributes.root_directory)) {
        const auto parent = key_handles.find(root);
        if (parent == key_handles.end()) return m_.fault("a key named below a key that is not open"), path;
        path = parent->second.name + u"\\" + path;
    }
    return path;
}

const std::u16string* FakeKernel::key(Address handle, std::uint32_t access, const char* function) {
    const auto open = key_handles.find(handle);
    if (open == key_handles.end()) return m_.fault(std::string(function) + " of a key not open"), nullptr;
    if ((open->second.access & access) != access)
        return m_.fault(std::string(function) + " through a handle opened without the access it needs"), nullptr;
    return &open->second.name;
}

const FakeKernel::Device* FakeKernel::live_device(Address object) const {
    for (const auto& device : devices)
        if (device.object == object && !device.deleted) return &device;
    return nullptr;
}

// A self-relative descriptor's bytes from its start to the end of whichever
// of its owner, group, SACL or DACL ends furthest away.
Address FakeKernel::new_handle(std::map<Address, OpenHandle>& handles, OpenHandle open) {
    handles[next_handle_] = std::move(open);
    return (next_handle_ += 4) - 4;
}

std::vector<std::uint8_t> FakeKernel::descriptor(Address address) {
    namespace d = descriptor_format;
    std::uint32_t end = d::header_size;
    if (m_.u16(address + d::control) & d::se_self_relative) {
        for (std::uint32_t sid_at : {d::owner, d::group})
            if (const std::uint32_t offset = m_.u32(address + sid_at))
                end = std::max(end, offset + d::sid_rids + 4 * m_.u8(address + offset + d::sid_count));
        for (std::uint32_t acl_at : {d::sacl, d::dacl})
            if (const std::uint32_t offset = m_.u32(address + acl_at))
                end = std::max(end, offset + m_.u16(address + offset + k::acl::acl_size));
    }
    return m_.bytes(address, std::min<std::uint32_t>(end, 0x1000));
}

}  // namespace teldo::emu

#include "fake_kernel.h"

#include <algorithm>

#include "ddk32_layout.h"

namespace teldo::emu {
namespace {

namespace k = ddk32;
namespace st = ddk32::status;

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

FakeKernel::FakeKernel(Machine& m) : m_(m) {
    auto stdcall = [&m](const char* dll, const char* function, int arguments, Machine::Handler handler) {
        m.provide(dll, function, arguments, Convention::stdcall, std::move(handler));
    };
    const char* const nt = "NTOSKRNL.EXE";
    stdcall(nt, "RtlInitUnicodeString", 2, [&m](const std::uint32_t* a) {
        std::uint32_t length = 0;
        while (a[1] && m.u16(a[1] + length) != 0) length += 2;
        m.put16(a[0] + k::unicode_string::length, static_cast<std::uint16_t>(length));
        m.put16(a[0] + 2, static_cast<std::uint16_t>(a[1] ? length + 2 : 0));
        m.put32(a[0] + k::unicode_string::buffer, a[1]);
        return 0u;
    });

    // Devices and their links.
    stdcall(nt, "IoCreateDevice", 7, [this, &m](const std::uint32_t* a) {
        if (auto status = failure("IoCreateDevice")) return *status;
        const std::uint32_t device = m.allocate(k::device_object::size + a[1]);
        m.put32(device + k::device_object::driver_object, a[0]);
        m.put32(device + k::device_object::device_type, a[3]);
        m.put32(device + k::device_object::characteristics, a[4]);
        m.put32(device + k::device_object::next_device, m.u32(a[0] + k::driver_object::device_object));
        m.put32(a[0] + k::driver_object::device_object, device);
        m.put32(a[6], device);
        devices.push_back({name(a[2]), device});
        return st::success;
    });
    stdcall(nt, "IoCreateSymbolicLink", 2, [this](const std::uint32_t* a) {
        if (auto status = failure("IoCreateSymbolicLink")) return *status;
        links[name(a[0])] = name(a[1]);
        return st::success;
    });
    stdcall(nt, "IoDeleteSymbolicLink", 1, [this](const std::uint32_t* a) {
        return links.erase(name(a[0])) ? st::success : st::object_name_not_found;
    });
    stdcall(nt, "IoDeleteDevice", 1, [this, &m](const std::uint32_t* a) {
        for (auto& device : devices)
            if (device.object == a[0] && !device.deleted) return device.deleted = true, 0u;
        m.fault("IoDeleteDevice of a device that does not exist");
        return 0u;
    });

    // A device's security, through a kernel handle to the device object.
    stdcall(nt, "ObOpenObjectByPointer", 7, [this, &m](const std::uint32_t* a) {
        const Device* device = live_device(a[0]);
        if (!device) m.fault("ObOpenObjectByPointer of an object that is no live device");
        if (!(a[1] & k::obj_kernel_handle))
            m.fault("ObOpenObjectByPointer for a handle that is not a kernel handle");
        if (a[2] != 0) m.fault("ObOpenObjectByPointer with an access state");
        if (a[5] != k::kernel_mode) m.fault("ObOpenObjectByPointer with an access mode other than KernelMode");
        if (auto status = failure("ObOpenObjectByPointer")) return *status;
        if (!device) return st::invalid_handle;
        objects_opened.push_back(device->name);
        object_handles[next_handle_] = {device->name, a[3]};
        m.put32(a[6], next_handle_);
        next_handle_ += 4;
        return st::success;
    });
    stdcall(nt, "ZwSetSecurityObject", 3, [this, &m](const std::uint32_t* a) {
        const auto object = object_handles.find(a[0]);
        if (object == object_handles.end()) return m.fault("ZwSetSecurityObject of a handle not open"), st::invalid_handle;
        if (!(object->second.access & k::write_dac))
            return m.fault("ZwSetSecurityObject through a handle without WRITE_DAC"), st::access_denied;
        const bool linked = std::any_of(links.begin(), links.end(),
                                        [&](const auto& link) { return link.second == object->second.name; });
        security.push_back({object->second.name, a[1], descriptor(a[2]), linked});
        if (auto status = failure("ZwSetSecurityObject")) return *status;
        return st::success;
    });

    // The registry.
    stdcall(nt, "ZwOpenKey", 3, [this, &m](const std::uint32_t* a) {
        const std::u16string path = object_path(a[2]);
        if (!keys.count(path)) return st::object_name_not_found;
        key_handles[next_handle_] = {path, a[1]};
        m.put32(a[0], next_handle_);
        next_handle_ += 4;
        return st::success;
    });
    stdcall(nt, "ZwCreateKey", 7, [this, &m](const std::uint32_t* a) {
        const std::u16string path = object_path(a[2]);
        if (auto status = failure("ZwCreateKey")) return *status;
        const bool existed = keys.count(path) != 0;
        keys[path];
        created_keys.push_back({path, a[5]});
        key_handles[next_handle_] = {path, a[1]};
        m.put32(a[0], next_handle_);
        next_handle_ += 4;
        if (a[6]) m.put32(a[6], existed ? k::reg_opened_existing_key : k::reg_created_new_key);
        return st::success;
    });
    // KeyValuePartialInformation as the kernel gives it: ResultLength is
    // always the length needed; a buffer shorter than the header (up to
    // Data) gets nothing (STATUS_BUFFER_TOO_SMALL), one shorter than the whole
    // gets the header and as much data as fits (STATUS_BUFFER_OVERFLOW).
    stdcall(nt, "ZwQueryValueKey", 6, [this, &m](const std::uint32_t* a) {
        namespace info = k::key_value_partial_information;
        const std::u16string* path = key(a[0], k::key_query_value, "ZwQueryValueKey");
        if (a[2] != k::key_value_partial_information_class)
            m.fault("ZwQueryValueKey for other than KeyValuePartialInformation");
        const std::u16string value_name = name(a[1]);
        auto answer = [&](std::uint32_t status) { return queries.push_back({value_name, status}), status; };
        if (!path || !keys[*path].count(value_name)) return answer(st::object_name_not_found);
        const RegistryValue& value = keys[*path][value_name];
        const std::uint32_t needed = info::data + static_cast<std::uint32_t>(value.data.size());
        m.put32(a[5], needed);
        if (a[4] < info::data) return answer(st::buffer_too_small);
        m.put32(a[3] + info::title_index, 0);
        m.put32(a[3] + info::type, value.type);
        m.put32(a[3] + info::data_length, static_cast<std::uint32_t>(value.data.size()));
        const std::uint32_t fits = std::min(a[4], needed) - info::data;
        m.put(a[3] + info::data, std::vector<std::uint8_t>(value.data.begin(), value.data.begin() + fits));
        return answer(a[4] < needed ? st::buffer_overflow : st::success);
    });
    stdcall(nt, "ZwSetValueKey", 6, [this, &m](const std::uint32_t* a) {
        const std::u16string* path = key(a[0], k::key_set_value, "ZwSetValueKey");
        if (!path) return st::access_denied;
        keys[*path][name(a[1])] = {a[3], m.bytes(a[4], a[5])};
        return st::success;
    });
    stdcall(nt, "ZwDeleteKey", 1, [this](const std::uint32_t* a) {
        const std::u16string* path = key(a[0], k::delete_access, "ZwDeleteKey");
        if (!path) return st::access_denied;
        keys.erase(*path);
        deleted_keys.push_back(*path);
        return st::success;
    });
    stdcall(nt, "ZwClose", 1, [this, &m](const std::uint32_t* a) {
        if (!key_handles.erase(a[0]) && !object_handles.erase(a[0])) m.fault("ZwClose of a handle not open");
        return st::success;
    });

    // Requests and the lock that guards the driver's state. The "f"
    // functions of the kernel and the HAL take ECX and EDX.
    m.provide(nt, "IofCompleteRequest", 2, Convention::fastcall, [this, &m](const std::uint32_t* a) {
        // A completion routine may call the driver again on this processor.
        if (lock_held) m.fault("IofCompleteRequest while the driver holds its spin lock");
        ++completions[a[0]];
        return 0u;
    });
    stdcall(nt, "KeInitializeSpinLock", 1, [this, &m](const std::uint32_t* a) {
        m.put32(lock = a[0], 0);
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

    // The port cycles, one element or a buffer of them at a time, of each
    // width. The HAL's reads leave EAX's bits above the width undefined, so
    // they are not zero here either.
    for (const std::uint32_t width : {1u, 2u, 4u}) {
        const std::string suffix = width == 1 ? "UCHAR" : width == 2 ? "USHORT" : "ULONG";
        const std::uint32_t mask = width == 4 ? ~0u : (1u << 8 * width) - 1;
        auto check = [&m, width](std::uint32_t port, const std::string& function) {
            if (port + width - 1 > 0xFFFF) m.fault(function + " of an address beyond the port space");
        };
        stdcall("HAL.DLL", ("READ_PORT_" + suffix).c_str(), 1, [=, this](const std::uint32_t* a) {
            check(a[0], "READ_PORT_" + suffix);
            return (0x5EED5EEDu & ~mask) | port_read(a[0], width);
        });
        stdcall("HAL.DLL", ("WRITE_PORT_" + suffix).c_str(), 2, [=, this](const std::uint32_t* a) {
            check(a[0], "WRITE_PORT_" + suffix);
            cycles.push_back({a[0], a[1] & mask, true, width});
            return 0u;
        });
        stdcall("HAL.DLL", ("READ_PORT_BUFFER_" + suffix).c_str(), 3, [=, this, &m](const std::uint32_t* a) {
            check(a[0], "READ_PORT_BUFFER_" + suffix);
            buffer_calls.push_back({a[0], width, a[2], a[1], false});
            for (std::uint32_t i = 0; i < a[2]; ++i) {
                const std::uint32_t value = port_read(a[0], width);
                for (std::uint32_t byte = 0; byte < width; ++byte)
                    m.put8(a[1] + i * width + byte, static_cast<std::uint8_t>(value >> 8 * byte));
            }
            return 0u;
        });
        stdcall("HAL.DLL", ("WRITE_PORT_BUFFER_" + suffix).c_str(), 3, [=, this, &m](const std::uint32_t* a) {
            check(a[0], "WRITE_PORT_BUFFER_" + suffix);
            buffer_calls.push_back({a[0], width, a[2], a[1], true});
            for (std::uint32_t i = 0; i < a[2]; ++i) {
                std::uint32_t value = 0;
                for (std::uint32_t byte = width; byte-- > 0;) value = value << 8 | m.u8(a[1] + i * width + byte);
                cycles.push_back({a[0], value, true, width});
            }
            return 0u;
        });
    }
}

std::uint32_t FakeKernel::port_read(std::uint32_t port, std::uint32_t width) {
    std::uint32_t value = port_byte * 0x01010101u;
    if (!reads_give.empty()) value = reads_give.front(), reads_give.erase(reads_give.begin());
    if (width < 4) value &= (1u << 8 * width) - 1;
    cycles.push_back({port, value, false, width});
    return value;
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

std::u16string FakeKernel::name(std::uint32_t unicode) {
    return m_.wide(m_.u32(unicode + k::unicode_string::buffer), m_.u16(unicode + k::unicode_string::length));
}

std::u16string FakeKernel::object_path(std::uint32_t attributes) {
    namespace oa = k::object_attributes;
    std::u16string path = name(m_.u32(attributes + oa::object_name));
    if (const std::uint32_t root = m_.u32(attributes + oa::root_directory)) {
        const auto parent = key_handles.find(root);
        if (parent == key_handles.end()) return m_.fault("a key named below a key that is not open"), path;
        path = parent->second.name + u"\\" + path;
    }
    return path;
}

const std::u16string* FakeKernel::key(std::uint32_t handle, std::uint32_t access, const char* function) {
    const auto open = key_handles.find(handle);
    if (open == key_handles.end()) return m_.fault(std::string(function) + " of a key not open"), nullptr;
    if ((open->second.access & access) != access)
        return m_.fault(std::string(function) + " through a handle opened without the access it needs"), nullptr;
    return &open->second.name;
}

const FakeKernel::Device* FakeKernel::live_device(std::uint32_t object) const {
    for (const auto& device : devices)
        if (device.object == object && !device.deleted) return &device;
    return nullptr;
}

// A self-relative descriptor's bytes from its start to the end of whichever
// of its owner, group, SACL or DACL ends furthest away.
std::vector<std::uint8_t> FakeKernel::descriptor(std::uint32_t address) {
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

// The 32-bit kernel and HAL as far as teldo.sys uses them, as stand-ins bound
// to a Machine's traps. Each call is checked the way the real function would
// take it (a handle that is open, with the access the call needs; a device
// that exists) and recorded, so that a test can see what the driver left
// behind: devices, links, registry keys and values, handles, the security
// it set, and every port cycle it made through the HAL.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "x86_machine.h"

namespace teldo::emu {

// The bytes of a self-relative security descriptor, an ACE and a SID, as the
// platform documents them (MinGW's wdm.h, against which ddk32_layout_check.cpp
// proves the other layouts, does not declare these; the ACL header is there).
namespace descriptor_format {
constexpr std::uint32_t revision = 0x0, control = 0x2, owner = 0x4, group = 0x8, sacl = 0xC,
                        dacl = 0x10, header_size = 0x14;
constexpr std::uint32_t ace_type = 0x0, ace_flags = 0x1, ace_size = 0x2, ace_mask = 0x4, ace_sid = 0x8;
constexpr std::uint32_t sid_revision = 0x0, sid_count = 0x1, sid_authority = 0x2, sid_rids = 0x8;
constexpr std::uint16_t se_dacl_present = 0x0004, se_dacl_protected = 0x1000, se_self_relative = 0x8000;
constexpr std::uint8_t access_allowed_ace_type = 0, sid_revision_1 = 1;
}  // namespace descriptor_format

// A registry value as the kernel keeps it: its type and its raw bytes.
struct RegistryValue {
    std::uint32_t type;
    std::vector<std::uint8_t> data;
};
RegistryValue dword_value(std::uint32_t value);
// The UTF-16 units as given, little-endian, NULs included: a REG_MULTI_SZ
// list spells out every string's NUL and the list's final one.
RegistryValue wide_value(std::uint32_t type, const std::u16string& units);

class FakeKernel {
public:
    struct Device {
        std::u16string name;
        std::uint32_t object;
        bool deleted = false;
    };
    struct OpenHandle {
        std::u16string name;  // a key's path, or a device's name
        std::uint32_t access;
    };
    struct CreatedKey {
        std::u16string path;
        std::uint32_t options;
    };
    // One ZwSetSecurityObject: on which device, what, and whether the
    // device's link already existed then.
    struct SecuritySet {
        std::u16string device;
        std::uint32_t information;
        std::vector<std::uint8_t> descriptor;  // self-relative, up to its DACL's end
        bool linked;
    };
    // One bus cycle of `width` bytes, alone or as an element of a buffer call.
    struct PortCycle {
        std::uint32_t port;
        std::uint32_t value;
        bool write;
        std::uint32_t width = 1;
        bool operator==(const PortCycle&) const = default;
        friend void PrintTo(const PortCycle& cycle, std::ostream* out) {
            *out << (cycle.write ? "write" : "read") << cycle.width << " " << std::hex << cycle.port << " "
                 << cycle.value << std::dec;
        }
    };
    // One READ_PORT_BUFFER_* or WRITE_PORT_BUFFER_* call.
    struct BufferCall {
        std::uint32_t port, width, count, buffer;
        bool write;
        bool operator==(const BufferCall&) const = default;
    };
    struct Query {
        std::u16string value;
        std::uint32_t status;
    };

    explicit FakeKernel(Machine& m);

    // Makes the `call`th call (from 0) of `function` fail with `status`.
    void fail(const std::string& function, int call, std::uint32_t status) {
        failures_[function] = {call, status};
    }

    std::vector<std::u16string> live_devices() const;
    std::vector<std::u16string> open_keys() const;  // paths, in the order opened

    std::vector<Device> devices;
    std::map<std::u16string, std::u16string> links;  // link -> device
    std::map<std::uint32_t, int> completions;        // IRP -> times completed
    std::uint32_t lock = 0;
    bool lock_held = false;

    // The registry: keys by path, each with its values.
    std::map<std::u16string, std::map<std::u16string, RegistryValue>> keys;
    std::map<std::uint32_t, OpenHandle> key_handles;     // open now
    std::map<std::uint32_t, OpenHandle> object_handles;  // open now
    std::vector<CreatedKey> created_keys;
    std::vector<std::u16string> deleted_keys;
    std::vector<Query> queries;  // every ZwQueryValueKey, with the status it returned

    std::vector<std::u16string> objects_opened;  // devices ObOpenObjectByPointer opened
    std::vector<SecuritySet> security;
    std::vector<PortCycle> cycles;  // every cycle of the HAL's port functions
    std::vector<BufferCall> buffer_calls;
    std::uint8_t port_byte = 0xFF;       // what a read gives back in each byte,
    std::vector<std::uint32_t> reads_give;  // unless this still holds values, taken in turn

private:
    std::optional<std::uint32_t> failure(const std::string& function);
    std::u16string name(std::uint32_t unicode_string);
    std::u16string object_path(std::uint32_t attributes);
    // The path of an open key handle that carries `access`; a fault if not.
    const std::u16string* key(std::uint32_t handle, std::uint32_t access, const char* function);
    const Device* live_device(std::uint32_t object) const;
    std::vector<std::uint8_t> descriptor(std::uint32_t address);
    std::uint32_t port_read(std::uint32_t port, std::uint32_t width);

    Machine& m_;
    std::uint32_t next_handle_ = 0x80000100;
    std::map<std::string, int> calls_;
    std::map<std::string, std::pair<int, std::uint32_t>> failures_;
};

}  // namespace teldo::emu

// The kernel and HAL as far as teldo.sys uses them, 32-bit or 64-bit as the
// Machine is, as stand-ins bound to its traps. Each call is checked the way
// the real function would take it (a handle that is open, with the access
// the call needs; a device that exists) and recorded, so that a test can see
// what the driver left behind: devices, links, registry keys and values,
// handles, the security it set, and every port cycle it made: through the
// HAL on x86, with its own in and out instructions on x64, where the fake
// kernel is the machine's port bus.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <ostream>
#include <string>
#include <vector>

#include "ddk_layout.h"
#include "x86_machine.h"

namespace teldo::emu {

// The bytes of a self-relative security descriptor, an ACE and a SID, as the
// platform documents them (MinGW's wdm.h, against which ddk_layout_check.cpp
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
        Address object;
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
    // One bus cycle of `width` bytes, alone or as an element of a buffer
    // call or string instruction, with the memory that element went to or
    // came from (0 for a cycle alone).
    struct PortCycle {
        std::uint32_t port;
        std::uint32_t value;
        bool write;
        std::uint32_t width = 1;
        Address memory = 0;
        bool operator==(const PortCycle&) const = default;
        friend void PrintTo(const PortCycle& cycle, std::ostream* out) {
            *out << (cycle.write ? "write" : "read") << cycle.width << " " << std::hex << cycle.port << " "
                 << cycle.value;
            if (cycle.memory) *out << " @" << cycle.memory;
            *out << std::dec;
        }
    };
    // One READ_PORT_BUFFER_* or WRITE_PORT_BUFFER_* call (x86).
    struct BufferCall {
        std::uint32_t port, width, count;
        Address buffer;
        bool write;
        bool operator==(const BufferCall&) const = default;
    };
    struct Query {
        std::u16string value;
        std::uint32_t status;
    };

    explicit FakeKernel(Machine& m);

    // The machine's structure layouts.
    const ddk::Layout& layout() const { return k_; }

    // Makes the `call`th call (from 0) of `function` fail with `status`.
    void fail(const std::string& function, int call, std::uint32_t status) {
        failures_[function] = {call, status};
    }

    std::vector<std::u16string> live_devices() const;
    std::vector<std::u16string> open_keys() const;  // paths, in the order opened

    std::vector<Device> devices;
    std::map<std::u16string, std::u16string> links;  // link -> device
    std::map<Address, int> completions;              // IRP -> times completed
    Address lock = 0;  // the spin lock that guards the driver's state
    bool lock_held = false;
    Address bus_mutex = 0;  // the mutex that serialises the bus
    bool bus_held = false;
    // Another request holds the bus, for as long as a program or a block
    // may: a wait for it now is a fault, for a request that is refused
    // must not wait behind one.
    bool bus_busy = false;
    // The caller's IRQL: KeGetCurrentIrql on x86, CR8 on x64. Requests come
    // at APC_LEVEL, the highest where a wait for the bus is allowed, so
    // that a spin lock must give back exactly that.
    std::uint8_t irql = ddk::apc_level;
    std::uint8_t irql_before_lock = 0;

    // The system buffer of the port request being sent: while the spin lock
    // is held, the driver may read only its first bytes (which the record
    // keeps) and write none of it, so that no block is copied there.
    void guard_request_buffer(Address buffer, std::uint32_t length);

    // The registry: keys by path, each with its values.
    std::map<std::u16string, std::map<std::u16string, RegistryValue>> keys;
    std::map<Address, OpenHandle> key_handles;     // open now
    std::map<Address, OpenHandle> object_handles;  // open now
    std::vector<CreatedKey> created_keys;
    std::set<std::u16string> volatile_keys;  // created with REG_OPTION_VOLATILE, and still there
    std::vector<std::u16string> deleted_keys;
    std::vector<Query> queries;  // every ZwQueryValueKey, with the status it returned

    std::vector<std::u16string> objects_opened;  // devices ObOpenObjectByPointer opened
    std::vector<SecuritySet> security;
    std::vector<PortCycle> cycles;  // every port cycle
    std::vector<BufferCall> buffer_calls;
    std::uint8_t port_byte = 0xFF;       // what a read gives back in each byte,
    std::vector<std::uint32_t> reads_give;  // unless this still holds values, taken in turn
    // Claims of ports for the driver (IoReportResourceForDetection): each
    // call's ranges, first and last port, an empty list for a release; the
    // ports that devices hold, which a claim may not overlap (a conflict is
    // told through ConflictDetected alone, if `conflict_by_flag_only`, as
    // some Windows do); and what the call answers otherwise (Wine answers
    // STATUS_NOT_IMPLEMENTED). A list laid out otherwise than the platform
    // documents it, for the machine's architecture, is a fault.
    using Ranges = std::vector<std::pair<std::uint16_t, std::uint16_t>>;
    std::vector<Ranges> claims;
    Ranges held_by_devices;
    bool conflict_by_flag_only = false;
    std::uint32_t claim_answer = ddk::status::success;

    // The ports a cycle may reach, first and last of each window; a cycle
    // anywhere else is a fault (with none, every cycle is).
    std::vector<std::pair<std::uint16_t, std::uint16_t>> windows;

    // Time: every port cycle takes a microsecond, every reading of the
    // performance counter `reading_ns`. The counter ticks `counter_frequency`
    // times a second (an ACPI timer's rate unless set), from `counter_start`
    // at clock_ns 0, its steps `counter_phase_ns` early; from
    // `counter_back_at_ns` on it reads `counter_back` ticks less, as when a
    // thread moves to a processor whose counter lags.
    std::uint64_t counter_frequency = 3579545;
    std::uint64_t counter_start = 0;
    std::uint64_t counter_phase_ns = 0;
    std::uint64_t counter_back = 0, counter_back_at_ns = ~std::uint64_t{0};
    std::uint64_t reading_ns = 1000;
    std::uint64_t clock_ns = 0;
    std::vector<std::uint64_t> cycle_times;  // clock_ns at each cycle of `cycles`

private:
    std::optional<std::uint32_t> failure(const std::string& function);
    std::u16string name(Address unicode_string);
    std::u16string object_path(Address attributes);
    // The path of an open key handle that carries `access`; a fault if not.
    const std::u16string* key(Address handle, std::uint32_t access, const char* function);
    const Device* live_device(Address object) const;
    std::vector<std::uint8_t> descriptor(Address address);
    Address new_handle(std::map<Address, OpenHandle>& handles, OpenHandle open);
    std::uint32_t port_cycle(std::uint32_t port, std::uint32_t width, bool write, std::uint32_t value,
                             Address memory);
    // The ranges of a CM_RESOURCE_LIST of `size` bytes at `list`.
    Ranges claimed_ranges(Address list, std::uint32_t size);

    Machine& m_;
    const ddk::Layout& k_;
    // Kernel handles have the top bit set; on x64 they are sign-extended,
    // so a handle the driver cut to 32 bits is not open.
    Address next_handle_;
    std::map<std::string, int> calls_;
    std::map<std::string, std::pair<int, std::uint32_t>> failures_;
};

}  // namespace teldo::emu

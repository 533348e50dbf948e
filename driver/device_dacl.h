// Who may open the driver's devices, and for what. The fixed security
// descriptor that the driver puts on them is a protected DACL that grants
// full file access to SYSTEM and to the Administrators group and, when an
// administrator allows it, reading and writing to the local Users group;
// nobody else may open the device. Built here as the self-relative bytes
// the kernel takes, so that no security API is needed to make it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace teldo::security {

constexpr std::uint32_t file_all_access = 0x001F01FF;  // FILE_ALL_ACCESS
// FILE_GENERIC_READ | FILE_GENERIC_WRITE: data, attributes, extended
// attributes, READ_CONTROL and SYNCHRONIZE, but not DELETE, WRITE_DAC or
// WRITE_OWNER, with which a user could rewrite the device's own security.
constexpr std::uint32_t file_read_write_access = 0x0012019F;
constexpr std::uint16_t se_dacl_present = 0x0004, se_dacl_protected = 0x1000,
                        se_self_relative = 0x8000;

// The well-known groups, as the relative identifiers below the NT authority
// (S-1-5-...): SYSTEM is S-1-5-18, Administrators S-1-5-32-544, Users
// S-1-5-32-545.
struct WellKnownSid {
    std::uint8_t count;
    std::uint32_t rids[2];
};
constexpr WellKnownSid local_system{1, {18, 0}};
constexpr WellKnownSid administrators{2, {32, 544}};
constexpr WellKnownSid users{2, {32, 545}};

constexpr std::size_t sid_size(const WellKnownSid& sid) { return 8 + 4u * sid.count; }
constexpr std::size_t ace_size(const WellKnownSid& sid) { return 8 + sid_size(sid); }
constexpr std::size_t header_size = 20, acl_header_size = 8;
constexpr std::size_t descriptor_size(bool with_users) {
    return header_size + acl_header_size + ace_size(local_system) + ace_size(administrators) +
           (with_users ? ace_size(users) : 0);
}
constexpr std::size_t max_descriptor_size = descriptor_size(true);

using Descriptor = std::array<std::uint8_t, max_descriptor_size>;

// The descriptor's bytes (the first descriptor_size(with_users) of them).
constexpr Descriptor device_descriptor(bool with_users) {
    Descriptor bytes{};
    std::size_t at = 0;
    auto put8 = [&](std::uint32_t v) { bytes[at++] = static_cast<std::uint8_t>(v); };
    auto put16 = [&](std::uint32_t v) { put8(v), put8(v >> 8); };
    auto put32 = [&](std::uint32_t v) { put16(v), put16(v >> 16); };
    auto put_ace = [&](const WellKnownSid& sid, std::uint32_t mask) {
        put8(0);  // ACCESS_ALLOWED_ACE_TYPE
        put8(0);  // no inheritance flags
        put16(static_cast<std::uint32_t>(ace_size(sid)));
        put32(mask);
        put8(1);  // SID revision
        put8(sid.count);
        for (std::uint8_t b : {0, 0, 0, 0, 0, 5}) put8(b);  // the NT authority, big-endian
        for (std::uint8_t i = 0; i < sid.count; ++i) put32(sid.rids[i]);
    };
    const auto size = descriptor_size(with_users);
    put8(1);  // SECURITY_DESCRIPTOR_REVISION
    put8(0);
    put16(se_dacl_present | se_dacl_protected | se_self_relative);
    put32(0), put32(0), put32(0);  // no owner, group or SACL: only the DACL is set
    put32(header_size);            // the DACL follows the header
    put8(2);                       // ACL_REVISION
    put8(0);
    put16(static_cast<std::uint32_t>(size - header_size));
    put16(with_users ? 3 : 2);
    put16(0);
    put_ace(local_system, file_all_access);
    put_ace(administrators, file_all_access);
    if (with_users) put_ace(users, file_read_write_access);
    return bytes;
}

// The access mask bits an open is judged by.
constexpr std::uint32_t file_read_data = 0x0001, file_write_data = 0x0002;
constexpr std::uint32_t generic_read = 0x80000000, generic_write = 0x40000000, generic_all = 0x10000000;

// Whether an open asked for both reading and writing data: only such an
// open may reach the ports, since the port requests name no access of their
// own. `desired` is the access the create asked for, which the I/O manager
// has already checked against the DACL for a caller from user mode. It is
// taken in either form, generic rights as a file object maps them
// (GENERIC_READ includes reading data, GENERIC_WRITE writing, GENERIC_ALL
// both) or specific rights.
constexpr bool asks_read_and_write(std::uint32_t desired) {
    if (desired & generic_all) return true;
    const bool read = (desired & (file_read_data | generic_read)) != 0;
    const bool write = (desired & (file_write_data | generic_write)) != 0;
    return read && write;
}

}  // namespace teldo::security

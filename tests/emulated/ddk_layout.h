// Where the kernel's structures keep the fields the driver uses, for the
// 32-bit and the 64-bit kernel, and the constants and status codes that pass
// between them, for a test that builds them in emulated memory.
// ddk_layout_check.cpp proves every one against the DDK header, in the x86
// build for `ddk32` and in the x64 build for `ddk64`.
#pragma once

#include <cstdint>

namespace teldo::emu::ddk {

// The offsets of one architecture. On x64 every pointer, handle and
// ULONG_PTR is 8 bytes and aligned to 8, so most offsets move while the
// ULONG fields keep 4 bytes.
struct Layout {
    std::uint32_t pointer;  // bytes in a pointer, a handle, a ULONG_PTR
    struct {
        std::uint32_t length, maximum_length, buffer, size;
    } unicode_string;  // UNICODE_STRING
    struct {
        std::uint32_t device_object, driver_unload, major_function, size;
    } driver_object;  // DRIVER_OBJECT
    struct {
        std::uint32_t driver_object, next_device, flags, characteristics, device_type, size;
    } device_object;  // DEVICE_OBJECT
    struct {
        std::uint32_t system_buffer, io_status, information, current_stack_location, size;
    } irp;  // IRP
    struct {
        // a create's SecurityContext, a device control's lengths and code
        std::uint32_t major_function, security_context, output_buffer_length, input_buffer_length,
            io_control_code, device_object, file_object, size;
    } io_stack_location;  // IO_STACK_LOCATION
    struct {
        std::uint32_t access_state, desired_access, size;
    } io_security_context;  // IO_SECURITY_CONTEXT
    struct {
        std::uint32_t previously_granted_access, size;
    } access_state;  // ACCESS_STATE
    struct {
        std::uint32_t file_name, size;
    } file_object;  // FILE_OBJECT
    struct {
        std::uint32_t root_directory, object_name, size;
    } object_attributes;  // OBJECT_ATTRIBUTES
};

constexpr Layout ddk32{4,
                       {0x0, 0x2, 0x4, 0x8},
                       {0x04, 0x34, 0x38, 0xA8},
                       {0x08, 0x0C, 0x1C, 0x20, 0x2C, 0xB8},
                       {0x0C, 0x18, 0x1C, 0x60, 0x70},
                       {0x00, 0x04, 0x04, 0x08, 0x0C, 0x14, 0x18, 0x24},
                       {0x4, 0x8, 0x10},
                       {0x14, 0x74},
                       {0x30, 0x80},
                       {0x04, 0x08, 0x18}};
constexpr Layout ddk64{8,
                       {0x0, 0x2, 0x8, 0x10},
                       {0x08, 0x68, 0x70, 0x150},
                       {0x08, 0x10, 0x30, 0x34, 0x48, 0x148},
                       {0x18, 0x30, 0x38, 0xB8, 0xD0},
                       {0x00, 0x08, 0x08, 0x10, 0x18, 0x28, 0x30, 0x48},
                       {0x8, 0x10, 0x18},
                       {0x14, 0xA0},
                       {0x58, 0xD8},
                       {0x08, 0x10, 0x30}};

// The same on both architectures.
namespace key_value_partial_information {  // KEY_VALUE_PARTIAL_INFORMATION
constexpr std::uint32_t title_index = 0x00, type = 0x04, data_length = 0x08, data = 0x0C;
}
namespace acl {  // ACL, the header of an access control list
constexpr std::uint32_t revision = 0x0, acl_size = 0x2, ace_count = 0x4, size = 0x8;
}

constexpr std::uint8_t irp_mj_create = 0x00, irp_mj_close = 0x02, irp_mj_device_control = 0x0E,
                       irp_mj_cleanup = 0x12, irp_mj_maximum = 0x1B;
constexpr std::uint32_t do_buffered_io = 0x4, file_device_secure_open = 0x100;
constexpr std::uint32_t key_value_partial_information_class = 2;
constexpr std::uint32_t reg_sz = 1, reg_binary = 3, reg_dword = 4, reg_multi_sz = 7;
constexpr std::uint32_t key_query_value = 0x1, key_set_value = 0x2, delete_access = 0x10000,
                        write_dac = 0x40000, file_all_access = 0x1F01FF;
constexpr std::uint32_t file_read_data = 0x1, file_write_data = 0x2, file_read_attributes = 0x80,
                        synchronize = 0x100000, file_generic_read = 0x120089, file_generic_write = 0x120116,
                        generic_read = 0x80000000, generic_write = 0x40000000, generic_all = 0x10000000;
constexpr std::uint32_t reg_option_volatile = 1, reg_created_new_key = 1, reg_opened_existing_key = 2;
constexpr std::uint32_t obj_kernel_handle = 0x200, kernel_mode = 0, dacl_security_information = 4;
constexpr std::uint8_t security_descriptor_revision = 1, acl_revision = 2;
constexpr std::uint8_t passive_level = 0, apc_level = 1, dispatch_level = 2;

namespace status {  // NTSTATUS
constexpr std::uint32_t success = 0, not_implemented = 0xC0000002, buffer_overflow = 0x80000005,
                        info_length_mismatch = 0xC0000004, invalid_handle = 0xC0000008,
                        invalid_parameter = 0xC000000D, invalid_device_request = 0xC0000010,
                        conflicting_addresses = 0xC0000018,
                        access_denied = 0xC0000022, buffer_too_small = 0xC0000023,
                        object_name_not_found = 0xC0000034, sharing_violation = 0xC0000043,
                        invalid_security_descr = 0xC0000079,
                        insufficient_resources = 0xC000009A, invalid_device_state = 0xC0000184,
                        io_device_error = 0xC0000185;
}

}  // namespace teldo::emu::ddk

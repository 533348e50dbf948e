// Where the 32-bit kernel's structures keep the fields the driver uses, and
// the constants and status codes that pass between them, for a test that
// builds them in emulated memory. ddk32_layout_check.cpp proves every one
// against the DDK header in the x86 build.
#pragma once

#include <cstdint>

namespace teldo::emu::ddk32 {

namespace unicode_string {  // UNICODE_STRING
constexpr std::uint32_t length = 0x0, buffer = 0x4, size = 0x8;
}
namespace driver_object {  // DRIVER_OBJECT
constexpr std::uint32_t device_object = 0x04, driver_unload = 0x34, major_function = 0x38,
                        size = 0xA8;
}
namespace device_object {  // DEVICE_OBJECT
constexpr std::uint32_t driver_object = 0x08, next_device = 0x0C, flags = 0x1C,
                        characteristics = 0x20, device_type = 0x2C, size = 0xB8;
}
namespace irp {  // IRP
constexpr std::uint32_t system_buffer = 0x0C, io_status = 0x18, information = 0x1C,
                        current_stack_location = 0x60, size = 0x70;
}
namespace io_stack_location {  // IO_STACK_LOCATION; a create's SecurityContext, a control's lengths
constexpr std::uint32_t major_function = 0x00, security_context = 0x04, output_buffer_length = 0x04,
                        input_buffer_length = 0x08, io_control_code = 0x0C, device_object = 0x14,
                        file_object = 0x18, size = 0x24;
}
namespace io_security_context {  // IO_SECURITY_CONTEXT
constexpr std::uint32_t access_state = 0x4, size = 0x10;
}
namespace access_state {  // ACCESS_STATE
constexpr std::uint32_t previously_granted_access = 0x14, size = 0x74;
}
namespace file_object {  // FILE_OBJECT
constexpr std::uint32_t file_name = 0x30, size = 0x80;
}
namespace object_attributes {  // OBJECT_ATTRIBUTES
constexpr std::uint32_t root_directory = 0x04, object_name = 0x08, size = 0x18;
}
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
constexpr std::uint32_t file_read_attributes = 0x80, synchronize = 0x100000,
                        file_generic_read = 0x120089, file_generic_write = 0x120116;
constexpr std::uint32_t reg_option_volatile = 1, reg_created_new_key = 1, reg_opened_existing_key = 2;
constexpr std::uint32_t obj_kernel_handle = 0x200, kernel_mode = 0, dacl_security_information = 4;
constexpr std::uint8_t security_descriptor_revision = 1, acl_revision = 2;

namespace status {  // NTSTATUS
constexpr std::uint32_t success = 0, buffer_overflow = 0x80000005,
                        info_length_mismatch = 0xC0000004, invalid_handle = 0xC0000008,
                        invalid_parameter = 0xC000000D, conflicting_addresses = 0xC0000018,
                        access_denied = 0xC0000022, buffer_too_small = 0xC0000023,
                        object_name_not_found = 0xC0000034, sharing_violation = 0xC0000043,
                        invalid_security_descr = 0xC0000079,
                        insufficient_resources = 0xC000009A, io_device_error = 0xC0000185;
}

}  // namespace teldo::emu::ddk32

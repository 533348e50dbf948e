// Where the 32-bit kernel's structures keep the fields the stand-in driver
// uses, for a test that builds them in emulated memory. ddk32_layout_check.cpp
// proves every offset against the DDK header in the x86 build.
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
namespace io_stack_location {  // IO_STACK_LOCATION
constexpr std::uint32_t major_function = 0x00, output_buffer_length = 0x04,
                        input_buffer_length = 0x08, io_control_code = 0x0C, device_object = 0x14,
                        file_object = 0x18, size = 0x24;
}
namespace object_attributes {  // OBJECT_ATTRIBUTES
constexpr std::uint32_t root_directory = 0x04, object_name = 0x08, size = 0x18;
}
namespace key_value_partial_information {  // KEY_VALUE_PARTIAL_INFORMATION
constexpr std::uint32_t type = 0x04, data_length = 0x08, data = 0x0C;
}

constexpr std::uint8_t irp_mj_create = 0x00, irp_mj_close = 0x02, irp_mj_device_control = 0x0E,
                       irp_mj_cleanup = 0x12, irp_mj_maximum = 0x1B;
constexpr std::uint32_t do_buffered_io = 0x4, file_device_secure_open = 0x100;
constexpr std::uint32_t key_value_partial_information_class = 2, reg_dword = 4;

}  // namespace teldo::emu::ddk32

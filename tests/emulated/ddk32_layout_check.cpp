// Compiled by the x86 build only: the offsets the emulated driver test uses
// are the DDK header's own.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <sdkddkver.h>
#ifndef NTDDI_WINVISTA
#define NTDDI_WINVISTA NTDDI_VISTA
#endif
#include <ddk/wdm.h>

#include <cstddef>

#include "ddk32_layout.h"

namespace l = teldo::emu::ddk32;

static_assert(sizeof(void*) == 4, "the 32-bit layouts are checked by the x86 build only");
static_assert(offsetof(UNICODE_STRING, Length) == l::unicode_string::length);
static_assert(offsetof(UNICODE_STRING, Buffer) == l::unicode_string::buffer);
static_assert(sizeof(UNICODE_STRING) == l::unicode_string::size);
static_assert(offsetof(DRIVER_OBJECT, DeviceObject) == l::driver_object::device_object);
static_assert(offsetof(DRIVER_OBJECT, DriverUnload) == l::driver_object::driver_unload);
static_assert(offsetof(DRIVER_OBJECT, MajorFunction) == l::driver_object::major_function);
static_assert(sizeof(DRIVER_OBJECT) == l::driver_object::size);
static_assert(offsetof(DEVICE_OBJECT, DriverObject) == l::device_object::driver_object);
static_assert(offsetof(DEVICE_OBJECT, NextDevice) == l::device_object::next_device);
static_assert(offsetof(DEVICE_OBJECT, Flags) == l::device_object::flags);
static_assert(offsetof(DEVICE_OBJECT, Characteristics) == l::device_object::characteristics);
static_assert(offsetof(DEVICE_OBJECT, DeviceType) == l::device_object::device_type);
static_assert(sizeof(DEVICE_OBJECT) == l::device_object::size);
static_assert(offsetof(IRP, AssociatedIrp.SystemBuffer) == l::irp::system_buffer);
static_assert(offsetof(IRP, IoStatus.Status) == l::irp::io_status);
static_assert(offsetof(IRP, IoStatus.Information) == l::irp::information);
static_assert(offsetof(IRP, Tail.Overlay.CurrentStackLocation) == l::irp::current_stack_location);
static_assert(sizeof(IRP) == l::irp::size);
static_assert(offsetof(IO_STACK_LOCATION, MajorFunction) == l::io_stack_location::major_function);
static_assert(offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.OutputBufferLength) ==
              l::io_stack_location::output_buffer_length);
static_assert(offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.InputBufferLength) ==
              l::io_stack_location::input_buffer_length);
static_assert(offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode) ==
              l::io_stack_location::io_control_code);
static_assert(offsetof(IO_STACK_LOCATION, DeviceObject) == l::io_stack_location::device_object);
static_assert(offsetof(IO_STACK_LOCATION, FileObject) == l::io_stack_location::file_object);
static_assert(sizeof(IO_STACK_LOCATION) == l::io_stack_location::size);
static_assert(offsetof(OBJECT_ATTRIBUTES, RootDirectory) == l::object_attributes::root_directory);
static_assert(offsetof(OBJECT_ATTRIBUTES, ObjectName) == l::object_attributes::object_name);
static_assert(sizeof(OBJECT_ATTRIBUTES) == l::object_attributes::size);
static_assert(offsetof(KEY_VALUE_PARTIAL_INFORMATION, Type) == l::key_value_partial_information::type);
static_assert(offsetof(KEY_VALUE_PARTIAL_INFORMATION, DataLength) ==
              l::key_value_partial_information::data_length);
static_assert(offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) == l::key_value_partial_information::data);
static_assert(KeyValuePartialInformation == l::key_value_partial_information_class && REG_DWORD == l::reg_dword);
static_assert(IRP_MJ_CREATE == l::irp_mj_create && IRP_MJ_CLOSE == l::irp_mj_close &&
              IRP_MJ_DEVICE_CONTROL == l::irp_mj_device_control &&
              IRP_MJ_CLEANUP == l::irp_mj_cleanup && IRP_MJ_MAXIMUM_FUNCTION == l::irp_mj_maximum);
static_assert(DO_BUFFERED_IO == l::do_buffered_io &&
              FILE_DEVICE_SECURE_OPEN == l::file_device_secure_open);

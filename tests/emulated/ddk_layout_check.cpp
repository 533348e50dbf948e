// Compiled by both Windows builds: the offsets and values the emulated driver
// test uses are the DDK header's own, the x86 build checking the 32-bit
// layout and the x64 build the 64-bit one.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <sdkddkver.h>
#ifndef NTDDI_WINVISTA
#define NTDDI_WINVISTA NTDDI_VISTA
#endif
#include <ddk/wdm.h>

#include <cstddef>

#include "ddk_layout.h"

namespace l = teldo::emu::ddk;
constexpr const l::Layout& layout = sizeof(void*) == 4 ? l::ddk32 : l::ddk64;

static_assert(sizeof(void*) == layout.pointer);
static_assert(offsetof(UNICODE_STRING, MaximumLength) == layout.unicode_string.maximum_length);
static_assert(offsetof(UNICODE_STRING, Length) == layout.unicode_string.length);
static_assert(offsetof(UNICODE_STRING, Buffer) == layout.unicode_string.buffer);
static_assert(sizeof(UNICODE_STRING) == layout.unicode_string.size);
static_assert(offsetof(DRIVER_OBJECT, DeviceObject) == layout.driver_object.device_object);
static_assert(offsetof(DRIVER_OBJECT, DriverUnload) == layout.driver_object.driver_unload);
static_assert(offsetof(DRIVER_OBJECT, MajorFunction) == layout.driver_object.major_function);
static_assert(sizeof(DRIVER_OBJECT) == layout.driver_object.size);
static_assert(offsetof(DEVICE_OBJECT, DriverObject) == layout.device_object.driver_object);
static_assert(offsetof(DEVICE_OBJECT, NextDevice) == layout.device_object.next_device);
static_assert(offsetof(DEVICE_OBJECT, Flags) == layout.device_object.flags);
static_assert(offsetof(DEVICE_OBJECT, Characteristics) == layout.device_object.characteristics);
static_assert(offsetof(DEVICE_OBJECT, DeviceType) == layout.device_object.device_type);
static_assert(sizeof(DEVICE_OBJECT) == layout.device_object.size);
static_assert(offsetof(IRP, AssociatedIrp.SystemBuffer) == layout.irp.system_buffer);
static_assert(offsetof(IRP, IoStatus.Status) == layout.irp.io_status);
static_assert(offsetof(IRP, IoStatus.Information) == layout.irp.information);
static_assert(offsetof(IRP, Tail.Overlay.CurrentStackLocation) == layout.irp.current_stack_location);
static_assert(sizeof(IRP) == layout.irp.size);
static_assert(offsetof(IO_STACK_LOCATION, MajorFunction) == layout.io_stack_location.major_function);
static_assert(offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.OutputBufferLength) ==
              layout.io_stack_location.output_buffer_length);
static_assert(offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.InputBufferLength) ==
              layout.io_stack_location.input_buffer_length);
static_assert(offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode) ==
              layout.io_stack_location.io_control_code);
static_assert(offsetof(IO_STACK_LOCATION, DeviceObject) == layout.io_stack_location.device_object);
static_assert(offsetof(IO_STACK_LOCATION, FileObject) == layout.io_stack_location.file_object);
static_assert(offsetof(IO_STACK_LOCATION, Parameters.Create.SecurityContext) ==
              layout.io_stack_location.security_context);
static_assert(sizeof(IO_STACK_LOCATION) == layout.io_stack_location.size);
static_assert(offsetof(IO_SECURITY_CONTEXT, AccessState) == layout.io_security_context.access_state &&
              offsetof(IO_SECURITY_CONTEXT, DesiredAccess) == layout.io_security_context.desired_access &&
              sizeof(IO_SECURITY_CONTEXT) == layout.io_security_context.size);
static_assert(offsetof(ACCESS_STATE, PreviouslyGrantedAccess) == layout.access_state.previously_granted_access &&
              sizeof(ACCESS_STATE) == layout.access_state.size);
static_assert(offsetof(FILE_OBJECT, FileName) == layout.file_object.file_name &&
              sizeof(FILE_OBJECT) == layout.file_object.size);
static_assert(offsetof(OBJECT_ATTRIBUTES, RootDirectory) == layout.object_attributes.root_directory);
static_assert(offsetof(OBJECT_ATTRIBUTES, ObjectName) == layout.object_attributes.object_name);
static_assert(sizeof(OBJECT_ATTRIBUTES) == layout.object_attributes.size);
static_assert(offsetof(KEY_VALUE_PARTIAL_INFORMATION, Type) == l::key_value_partial_information::type);
static_assert(offsetof(KEY_VALUE_PARTIAL_INFORMATION, DataLength) ==
              l::key_value_partial_information::data_length);
static_assert(offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) == l::key_value_partial_information::data);
static_assert(offsetof(KEY_VALUE_PARTIAL_INFORMATION, TitleIndex) ==
              l::key_value_partial_information::title_index);
static_assert(offsetof(ACL, AclRevision) == l::acl::revision && offsetof(ACL, AclSize) == l::acl::acl_size &&
              offsetof(ACL, AceCount) == l::acl::ace_count && sizeof(ACL) == l::acl::size);
static_assert(KeyValuePartialInformation == l::key_value_partial_information_class);
static_assert(REG_SZ == l::reg_sz && REG_BINARY == l::reg_binary && REG_DWORD == l::reg_dword &&
              REG_MULTI_SZ == l::reg_multi_sz);
static_assert(KEY_QUERY_VALUE == l::key_query_value && KEY_SET_VALUE == l::key_set_value &&
              DELETE == l::delete_access && WRITE_DAC == l::write_dac &&
              FILE_ALL_ACCESS == l::file_all_access);
static_assert(FILE_READ_ATTRIBUTES == l::file_read_attributes && SYNCHRONIZE == l::synchronize &&
              FILE_GENERIC_READ == l::file_generic_read && FILE_GENERIC_WRITE == l::file_generic_write &&
              FILE_READ_DATA == l::file_read_data && FILE_WRITE_DATA == l::file_write_data &&
              GENERIC_READ == l::generic_read && GENERIC_WRITE == l::generic_write &&
              GENERIC_ALL == l::generic_all);
static_assert(REG_OPTION_VOLATILE == l::reg_option_volatile &&
              REG_CREATED_NEW_KEY == l::reg_created_new_key &&
              REG_OPENED_EXISTING_KEY == l::reg_opened_existing_key);
static_assert(OBJ_KERNEL_HANDLE == l::obj_kernel_handle && KernelMode == l::kernel_mode &&
              DACL_SECURITY_INFORMATION == l::dacl_security_information);
static_assert(SECURITY_DESCRIPTOR_REVISION == l::security_descriptor_revision &&
              ACL_REVISION == l::acl_revision);
static_assert(STATUS_SUCCESS == l::status::success &&
              STATUS_BUFFER_OVERFLOW == static_cast<NTSTATUS>(l::status::buffer_overflow) &&
              STATUS_INFO_LENGTH_MISMATCH == static_cast<NTSTATUS>(l::status::info_length_mismatch) &&
              STATUS_INVALID_HANDLE == static_cast<NTSTATUS>(l::status::invalid_handle) &&
              STATUS_INVALID_PARAMETER == static_cast<NTSTATUS>(l::status::invalid_parameter) &&
              STATUS_NOT_IMPLEMENTED == static_cast<NTSTATUS>(l::status::not_implemented) &&
              STATUS_INVALID_DEVICE_REQUEST == static_cast<NTSTATUS>(l::status::invalid_device_request) &&
              STATUS_INVALID_DEVICE_STATE == static_cast<NTSTATUS>(l::status::invalid_device_state) &&
              PASSIVE_LEVEL == l::passive_level && APC_LEVEL == l::apc_level && DISPATCH_LEVEL == l::dispatch_level &&
              STATUS_CONFLICTING_ADDRESSES == static_cast<NTSTATUS>(l::status::conflicting_addresses) &&
              STATUS_ACCESS_DENIED == static_cast<NTSTATUS>(l::status::access_denied) &&
              STATUS_BUFFER_TOO_SMALL == static_cast<NTSTATUS>(l::status::buffer_too_small) &&
              STATUS_OBJECT_NAME_NOT_FOUND == static_cast<NTSTATUS>(l::status::object_name_not_found) &&
              STATUS_SHARING_VIOLATION == static_cast<NTSTATUS>(l::status::sharing_violation) &&
              STATUS_INVALID_SECURITY_DESCR == static_cast<NTSTATUS>(l::status::invalid_security_descr) &&
              STATUS_INSUFFICIENT_RESOURCES == static_cast<NTSTATUS>(l::status::insufficient_resources) &&
              STATUS_IO_DEVICE_ERROR == static_cast<NTSTATUS>(l::status::io_device_error));
static_assert(IRP_MJ_CREATE == l::irp_mj_create && IRP_MJ_CLOSE == l::irp_mj_close &&
              IRP_MJ_DEVICE_CONTROL == l::irp_mj_device_control &&
              IRP_MJ_CLEANUP == l::irp_mj_cleanup && IRP_MJ_MAXIMUM_FUNCTION == l::irp_mj_maximum);
static_assert(DO_BUFFERED_IO == l::do_buffered_io &&
              FILE_DEVICE_SECURE_OPEN == l::file_device_secure_open);

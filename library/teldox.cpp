// TELDOX.dll: one process-wide device handle, and one synchronous
// device-control request per call (a block of bytes falls back to one
// request a byte where the driver knows no block requests). Built without
// the C runtime; the imports are KERNEL32's file, device and critical
// section functions.
#include <windows.h>

#define TELDOX_API __declspec(dllexport)
#include "port_program.h"
#include "teldo_protocol.h"
#include "teldox.h"

namespace {

// One lock covers the handle and every request through it: an open, a
// close and a request from several threads never meet halfway (a second
// open would close a handle another thread still uses, a request racing a
// close would reach whatever object took over the handle's value). The
// driver serves one request at a time anyway.
CRITICAL_SECTION device_lock;
HANDLE port_device = INVALID_HANDLE_VALUE;

class DeviceLock {
public:
    DeviceLock() { EnterCriticalSection(&device_lock); }
    ~DeviceLock() { LeaveCriticalSection(&device_lock); }
    DeviceLock(const DeviceLock&) = delete;
    DeviceLock& operator=(const DeviceLock&) = delete;
};

// A block write's input is its header and its elements in one buffer, and a
// program's request and reply take two more. They are kept here rather than
// on the caller's stack (up to 64 KiB); the device's lock guards them too.
std::uint8_t write_buffer[sizeof(teldo::BlockHeader) + teldo::max_block_bytes];
std::uint8_t program_reply[teldo::program::output_length(teldo::program::max_operations)];
static_assert(sizeof write_buffer >= teldo::program::input_length(teldo::program::max_operations));

// The request's outcome as the caller sees it: 0, or the system's error.
unsigned long control(std::uint32_t code, const void* input, DWORD input_length, void* output,
                      DWORD output_length, DWORD& returned) {
    returned = 0;
    if (!DeviceIoControl(port_device, code, const_cast<void*>(input), input_length, output, output_length,
                         &returned, nullptr))
        return GetLastError();
    return 0;
}

// A reply shorter than asked delivered no (or not every) element.
unsigned long delivered(unsigned long error, DWORD returned, DWORD wanted) {
    return error != 0 ? error : returned == wanted ? 0 : ERROR_READ_FAULT;
}

// The block as given, or nothing when it breaks a rule of the requests.
bool make_block(unsigned short port, int width, bool same_port, unsigned long count, teldo::Block& block) {
    if (width != 1 && width != 2 && width != 4) return false;
    block = {port, static_cast<std::uint8_t>(width), same_port, static_cast<std::uint32_t>(count)};
    return teldo::is_valid(block);
}

// A block of bytes as single byte requests, for a driver without block
// requests: each element is still one cycle, in order.
unsigned long read_bytes(const teldo::Block& block, std::uint8_t* data) {
    for (std::uint32_t i = 0; i < block.count; ++i) {
        const auto request = teldo::make_read_request(static_cast<std::uint16_t>(block.element_port(i)));
        DWORD returned;
        const unsigned long error = control(teldo::IOCTL_PORT_READ, &request, sizeof request, data + i,
                                            teldo::read_reply_length, returned);
        if (const unsigned long failed = delivered(error, returned, teldo::read_reply_length)) return failed;
    }
    return 0;
}
unsigned long write_bytes(const teldo::Block& block, const std::uint8_t* data) {
    for (std::uint32_t i = 0; i < block.count; ++i) {
        const auto request =
            teldo::make_write_request(static_cast<std::uint16_t>(block.element_port(i)), data[i]);
        DWORD returned;
        if (const unsigned long error = control(teldo::IOCTL_PORT_WRITE, &request, sizeof request, nullptr, 0, returned))
            return error;
    }
    return 0;
}

unsigned long read_block(const teldo::Block& block, std::uint8_t* data) {
    const teldo::BlockHeader header = teldo::make_block_header(block);
    DWORD returned;
    const unsigned long error = control(teldo::IOCTL_PORT_READ_BLOCK, &header, sizeof header, data, block.bytes(), returned);
    if (error == ERROR_INVALID_FUNCTION && block.width == 1) return read_bytes(block, data);
    return delivered(error, returned, block.bytes());
}

unsigned long write_block(const teldo::Block& block, const std::uint8_t* data) {
    const teldo::BlockHeader header = teldo::make_block_header(block);
    const auto* header_bytes = reinterpret_cast<const std::uint8_t*>(&header);
    for (std::uint32_t i = 0; i < sizeof header; ++i) write_buffer[i] = header_bytes[i];
    for (std::uint32_t i = 0; i < block.bytes(); ++i) write_buffer[sizeof header + i] = data[i];
    DWORD returned;
    const unsigned long error =
        control(teldo::IOCTL_PORT_WRITE_BLOCK, write_buffer, sizeof header + block.bytes(), nullptr, 0, returned);
    if (error == ERROR_INVALID_FUNCTION && block.width == 1) return write_bytes(block, data);
    return error;
}

}  // namespace

// Unloaded by FreeLibrary (`reserved` null), as LabVIEW does when a VI
// closes, the DLL closes the device it opened, so that the card is free
// again, and deletes its lock. At the process's exit (`reserved` not null)
// it touches nothing: other threads may have been ended holding the lock,
// and Windows closes the handle itself.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) InitializeCriticalSection(&device_lock);
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
        if (port_device != INVALID_HANDLE_VALUE) CloseHandle(port_device);
        DeleteCriticalSection(&device_lock);
    }
    return TRUE;
}

extern "C" unsigned long WINAPI TELDOX_Open(void) {
    const DeviceLock lock;
    if (port_device != INVALID_HANDLE_VALUE) CloseHandle(port_device);
    port_device = CreateFileA(teldo::device_path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    return port_device != INVALID_HANDLE_VALUE ? 0 : GetLastError();
}

extern "C" unsigned long WINAPI TELDOX_Close(void) {
    const DeviceLock lock;
    if (port_device == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
    const BOOL closed = CloseHandle(port_device);
    port_device = INVALID_HANDLE_VALUE;
    return closed ? 0 : GetLastError();
}

// A single byte is the byte request that TELDO.dll sends, so that it also
// reaches a driver that knows only the two byte requests.
extern "C" unsigned long WINAPI TELDOX_Read(unsigned short port, int width, unsigned long* value) {
    teldo::Block block;
    if (value == nullptr || !make_block(port, width, false, 1, block)) return ERROR_INVALID_PARAMETER;
    *value = 0;
    const DeviceLock lock;
    if (port_device == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
    std::uint8_t bytes[4] = {};
    const unsigned long error = width == 1 ? read_bytes(block, bytes) : read_block(block, bytes);
    if (error == 0) *value = teldo::load_element(bytes, block.width);
    return error;
}

extern "C" unsigned long WINAPI TELDOX_Write(unsigned short port, int width, unsigned long value) {
    teldo::Block block;
    if (!make_block(port, width, false, 1, block)) return ERROR_INVALID_PARAMETER;
    const DeviceLock lock;
    if (port_device == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
    std::uint8_t bytes[4];
    teldo::store_element(bytes, block.width, value);
    return width == 1 ? write_bytes(block, bytes) : write_block(block, bytes);
}

extern "C" unsigned long WINAPI TELDOX_ReadBlock(unsigned short port, int width, int same_port, void* buffer,
                                                 unsigned long count) {
    teldo::Block block;
    if (buffer == nullptr || !make_block(port, width, same_port != 0, count, block)) return ERROR_INVALID_PARAMETER;
    const DeviceLock lock;
    if (port_device == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
    return read_block(block, static_cast<std::uint8_t*>(buffer));
}

extern "C" unsigned long WINAPI TELDOX_WriteBlock(unsigned short port, int width, int same_port, const void* buffer,
                                                  unsigned long count) {
    teldo::Block block;
    if (buffer == nullptr || !make_block(port, width, same_port != 0, count, block)) return ERROR_INVALID_PARAMETER;
    const DeviceLock lock;
    if (port_device == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
    return write_block(block, static_cast<const std::uint8_t*>(buffer));
}

extern "C" unsigned long WINAPI TELDOX_Run(const TELDOX_OP* ops, unsigned long count, unsigned long* results,
                                           unsigned long* done) {
    namespace program = teldo::program;
    static_assert(sizeof(TELDOX_OP) == program::operation_bytes);
    if (ops == nullptr || results == nullptr || done == nullptr || count == 0 || count > program::max_operations)
        return ERROR_INVALID_PARAMETER;
    *done = 0;
    for (unsigned long i = 0; i < count; ++i) results[i] = 0;
    const DeviceLock lock;
    // The request is built, and checked whole with the driver's own rules,
    // before the device is looked at: a program that breaks one is never sent.
    program::store_header(write_buffer, count);
    for (unsigned long i = 0; i < count; ++i)
        program::store_operation(write_buffer + program::input_length(i),
                                 {ops[i].op, ops[i].width, ops[i].port, static_cast<std::uint32_t>(ops[i].a),
                                  static_cast<std::uint32_t>(ops[i].b), static_cast<std::uint32_t>(ops[i].c)});
    const std::uint32_t input_bytes = program::input_length(count), output_bytes = program::output_length(count);
    if (program::check(write_buffer, input_bytes, output_bytes) != count) return ERROR_INVALID_PARAMETER;
    if (port_device == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
    DWORD returned;
    if (const unsigned long error =
            control(teldo::IOCTL_PORT_RUN, write_buffer, input_bytes, program_reply, output_bytes, returned))
        return error;
    // Only two replies add up: every operation ran, or the run stopped at a
    // poll of the program, with the operations before it done. Anything else
    // is no program's, and nothing of it is taken; so results are filled only
    // up to results[count - 1], and the reply read only as far as it goes.
    if (returned != output_bytes) return ERROR_READ_FAULT;
    const program::ReplyHeader reply = program::load_reply_header(program_reply);
    const bool stopped = reply.stopped != program::not_stopped;
    if (stopped ? reply.stopped != reply.done || reply.done >= count ||
                      write_buffer[program::input_length(reply.stopped)] != program::op_poll
                : reply.done != count)
        return ERROR_READ_FAULT;
    const unsigned long filled = stopped ? reply.done + 1ul : reply.done;
    for (unsigned long i = 0; i < filled; ++i)
        results[i] = teldo::load_element(program_reply + program::output_length(i), 4);
    *done = reply.done;
    return stopped ? ERROR_TIMEOUT : 0;
}

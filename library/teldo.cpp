// TELDO.dll: one process-wide device handle and one synchronous
// device-control request per byte. Built without the C runtime, so nothing
// here can allocate; the only imports are CreateFileA, DeviceIoControl and
// CloseHandle.
#include <windows.h>

#define TELDO_API __declspec(dllexport)
#include "teldo.h"
#include "teldo_protocol.h"

namespace {

HANDLE port_device = INVALID_HANDLE_VALUE;

}  // namespace

// Loading and unloading neither open nor close the device.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
    return TRUE;
}

extern "C" int WINAPI TELDO_Open(void) {
    // A second open would otherwise overwrite the earlier handle and leak it
    // (and the driver, which serves one holder, would refuse the new open).
    if (port_device != INVALID_HANDLE_VALUE) CloseHandle(port_device);
    port_device = CreateFileA(teldo::device_path, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    return port_device != INVALID_HANDLE_VALUE ? 1 : 0;
}

extern "C" unsigned char WINAPI TELDO_RD(unsigned short port) {
    auto request = teldo::make_read_request(port);
    // Stays 0 if the driver reports success without delivering the byte.
    unsigned char value = 0;
    DWORD returned;
    if (!DeviceIoControl(port_device, teldo::IOCTL_PORT_READ, &request, sizeof request, &value,
                         teldo::read_reply_length, &returned, nullptr))
        return 0;
    return value;
}

extern "C" int WINAPI TELDO_WR(unsigned short port, unsigned char value) {
    auto request = teldo::make_write_request(port, value);
    DWORD returned;
    return DeviceIoControl(port_device, teldo::IOCTL_PORT_WRITE, &request, sizeof request,
                           nullptr, 0, &returned, nullptr)
               ? 1
               : 0;
}

extern "C" int WINAPI TELDO_Close(void) {
    if (port_device == INVALID_HANDLE_VALUE) return -1;
    const int closed = CloseHandle(port_device);
    port_device = INVALID_HANDLE_VALUE;  // a second close acts on nothing
    return closed;
}

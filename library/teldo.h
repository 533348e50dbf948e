// TELDO.dll: byte-wide access to I/O ports through the TELDO port driver.
// Call TELDO_Open, then any number of TELDO_RD and TELDO_WR, then TELDO_Close.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

#ifndef TELDO_API
#define TELDO_API __declspec(dllimport)
#endif

// Opens "\\.\TELDO"; 1 when the device was opened, 0 when not.
TELDO_API int __stdcall TELDO_Open(void);

// Reads the byte at a port (low 16 bits count); 0 when the request fails.
TELDO_API unsigned char __stdcall TELDO_RD(unsigned short port);

// Writes a byte to a port; 1 when the request succeeded, 0 when it failed.
TELDO_API int __stdcall TELDO_WR(unsigned short port, unsigned char value);

// Closes the device: -1 when none is open, else the platform close's result.
TELDO_API int __stdcall TELDO_Close(void);

#ifdef __cplusplus
}
#endif

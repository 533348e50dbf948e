// TELDOX.dll: byte, word and dword access to I/O ports, one at a time or in
// blocks, through the TELDO port driver. Call TELDOX_Open, then any of the
// others, then TELDOX_Close. Every function returns 0 on success or a
// Windows error code: 87 for a bad argument (nothing is sent), 6 when the
// device is not open, and otherwise what the system or the driver reported.
//
// The driver serves one program at a time: a program uses either this
// library or TELDO.dll, not both at once.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

#ifndef TELDOX_API
#define TELDOX_API __declspec(dllimport)
#endif

// Opens "\\.\TELDO" (closing this library's earlier handle first, if any).
TELDOX_API unsigned long __stdcall TELDOX_Open(void);

// Closes the device; 6 when none is open.
TELDOX_API unsigned long __stdcall TELDOX_Close(void);

// Reads or writes one element of `width` bytes (1, 2 or 4) at `port`, as
// one bus cycle of that width. A word's port is even, a dword's a multiple
// of 4. Width 1 is the same request as TELDO_RD's and TELDO_WR's.
TELDOX_API unsigned long __stdcall TELDOX_Read(unsigned short port, int width, unsigned long* value);
TELDOX_API unsigned long __stdcall TELDOX_Write(unsigned short port, int width, unsigned long value);

// Reads or writes `count` elements of `width` bytes in one request, each
// element low byte first in `buffer` (count x width bytes, at most 65,536).
// With `same_port` nonzero every element is at `port` (a FIFO); otherwise
// element i is at port + i x width. The driver refuses the whole block, before
// its first cycle, if any port it touches is closed to it.
TELDOX_API unsigned long __stdcall TELDOX_ReadBlock(unsigned short port, int width, int same_port, void* buffer,
                                                    unsigned long count);
TELDOX_API unsigned long __stdcall TELDOX_WriteBlock(unsigned short port, int width, int same_port,
                                                     const void* buffer, unsigned long count);

#ifdef __cplusplus
}
#endif

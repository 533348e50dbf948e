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

// A port program: a card's handshake run whole in one request, with no
// other program's or request's cycle between its operations. Each
// operation is 16 bytes; `a`, `b` and `c` are 0 where the op does not use
// them, and values, masks and bits fit the width.
//   TELDOX_OP_READ    reads `port`; its result is the value
//   TELDOX_OP_WRITE   writes `a` to `port`
//   TELDOX_OP_MODIFY  reads v, writes (v & ~a) | (b & a); its result is v
//   TELDOX_OP_WAIT    waits `a` microseconds, 1 to 1,000 (port and width 0)
//   TELDOX_OP_POLL    reads until (v & a) == b, for at most `c` microseconds
//                     (1 to 10,000); its result is the last v
typedef struct TELDOX_OP {
    unsigned char op;
    unsigned char width;  // 1, 2 or 4 bytes; 0 for a wait
    unsigned short port;  // aligned to the width
    unsigned long a, b, c;
} TELDOX_OP;
#define TELDOX_OP_READ 1
#define TELDOX_OP_WRITE 2
#define TELDOX_OP_MODIFY 3
#define TELDOX_OP_WAIT 4
#define TELDOX_OP_POLL 5

// Runs `count` operations (1 to 256; waits and poll limits 50,000 us in
// all) as one program, after checking it whole: it runs whole or not at
// all. `results` gets one value an operation (0 for writes and waits, and
// for operations that did not run), `*done` how many ran to their end.
// Returns 0 when every operation ran; 1460 (ERROR_TIMEOUT) when a poll
// timed out, with `*done` its index and its last value in `results`; 87
// for a program that breaks a rule (nothing is sent); 6 when the device is
// not open; 5 when a port is outside the driver's windows (no cycle ran);
// 1 when the driver knows no programs; 30 (ERROR_READ_FAULT) for a reply
// that does not add up (nothing of it is taken: `*done` and every result
// 0); otherwise whatever the system or the driver reported.
TELDOX_API unsigned long __stdcall TELDOX_Run(const TELDOX_OP* ops, unsigned long count, unsigned long* results,
                                              unsigned long* done);

#ifdef __cplusplus
}
#endif

/* TELDOX.dll example: opens the device, writes a word and reads it back,
   writes a block of four bytes and reads it back as two words in one
   request, runs a handshake as one program, and closes, printing each call
   and its result. Exits with 0 when every call did what it should, 1
   otherwise.

   Every TELDOX function returns 0 on success or a Windows error code
   (sdk\README.txt lists them); nothing needs GetLastError.

   Like teldo_example.c it prints with the Windows API alone and builds with
   or without a C runtime. EXAMPLE_PORT must be an even port of your card
   whose four ports from it up read back what is written to them: change it
   before running this on a bench PC. Windows must find TELDOX.dll beside
   the program or on the PATH. */
#include <windows.h>

#include "teldox.h"

#define EXAMPLE_PORT 0x0300

/* A handshake as a card wants it, run whole by the driver with no other
   request's cycle between its operations: write a command, wait, poll until
   the status says ready, read the data word, clear a control bit and read
   the control port back. The command port doubles as the status port, whose
   bit 7 means ready: on ports that read back what is written, the command 81
   sets it, so the poll ends at once; at a card the poll waits for the card,
   1 ms at most. Static, as without a C runtime there is no memcpy for a
   local initialiser to call. */
static const TELDOX_OP handshake[] = {
    {TELDOX_OP_WRITE, 1, EXAMPLE_PORT + 1, 0x81, 0, 0},       /* the command */
    {TELDOX_OP_WAIT, 0, 0, 10, 0, 0},                         /* 10 us */
    {TELDOX_OP_POLL, 1, EXAMPLE_PORT + 1, 0x80, 0x80, 1000},  /* until bit 7 is set */
    {TELDOX_OP_READ, 2, EXAMPLE_PORT + 2, 0, 0, 0},           /* the data word */
    {TELDOX_OP_MODIFY, 1, EXAMPLE_PORT + 3, 0x04, 0x00, 0},   /* bit 2 cleared, the rest kept */
    {TELDOX_OP_READ, 1, EXAMPLE_PORT + 3, 0, 0, 0},           /* the control port */
};
#define HANDSHAKE_OPS ((unsigned long)(sizeof handshake / sizeof handshake[0]))

static void say(const char *format, unsigned long first, unsigned long second, unsigned long result)
{
    char line[128];
    DWORD written;
    int length = wsprintfA(line, format, first, second, result);
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line, (DWORD)length, &written, NULL);
}

int main(void)
{
    int failed = 0;
    unsigned long error, word = 0;
    unsigned char block[4];
    unsigned short words[2];
    unsigned long results[HANDSHAKE_OPS], done = 0;

    /* Element by element: without a C runtime there is no memset for an
       initialiser to call. */
    block[0] = 0x11, block[1] = 0x22, block[2] = 0x33, block[3] = 0x44;
    words[0] = words[1] = 0;

    error = TELDOX_Open();
    say("TELDOX_Open() = %lu\r\n", error, 0, 0);
    if (error != 0) ExitProcess(1);

    error = TELDOX_Write(EXAMPLE_PORT, 2, 0xBEEF);
    say("TELDOX_Write(0x%04lX, 2, 0x%04lX) = %lu\r\n", EXAMPLE_PORT, 0xBEEF, error);
    failed |= error != 0;
    error = TELDOX_Read(EXAMPLE_PORT, 2, &word);
    say("TELDOX_Read(0x%04lX, 2) = %lu, 0x%04lX\r\n", EXAMPLE_PORT, error, word);
    failed |= error != 0 || word != 0xBEEF;

    /* Four bytes to four ports in one request, read back as two words:
       each word holds its two bytes low byte first. */
    error = TELDOX_WriteBlock(EXAMPLE_PORT, 1, 0, block, 4);
    say("TELDOX_WriteBlock(0x%04lX, 1, 4 bytes) = %lu\r\n", EXAMPLE_PORT, error, 0);
    failed |= error != 0;
    error = TELDOX_ReadBlock(EXAMPLE_PORT, 2, 0, words, 2);
    say("TELDOX_ReadBlock(0x%04lX, 2, 2 words) = %lu\r\n", EXAMPLE_PORT, error, 0);
    say("  0x%04lX 0x%04lX\r\n", words[0], words[1], 0);
    failed |= error != 0 || words[0] != 0x2211 || words[1] != 0x4433;

    /* Results: 0 for the write and the wait; the status the poll saw (81);
       the data word, from the block (4433); the control port as the modify
       read it (44, from the block) and after it (40). 1460 would mean that
       the poll timed out, with done its index and results[done] the last
       status it read. */
    error = TELDOX_Run(handshake, HANDSHAKE_OPS, results, &done);
    say("TELDOX_Run(%lu operations) = %lu, %lu done\r\n", HANDSHAKE_OPS, error, done);
    say("  status 0x%02lX, data 0x%04lX, ", results[2], results[3], 0);
    say("control 0x%02lX then 0x%02lX\r\n", results[4], results[5], 0);
    failed |= error != 0 || done != HANDSHAKE_OPS || results[2] != 0x81 || results[3] != 0x4433 ||
              results[4] != 0x44 || results[5] != 0x40;

    error = TELDOX_Close();
    say("TELDOX_Close() = %lu\r\n", error, 0, 0);
    failed |= error != 0;

    say(failed ? "FAILED\r\n" : "OK\r\n", 0, 0, 0);
    ExitProcess(failed ? 1 : 0);
    return failed;
}

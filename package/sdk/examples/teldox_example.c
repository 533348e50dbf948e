/* TELDOX.dll example: opens the device, writes a word and reads it back,
   writes a block of four bytes and reads it back as two words in one
   request, and closes, printing each call and its result. Exits with 0
   when every call did what it should, 1 otherwise.

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

    error = TELDOX_Close();
    say("TELDOX_Close() = %lu\r\n", error, 0, 0);
    failed |= error != 0;

    say(failed ? "FAILED\r\n" : "OK\r\n", 0, 0, 0);
    ExitProcess(failed ? 1 : 0);
    return failed;
}

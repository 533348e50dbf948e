/* TELDO.dll example: opens the device, writes a byte to a port, reads it
   back and closes, printing each call and its result. Exits with 0 when
   every call did what it should, 1 otherwise.

   It prints with the Windows API alone (wsprintfA from USER32, WriteFile
   from KERNEL32), so it builds unchanged with or without a C runtime: with
   one, the runtime calls main; without one, main is the entry point. Either
   way main ends the process itself with ExitProcess.

   EXAMPLE_PORT must be a port of your card that reads back what is written
   to it: change it before running this on a bench PC.

   Where it runs, Windows must find TELDO.dll: beside teldo_example.exe (the
   build commands in sdk\README.txt put the .exe one folder up from sdk,
   beside the package's TELDO.dll), or in a folder on the PATH. Without it
   Windows does not start the program. The TELDO.dll must be of the same
   bitness as the program: the kit's own, from the same package.

   If TELDO_Open fails, GetLastError right after it tells why: 2, the driver
   is not installed or not started; 32, another program holds the device;
   5, this user may not open it (sdk\README.txt has the details). */
#include <windows.h>

#include "teldo.h"

#define EXAMPLE_PORT 0x0300
#define EXAMPLE_VALUE 0x5A

static void say(const char *format, int first, int second, int result)
{
    char line[128];
    DWORD written;
    int length = wsprintfA(line, format, first, second, result);
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line, (DWORD)length, &written, NULL);
}

int main(void)
{
    int failed = 0;
    int opened, wrote, closed;
    unsigned char read_back;

    opened = TELDO_Open();
    say("TELDO_Open() = %d\r\n", opened, 0, 0);
    if (opened != 1) {
        say("the device \\\\.\\TELDO could not be opened\r\n", 0, 0, 0);
        ExitProcess(1);
    }

    wrote = TELDO_WR(EXAMPLE_PORT, EXAMPLE_VALUE);
    say("TELDO_WR(0x%04X, 0x%02X) = %d\r\n", EXAMPLE_PORT, EXAMPLE_VALUE, wrote);
    failed |= wrote != 1;

    read_back = TELDO_RD(EXAMPLE_PORT);
    say("TELDO_RD(0x%04X) = 0x%02X\r\n", EXAMPLE_PORT, read_back, 0);
    failed |= read_back != EXAMPLE_VALUE;

    /* Nonzero when the device was closed, -1 when none was open. */
    closed = TELDO_Close();
    say("TELDO_Close() = %d\r\n", closed, 0, 0);
    failed |= closed == 0 || closed == -1;

    say(failed ? "FAILED\r\n" : "OK\r\n", 0, 0, 0);
    ExitProcess(failed ? 1 : 0);
    return failed;
}

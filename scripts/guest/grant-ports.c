/* grant-ports: runs one program with access to exactly three port ranges of
 * the emulated PC and to no other port: the second serial port (COM2,
 * 02F8-02FF) and the parallel port (LPT1, 0378-037A), which the device checks
 * drive through the driver, and the first serial port (COM1, 03F8-03FF),
 * where the guest kernel's console lives and which no window of the driver
 * includes.
 *
 * In the guest the device checks run under it (scripts/guest/devices.sh): the
 * permission that ioperm() grants is inherited by every child and kept across
 * execve(), so the Wine processes the checks start, winedevice.exe with the
 * x64 teldo.sys in it among them, execute the driver's own in and out
 * instructions on QEMU's device models. Nothing else in the guest runs with
 * it: the job prepares everything first, without it, and the permission ends
 * with the checks' processes.
 *
 * COM1 is granted so that a write that escapes the driver's windows lands
 * where the checks can see it. They write to COM1's scratch register (03FF)
 * and to no other COM1 port: the kernel's serial driver uses that register
 * only while it probes the UART at boot, so the console is never disturbed.
 * A driver that let the write through would leave its byte there, where the
 * kernel's read through /dev/port finds it; without the grant the write would
 * end the driver's host instead, which only teldo.exe's message would show.
 * A cycle on any port outside the three ranges still ends the driver's host.
 *
 * Usage: grant-ports PROGRAM [ARGS...]   (as root)
 */
#include <stdio.h>
#include <sys/io.h>
#include <unistd.h>

struct port_range {
    unsigned long first, count;
};

static const struct port_range granted[] = {
    {0x2F8, 8}, /* COM2: the 16550's eight registers */
    {0x378, 3}, /* LPT1: data, status and control */
    {0x3F8, 8}, /* COM1: the console's 16550; the checks write its scratch register alone */
};

int main(int argc, char **argv) {
    if (argc < 2) {
        fputs("usage: grant-ports PROGRAM [ARGS...]\n", stderr);
        return 2;
    }
    for (size_t i = 0; i < sizeof granted / sizeof granted[0]; ++i) {
        if (ioperm(granted[i].first, granted[i].count, 1) != 0) {
            fprintf(stderr, "grant-ports: ports %04lX-%04lX: ", granted[i].first,
                    granted[i].first + granted[i].count - 1);
            perror("ioperm");
            return 2;
        }
    }
    execv(argv[1], argv + 1);
    fprintf(stderr, "grant-ports: %s: ", argv[1]);
    perror("execv");
    return 127;
}

/* grant-ports: runs one program with access to exactly two port ranges of the
 * emulated PC, the second serial port (COM2, 02F8-02FF) and the parallel port
 * (LPT1, 0378-037A), and to no other port.
 *
 * In the guest the device checks run under it (scripts/guest/devices.sh): the
 * permission that ioperm() grants is inherited by every child and kept across
 * execve(), so the Wine processes the checks start, winedevice.exe with the
 * x64 teldo.sys in it among them, execute the driver's own in and out
 * instructions on QEMU's device models. Nothing else in the guest runs with
 * it: the job prepares everything first, without it, and the permission ends
 * with the checks' processes.
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

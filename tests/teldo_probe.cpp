// A second user of TELDO.dll for the tests, in a process of its own.
//   teldo_probe rw PORT VALUE   open, write VALUE to PORT, read it back, close
//   teldo_probe hold MS         open, keep the device MS milliseconds, close
// Prints what each call returned, e.g. "open=1 write=1 read=5A close=1".
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "teldo.h"

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "rw") == 0) {
        const auto port = static_cast<unsigned short>(std::strtoul(argv[2], nullptr, 16));
        const auto value = static_cast<unsigned char>(std::strtoul(argv[3], nullptr, 16));
        const int opened = TELDO_Open();
        const int written = TELDO_WR(port, value);
        const unsigned read = TELDO_RD(port);
        const int closed = TELDO_Close();
        std::printf("open=%d write=%d read=%02X close=%d\n", opened, written, read, closed);
        return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "hold") == 0) {
        const int opened = TELDO_Open();
        std::printf("open=%d\n", opened);
        std::fflush(stdout);
        Sleep(std::strtoul(argv[2], nullptr, 10));
        std::printf("close=%d\n", TELDO_Close());
        return 0;
    }
    std::fprintf(stderr, "usage: teldo_probe rw PORT VALUE | hold MS\n");
    return 2;
}

// A second user of TELDO.dll for the tests, in a process of its own.
//   teldo_probe rw PORT VALUE           open, write VALUE to PORT, read it back, close
//   teldo_probe hold MS                 open, keep the device MS milliseconds, close
//   teldo_probe race EVENT PORT VALUE MS
//                                       wait for the named event, then as rw, but
//                                       keep the device MS milliseconds before closing
//   teldo_probe retry PORT VALUE MS     until a write succeeds (at most MS milliseconds):
//                                       open, write, and close again if it failed
//   teldo_probe status                  the port driver's counts and recent requests
// Prints what the calls returned, e.g. "open=1 write=1 read=5A close=1".
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "teldo.h"
#include "teldo_diagnostics.h"

namespace {

unsigned long number(const char* text, int base) {
    return std::strtoul(text, nullptr, base);
}

int read_write(unsigned short port, unsigned char value, DWORD hold_ms) {
    const int opened = TELDO_Open();
    const int written = TELDO_WR(port, value);
    const unsigned read = TELDO_RD(port);
    Sleep(hold_ms);
    const int closed = TELDO_Close();
    std::printf("open=%d write=%d read=%02X close=%d\n", opened, written, read, closed);
    return 0;
}

int status() {
    HANDLE diag = CreateFileA(teldo::diag::device_path, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    teldo::diag::Snapshot snapshot{};
    DWORD returned;
    if (!DeviceIoControl(diag, teldo::diag::IOCTL_DIAG_SNAPSHOT, nullptr, 0, &snapshot,
                         sizeof snapshot, &returned, nullptr)) {
        std::printf("the port driver does not answer\n");
        return 1;
    }
    std::printf("opens=%u closes=%u refused_opens=%u held=%u requests=%u\n", snapshot.opens,
                snapshot.closes, snapshot.refused_opens, snapshot.held, snapshot.requests);
    for (std::uint32_t i = 0; i < snapshot.recorded; ++i) {
        const auto& seen = snapshot.recent[i];
        std::printf("  code %08X in %u out %u status %08X %s bytes %02X %02X %02X %02X\n",
                    seen.code, seen.input_length, seen.output_length,
                    static_cast<unsigned>(seen.status), seen.from_owner ? "holder" : "other",
                    seen.input[0], seen.input[1], seen.input[2], seen.input[3]);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const char* mode = argc > 1 ? argv[1] : "";
    if (argc == 2 && std::strcmp(mode, "status") == 0) return status();
    if (argc == 4 && std::strcmp(mode, "rw") == 0)
        return read_write(number(argv[2], 16), number(argv[3], 16), 0);
    if (argc == 3 && std::strcmp(mode, "hold") == 0) {
        std::printf("open=%d\n", TELDO_Open());
        std::fflush(stdout);
        Sleep(number(argv[2], 10));
        std::printf("close=%d\n", TELDO_Close());
        return 0;
    }
    if (argc == 6 && std::strcmp(mode, "race") == 0) {
        HANDLE go = OpenEventA(SYNCHRONIZE, FALSE, argv[2]);
        if (!go || WaitForSingleObject(go, 30000) != WAIT_OBJECT_0) return 3;
        return read_write(number(argv[3], 16), number(argv[4], 16), number(argv[5], 10));
    }
    if (argc == 5 && std::strcmp(mode, "retry") == 0) {
        const auto port = static_cast<unsigned short>(number(argv[2], 16));
        const auto value = static_cast<unsigned char>(number(argv[3], 16));
        const DWORD deadline = GetTickCount() + number(argv[4], 10);
        for (int attempts = 1;; ++attempts) {
            TELDO_Open();
            if (TELDO_WR(port, value) == 1) {
                const unsigned read = TELDO_RD(port);
                std::printf("attempts=%d read=%02X close=%d\n", attempts, read, TELDO_Close());
                return 0;
            }
            TELDO_Close();
            if (static_cast<LONG>(GetTickCount() - deadline) >= 0) {
                std::printf("gave up after %d attempts\n", attempts);
                return 1;
            }
            Sleep(20);
        }
    }
    std::fprintf(stderr,
                 "usage: teldo_probe rw PORT VALUE | hold MS | race EVENT PORT VALUE MS |"
                 " retry PORT VALUE MS | status\n");
    return 2;
}

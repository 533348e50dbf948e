// A second user of TELDO.dll for the tests, in a process of its own.
//   teldo_probe rw PORT VALUE        open, write VALUE to PORT, read it back, close
//   teldo_probe hold                 open, keep the device until standard input
//                                    ends, close
//   teldo_probe race EVENT PORT VALUE
//                                    print "ready", wait for the named event, then
//                                    as rw, but print the open, write and read
//                                    first and close only once standard input ends
//   teldo_probe retry PORT VALUE MS  until a write succeeds (for at most MS
//                                    milliseconds): open, write, and close again if
//                                    it failed, printing "refused" the first time
//   teldo_probe unload-teldox        load TELDOX.dll, open the device through it,
//                                    unload it with the device open, print
//                                    "unloaded", then wait until standard input ends
//   teldo_probe hold-service         open the service TELDO, as the Services window
//                                    does, print "held", keep it open until
//                                    standard input ends
//   teldo_probe hold-mutex NAME      own the named mutex, print "held", keep it
//                                    until standard input ends
//   teldo_probe hold-file PATH       open the file for writing (sharing reading
//                                    and writing), print "held", keep it open
//                                    until standard input ends
//   teldo_probe status               the port driver's counts and recent requests
// Prints what the calls returned, e.g. "open=1 write=1 read=5A close=1".
// The limits are multiplied by TELDO_WAIT_FACTOR, as the tests' own are.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/polling.h"
#include "teldo.h"
#include "teldo_diagnostics.h"

namespace {

unsigned long number(const char* text, int base) {
    return std::strtoul(text, nullptr, base);
}

// Returns once standard input has ended (or cannot be read): the test's
// word to let go of the device.
void wait_until_input_ends() {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    char byte;
    DWORD got = 0;
    while (ReadFile(input, &byte, 1, &got, nullptr) && got != 0) {
    }
}

// Opens, writes VALUE to PORT and reads it back; closes at once, or, with
// `hold`, once that is printed and standard input has ended.
int read_write(unsigned short port, unsigned char value, bool hold) {
    const int opened = TELDO_Open();
    const int written = TELDO_WR(port, value);
    const unsigned read = TELDO_RD(port);
    if (!hold) {
        std::printf("open=%d write=%d read=%02X close=%d\n", opened, written, read, TELDO_Close());
        return 0;
    }
    std::printf("open=%d write=%d read=%02X\n", opened, written, read);
    std::fflush(stdout);
    wait_until_input_ends();
    std::printf("close=%d\n", TELDO_Close());
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
        return read_write(number(argv[2], 16), number(argv[3], 16), false);
    if (argc == 2 && std::strcmp(mode, "hold") == 0) {
        std::printf("open=%d\n", TELDO_Open());
        std::fflush(stdout);
        wait_until_input_ends();
        std::printf("close=%d\n", TELDO_Close());
        return 0;
    }
    if (argc == 5 && std::strcmp(mode, "race") == 0) {
        HANDLE go = OpenEventA(SYNCHRONIZE, FALSE, argv[2]);
        if (!go) return 3;
        std::printf("ready\n");
        std::fflush(stdout);
        if (!teldo::test::wait_for_signal(go, 30000)) return 3;
        return read_write(number(argv[3], 16), number(argv[4], 16), true);
    }
    if (argc == 5 && std::strcmp(mode, "retry") == 0) {
        const auto port = static_cast<unsigned short>(number(argv[2], 16));
        const auto value = static_cast<unsigned char>(number(argv[3], 16));
        int attempts = 0;
        const bool written = teldo::test::poll(number(argv[4], 10), [&] {
            ++attempts;
            TELDO_Open();
            if (TELDO_WR(port, value) == 1) return true;
            TELDO_Close();
            if (attempts == 1) {
                std::printf("refused\n");
                std::fflush(stdout);
            }
            return false;
        });
        if (!written) {
            std::printf("gave up after %d attempts\n", attempts);
            return 1;
        }
        const unsigned read = TELDO_RD(port);
        std::printf("attempts=%d read=%02X close=%d\n", attempts, read, TELDO_Close());
        return 0;
    }
    if (argc == 2 && std::strcmp(mode, "unload-teldox") == 0) {
        const HMODULE teldox = LoadLibraryA("TELDOX.dll");
        using Open = unsigned long(WINAPI*)();
        const auto open = teldox ? reinterpret_cast<Open>(reinterpret_cast<void*>(GetProcAddress(teldox, "TELDOX_Open")))
                                 : nullptr;
        if (!open) return 3;
        std::printf("open=%lu\n", open());
        FreeLibrary(teldox);
        std::printf("unloaded\n");
        std::fflush(stdout);
        wait_until_input_ends();
        return 0;
    }
    if (argc == 2 && std::strcmp(mode, "hold-service") == 0) {
        const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
        const SC_HANDLE service = manager ? OpenServiceW(manager, L"TELDO", SERVICE_QUERY_STATUS) : nullptr;
        if (!service) return 3;
        std::printf("held\n");
        std::fflush(stdout);
        wait_until_input_ends();
        CloseServiceHandle(service);
        CloseServiceHandle(manager);
        return 0;
    }
    if (argc == 3 && (std::strcmp(mode, "hold-mutex") == 0 || std::strcmp(mode, "hold-file") == 0)) {
        const HANDLE held = mode[5] == 'm' ? CreateMutexA(nullptr, TRUE, argv[2])
                                           : CreateFileA(argv[2], GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                         nullptr, OPEN_EXISTING, 0, nullptr);
        if (!held || held == INVALID_HANDLE_VALUE) return 3;
        std::printf("held\n");
        std::fflush(stdout);
        wait_until_input_ends();
        CloseHandle(held);
        return 0;
    }
    std::fprintf(stderr,
                 "usage: teldo_probe rw PORT VALUE | hold | race EVENT PORT VALUE |"
                 " retry PORT VALUE MS | unload-teldox | hold-service | hold-mutex NAME | hold-file PATH |"
                 " status\n");
    return 2;
}

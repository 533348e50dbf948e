// Per-call time of TELDO_RD against a raw DeviceIoControl read on the very
// same device handle (taken from the library's own open), in alternating
// rounds (each side first every other round) so that both see the same
// machine state. Prints the fastest and the median round of each.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "pe_image.h"
#include "teldo.h"
#include "teldo_protocol.h"

namespace {

HANDLE library_handle = INVALID_HANDLE_VALUE;
decltype(&CreateFileA) real_create_file = nullptr;

HANDLE WINAPI capture_create_file(LPCSTR path, DWORD access, DWORD share,
                                  LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                  HANDLE template_file) {
    library_handle =
        real_create_file(path, access, share, security, disposition, flags, template_file);
    return library_handle;
}

double now_ns() {
    static const double ns_per_tick = [] {
        LARGE_INTEGER frequency;
        QueryPerformanceFrequency(&frequency);
        return 1e9 / static_cast<double>(frequency.QuadPart);
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) * ns_per_tick;
}

unsigned raw_read(unsigned short port) {
    auto request = teldo::make_read_request(port);
    unsigned char value = 0;
    DWORD returned;
    DeviceIoControl(library_handle, teldo::IOCTL_PORT_READ, &request, sizeof request, &value, 1,
                    &returned, nullptr);
    return value;
}

template <typename Read>
double per_call_ns(Read read, int calls) {
    unsigned sink = 0;
    const double start = now_ns();
    for (int i = 0; i < calls; ++i) sink += read(static_cast<unsigned short>(0x300 + (i & 0xFF)));
    const double elapsed = now_ns() - start;
    if (sink == 0xFFFFFFFF) std::puts("");  // keeps the reads from being optimised away
    return elapsed / calls;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main() {
    HMODULE library = LoadLibraryW(L"TELDO.dll");
    real_create_file = reinterpret_cast<decltype(&CreateFileA)>(teldo::test::patch_import(
        library, "KERNEL32.dll", "CreateFileA", reinterpret_cast<void*>(capture_create_file)));
    if (!real_create_file || TELDO_Open() != 1) {
        std::fprintf(stderr, "cannot open the device through TELDO.dll\n");
        return 1;
    }
    constexpr int rounds = 20;
    constexpr int calls = 250;
    per_call_ns(TELDO_RD, calls);  // warm-up
    std::vector<double> library_ns, raw_ns;
    for (int round = 0; round < rounds; ++round) {
        if (round % 2 == 0) library_ns.push_back(per_call_ns(TELDO_RD, calls));
        raw_ns.push_back(per_call_ns(raw_read, calls));
        if (round % 2 == 1) library_ns.push_back(per_call_ns(TELDO_RD, calls));
    }
    TELDO_Close();
    const double library_best = *std::min_element(library_ns.begin(), library_ns.end());
    const double raw_best = *std::min_element(raw_ns.begin(), raw_ns.end());
    std::printf("%d rounds of %d reads each; ns per call, fastest round and median round\n",
                rounds, calls);
    std::printf("TELDO_RD              %9.0f  %9.0f\n", library_best, median(library_ns));
    std::printf("raw DeviceIoControl   %9.0f  %9.0f\n", raw_best, median(raw_ns));
    std::printf("library / raw         %9.3f  %9.3f  (fastest rounds: %+.1f%%)\n",
                library_best / raw_best, median(library_ns) / median(raw_ns),
                100.0 * (library_best / raw_best - 1.0));
    return 0;
}

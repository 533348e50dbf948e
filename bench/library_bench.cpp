// Per-call time of TELDO_RD against a raw DeviceIoControl read on the very
// same device handle (taken from the library's own open). Each round times
// one short batch of each, the one that goes first alternating, so that both
// halves of a round see the same machine state; the ratio of a round is
// TELDO_RD's time over the raw read's. Rounds go on until the median ratio
// is known to within +-1% (its 95% interval), or the time runs out. Prints
// the median per-call times and the median ratio, each with its spread.
// Then, through TELDOX.dll, a block read of 4,096 ports against single byte
// reads (the very request TELDO_RD sends), interleaved the same way: how
// many bytes of a block cost what one single read does, and a block's byte
// over a TELDO_RD call.
#include <windows.h>

#include <cstdio>
#include <vector>

#include "pe_image.h"
#include "statistics.h"
#include "teldo.h"
#include "teldo_protocol.h"
#include "teldox.h"

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

constexpr int batch_calls = 50;         // a short batch: the two halves of a round lie close together
constexpr int minimum_rounds = 1000;
constexpr int check_every = 200;        // rounds between looks at the ratio's precision
constexpr double wanted_precision = 0.01;
constexpr double time_limit_s = 90;

void print_time(const char* what, const bench::Spread& ns) {
    std::printf("  %-20s %7.2f us  (interquartile range %.2f to %.2f us)\n", what,
                ns.median / 1000, ns.lower_quartile / 1000, ns.upper_quartile / 1000);
}

// A single byte read's cost over a byte of TELDOX.dll's block read of 4,096
// ports (rounds of one block and a batch of single reads, the first
// of the two alternating); false when TELDOX.dll cannot open the device.
bool compare_blocks(double teldo_rd_ns) {
    HMODULE library = LoadLibraryW(L"TELDOX.dll");
    auto bind = [library](const char* name) { return reinterpret_cast<void*>(GetProcAddress(library, name)); };
    const auto open = reinterpret_cast<decltype(&TELDOX_Open)>(bind("TELDOX_Open"));
    const auto read = reinterpret_cast<decltype(&TELDOX_Read)>(bind("TELDOX_Read"));
    const auto read_block = reinterpret_cast<decltype(&TELDOX_ReadBlock)>(bind("TELDOX_ReadBlock"));
    const auto close = reinterpret_cast<decltype(&TELDOX_Close)>(bind("TELDOX_Close"));
    if (!open || !read || !read_block || !close) return false;
    // TELDO.dll's close reaches the driver a little after CloseHandle.
    DWORD error = 1;
    for (int tries = 0; tries < 100 && (error = open()) != 0; ++tries) Sleep(50);
    if (error != 0) return false;

    constexpr std::uint32_t block_bytes = 4096;
    static std::uint8_t data[block_bytes];
    const auto single_ns = [&] {
        unsigned long value = 0;
        const double start = now_ns();
        for (int i = 0; i < batch_calls; ++i) read(static_cast<unsigned short>(0x300 + i), 1, &value);
        return (now_ns() - start) / batch_calls;
    };
    const auto block_ns = [&] {
        const double start = now_ns();
        read_block(0x300, 1, 1, data, block_bytes);
        return (now_ns() - start) / block_bytes;
    };
    for (int i = 0; i < 5; ++i) single_ns(), block_ns();
    std::vector<double> singles, blocks, ratios;
    const double start = now_ns();
    bench::Spread ratio;
    for (int round = 0;; ++round) {
        double per_byte, single;
        if (round % 2 == 0) {
            per_byte = block_ns();
            single = single_ns();
        } else {
            single = single_ns();
            per_byte = block_ns();
        }
        singles.push_back(single);
        blocks.push_back(per_byte);
        ratios.push_back(single / per_byte);
        if (round + 1 < 200 || (round + 1) % 50 != 0) continue;
        ratio = bench::spread(ratios);
        if (ratio.relative_precision() <= wanted_precision || (now_ns() - start) / 1e9 > time_limit_s / 3) break;
    }
    close();
    std::printf("%zu rounds in %.1f s, each a FIFO block read of %u bytes and a batch of %d single\n"
                "byte reads through TELDOX.dll, the first of the two alternating; the median round:\n",
                ratios.size(), (now_ns() - start) / 1e9, block_bytes, batch_calls);
    print_time("single byte read", bench::spread(singles));
    std::printf("  %-20s %7.3f us per byte\n", "ReadBlock of 4096", bench::spread(blocks).median / 1000);
    bench::print_ratio("single / block byte", ratio, wanted_precision, "the time");
    std::printf("  %-20s %9.5f   (a byte of the block over a TELDO_RD call; the goal: at most 0.01)\n",
                "block byte / TELDO_RD", bench::spread(blocks).median / teldo_rd_ns);
    return true;
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
    for (int i = 0; i < 20; ++i) {  // warm-up: both paths and the driver's pages in
        per_call_ns(TELDO_RD, batch_calls);
        per_call_ns(raw_read, batch_calls);
    }
    std::vector<double> library_ns, raw_ns, ratios;
    const double start = now_ns();
    bench::Spread ratio;
    for (int round = 0;; ++round) {
        double library_time, raw_time;
        if (round % 2 == 0) {
            library_time = per_call_ns(TELDO_RD, batch_calls);
            raw_time = per_call_ns(raw_read, batch_calls);
        } else {
            raw_time = per_call_ns(raw_read, batch_calls);
            library_time = per_call_ns(TELDO_RD, batch_calls);
        }
        library_ns.push_back(library_time);
        raw_ns.push_back(raw_time);
        ratios.push_back(library_time / raw_time);
        if (round + 1 < minimum_rounds || (round + 1) % check_every != 0) continue;
        ratio = bench::spread(ratios);
        if (ratio.relative_precision() <= wanted_precision) break;
        if ((now_ns() - start) / 1e9 > time_limit_s) break;
    }
    TELDO_Close();
    const double elapsed_s = (now_ns() - start) / 1e9;

    std::printf("%zu rounds in %.1f s, each a batch of %d TELDO_RD and a batch of %d raw reads,\n"
                "the first of the two alternating; per call, the median round:\n",
                ratios.size(), elapsed_s, batch_calls, batch_calls);
    print_time("TELDO_RD", bench::spread(library_ns));
    print_time("raw DeviceIoControl", bench::spread(raw_ns));
    bench::print_ratio("TELDO_RD / raw", ratio, wanted_precision, "the time");
    std::printf("\n");
    if (!compare_blocks(bench::spread(library_ns).median)) {
        std::fprintf(stderr, "cannot open the device through TELDOX.dll\n");
        return 1;
    }
    return 0;
}

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
// over a TELDO_RD call. Last, a program of 256 operations, writes and reads
// alternating, through TELDOX_Run against the same operations as single
// TELDOX_Write and TELDOX_Read calls, per operation, and whether a program's
// operation costs at most 1/50 of a single call.
#include <windows.h>

#include <cstdio>
#include <vector>

#include "pe_image.h"
#include "polling.h"
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

// Rounds of two measurements, the one that goes first alternating, so that
// both halves of a round see the same machine state; until the median of
// `ratio(first, second)` is known to within wanted_precision (looked at
// every `check` rounds from `minimum` on) or `limit_s` seconds run out.
struct Rounds {
    std::vector<double> first, second, ratios;
    bench::Spread ratio;
    double seconds = 0;
};
template <typename First, typename Second, typename Ratio>
Rounds interleave(First first, Second second, Ratio ratio, int minimum, int check, double limit_s) {
    Rounds rounds;
    const double start = now_ns();
    for (int round = 0;; ++round) {
        double a, b;
        if (round % 2 == 0) {
            a = first();
            b = second();
        } else {
            b = second();
            a = first();
        }
        rounds.first.push_back(a);
        rounds.second.push_back(b);
        rounds.ratios.push_back(ratio(a, b));
        if (round + 1 < minimum || (round + 1) % check != 0) continue;
        rounds.ratio = bench::spread(rounds.ratios);
        if (rounds.ratio.relative_precision() <= wanted_precision || (now_ns() - start) / 1e9 > limit_s) break;
    }
    rounds.seconds = (now_ns() - start) / 1e9;
    return rounds;
}

void print_time(const char* what, const bench::Spread& ns) {
    std::printf("  %-20s %7.2f us  (interquartile range %.2f to %.2f us)\n", what,
                ns.median / 1000, ns.lower_quartile / 1000, ns.upper_quartile / 1000);
}

// TELDOX.dll's functions, bound at run time: the bench links TELDO.dll only.
// `run` is null in a TELDOX.dll without programs.
struct Teldox {
    decltype(&TELDOX_Open) open;
    decltype(&TELDOX_Close) close;
    decltype(&TELDOX_Read) read;
    decltype(&TELDOX_Write) write;
    decltype(&TELDOX_ReadBlock) read_block;
    decltype(&TELDOX_Run) run;
};

// False when TELDOX.dll or one of the functions every TELDOX bench needs is
// missing.
bool bind_teldox(Teldox& teldox) {
    const HMODULE library = LoadLibraryW(L"TELDOX.dll");
    const auto bind = [library]<class Function>(Function& function, const char* name) {
        function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(library, name)));
    };
    bind(teldox.open, "TELDOX_Open");
    bind(teldox.close, "TELDOX_Close");
    bind(teldox.read, "TELDOX_Read");
    bind(teldox.write, "TELDOX_Write");
    bind(teldox.read_block, "TELDOX_ReadBlock");
    bind(teldox.run, "TELDOX_Run");
    return teldox.open && teldox.close && teldox.read && teldox.write && teldox.read_block;
}

// Opens the device through TELDOX.dll: TELDO.dll's close reaches the driver
// a little after CloseHandle.
bool open_teldox(const Teldox& teldox) {
    return teldo::test::poll(5000, [&] { return teldox.open() == 0; });
}

// A single byte read's cost over a byte of TELDOX.dll's block read of 4,096
// ports (rounds of one block and a batch of single reads, the first
// of the two alternating); false when TELDOX.dll cannot open the device.
bool compare_blocks(const Teldox& teldox, double teldo_rd_ns) {
    const auto [open, close, read, write, read_block, run] = teldox;
    if (!open_teldox(teldox)) return false;

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
    const Rounds rounds = interleave(block_ns, single_ns, [](double block, double single) { return single / block; },
                                     200, 50, time_limit_s / 3);
    close();
    const double per_byte = bench::spread(rounds.first).median;
    std::printf("%zu rounds in %.1f s, each a FIFO block read of %u bytes and a batch of %d single\n"
                "byte reads through TELDOX.dll, the first of the two alternating; the median round:\n",
                rounds.ratios.size(), rounds.seconds, block_bytes, batch_calls);
    print_time("single byte read", bench::spread(rounds.second));
    std::printf("  %-20s %7.3f us per byte\n", "ReadBlock of 4096", per_byte / 1000);
    bench::print_ratio("single / block byte", rounds.ratio, wanted_precision, "the time");
    std::printf("  %-20s %9.5f   (a byte of the block over a TELDO_RD call; the goal: at most 0.01)\n",
                "block byte / TELDO_RD", per_byte / teldo_rd_ns);
    return true;
}

// The 256 operations of a program, writes and reads alternating, against
// the same operations as single TELDOX_Write and TELDOX_Read calls: rounds of
// one program and one batch of single calls, the first of the two
// alternating, timed per operation. False when TELDOX.dll cannot open the
// device; says so, and gives no figure, when the driver runs no programs.
bool compare_programs(const Teldox& teldox) {
    const auto [open, close, read, write, read_block, run] = teldox;
    if (!run) {
        std::printf("TELDOX.dll has no TELDOX_Run: no figures for programs\n");
        return true;
    }
    if (!open_teldox(teldox)) return false;

    constexpr unsigned long operations = 256;
    static TELDOX_OP program[operations];
    static unsigned long results[operations];
    const auto port = [](unsigned long i) { return static_cast<unsigned short>(0x300 + i / 2); };
    for (unsigned long i = 0; i < operations; ++i)
        program[i] = i % 2 == 0 ? TELDOX_OP{TELDOX_OP_WRITE, 1, port(i), i / 2 & 0xFF, 0, 0}
                                : TELDOX_OP{TELDOX_OP_READ, 1, port(i), 0, 0, 0};
    unsigned long done = 0, failure = 0;
    if (const unsigned long error = run(program, operations, results, &done)) {
        close();
        std::printf("TELDOX_Run returned %lu%s: no figures for programs\n", error,
                    error == ERROR_INVALID_FUNCTION ? " (the driver runs no programs)" : "");
        return true;
    }
    const auto program_ns = [&] {
        const double start = now_ns();
        if (const unsigned long error = run(program, operations, results, &done)) failure = error;
        return (now_ns() - start) / operations;
    };
    const auto single_ns = [&] {
        unsigned long value = 0, error = 0;
        const double start = now_ns();
        for (unsigned long i = 0; i < operations; i += 2) {
            error |= write(port(i), 1, i / 2 & 0xFF);
            error |= read(port(i), 1, &value);
        }
        const double elapsed = now_ns() - start;
        if (error) failure = error;
        return elapsed / operations;
    };
    for (int i = 0; i < 5; ++i) program_ns(), single_ns();
    const Rounds rounds = interleave(
        program_ns, single_ns, [](double in_program, double single) { return single / in_program; }, 200, 50,
        time_limit_s / 3);
    close();
    std::printf("%zu rounds in %.1f s, each a program of %lu operations (writes and reads alternating)\n"
                "through TELDOX_Run and the same operations as single TELDOX_Write and TELDOX_Read\n"
                "calls, the first of the two alternating; per operation, the median round:\n",
                rounds.ratios.size(), rounds.seconds, operations);
    if (failure) std::printf("  (a call failed during the rounds, error %lu: the figures are not valid)\n", failure);
    print_time("single call", bench::spread(rounds.second));
    const bench::Spread operation = bench::spread(rounds.first);
    std::printf("  %-20s %7.3f us  (interquartile range %.3f to %.3f us)\n", "program operation",
                operation.median / 1000, operation.lower_quartile / 1000, operation.upper_quartile / 1000);
    bench::print_ratio("single / program", rounds.ratio, wanted_precision, "the time");
    // The goal, a program's operation at most 1/50 of a single call, is a
    // ratio single / program of at least 50; its interval may reach across.
    constexpr double goal = 50;
    const bench::Spread& ratio = rounds.ratio;
    std::printf("  %-20s %9.5f   (an operation of the program over a single call; the goal, at most %.2f,\n"
                "                                 is %s%s)\n",
                "program / single", 1 / ratio.median, 1 / goal, ratio.median >= goal ? "met" : "not met",
                ratio.median_low < goal && goal <= ratio.median_high ? ", but the ratio's interval reaches across it"
                                                                      : "");
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
    const Rounds rounds = interleave([] { return per_call_ns(TELDO_RD, batch_calls); },
                                     [] { return per_call_ns(raw_read, batch_calls); },
                                     [](double library, double raw) { return library / raw; }, minimum_rounds,
                                     check_every, time_limit_s);
    TELDO_Close();

    std::printf("%zu rounds in %.1f s, each a batch of %d TELDO_RD and a batch of %d raw reads,\n"
                "the first of the two alternating; per call, the median round:\n",
                rounds.ratios.size(), rounds.seconds, batch_calls, batch_calls);
    print_time("TELDO_RD", bench::spread(rounds.first));
    print_time("raw DeviceIoControl", bench::spread(rounds.second));
    bench::print_ratio("TELDO_RD / raw", rounds.ratio, wanted_precision, "the time");
    std::printf("\n");
    Teldox teldox;
    bool opened = bind_teldox(teldox) && compare_blocks(teldox, bench::spread(rounds.first).median);
    if (opened) {
        std::printf("\n");
        opened = compare_programs(teldox);
    }
    if (!opened) {
        std::fprintf(stderr, "cannot open the device through TELDOX.dll\n");
        return 1;
    }
    return 0;
}

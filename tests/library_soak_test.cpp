// Write-then-read pairs through TELDO.dll over varied ports and values,
// every read compared with what was written, then every one of the 65,536
// ports read back in one block through TELDOX.dll. Several threads share the
// one open device, each on its own ports, so that requests from different
// callers interleave in the driver; nothing may be lost or mixed up. The
// suite's short check makes 16,000 pairs; TELDO_SOAK_PAIRS overrides it
// (scripts/bench.sh runs the long soak of a million).
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <vector>

#include "driver_diagnostics.h"
#include "report.h"
#include "teldo.h"
#include "teldox.h"

namespace {

constexpr unsigned thread_count = 8;

unsigned long pair_count() {
    if (const char* given = std::getenv("TELDO_SOAK_PAIRS"); given && *given)
        return std::strtoul(given, nullptr, 10);
    return 16000;
}

struct Worker {
    unsigned index = 0;
    unsigned long pairs = 0;
    unsigned long mismatches = 0;
    unsigned long failed_requests = 0;
    std::vector<std::uint8_t> last_written;  // by port / thread_count
};

DWORD WINAPI soak(LPVOID context) {
    Worker& worker = *static_cast<Worker*>(context);
    std::uint32_t state = 0x9E3779B9u * (worker.index + 1);
    for (unsigned long i = 0; i < worker.pairs; ++i) {
        state = state * 1664525u + 1013904223u;  // varied ports and values
        const unsigned slot = (state >> 8) % (0x10000 / thread_count);
        const auto port = static_cast<std::uint16_t>(slot * thread_count + worker.index);
        const auto value = static_cast<std::uint8_t>(state >> 24);
        if (TELDO_WR(port, value) != 1) ++worker.failed_requests;
        const std::uint8_t read = TELDO_RD(port);
        if (read != value) ++worker.mismatches;
        worker.last_written[slot] = value;
    }
    return 0;
}

double seconds_now() {
    LARGE_INTEGER frequency, counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

TEST(LibrarySoak, WriteReadPairsLoseAndMixNothing) {
    teldo::test::DriverDiagnostics diagnostics;
    TELDO_Close();
    ASSERT_TRUE(diagnostics.reset());
    ASSERT_EQ(TELDO_Open(), 1);

    const unsigned long pairs = pair_count();
    std::array<Worker, thread_count> workers;
    std::array<HANDLE, thread_count> threads{};
    const double start = seconds_now();
    for (unsigned t = 0; t < thread_count; ++t) {
        workers[t].index = t;
        workers[t].pairs = pairs / thread_count + (t < pairs % thread_count ? 1 : 0);
        workers[t].last_written.assign(0x10000 / thread_count, 0xFF);
        threads[t] = CreateThread(nullptr, 0, soak, &workers[t], 0, nullptr);
        ASSERT_NE(threads[t], nullptr);
    }
    WaitForMultipleObjects(thread_count, threads.data(), TRUE, INFINITE);
    const double elapsed = seconds_now() - start;
    for (HANDLE thread : threads) CloseHandle(thread);

    unsigned long mismatches = 0, failed = 0;
    for (const Worker& worker : workers) {
        mismatches += worker.mismatches;
        failed += worker.failed_requests;
    }
    EXPECT_EQ(failed, 0u);
    EXPECT_EQ(mismatches, 0u);
    EXPECT_NE(TELDO_Close(), 0);

    // Afterwards each port holds the last value written to it, or 0xFF if
    // none was: no write went astray.
    static std::uint8_t ports[0x10000];
    ASSERT_EQ(TELDOX_Open(), 0u);
    ASSERT_EQ(TELDOX_ReadBlock(0, 1, 0, ports, 0x10000), 0u);
    EXPECT_EQ(TELDOX_Close(), 0u);
    unsigned long wrong_ports = 0;
    for (unsigned port = 0; port < 0x10000; ++port)
        if (ports[port] != workers[port % thread_count].last_written[port / thread_count]) ++wrong_ports;
    EXPECT_EQ(wrong_ports, 0u);
    EXPECT_EQ(diagnostics.snapshot().requests, 2 * pairs + 1);

    const double per_second = 2.0 * static_cast<double>(pairs) / elapsed;
    std::ostringstream figures;
    figures.precision(0);
    figures << std::fixed << per_second << " requests per second (" << pairs << " pairs in " << elapsed << " s, "
            << thread_count << " threads)";
    std::cout << figures.str() << std::endl;
    teldo::test::report_row("2-library-soak", "Write-then-read pairs through TELDO.dll, 8 threads",
               std::to_string(pairs) + " pairs, then all 65,536 ports read back in one block",
               ::testing::Test::HasFailure()
                   ? "**FAILED**"
                   : "every read matched its write; " + std::to_string(static_cast<long>(per_second)) +
                         " requests/s");
}

}  // namespace

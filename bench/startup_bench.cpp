// Start-up time of Brenvo.exe against a minimal window built the same way
// (minimal_window.cpp): from process creation until the program's window is
// shown and the program waits for input (WaitForInputIdle: its message loop
// found nothing more to do). Each round starts both once, the one that goes
// first alternating; the ratio of a round is Brenvo's time over the minimal
// window's. Rounds go on until the median ratio is known to within +-2% (its
// 95% interval), or the time runs out. Prints the median times and the
// median ratio, each with its spread.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "statistics.h"

namespace {

double now_ms() {
    LARGE_INTEGER frequency, counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return 1000.0 * static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

struct Program {
    const wchar_t* file;
    const wchar_t* window_class;  // of its main window; a message box would not count
};
constexpr Program brenvo{L"Brenvo.exe", L"BrenvoForm1"};
constexpr Program minimal{L"minimal_window.exe", L"MinimalWindow"};

struct Wanted {
    DWORD process_id;
    const wchar_t* window_class;
    HWND found;
};

BOOL CALLBACK find_visible(HWND window, LPARAM context) {
    auto& wanted = *reinterpret_cast<Wanted*>(context);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    wchar_t name[64];
    if (owner == wanted.process_id && IsWindowVisible(window) &&
        GetClassNameW(window, name, 64) && std::wstring(name) == wanted.window_class) {
        wanted.found = window;
        return FALSE;
    }
    return TRUE;
}

// Milliseconds from process creation until the program's main window is
// visible and the program idles for input, or -1.
double start_up_ms(const Program& program) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    std::wstring command = program.file;
    const double start = now_ms();
    if (!CreateProcessW(program.file, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
        return -1;
    double ready = -1;
    if (WaitForInputIdle(process.hProcess, 30000) == 0) ready = now_ms() - start;
    // Normally the window is up by then; if not (or the wait failed), the
    // time is when it shows.
    Wanted wanted{process.dwProcessId, program.window_class, nullptr};
    EnumWindows(find_visible, reinterpret_cast<LPARAM>(&wanted));
    if (!wanted.found) ready = -1;
    while (!wanted.found && now_ms() - start < 30000 &&
           WaitForSingleObject(process.hProcess, 1) == WAIT_TIMEOUT) {
        EnumWindows(find_visible, reinterpret_cast<LPARAM>(&wanted));
        if (wanted.found) ready = now_ms() - start;
    }
    if (wanted.found) PostMessageW(wanted.found, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(process.hProcess, 10000) != WAIT_OBJECT_0)
        TerminateProcess(process.hProcess, 1);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return ready;
}

constexpr int minimum_rounds = 30;
constexpr int maximum_rounds = 400;
constexpr int check_every = 10;  // rounds between looks at the ratio's precision
constexpr double wanted_precision = 0.02;
constexpr double time_limit_s = 150;

void print_time(const char* what, const bench::Spread& ms) {
    std::printf("  %-20s %7.1f ms  (interquartile range %.1f to %.1f ms)\n", what, ms.median,
                ms.lower_quartile, ms.upper_quartile);
}

}  // namespace

int main() {
    // One start of each first, not counted: the files into the cache.
    if (start_up_ms(brenvo) < 0 || start_up_ms(minimal) < 0) {
        std::fprintf(stderr, "a program showed no window (is the TELDO port driver running?)\n");
        return 1;
    }
    std::vector<double> brenvo_ms, minimal_ms, ratios;
    const double start = now_ms();
    bench::Spread ratio;
    for (int round = 0; round < maximum_rounds; ++round) {
        double brenvo_time, minimal_time;
        if (round % 2 == 0) {
            brenvo_time = start_up_ms(brenvo);
            minimal_time = start_up_ms(minimal);
        } else {
            minimal_time = start_up_ms(minimal);
            brenvo_time = start_up_ms(brenvo);
        }
        if (brenvo_time < 0 || minimal_time < 0) {
            std::fprintf(stderr, "a program showed no window (is the TELDO port driver running?)\n");
            return 1;
        }
        brenvo_ms.push_back(brenvo_time);
        minimal_ms.push_back(minimal_time);
        ratios.push_back(brenvo_time / minimal_time);
        if (round + 1 < minimum_rounds || (round + 1) % check_every != 0) continue;
        ratio = bench::spread(ratios);
        if (ratio.relative_precision() <= wanted_precision) break;
        if ((now_ms() - start) / 1000 > time_limit_s) break;
    }
    ratio = bench::spread(ratios);
    const double elapsed_s = (now_ms() - start) / 1000;

    std::printf("%zu rounds in %.0f s, each one start of Brenvo.exe and one of the minimal window,\n"
                "the first of the two alternating; from process creation to the window shown and\n"
                "idle for input, the median round:\n",
                ratios.size(), elapsed_s);
    print_time("Brenvo.exe", bench::spread(brenvo_ms));
    print_time("minimal window", bench::spread(minimal_ms));
    bench::print_ratio("Brenvo / minimal", ratio, wanted_precision, "the rounds");
    return 0;
}

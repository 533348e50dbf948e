// Start-up time, from process creation to the window shown, of Brenvo.exe
// and of a minimal Win32 program with one empty window, in alternating runs
// under the same Wine; then the sizes of the shipped files. Prints figures.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

double now_ms() {
    LARGE_INTEGER frequency, counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return 1000.0 * static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

struct Visible {
    DWORD process_id;
    const wchar_t* title;
    bool found;
};

BOOL CALLBACK find_visible(HWND window, LPARAM context) {
    auto& wanted = *reinterpret_cast<Visible*>(context);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    wchar_t title[64];
    if (owner == wanted.process_id && IsWindowVisible(window) &&
        GetWindowTextW(window, title, 64) && std::wstring(title) == wanted.title) {
        wanted.found = true;
        return FALSE;
    }
    return TRUE;
}

// Milliseconds until the program's window is visible, or -1.
double time_to_window(const wchar_t* program, const wchar_t* title) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    std::wstring command = program;
    const double start = now_ms();
    if (!CreateProcessW(program, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
        return -1;
    double shown = -1;
    Visible wanted{process.dwProcessId, title, false};
    while (now_ms() - start < 30000) {
        EnumWindows(find_visible, reinterpret_cast<LPARAM>(&wanted));
        if (wanted.found) {
            shown = now_ms() - start;
            break;
        }
        if (WaitForSingleObject(process.hProcess, 1) == WAIT_OBJECT_0) break;
    }
    if (HWND window = FindWindowW(nullptr, title)) PostMessageW(window, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(process.hProcess, 10000) != WAIT_OBJECT_0)
        TerminateProcess(process.hProcess, 1);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return shown;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

long long file_size(const wchar_t* path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data)) return -1;
    return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

}  // namespace

int main() {
    constexpr int runs = 7;
    std::vector<double> brenvo, minimal;
    for (int run = 0; run < runs; ++run) {
        brenvo.push_back(time_to_window(L"Brenvo.exe", L"Brenvo"));
        minimal.push_back(time_to_window(L"minimal_window.exe", L"Minimal"));
    }
    if (std::find(brenvo.begin(), brenvo.end(), -1.0) != brenvo.end() ||
        std::find(minimal.begin(), minimal.end(), -1.0) != minimal.end()) {
        std::fprintf(stderr, "a program showed no window (is the TELDO port driver running?)\n");
        return 1;
    }
    const double brenvo_ms = median(brenvo);
    const double minimal_ms = median(minimal);
    std::printf("Brenvo.exe start-up      %7.1f ms to the window (median of %d)\n", brenvo_ms, runs);
    std::printf("minimal window start-up  %7.1f ms\n", minimal_ms);
    std::printf("Brenvo / minimal         %7.3f\n", brenvo_ms / minimal_ms);
    for (const wchar_t* file : {L"Brenvo.exe", L"TELDO.dll"})
        std::printf("%-24ls %7lld bytes\n", file, file_size(file));
    return 0;
}

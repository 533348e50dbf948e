// window_tool wait TITLE [FILE]   waits up to 30 s for a top-level window with
//                                 this title; exit code 0 when it is there, 1
//                                 when not. Creates FILE once it is there.
// window_tool close TITLE [FILE]  closes that window as the close box would and
//                                 waits for its process to end; 0 when it ended.
//                                 Creates FILE once it has ended.
// FILE lets a caller outside Wine learn the outcome where the exit code is
// lost, as when the tool runs inside a Wine virtual desktop.
// TELDO_WAIT_FACTOR multiplies the limits, as it does the tests' own.
#include <windows.h>

#include <cwchar>

#include "polling.h"

namespace {

HWND wait_for_window(const wchar_t* title) {
    HWND window = nullptr;
    const bool shown = teldo::test::poll(30000, [&] {
        window = FindWindowW(nullptr, title);
        return window && IsWindowVisible(window);
    });
    return shown ? window : nullptr;
}

void touch(int argc, wchar_t** argv) {
    if (argc < 4) return;
    HANDLE file = CreateFileW(argv[3], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3 && argc != 4) return 3;
    HWND window = wait_for_window(argv[2]);
    if (!window) return 1;
    if (std::wcscmp(argv[1], L"wait") == 0) {
        touch(argc, argv);
        return 0;
    }
    if (std::wcscmp(argv[1], L"close") != 0) return 3;

    DWORD process_id = 0;
    GetWindowThreadProcessId(window, &process_id);
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, process_id);
    PostMessageW(window, WM_CLOSE, 0, 0);
    const bool ended = process && teldo::test::wait_for_signal(process, 10000);
    if (process) CloseHandle(process);
    if (ended) touch(argc, argv);
    return ended ? 0 : 2;
}

// window_tool wait TITLE   waits up to 30 s for a top-level window with this
//                          title; exit code 0 when it is there, 1 when not.
// window_tool close TITLE  closes that window as the close box would and
//                          waits for its process to end; 0 when it ended.
#include <windows.h>

#include <cwchar>

namespace {

HWND wait_for_window(const wchar_t* title) {
    for (int tries = 0; tries < 300; ++tries) {
        if (HWND window = FindWindowW(nullptr, title); window && IsWindowVisible(window))
            return window;
        Sleep(100);
    }
    return nullptr;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) return 3;
    HWND window = wait_for_window(argv[2]);
    if (!window) return 1;
    if (std::wcscmp(argv[1], L"wait") == 0) return 0;
    if (std::wcscmp(argv[1], L"close") != 0) return 3;

    DWORD process_id = 0;
    GetWindowThreadProcessId(window, &process_id);
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, process_id);
    PostMessageW(window, WM_CLOSE, 0, 0);
    const bool ended = process && WaitForSingleObject(process, 10000) == WAIT_OBJECT_0;
    if (process) CloseHandle(process);
    return ended ? 0 : 2;
}

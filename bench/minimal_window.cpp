// The baseline for the start-up benchmark: one empty window titled
// "Minimal", started the way Brenvo.exe starts, so that the start-up ratio
// measures what Brenvo does beyond it (loading TELDO.dll and opening the
// device, its fourteen controls, its icon, the input method settings of its
// fields). Like Brenvo it is built without a C runtime, with its own entry
// point, the same target profile and imports (bench/CMakeLists.txt), and
// Brenvo's own manifest (common controls 6, DPI aware; minimal_window.rc);
// it initialises the common controls with the same call and flags, takes the
// same dialog font, the system's message font, and draws its title with it,
// in a window of Brenvo's styles and client size. It runs until closed.
#include <windows.h>
#include <commctrl.h>

namespace {

// The comctl32 version 6 flag for the USER32 control classes, as Brenvo
// passes it (app/module1.cpp).
constexpr DWORD icc_standard_classes = 0x00004000;

// Brenvo's window: its styles and its client area of 6465 x 5115 twips
// (app/form1_window.cpp, app/form1_design.h).
constexpr DWORD window_style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr int client_width_twips = 6465;
constexpr int client_height_twips = 5115;
constexpr wchar_t title[] = L"Minimal";

constinit HFONT font = nullptr;

LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
    case WM_PAINT: {
        PAINTSTRUCT paint;
        const HDC dc = BeginPaint(window, &paint);
        const HGDIOBJ previous = SelectObject(dc, font);
        SetBkMode(dc, TRANSPARENT);
        TextOutW(dc, 8, 8, title, static_cast<int>(sizeof title / sizeof title[0] - 1));
        SelectObject(dc, previous);
        EndPaint(window, &paint);
        return 0;
    }
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(window, message, wparam, lparam);
    }
}

int start_up(HINSTANCE instance) {
    INITCOMMONCONTROLSEX classes{sizeof classes, icc_standard_classes};
    if (!InitCommonControlsEx(&classes)) InitCommonControls();

    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0))
        font = CreateFontIndirectW(&metrics.lfMessageFont);
    if (!font) font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));

    WNDCLASSEXW window_class{};
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = window_procedure;
    window_class.hInstance = instance;
    window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    window_class.lpszClassName = L"MinimalWindow";
    if (!RegisterClassExW(&window_class)) return 1;

    const HDC screen = GetDC(nullptr);
    RECT rect{0, 0, MulDiv(client_width_twips, GetDeviceCaps(screen, LOGPIXELSX), 1440),
              MulDiv(client_height_twips, GetDeviceCaps(screen, LOGPIXELSY), 1440)};
    ReleaseDC(nullptr, screen);
    AdjustWindowRectEx(&rect, window_style, FALSE, 0);
    const HWND window = CreateWindowExW(0, L"MinimalWindow", title, window_style, CW_USEDEFAULT,
                                        CW_USEDEFAULT, rect.right - rect.left,
                                        rect.bottom - rect.top, nullptr, nullptr, instance, nullptr);
    if (!window) return 1;
    ShowWindow(window, SW_SHOWNORMAL);
    UpdateWindow(window);

    MSG message;
    BOOL got;
    while ((got = GetMessageW(&message, nullptr, 0, 0)) != 0) {
        if (got == -1) return 1;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}

}  // namespace

extern "C" [[noreturn]] void WINAPI process_entry() {
    ExitProcess(static_cast<UINT>(start_up(GetModuleHandleW(nullptr))));
}

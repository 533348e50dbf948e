#include "form1_window.h"

#include <imm.h>

#include <algorithm>
#include <array>
#include <cstdint>

#include "brenvo_resources.h"
#include "form1_events.h"
#include "typed_units.h"

namespace brenvo::form1 {
namespace {

using design::ControlDesign;
using design::Kind;

constexpr DWORD form_style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr DWORD form_ex_style = 0;

struct WindowState {
    HWND form = nullptr;
    HFONT font = nullptr;
    bool own_font = false;
    HWND focus = nullptr;  // the control that had the focus when the window was left
    SurrogatePairs pairs;  // typed characters that come in two halves
};
constinit WindowState state;

// The character message of XP and later, in UTF-32; the headers declare it
// only for that target. Windows 2000 sends none itself, but a program may.
constexpr UINT unichar_message = 0x0109;  // WM_UNICHAR
constexpr WPARAM unicode_nochar = 0xFFFF;  // UNICODE_NOCHAR: asks whether WM_UNICHAR is understood

constinit WNDPROC edit_class_proc = nullptr;

// Installs a window procedure and returns the one it replaces. Taking a
// WNDPROC makes the compiler check the calling convention of what is
// installed: on x86 a procedure without CALLBACK does not compile.
WNDPROC replace_window_procedure(HWND window, WNDPROC procedure) {
    return reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(procedure)));
}

// Twips to pixels at the display's resolution (15 twips a pixel at 96 dpi).
struct Scale {
    int dpi_x, dpi_y;
    int x(int twips) const { return MulDiv(twips, dpi_x, 1440); }
    int y(int twips) const { return MulDiv(twips, dpi_y, 1440); }
};

Scale display_scale() {
    const HDC screen = GetDC(nullptr);
    const Scale scale{GetDeviceCaps(screen, LOGPIXELSX), GetDeviceCaps(screen, LOGPIXELSY)};
    ReleaseDC(nullptr, screen);
    return scale;
}

// The platform's message font, which carries the font links for CJK text.
void choose_font() {
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0))
        state.font = CreateFontIndirectW(&metrics.lfMessageFont);
    state.own_font = state.font != nullptr;
    if (!state.font) state.font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
}

const ControlDesign* find_design(std::string_view name) {
    for (const ControlDesign& control : design::form1_controls)
        if (control.name == name) return &control;
    return nullptr;
}

// One UTF-16 unit typed into a field meets the key press event, unless it is
// the second half of a character already refused; an accepted one goes on to
// the field as WM_CHAR.
void type_unit(HWND field, std::uint16_t unit, LPARAM lparam) {
    if (!state.pairs.to_judge(field, unit)) return;
    auto key_code = static_cast<std::int16_t>(unit);
    text_key_press(static_cast<design::ControlId>(GetDlgCtrlID(field)), key_code);
    state.pairs.judged(field, unit, key_code != 0);
    if (key_code == 0) return;
    CallWindowProcW(edit_class_proc, field, WM_CHAR, static_cast<std::uint16_t>(key_code), lparam);
}

// A typed character, whatever message brings it: UTF-16 units from WM_CHAR and
// WM_IME_CHAR, a whole UTF-32 character from WM_UNICHAR.
void type_character(HWND field, WPARAM code, LPARAM lparam) {
    const Utf16Units units = utf16_units(static_cast<std::uint32_t>(code));
    for (int i = 0; i < units.count; ++i) type_unit(field, units.unit[i], lparam);
}

// The text fields ask the dialog manager for Enter and Esc, so that those keys
// press no button and arrive as characters at the key filter; every character
// passes the key press event before the field sees it, by whichever message
// it comes.
LRESULT CALLBACK text_field_proc(HWND field, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
    case WM_GETDLGCODE: {
        LRESULT code = CallWindowProcW(edit_class_proc, field, message, wparam, lparam);
        const auto* pending = reinterpret_cast<const MSG*>(lparam);
        if (pending && pending->message == WM_KEYDOWN &&
            (pending->wParam == VK_RETURN || pending->wParam == VK_ESCAPE))
            code |= DLGC_WANTALLKEYS;
        return code;
    }
    case WM_CHAR:
    case WM_IME_CHAR:
        type_character(field, wparam, lparam);
        return 0;
    case unichar_message:
        if (wparam == unicode_nochar) return TRUE;
        type_character(field, wparam, lparam);
        return FALSE;
    default:
        break;
    }
    return CallWindowProcW(edit_class_proc, field, message, wparam, lparam);
}

struct ControlClass {
    const wchar_t* window_class;
    DWORD style;
    DWORD ex_style;
};

ControlClass control_class(const ControlDesign& control) {
    switch (control.kind) {
    case Kind::push_button:
        return {L"BUTTON", WS_TABSTOP | BS_PUSHBUTTON | BS_MULTILINE | BS_CENTER | BS_VCENTER, 0};
    case Kind::group_box:
        return {L"BUTTON", BS_GROUPBOX, WS_EX_TRANSPARENT};
    case Kind::text_field:
        return {L"EDIT", WS_TABSTOP | ES_LEFT | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE};
    case Kind::label:
        if (control.name == design::output_label)
            return {L"STATIC", SS_LEFT | SS_NOPREFIX | SS_CENTERIMAGE | SS_SUNKEN, 0};
        return {L"STATIC", SS_LEFT | SS_NOPREFIX, 0};
    }
    return {L"STATIC", 0, 0};
}

bool create_control(HINSTANCE instance, const Scale& scale, const ControlDesign& control) {
    int left = scale.x(control.left);
    int top = scale.y(control.top);
    if (control.container != "Form1") {
        const ControlDesign* frame = find_design(control.container);
        if (!frame) return false;
        left += scale.x(frame->left);
        top += scale.y(frame->top);
    }
    const ControlClass cls = control_class(control);
    const HWND window = CreateWindowExW(
        cls.ex_style, cls.window_class, control.caption.data(), WS_CHILD | WS_VISIBLE | cls.style, left,
        top, scale.x(control.width), scale.y(control.height), state.form,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(control.id)), instance, nullptr);
    if (!window) return false;
    SendMessageW(window, WM_SETFONT, reinterpret_cast<WPARAM>(state.font), FALSE);
    if (control.kind == Kind::text_field) {
        SendMessageW(window, EM_SETLIMITTEXT, 0, 0);  // no length limit
        // Hexadecimal only: out of the input method, whose result strings the
        // field would insert without a character message for the key filter.
        // Keys typed with an input method switched on then reach it as plain
        // characters.
        ImmAssociateContextEx(window, nullptr, 0);
        edit_class_proc = replace_window_procedure(window, text_field_proc);
    }
    return true;
}

// Controls are created in tab order: the dialog manager walks siblings in
// z-order, and a new child goes below its elder siblings.
bool create_controls(HINSTANCE instance, const Scale& scale) {
    std::array<const ControlDesign*, design::form1_controls.size()> order;
    std::transform(design::form1_controls.begin(), design::form1_controls.end(), order.begin(),
                   [](const ControlDesign& c) { return &c; });
    std::sort(order.begin(), order.end(), [](const ControlDesign* a, const ControlDesign* b) {
        return a->tab_index < b->tab_index;
    });
    for (const ControlDesign* control : order)
        if (!create_control(instance, scale, *control)) return false;
    return true;
}

HWND first_tab_stop() { return GetNextDlgTabItem(state.form, nullptr, FALSE); }

void restore_focus() {
    HWND target = state.focus && IsWindow(state.focus) ? state.focus : first_tab_stop();
    if (target) SetFocus(target);
}

LRESULT CALLBACK form_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
    case WM_COMMAND:
        // Only clicks of the three buttons; the dialog manager's IDOK and
        // IDCANCEL for Enter and Esc name no control and are ignored.
        if (HIWORD(wparam) == BN_CLICKED && lparam != 0) {
            switch (LOWORD(wparam)) {
            case design::id_command1: command1_click(); return 0;
            case design::id_command2: command2_click(); return 0;
            case design::id_command3: command3_click(); return 0;
            default: break;
            }
        }
        return 0;
    case WM_ACTIVATE:
        if (LOWORD(wparam) == WA_INACTIVE) {
            const HWND focus = GetFocus();
            if (focus && IsChild(window, focus)) state.focus = focus;
            return 0;
        }
        if (!HIWORD(wparam)) restore_focus();  // not while minimised
        return 0;
    case WM_SETFOCUS:
        restore_focus();
        return 0;
    case WM_ENDSESSION:
        // The session ends: unload the window so that its unload event runs.
        if (wparam) DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        form_unload();
        PostQuitMessage(0);
        return 0;
    case WM_NCDESTROY:
        state.form = nullptr;
        state.focus = nullptr;
        if (state.own_font) DeleteObject(state.font);
        state.font = nullptr;
        break;
    default:
        break;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

bool register_class(HINSTANCE instance) {
    WNDCLASSEXW cls{};
    cls.cbSize = sizeof cls;
    cls.lpfnWndProc = form_proc;
    cls.hInstance = instance;
    cls.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_BRENVO));
    cls.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    cls.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    cls.lpszClassName = design::form1.class_name.data();
    return RegisterClassExW(&cls) || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

// Sets the client area to the design size, whatever frame the platform draws.
void fit_client_area(int width, int height) {
    RECT client;
    GetClientRect(state.form, &client);
    RECT frame;
    GetWindowRect(state.form, &frame);
    const int dx = width - (client.right - client.left);
    const int dy = height - (client.bottom - client.top);
    if (dx || dy)
        SetWindowPos(state.form, nullptr, 0, 0, frame.right - frame.left + dx,
                     frame.bottom - frame.top + dy,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// The window opens at its design position, but where that would leave part of
// it off the screen (large fonts on a small screen) it moves just far enough
// back onto the work area, so that every control and the close box stay in reach.
void keep_on_work_area() {
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    if (!GetMonitorInfoW(MonitorFromWindow(state.form, MONITOR_DEFAULTTONEAREST), &monitor)) return;
    const RECT& work = monitor.rcWork;
    RECT frame;
    GetWindowRect(state.form, &frame);
    const int left = std::max<int>(work.left, std::min<int>(frame.left, work.right - (frame.right - frame.left)));
    const int top = std::max<int>(work.top, std::min<int>(frame.top, work.bottom - (frame.bottom - frame.top)));
    if (left != frame.left || top != frame.top)
        SetWindowPos(state.form, nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace

bool load(HINSTANCE instance) {
    if (state.form) return true;
    if (!register_class(instance)) return false;
    const Scale scale = display_scale();
    const auto& form = design::form1;
    RECT rect{scale.x(form.client_left), scale.y(form.client_top),
              scale.x(form.client_left + form.client_width),
              scale.y(form.client_top + form.client_height)};
    AdjustWindowRectEx(&rect, form_style, FALSE, form_ex_style);
    state.form = CreateWindowExW(form_ex_style, form.class_name.data(), form.caption.data(), form_style,
                                 rect.left, rect.top, rect.right - rect.left,
                                 rect.bottom - rect.top, nullptr, nullptr, instance, nullptr);
    if (!state.form) return false;
    choose_font();
    if (!create_controls(instance, scale)) {
        DestroyWindow(state.form);
        return false;
    }
    fit_client_area(scale.x(form.client_width), scale.y(form.client_height));
    keep_on_work_area();
    state.focus = first_tab_stop();
    return true;
}

void show() {
    if (!state.form) return;
    ShowWindow(state.form, SW_SHOWNORMAL);
    UpdateWindow(state.form);
    restore_focus();
}

void unload() {
    if (state.form) DestroyWindow(state.form);
}

HWND handle() { return state.form; }

FieldText::FieldText(HWND field) {
    const int length = GetWindowTextLengthW(field);
    if (length <= 0) return;
    const auto bytes = (static_cast<std::size_t>(length) + 1) * sizeof(wchar_t);
    data_ = static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), 0, bytes));
    if (data_) length_ = static_cast<std::size_t>(GetWindowTextW(field, data_, length + 1));
    readable_ = length_ > 0;
}

FieldText::~FieldText() {
    if (data_) HeapFree(GetProcessHeap(), 0, data_);
}

FieldText text(design::ControlId control) { return FieldText(GetDlgItem(state.form, control)); }

void set_caption(design::ControlId control, const wchar_t* caption) {
    SetDlgItemTextW(state.form, control, caption);
}

bool dialog_message(MSG& message) {
    return state.form && IsDialogMessageW(state.form, &message);
}

}  // namespace brenvo::form1

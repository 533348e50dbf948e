// in_process_probe.dll: a WH_GETMESSAGE hook that a test installs on Brenvo's
// user-interface thread. When the thread takes the probe message from its
// queue, the hook carries out the request in the shared record there.
#include <windows.h>
#include <imm.h>

#include "in_process_probe.h"
#include "pe_image.h"

namespace {

using brenvo::test::ProbeRecord;
using brenvo::test::ProbeRequest;

// The record as the replaced imports see it: mapped once and kept, since the
// program may call them at any time after the request.
ProbeRecord* counters = nullptr;
void* original_heap_alloc = nullptr;

BOOL WINAPI counting_message_beep(UINT type) {
    if (type == 0xFFFFFFFF) InterlockedIncrement(reinterpret_cast<volatile LONG*>(&counters->plain_beeps));
    InterlockedIncrement(reinterpret_cast<volatile LONG*>(&counters->beeps));
    return TRUE;
}

LPVOID WINAPI failing_heap_alloc(HANDLE, DWORD, SIZE_T) { return nullptr; }

// Replaces the program's import of KERNEL32 or USER32 `function`. The probe
// then stays loaded for the program's life, even once the test unhooks it,
// as the program's import table points into it. record.done says whether
// the import was replaced.
void replace_import(ProbeRecord& record, const char* dll, const char* function, void* replacement,
                    void** previous = nullptr) {
    record.done = false;
    if (!counters) {
        const HANDLE mapping = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE,
                                                brenvo::test::probe_record_name(GetCurrentProcessId()).c_str());
        counters = mapping ? static_cast<ProbeRecord*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0))
                           : nullptr;
        if (!counters) return;
    }
    HMODULE self;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                            reinterpret_cast<LPCWSTR>(&counting_message_beep), &self))
        return;
    void* replaced = teldo::test::patch_import(GetModuleHandleW(nullptr), dll, function, replacement);
    if (previous && replaced != replacement) *previous = replaced;
    record.done = replaced != nullptr;
}

void answer_font(ProbeRecord& record, HWND control) {
    record.font = static_cast<std::uint64_t>(SendMessageW(control, WM_GETFONT, 0, 0));
}

void answer_draw(ProbeRecord& record, HWND control) {
    RECT client;
    GetClientRect(control, &client);
    record.width = client.right < ProbeRecord::max_side ? client.right : ProbeRecord::max_side;
    record.height = client.bottom < ProbeRecord::max_side ? client.bottom : ProbeRecord::max_side;
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = record.width;
    info.bmiHeader.biHeight = -record.height;  // top row first
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    const HDC screen = GetDC(nullptr);
    const HDC dc = CreateCompatibleDC(screen);
    const HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    ReleaseDC(nullptr, screen);
    if (dc && bitmap) {
        const HGDIOBJ old = SelectObject(dc, bitmap);
        SendMessageW(control, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(dc), PRF_CLIENT | PRF_ERASEBKGND);
        GdiFlush();
        const auto* pixels = static_cast<const std::uint32_t*>(bits);
        for (int i = 0; i < record.width * record.height; ++i) record.pixels[i] = pixels[i] & 0xFFFFFF;
        SelectObject(dc, old);
    } else {
        record.width = record.height = 0;
    }
    if (bitmap) DeleteObject(bitmap);
    if (dc) DeleteDC(dc);
}

void answer_compose(ProbeRecord& record, HWND field) {
    SetFocus(field);
    const HIMC context = ImmGetContext(field);
    record.has_context = context != nullptr;
    if (!context) return;
    ImmSetOpenStatus(context, TRUE);
    const DWORD bytes = static_cast<DWORD>(lstrlenW(record.text) * sizeof(wchar_t));
    ImmSetCompositionStringW(context, SCS_SETSTR, record.text, bytes, nullptr, 0);
    ImmNotifyIME(context, NI_COMPOSITIONSTR, CPS_COMPLETE, 0);
    ImmReleaseContext(field, context);
}

void answer(const MSG& message) {
    const HANDLE mapping = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE,
                                            brenvo::test::probe_record_name(GetCurrentProcessId()).c_str());
    if (!mapping) return;
    if (auto* record = static_cast<ProbeRecord*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0))) {
        const HWND control = GetDlgItem(message.hwnd, record->control);
        switch (record->request) {
        case ProbeRequest::font: answer_font(*record, control); break;
        case ProbeRequest::draw: answer_draw(*record, control); break;
        case ProbeRequest::compose: answer_compose(*record, control); break;
        case ProbeRequest::count_beeps:
            replace_import(*record, "USER32.dll", "MessageBeep", reinterpret_cast<void*>(counting_message_beep));
            break;
        case ProbeRequest::fail_heap_alloc:
            replace_import(*record, "KERNEL32.dll", "HeapAlloc", reinterpret_cast<void*>(failing_heap_alloc),
                           &original_heap_alloc);
            break;
        case ProbeRequest::restore_heap_alloc:
            record->done = false;
            if (original_heap_alloc) replace_import(*record, "KERNEL32.dll", "HeapAlloc", original_heap_alloc);
            break;
        case ProbeRequest::none: break;
        }
        record->request = ProbeRequest::none;
        InterlockedIncrement(reinterpret_cast<volatile LONG*>(&record->answers));
        UnmapViewOfFile(record);
    }
    CloseHandle(mapping);
}

}  // namespace

extern "C" __declspec(dllexport) LRESULT CALLBACK probe_hook(int code, WPARAM removal, LPARAM lparam) {
    static const UINT probe_message = RegisterWindowMessageW(brenvo::test::probe_message_name);
    const auto* message = reinterpret_cast<const MSG*>(lparam);
    if (code == HC_ACTION && removal == PM_REMOVE && message->message == probe_message) answer(*message);
    return CallNextHookEx(nullptr, code, removal, lparam);
}

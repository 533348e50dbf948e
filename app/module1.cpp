// Start-up: open the card's device, then either the main window or the
// message that the card cannot be opened. The program runs until the window
// is unloaded.
//
// The process starts at process_entry, with no C runtime start-up before it:
// the program uses no C runtime, and the toolchain's prebuilt start-up code
// holds instructions that a Pentium-class processor does not have. Nothing
// runs static constructors either, so every global is constinit.
#include <windows.h>
#include <commctrl.h>

#include <cstdint>

#include "form1_window.h"
#include "teldo_binding.h"

namespace {

// The comctl32 version 6 flag for BUTTON, EDIT, STATIC and the other USER32
// classes; the headers hide it below the XP API level.
constexpr DWORD icc_standard_classes = 0x00004000;

// The manifest asks for common controls version 6. On XP the classes of the
// window's controls then come from comctl32 version 6, which must be loaded
// and initialised before the first window or message box. Version 5
// (Windows 2000, which ignores the manifest) may refuse the version 6 flag; its
// plain initialisation is enough there, as USER32 keeps the classes.
void load_common_controls() {
    INITCOMMONCONTROLSEX classes{sizeof classes, icc_standard_classes};
    if (!InitCommonControlsEx(&classes)) InitCommonControls();
}

int run_message_loop() {
    MSG message;
    BOOL got;
    while ((got = GetMessageW(&message, nullptr, 0, 0)) != 0) {
        if (got == -1) return 1;
        if (!brenvo::form1::dialog_message(message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    return static_cast<int>(message.wParam);
}

// The start-up procedure; its result is the process's exit code.
int start_up(HINSTANCE instance) {
    load_common_controls();
    // Only the low 16 bits of the result count.
    if (static_cast<std::int16_t>(brenvo::teldo::open()) == 0) {
        MessageBoxW(nullptr, L"Can't Open card !", L"Brenvo", MB_OK | MB_ICONINFORMATION);
        return 0;
    }
    if (!brenvo::form1::load(instance)) {
        brenvo::teldo::close();
        return 1;
    }
    brenvo::form1::show();
    return run_message_loop();
}

}  // namespace

extern "C" [[noreturn]] void WINAPI process_entry() {
    ExitProcess(static_cast<UINT>(start_up(GetModuleHandleW(nullptr))));
}

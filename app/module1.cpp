// Start-up: open the card's device, then either the main window or the
// message that the card cannot be opened. The program runs until the window
// is unloaded.
#include <windows.h>

#include <cstdint>

#include "form1_window.h"
#include "teldo_binding.h"

namespace {

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

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
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

// Drives a running Brenvo.exe from a test: starts it, finds its window and
// controls, sends keys and clicks, waits until it has handled them, counts its
// beeps, finds its message boxes, and makes sure it has ended afterwards.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "in_process_probe.h"

namespace brenvo::test {

// The directory of the running test program (build/bin): Brenvo.exe,
// TELDO.dll and the test helpers live there.
std::wstring binary_directory();

// Runs a program and waits for it; its exit code, or -1 when it did not run.
int run_and_wait(const std::wstring& command_line, DWORD timeout_ms = 60000);

// Sends a message to a window of another process and waits up to 30 s (times
// TELDO_WAIT_FACTOR) for its answer; whether it answered, the answer in
// `result`. It does not give up early on a "hung" thread (SMTO_ABORTIFHUNG):
// Wine counts a thread as hung after 5 s away from its messages, which a
// program starting up or loading a font on a slow machine can be.
bool send_message(HWND window, UINT message, WPARAM wparam, LPARAM lparam, DWORD_PTR& result);

struct MessageBoxSeen {
    HWND window = nullptr;
    std::wstring caption;
    std::wstring text;                  // the texts of the box's static controls
    std::vector<std::wstring> buttons;  // the visible buttons' captions
};

class BrenvoProcess {
public:
    BrenvoProcess() = default;
    // Starts directory\Brenvo.exe with directory as the current directory.
    bool start(const std::wstring& directory = binary_directory());
    ~BrenvoProcess();  // ends the program if it still runs
    BrenvoProcess(const BrenvoProcess&) = delete;
    BrenvoProcess& operator=(const BrenvoProcess&) = delete;

    bool started() const { return process_.hProcess != nullptr; }
    DWORD process_id() const { return process_.dwProcessId; }
    DWORD thread_id() const { return process_.dwThreadId; }  // the user-interface thread

    // Waits for the main window to be shown and the program to be idle in
    // its message loop; nullptr on timeout.
    HWND wait_for_window(DWORD timeout_ms = 30000);
    HWND form() const { return form_; }
    HWND control(int id) const { return GetDlgItem(form_, id); }

    std::wstring text(int id) const;
    void set_text(int id, const std::wstring& text);
    bool is_running() const;

    // Posts a click on a button, as the mouse would give it.
    void click(int id);
    // Posts characters (WM_CHAR) to a control, through the message loop.
    void type(int id, const std::wstring& characters);
    // Posts a key press (WM_KEYDOWN, WM_KEYUP) to a control.
    void press_key(int id, UINT virtual_key);
    // Posts Alt+letter (WM_SYSKEYDOWN, WM_SYSCHAR, WM_SYSKEYUP) to a control.
    void press_alt(int id, wchar_t letter);

    // Makes the window the foreground window, for keyboard input.
    bool bring_to_front();
    // Keyboard input as the operator gives it: virtual keys down and up.
    struct Key {
        WORD virtual_key;
        bool down;
    };
    // Keys from SendInput reach the program through the display, after any
    // sync(): wait for what they should do with wait_until.
    void send_keys(std::initializer_list<Key> keys);
    // Polls `done` until it holds or the time is up; whether it held.
    bool wait_until(const std::function<bool()>& done, DWORD timeout_ms = 5000) const;
    bool wait_for_focus(HWND control, DWORD timeout_ms = 5000) const;

    // Returns once every message posted to the program so far, and every
    // message those produced, has been handled.
    bool sync();

    // The control that has the keyboard focus in the program.
    HWND focus() const;

    // The probe on the program's own thread (in_process_probe.h), hooked in
    // at its first use; call once the window is up.
    InProcessProbe& probe();

    // Replaces USER32's MessageBeep in the program's import table with a
    // counter (through the probe); call once the window is up.
    bool count_beeps();
    std::uint32_t beeps() const;        // all calls since count_beeps()
    std::uint32_t plain_beeps() const;  // calls with 0xFFFFFFFF (the plain beep)

    // A message box of the program, once it is shown; window nullptr on timeout.
    MessageBoxSeen wait_for_message_box(DWORD timeout_ms = 30000) const;
    MessageBoxSeen current_message_box() const { return wait_for_message_box(0); }
    // Presses the box's first visible button.
    void dismiss(const MessageBoxSeen& box);

    // Waits for the program to end; its exit code, or STILL_ACTIVE on timeout.
    DWORD wait_for_exit(DWORD timeout_ms = 30000);

    // The program's imported DLL names, from its import table in memory.
    std::vector<std::string> imported_dlls() const;

private:
    // The program's image as loaded (empty when it cannot be read).
    std::vector<char> loaded_image() const;

    PROCESS_INFORMATION process_{};
    HWND form_ = nullptr;
    std::unique_ptr<InProcessProbe> probe_;
    LPARAM sync_marker_ = 0x7FFF0000;
};

}  // namespace brenvo::test

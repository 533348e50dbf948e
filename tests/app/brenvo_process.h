// Drives a running Brenvo.exe from a test: starts it, finds its window and
// controls, sends keys and clicks, waits until it has handled them, counts its
// beeps, finds its message boxes, and makes sure it has ended afterwards.
#pragma once

#include <windows.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace brenvo::test {

// The directory of the running test program (build/bin): Brenvo.exe,
// TELDO.dll and the test helpers live there.
std::wstring binary_directory();

// Runs a program and waits for it; its exit code, or -1 when it did not run.
int run_and_wait(const std::wstring& command_line, DWORD timeout_ms = 60000);

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
    void send_keys(std::initializer_list<Key> keys);
    bool wait_for_focus(HWND control, DWORD timeout_ms = 5000) const;

    // Returns once every message posted to the program so far, and every
    // message those produced, has been handled.
    bool sync();

    // The control that has the keyboard focus in the program.
    HWND focus() const;

    // Replaces USER32's MessageBeep in the program's import table with a
    // counter; call once the window is up.
    bool count_beeps();
    std::uint32_t beeps() const;        // all calls since count_beeps()
    std::uint32_t plain_beeps() const;  // calls with 0xFFFFFFFF (the plain beep)

    // Makes the program's own calls of an imported stdcall function return
    // `result` at once, as a failing call would, until restore_import().
    bool fail_import(const char* dll, const char* function, std::uint32_t result,
                     std::uint16_t argument_bytes);
    bool restore_import(const char* dll, const char* function);

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
    std::uintptr_t image_base() const;
    bool read(std::uintptr_t address, void* buffer, std::size_t size) const;
    template <typename T> T read_as(std::uintptr_t address) const {
        T value{};
        read(address, &value, sizeof value);
        return value;
    }
    std::string read_string(std::uintptr_t address) const;
    std::uintptr_t find_import(const char* dll, const char* function) const;
    std::uint32_t read_counter(std::uintptr_t address) const;
    // Room for code in the program (its address, or 0), and code put there.
    std::uintptr_t reserve_code(std::size_t size);
    bool write_code(std::uintptr_t at, const void* code, std::size_t size);
    bool write_slot(std::uintptr_t slot, std::uint32_t target);

    PROCESS_INFORMATION process_{};
    HWND form_ = nullptr;
    std::uintptr_t beep_counters_ = 0;  // in the program: plain count, total count
    std::vector<std::pair<std::uintptr_t, std::uint32_t>> replaced_;  // import slot, original
    LPARAM sync_marker_ = 0x7FFF0000;
};

}  // namespace brenvo::test

#include "brenvo_process.h"

#include <tlhelp32.h>

#include "in_process_probe.h"
#include "pe_image.h"
#include "polling.h"

namespace brenvo::test {
namespace {

using teldo::test::poll;
using teldo::test::wait_for_signal;

constexpr wchar_t form_class[] = L"BrenvoForm1";
constexpr int sync_control = 2002;  // Text2: its text limit carries the sync markers

std::wstring class_of(HWND window) {
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    return name;
}

std::wstring window_text(HWND window) {
    DWORD_PTR length = 0;
    if (!send_message(window, WM_GETTEXTLENGTH, 0, 0, length)) return L"";
    std::wstring text(length + 1, L'\0');
    DWORD_PTR copied = 0;
    send_message(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()), copied);
    text.resize(copied);
    return text;
}

struct BoxSearch {
    HWND found = nullptr;
};

BOOL CALLBACK find_box(HWND window, LPARAM param) {
    if (IsWindowVisible(window) && class_of(window) == L"#32770") {
        reinterpret_cast<BoxSearch*>(param)->found = window;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK collect_box_parts(HWND child, LPARAM param) {
    auto* box = reinterpret_cast<MessageBoxSeen*>(param);
    const std::wstring cls = class_of(child);
    if (!IsWindowVisible(child)) return TRUE;
    if (_wcsicmp(cls.c_str(), L"Static") == 0) {
        const std::wstring text = window_text(child);
        if (!text.empty()) box->text += (box->text.empty() ? L"" : L"\n") + text;
    } else if (_wcsicmp(cls.c_str(), L"Button") == 0) {
        box->buttons.push_back(window_text(child));
    }
    return TRUE;
}

}  // namespace

std::wstring binary_directory() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring directory(path, length);
    return directory.substr(0, directory.find_last_of(L"\\/"));
}

bool send_message(HWND window, UINT message, WPARAM wparam, LPARAM lparam, DWORD_PTR& result) {
    result = 0;
    const DWORD limit = 30000 * teldo::test::wait_factor();
    return SendMessageTimeoutW(window, message, wparam, lparam, SMTO_NORMAL, limit, &result) != 0;
}

int run_and_wait(const std::wstring& command_line, DWORD timeout_ms) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    std::wstring line = command_line;
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info))
        return -1;
    DWORD code = static_cast<DWORD>(-1);
    if (wait_for_signal(info.hProcess, timeout_ms))
        GetExitCodeProcess(info.hProcess, &code);
    else
        TerminateProcess(info.hProcess, 1);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return static_cast<int>(code);
}

bool BrenvoProcess::start(const std::wstring& directory) {
    if (started()) return false;
    const std::wstring program = directory + L"\\Brenvo.exe";
    std::wstring line = L"\"" + program + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    if (!CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        directory.c_str(), &startup, &process_))
        process_ = {};
    return started();
}

BrenvoProcess::~BrenvoProcess() {
    if (!started()) return;
    if (is_running()) {
        for (int i = 0; i < 3; ++i) {
            const MessageBoxSeen box = current_message_box();
            if (!box.window) break;
            dismiss(box);
            // Until that box is gone, so that the next look sees what follows it.
            poll(5000, [&] { return !IsWindowVisible(box.window) || !is_running(); });
        }
        if (form_ && IsWindow(form_)) PostMessageW(form_, WM_CLOSE, 0, 0);
        if (!wait_for_signal(process_.hProcess, 10000)) {
            TerminateProcess(process_.hProcess, 99);
            wait_for_signal(process_.hProcess, 10000);
        }
    }
    CloseHandle(process_.hThread);
    CloseHandle(process_.hProcess);
}

bool BrenvoProcess::is_running() const {
    return started() && WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT;
}

HWND BrenvoProcess::wait_for_window(DWORD timeout_ms) {
    poll(timeout_ms, [&] {
        for (HWND window = FindWindowExW(nullptr, nullptr, form_class, nullptr); window;
             window = FindWindowExW(nullptr, window, form_class, nullptr)) {
            DWORD pid = 0;
            GetWindowThreadProcessId(window, &pid);
            if (pid == process_.dwProcessId && IsWindowVisible(window)) {
                form_ = window;
                return true;
            }
        }
        return !is_running();
    });
    // The window shows before start-up has finished (focus, first paint):
    // wait until the program has reached its message loop.
    if (form_ && !sync()) form_ = nullptr;
    return form_;
}

std::wstring BrenvoProcess::text(int id) const { return window_text(control(id)); }

void BrenvoProcess::set_text(int id, const std::wstring& text) {
    DWORD_PTR result;
    send_message(control(id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), result);
}

void BrenvoProcess::click(int id) { PostMessageW(control(id), BM_CLICK, 0, 0); }

void BrenvoProcess::type(int id, const std::wstring& characters) {
    for (wchar_t c : characters) PostMessageW(control(id), WM_CHAR, c, 1);
}

void BrenvoProcess::press_key(int id, UINT virtual_key) {
    const LPARAM scan = static_cast<LPARAM>(MapVirtualKeyW(virtual_key, MAPVK_VK_TO_VSC)) << 16;
    PostMessageW(control(id), WM_KEYDOWN, virtual_key, scan | 1);
    PostMessageW(control(id), WM_KEYUP, virtual_key, scan | 1 | 0xC0000000);
}

void BrenvoProcess::press_alt(int id, wchar_t letter) {
    const UINT key = static_cast<UINT>(towupper(letter));
    const LPARAM scan = static_cast<LPARAM>(MapVirtualKeyW(key, MAPVK_VK_TO_VSC)) << 16;
    const LPARAM alt_down = 0x20000000;
    PostMessageW(control(id), WM_SYSKEYDOWN, key, scan | alt_down | 1);
    PostMessageW(control(id), WM_SYSCHAR, letter, scan | alt_down | 1);
    PostMessageW(control(id), WM_SYSKEYUP, key, scan | alt_down | 1 | 0xC0000000);
}

bool BrenvoProcess::sync() {
    // Posted messages are handled in order, so once a marker posted after them
    // has arrived they have been handled too; a second round covers the
    // messages that handling them posted in turn (characters from key presses).
    const HWND target = control(sync_control);
    for (int round = 0; round < 2; ++round) {
        const LPARAM marker = ++sync_marker_;
        if (!PostMessageW(target, EM_SETLIMITTEXT, static_cast<WPARAM>(marker), 0)) return false;
        // Generous: a run of a thousand characters into a long field takes a
        // starved program many seconds on a busy machine.
        const bool arrived = poll(60000, [&] {
            DWORD_PTR limit = 0;
            return send_message(target, EM_GETLIMITTEXT, 0, 0, limit) &&
                   static_cast<LPARAM>(limit) == marker;
        });
        if (!arrived) return false;
    }
    DWORD_PTR ignored;
    send_message(target, EM_SETLIMITTEXT, 0, 0, ignored);
    return true;
}

bool BrenvoProcess::bring_to_front() {
    return poll(5000, [&] {
        SetForegroundWindow(form_);
        return GetForegroundWindow() == form_;
    });
}

void BrenvoProcess::send_keys(std::initializer_list<Key> keys) {
    std::vector<INPUT> inputs;
    for (const Key& key : keys) {
        INPUT input{};
        input.type = INPUT_KEYBOARD;
        input.ki.wVk = key.virtual_key;
        input.ki.wScan = static_cast<WORD>(MapVirtualKeyW(key.virtual_key, MAPVK_VK_TO_VSC));
        input.ki.dwFlags = key.down ? 0 : KEYEVENTF_KEYUP;
        inputs.push_back(input);
    }
    SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
}

bool BrenvoProcess::wait_until(const std::function<bool()>& done, DWORD timeout_ms) const {
    return poll(timeout_ms, done);
}

bool BrenvoProcess::wait_for_focus(HWND control, DWORD timeout_ms) const {
    return poll(timeout_ms, [&] { return focus() == control; });
}

HWND BrenvoProcess::focus() const {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(process_.dwThreadId, &info)) return nullptr;
    return info.hwndFocus;
}

std::vector<char> BrenvoProcess::loaded_image() const {
    std::vector<char> image;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, process_.dwProcessId);
    if (snapshot == INVALID_HANDLE_VALUE) return image;
    MODULEENTRY32W module{};
    module.dwSize = sizeof module;
    for (BOOL more = Module32FirstW(snapshot, &module); more; more = Module32NextW(snapshot, &module)) {
        if (_wcsicmp(module.szModule, L"Brenvo.exe") != 0) continue;
        image.resize(module.modBaseSize);
        SIZE_T done = 0;
        if (!ReadProcessMemory(process_.hProcess, module.modBaseAddr, image.data(), image.size(), &done) ||
            done != image.size())
            image.clear();
        break;
    }
    CloseHandle(snapshot);
    return image;
}

std::vector<std::string> BrenvoProcess::imported_dlls() const {
    std::vector<std::string> names;
    teldo::test::PeTables tables;
    std::string error;
    const std::vector<char> image = loaded_image();
    if (image.empty() || !teldo::test::read_pe_tables(image, teldo::test::PeLayout::loaded, tables, error))
        return names;
    for (const auto& [dll, functions] : tables.imports) names.push_back(dll);
    return names;
}

InProcessProbe& BrenvoProcess::probe() {
    if (!probe_) probe_ = std::make_unique<InProcessProbe>(*this);
    return *probe_;
}

bool BrenvoProcess::count_beeps() { return probe().count_beeps(); }
std::uint32_t BrenvoProcess::beeps() const { return probe_ ? probe_->beeps() : 0; }
std::uint32_t BrenvoProcess::plain_beeps() const { return probe_ ? probe_->plain_beeps() : 0; }

MessageBoxSeen BrenvoProcess::wait_for_message_box(DWORD timeout_ms) const {
    MessageBoxSeen box;
    if (!started()) return box;
    poll(timeout_ms, [&] {
        BoxSearch search;
        EnumThreadWindows(process_.dwThreadId, find_box, reinterpret_cast<LPARAM>(&search));
        box.window = search.found;
        return box.window != nullptr || !is_running();
    });
    if (!box.window) return box;
    box.caption = window_text(box.window);
    EnumChildWindows(box.window, collect_box_parts, reinterpret_cast<LPARAM>(&box));
    return box;
}

void BrenvoProcess::dismiss(const MessageBoxSeen& box) {
    for (HWND child = GetWindow(box.window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        if (IsWindowVisible(child) && _wcsicmp(class_of(child).c_str(), L"Button") == 0) {
            PostMessageW(box.window, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(child), BN_CLICKED),
                         reinterpret_cast<LPARAM>(child));
            return;
        }
    }
}

DWORD BrenvoProcess::wait_for_exit(DWORD timeout_ms) {
    if (!started()) return STILL_ACTIVE;
    if (!wait_for_signal(process_.hProcess, timeout_ms)) return STILL_ACTIVE;
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process_.hProcess, &code);
    return code;
}

}  // namespace brenvo::test

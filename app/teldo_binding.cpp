#include "teldo_binding.h"

#include <windows.h>

#include <string>

namespace brenvo::teldo {
namespace {

constexpr wchar_t library_name[] = L"TELDO.dll";

using OpenFn = std::int32_t(WINAPI*)();
using ReadFn = std::uint8_t(WINAPI*)(std::int16_t);
using WriteFn = std::int32_t(WINAPI*)(std::int16_t, std::uint8_t);
using CloseFn = std::int32_t(WINAPI*)();

std::wstring system_error_text(DWORD error) {
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring result = length ? std::wstring(text, length) : std::wstring();
    LocalFree(text);
    while (!result.empty() && (result.back() == L'\n' || result.back() == L'\r'))
        result.pop_back();
    return result + L" (error " + std::to_wstring(error) + L")";
}

[[noreturn]] void binding_failed(const std::wstring& what, DWORD error) {
    const std::wstring text = what + L"\n\n" + system_error_text(error);
    MessageBoxW(nullptr, text.c_str(), L"Brenvo", MB_OK | MB_ICONERROR | MB_TASKMODAL);
    ExitProcess(binding_failure_exit_code);
}

HMODULE library() {
    static HMODULE module = nullptr;
    if (!module) {
        module = LoadLibraryW(library_name);
        if (!module) binding_failed(L"Brenvo cannot load the library TELDO.dll.", GetLastError());
    }
    return module;
}

template <typename Fn>
Fn bind(const char* name, const wchar_t* wide_name) {
    const FARPROC address = GetProcAddress(library(), name);
    if (!address)
        binding_failed(std::wstring(L"Brenvo cannot find the function ") + wide_name +
                           L" in the library TELDO.dll.",
                       GetLastError());
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(address));
}

// Each slot starts at a binder that looks the export up, stores it in the
// slot and forwards the call; later calls jump through the slot directly.
std::int32_t WINAPI bind_open();
std::uint8_t WINAPI bind_read(std::int16_t port);
std::int32_t WINAPI bind_write(std::int16_t port, std::uint8_t value);
std::int32_t WINAPI bind_close();

OpenFn open_slot = bind_open;
ReadFn read_slot = bind_read;
WriteFn write_slot = bind_write;
CloseFn close_slot = bind_close;

std::int32_t WINAPI bind_open() {
    open_slot = bind<OpenFn>("TELDO_Open", L"TELDO_Open");
    return open_slot();
}

std::uint8_t WINAPI bind_read(std::int16_t port) {
    read_slot = bind<ReadFn>("TELDO_RD", L"TELDO_RD");
    return read_slot(port);
}

std::int32_t WINAPI bind_write(std::int16_t port, std::uint8_t value) {
    write_slot = bind<WriteFn>("TELDO_WR", L"TELDO_WR");
    return write_slot(port, value);
}

std::int32_t WINAPI bind_close() {
    close_slot = bind<CloseFn>("TELDO_Close", L"TELDO_Close");
    return close_slot();
}

}  // namespace

std::int32_t open() { return open_slot(); }
std::uint8_t read(std::int16_t port) { return read_slot(port); }
std::int32_t write(std::int16_t port, std::uint8_t value) { return write_slot(port, value); }
std::int32_t close() { return close_slot(); }

}  // namespace brenvo::teldo

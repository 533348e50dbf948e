#include "teldo_binding.h"

#include <windows.h>

#include "teldo.h"

namespace brenvo::teldo {
namespace {

// The exports' types come from the library's own header, the one statement of
// the contract; the program never links them, it binds them by name.
using OpenFn = decltype(&TELDO_Open);
using ReadFn = decltype(&TELDO_RD);
using WriteFn = decltype(&TELDO_WR);
using CloseFn = decltype(&TELDO_Close);

// Tells the operator what could not be bound and why, then ends the program.
// The texts are built in fixed buffers with the system's own formatting, so
// that the program carries no string library of its own.
[[noreturn]] void binding_failed(const wchar_t* what, DWORD error) {
    wchar_t reason[512] = L"";
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, reason, 512, nullptr);
    while (length > 0 && (reason[length - 1] == L'\n' || reason[length - 1] == L'\r'))
        reason[--length] = L'\0';
    wchar_t text[1024];
    wsprintfW(text, L"%s\n\n%s (error %lu)", what, reason, error);
    MessageBoxW(nullptr, text, L"Brenvo", MB_OK | MB_ICONERROR | MB_TASKMODAL);
    ExitProcess(binding_failure_exit_code);
}

HMODULE library() {
    static HMODULE module = nullptr;
    if (!module) {
        module = LoadLibraryW(L"TELDO.dll");
        if (!module) binding_failed(L"Brenvo cannot load the library TELDO.dll.", GetLastError());
    }
    return module;
}

template <typename Fn>
Fn bind(const char* name) {
    const FARPROC address = GetProcAddress(library(), name);
    if (!address) {
        const DWORD error = GetLastError();
        wchar_t what[128];
        wsprintfW(what, L"Brenvo cannot find the function %hs in the library TELDO.dll.", name);
        binding_failed(what, error);
    }
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(address));
}

// Each slot starts at a binder that looks the export up, stores it in the
// slot and forwards the call; later calls jump through the slot directly.
int WINAPI bind_open();
unsigned char WINAPI bind_read(unsigned short port);
int WINAPI bind_write(unsigned short port, unsigned char value);
int WINAPI bind_close();

constinit OpenFn open_slot = bind_open;
constinit ReadFn read_slot = bind_read;
constinit WriteFn write_slot = bind_write;
constinit CloseFn close_slot = bind_close;

int WINAPI bind_open() {
    open_slot = bind<OpenFn>("TELDO_Open");
    return open_slot();
}

unsigned char WINAPI bind_read(unsigned short port) {
    read_slot = bind<ReadFn>("TELDO_RD");
    return read_slot(port);
}

int WINAPI bind_write(unsigned short port, unsigned char value) {
    write_slot = bind<WriteFn>("TELDO_WR");
    return write_slot(port, value);
}

int WINAPI bind_close() {
    close_slot = bind<CloseFn>("TELDO_Close");
    return close_slot();
}

}  // namespace

// The address's 16-bit pattern is the port.
std::int32_t open() { return open_slot(); }
std::uint8_t read(std::int16_t port) { return read_slot(static_cast<unsigned short>(port)); }
std::int32_t write(std::int16_t port, std::uint8_t value) {
    return write_slot(static_cast<unsigned short>(port), value);
}
std::int32_t close() { return close_slot(); }

}  // namespace brenvo::teldo

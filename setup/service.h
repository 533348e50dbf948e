// The driver's service and settings for its set-up: the service manager,
// stopping and starting the driver, whether its device is held, its
// Parameters values saved and put back exactly, its running mode, and why
// it does not start, in plain words.
#pragma once

#include <windows.h>

#include <cstdint>

#include "files.h"
#include "output.h"
#include "port_list.h"
#include "start_errors.h"

namespace teldo::console::setup {

constexpr wchar_t service_name[] = L"TELDO";
constexpr wchar_t parameters_key[] = L"SYSTEM\\CurrentControlSet\\Services\\TELDO\\Parameters";
constexpr wchar_t status_key[] = L"SYSTEM\\CurrentControlSet\\Services\\TELDO\\Status";

// "teldo: ..." with the system's error, then the hint, if any; exit_failed.
int failure(const char* what, DWORD error, const char* advice = nullptr);

// Text from the registry or the driver, in ASCII: any other character, and
// a control character, shows as '?'.
template <class Sink>
void put_wide(Sink& sink, const wchar_t* text) {
    for (; *text; ++text) sink.put(*text >= 0x20 && *text < 0x7F ? static_cast<char>(*text) : '?');
}

// A 32-bit program on 64-bit Windows (IsWow64Process is not on Windows 2000).
bool running_under_wow64();
ThisWindows this_windows();
// Windows Vista or later, which have bcdedit and test-signing mode; false
// also where the version cannot be read.
bool vista_or_later();

// A handle of the service manager or of a service, closed when it goes.
class ServiceHandle {
public:
    explicit ServiceHandle(SC_HANDLE handle = nullptr) : handle_(handle) {}
    ~ServiceHandle() { reset(); }
    ServiceHandle(const ServiceHandle&) = delete;
    ServiceHandle& operator=(const ServiceHandle&) = delete;
    void reset(SC_HANDLE handle = nullptr) {
        if (handle_) CloseServiceHandle(handle_);
        handle_ = handle;
    }
    operator SC_HANDLE() const { return handle_; }

private:
    SC_HANDLE handle_;
};

// The service manager with full access, or null after telling why (exit
// code in `exit_code`).
SC_HANDLE open_manager(int& exit_code);

// Whether this user can open \\.\TELDO now, and the error if not.
enum class Device : std::uint8_t { openable, missing, denied, held, other };
Device probe_device(DWORD& error);
extern const char* const held_device;
extern const char* const held_advice;

// Stops a running driver: 0, or why it did not stop (ERROR_SERVICE_REQUEST_TIMEOUT
// when it stays STOP_PENDING: a program holds its device).
DWORD stop(SC_HANDLE service);
// Starts the driver and waits for it; 0, or why it did not start.
DWORD start(SC_HANDLE service);
// Says in plain words why a stop failed, with what to do; exit_failed.
int stop_failure(const char* what, DWORD error);
// The same for a stop that `stop` gave up on, with the driver's state read
// again: a program may have opened the device after it was found free, and
// then the driver is still stopping, which is a change; exit_failed.
int stop_failed(SC_HANDLE service, DWORD error);
// After DeleteService and the last of this program's handles to the
// service: true when it is gone; else says that it is only marked for
// deletion (another program has it open), or that this cannot be told.
bool service_gone(SC_HANDLE manager);

// A service's configuration, or null when it cannot be read; stays valid
// until the next call.
const QUERY_SERVICE_CONFIGW* read_config(SC_HANDLE service);

// Whether the service TELDO, as `config` registers it, may be changed or
// removed: null when it is this package's driver (or there is nothing to
// lose: no image path, or our own path `ours` with no file there), else
// why not, in plain words. `file` gets the registered driver file.
const char* not_ours(const QUERY_SERVICE_CONFIGW* config, const wchar_t* ours, Path& file);

// A Parameters value as it was, any size, to be put back exactly, and
// whether the key Parameters was there.
struct SavedValue {
    bool existed = false, key_existed = false;
    DWORD type = 0, size = 0;
    BYTE* data = nullptr;  // from the process heap, kept until exit
};
// 0, or why the value could not be read (then nothing may change it).
DWORD save(const wchar_t* name, SavedValue& value);
// Sets the value, creating the key Parameters if need be (`data` null:
// deletes it); a Windows error or 0.
DWORD put_value(const wchar_t* name, DWORD type, const void* data, DWORD size);
// The value as it was: one that did not exist is deleted from the key, if
// the key is there, and never makes the key. A Windows error or 0.
DWORD restore(const wchar_t* name, const SavedValue& value);
// The key Parameters deleted (an install made it); 0 also when it is not there.
DWORD delete_parameters_key();

// One install or remove at a time on the whole machine, in every session: a
// named mutex, held while this lives.
class SetupLock {
public:
    SetupLock() = default;
    ~SetupLock();
    SetupLock(const SetupLock&) = delete;
    SetupLock& operator=(const SetupLock&) = delete;
    // Waits a few seconds for another install or remove to end: 0 once
    // held; else it says why not, and returns exit_failed.
    int take();

private:
    HANDLE mutex_ = nullptr;
    bool held_ = false;
};

// The running driver's own account of its mode (Status\Mode), or false;
// and whether it publishes the diagnostic device (Status\Diagnostics = 1).
bool read_mode(wchar_t (&mode)[256], bool* diagnostics = nullptr);
// The driver's account of its claim of the windows (Status\Claim), or
// false: written in real mode, and kept when a conflict stopped the start.
bool read_claim(wchar_t (&claim)[256]);

// The Ports value's verdict by the driver's rules, and the window to blame
// in `window`; refusal none when it is absent or good.
ListVerdict check_ports_value(wchar_t (&window)[16]);

// Why the driver did not start, in plain words, and the fix.
void tell_start_error(Output<STD_OUTPUT_HANDLE>& sink, DWORD error, const ThisWindows& windows);
void tell_start_error(Output<STD_ERROR_HANDLE>& sink, DWORD error, const ThisWindows& windows);

}  // namespace teldo::console::setup

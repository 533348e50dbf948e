#include "service.h"

#include "teldo_protocol.h"

namespace teldo::console::setup {

int failure(const char* what, DWORD error, const char* advice) {
    begin_message();
    err.put(what);
    if (error != 0) {
        err.put(": ");
        put_system_error(error);
    }
    end_message();
    if (advice) hint(advice);
    return exit_failed;
}

bool running_under_wow64() {
    using Query = BOOL(WINAPI*)(HANDLE, PBOOL);
    const auto query = reinterpret_cast<Query>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "IsWow64Process")));
    BOOL wow64 = FALSE;
    return query && query(GetCurrentProcess(), &wow64) && wow64;
}

namespace {

// At least Windows `major`.`minor`; false where the version cannot be read
// (GetVersionExW fails only for a wrong size), so that nothing is said that
// needs a later Windows.
bool at_least(DWORD major, DWORD minor) {
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof version;
    if (!GetVersionExW(&version)) return false;
    return version.dwMajorVersion > major || (version.dwMajorVersion == major && version.dwMinorVersion >= minor);
}

}  // namespace

ThisWindows this_windows() {
    const bool package_32bit = sizeof(void*) == 4;
    return {!package_32bit || running_under_wow64(), package_32bit, at_least(6, 2)};
}

bool vista_or_later() { return at_least(6, 0); }

SC_HANDLE open_manager(int& exit_code) {
    const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager) return manager;
    const DWORD error = GetLastError();
    exit_code = error == ERROR_ACCESS_DENIED
                    ? failure("only an administrator may set the driver up", 0,
                              "open a command prompt as administrator (on Vista and later right-click it, Run as"
                              " administrator; on 2000 and XP log on as an administrator, or use Run as...)"
                              " and run this there")
                    : failure("cannot reach the service manager", error);
    return nullptr;
}

// Under Wine a second opener gets a handle even while another program holds
// the device; the driver then refuses its requests, which a request with a
// header it refuses anyway (width 0) shows without touching a port: the
// holder gets 87, any other opener 5.
Device probe_device(DWORD& error) {
    const HANDLE device = CreateFileA(teldo::device_path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND ? Device::missing
               : error == ERROR_ACCESS_DENIED ? Device::denied
               : error == ERROR_SHARING_VIOLATION ? Device::held
                                                  : Device::other;
    }
    const std::uint8_t refused_header[8] = {};
    std::uint8_t reply[1];
    DWORD returned = 0;
    error = DeviceIoControl(device, teldo::IOCTL_PORT_READ_BLOCK, const_cast<std::uint8_t*>(refused_header),
                            sizeof refused_header, reply, sizeof reply, &returned, nullptr)
                ? 0
                : GetLastError();
    CloseHandle(device);
    return error == ERROR_ACCESS_DENIED ? Device::held : Device::openable;
}

const char* const held_device =
    "a program holds the card's device, so the driver cannot be stopped; nothing changed";
const char* const held_advice =
    "close Brenvo, teldo and whatever else uses TELDO.dll or TELDOX.dll, then run this again";

namespace {

// Waits up to 20 s for the service to leave `pending`; its last status.
SERVICE_STATUS wait_while(SC_HANDLE service, DWORD pending) {
    SERVICE_STATUS status{};
    for (int i = 0; i < 200; ++i) {
        if (!QueryServiceStatus(service, &status) || status.dwCurrentState != pending) break;
        Sleep(100);
    }
    return status;
}

// Room for a service's configuration and its strings: QueryServiceConfigW
// allows up to 8 KiB; a bigger one comes from the heap.
union ConfigRoom {
    QUERY_SERVICE_CONFIGW config;
    BYTE room[8192];
};
constinit ConfigRoom config_room{};

}  // namespace

DWORD stop(SC_HANDLE service) {
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(service, &status)) return GetLastError();
    if (status.dwCurrentState == SERVICE_STOPPED) return 0;
    if (status.dwCurrentState != SERVICE_STOP_PENDING && !ControlService(service, SERVICE_CONTROL_STOP, &status)) {
        const DWORD error = GetLastError();
        if (error != ERROR_SERVICE_NOT_ACTIVE) return error;
    }
    status = wait_while(service, SERVICE_STOP_PENDING);
    if (status.dwCurrentState == SERVICE_RUNNING) status = wait_while(service, SERVICE_RUNNING);
    return status.dwCurrentState == SERVICE_STOPPED ? 0 : ERROR_SERVICE_REQUEST_TIMEOUT;
}

DWORD start(SC_HANDLE service) {
    if (!StartServiceW(service, 0, nullptr) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING) return GetLastError();
    const SERVICE_STATUS status = wait_while(service, SERVICE_START_PENDING);
    if (status.dwCurrentState == SERVICE_RUNNING) return 0;
    return status.dwWin32ExitCode != 0 ? status.dwWin32ExitCode : ERROR_SERVICE_NOT_ACTIVE;
}

int stop_failure(const char* what, DWORD error) {
    if (error == ERROR_SERVICE_REQUEST_TIMEOUT || error == ERROR_SERVICE_CANNOT_ACCEPT_CTRL ||
        error == ERROR_DEPENDENT_SERVICES_RUNNING)
        return failure(what, 0,
                       "the driver is still stopping: a program holds its device. Close Brenvo, teldo and"
                       " whatever else uses TELDO.dll or TELDOX.dll; Windows then finishes the stop. Run this"
                       " again after that");
    if (error == ERROR_SERVICE_MARKED_FOR_DELETE)
        return failure(what, error,
                       "a removal of the driver waits for a program that has the service open: close the"
                       " Services window (and any other such program) or restart Windows, then run this again");
    return failure(what, error);
}

int stop_failed(SC_HANDLE service, DWORD error) {
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(service, &status))
        return failure("the driver does not stop, and its state cannot be read again", GetLastError(),
                       "teldo driver status tells whether it runs; nothing else changed");
    if (status.dwCurrentState == SERVICE_STOPPED)
        return failure("the driver stopped only after the wait for it ended; nothing else changed", 0,
                       "run this again");
    if (status.dwCurrentState == SERVICE_STOP_PENDING)
        return failure("the driver is stopping, but a program opened its device meanwhile: the driver stops when"
                       " that program closes it, and then stays stopped until it is started again; nothing else"
                       " changed",
                       0, "close Brenvo, teldo and whatever else uses TELDO.dll or TELDOX.dll, then run this again");
    return stop_failure("the driver does not stop; nothing changed", error);
}

bool service_gone(SC_HANDLE manager) {
    const SC_HANDLE service = OpenServiceW(manager, service_name, SERVICE_CHANGE_CONFIG);
    DWORD error = service ? 0 : GetLastError();
    if (service) {
        // One marked for deletion refuses every change; one that takes this
        // no-change is still registered: DeleteService failed, as its caller
        // has said.
        error = ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, nullptr,
                                     nullptr, nullptr, nullptr, nullptr, nullptr, nullptr)
                    ? ERROR_SERVICE_EXISTS
                    : GetLastError();
        CloseServiceHandle(service);
    }
    if (error == ERROR_SERVICE_DOES_NOT_EXIST) return true;
    if (error == ERROR_SERVICE_MARKED_FOR_DELETE)
        failure("the service TELDO is marked for deletion but not yet gone: a program has it open (the Services"
                " window, for example); it goes when that program closes it, or at the next restart",
                0);
    else if (error != ERROR_SERVICE_EXISTS)
        failure("it cannot be told whether the service TELDO is gone", error, "sc query TELDO tells");
    return false;
}

const QUERY_SERVICE_CONFIGW* read_config(SC_HANDLE service) {
    DWORD needed = 0;
    return QueryServiceConfigW(service, &config_room.config, sizeof config_room, &needed) ? &config_room.config
                                                                                         : nullptr;
}

namespace {

bool same_path(const wchar_t* one, const wchar_t* other) {
    auto fold = [](wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c + 32) : c; };
    while (*one && fold(*one) == fold(*other)) ++one, ++other;
    return *one == *other;
}

}  // namespace

const char* not_ours(const QUERY_SERVICE_CONFIGW* config, const wchar_t* ours, Path& file) {
    file.text[0] = 0;
    if (!config) return "the service TELDO's registration cannot be read, so it cannot be told whether it is this"
                        " package's driver";
    const wchar_t* image = config->lpBinaryPathName;
    if (!image || !image[0]) return nullptr;
    if (!image_file(image, file))
        return "the service TELDO names its driver file in a form that cannot be checked (sc qc TELDO shows it)";
    switch (maker_of(file.text)) {
        case Maker::ours: return nullptr;
        case Maker::missing:
            return same_path(file.text, ours) ? nullptr
                                              : "the service TELDO names a driver file that is not there, and not"
                                                " where this package puts it (sc qc TELDO shows it)";
        case Maker::another: return "the service TELDO is another driver, not this package's";
        case Maker::unknown: break;
    }
    return "the service TELDO's driver file cannot be read, so it cannot be told whether it is this package's"
           " (sc qc TELDO shows which file)";
}

DWORD save(const wchar_t* name, SavedValue& value) {
    value.existed = value.key_existed = false;
    HKEY key;
    DWORD error = RegOpenKeyExW(HKEY_LOCAL_MACHINE, parameters_key, 0, KEY_QUERY_VALUE, &key);
    if (error == ERROR_FILE_NOT_FOUND) return 0;
    if (error != ERROR_SUCCESS) return error;
    value.key_existed = true;
    // The size first, then the data; a value that grows in between is read again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        DWORD size = 0;
        error = RegQueryValueExW(key, name, nullptr, &value.type, nullptr, &size);
        if (error != ERROR_SUCCESS) break;
        if (value.data) HeapFree(GetProcessHeap(), 0, value.data);
        value.data = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), 0, size ? size : 1));
        if (!value.data) {
            error = ERROR_NOT_ENOUGH_MEMORY;
            break;
        }
        value.size = size;
        error = RegQueryValueExW(key, name, nullptr, &value.type, value.data, &value.size);
        if (error != ERROR_MORE_DATA) break;
    }
    RegCloseKey(key);
    if (error == ERROR_FILE_NOT_FOUND) return 0;
    value.existed = error == ERROR_SUCCESS;
    return error;
}

DWORD put_value(const wchar_t* name, DWORD type, const void* data, DWORD size) {
    HKEY key;
    DWORD error = RegCreateKeyExW(HKEY_LOCAL_MACHINE, parameters_key, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_SET_VALUE, nullptr, &key, nullptr);
    if (error != ERROR_SUCCESS) return error;
    if (data) {
        error = RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size);
    } else {
        error = RegDeleteValueW(key, name);
        if (error == ERROR_FILE_NOT_FOUND) error = ERROR_SUCCESS;
    }
    RegCloseKey(key);
    return error;
}

DWORD restore(const wchar_t* name, const SavedValue& value) {
    if (value.existed) return put_value(name, value.type, value.data, value.size);
    HKEY key;
    DWORD error = RegOpenKeyExW(HKEY_LOCAL_MACHINE, parameters_key, 0, KEY_SET_VALUE, &key);
    if (error == ERROR_FILE_NOT_FOUND) return 0;  // no key, no value: as it was
    if (error != ERROR_SUCCESS) return error;
    error = RegDeleteValueW(key, name);
    RegCloseKey(key);
    return error == ERROR_FILE_NOT_FOUND ? 0 : error;
}

DWORD delete_parameters_key() {
    const DWORD error = RegDeleteKeyW(HKEY_LOCAL_MACHINE, parameters_key);
    return error == ERROR_FILE_NOT_FOUND ? 0 : error;
}

namespace {

// Global\ reaches the programs of every session (Windows 2000 without
// Terminal Services ignores the prefix); a system that refuses the prefix has
// one namespace, where the plain name serves.
constexpr wchar_t setup_lock_name[] = L"Global\\TELDO driver set-up";
constexpr DWORD setup_lock_wait_ms = 3000;

}  // namespace

SetupLock::~SetupLock() {
    if (held_) ReleaseMutex(mutex_);
    if (mutex_) CloseHandle(mutex_);
}

int SetupLock::take() {
    mutex_ = CreateMutexW(nullptr, FALSE, setup_lock_name);
    if (!mutex_ && (GetLastError() == ERROR_PATH_NOT_FOUND || GetLastError() == ERROR_INVALID_NAME ||
                    GetLastError() == ERROR_BAD_PATHNAME))
        mutex_ = CreateMutexW(nullptr, FALSE, setup_lock_name + 7);
    if (!mutex_)
        return failure("cannot take the lock that lets one install or remove of the driver run at a time; nothing"
                       " changed",
                       GetLastError(),
                       "another user's install or remove may hold it: wait until it has finished, then run this"
                       " again");
    switch (WaitForSingleObject(mutex_, setup_lock_wait_ms)) {
        case WAIT_OBJECT_0:
        case WAIT_ABANDONED:  // one cut short: what it left is checked as any state is
            held_ = true;
            return 0;
        case WAIT_TIMEOUT:
            return failure("another install or remove of the driver is running; nothing changed", 0,
                           "wait until it has finished, then run this again");
        default:
            return failure("cannot take the lock that lets one install or remove of the driver run at a time;"
                           " nothing changed",
                           GetLastError());
    }
}

namespace {

// A REG_SZ of the driver's Status key into `text` (empty when there is none);
// and, with `diagnostics`, whether its Diagnostics is a REG_DWORD of 1.
bool read_status_text(const wchar_t* value, wchar_t (&text)[256], bool* diagnostics = nullptr) {
    text[0] = 0;
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, status_key, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
    DWORD type = 0, size = sizeof text - sizeof text[0];
    const bool read = RegQueryValueExW(key, value, nullptr, &type, reinterpret_cast<BYTE*>(text), &size) ==
                          ERROR_SUCCESS &&
                      type == REG_SZ;
    if (diagnostics) {
        DWORD on = 0, on_type = 0, on_size = sizeof on;
        *diagnostics = RegQueryValueExW(key, L"Diagnostics", nullptr, &on_type, reinterpret_cast<BYTE*>(&on),
                                        &on_size) == ERROR_SUCCESS &&
                       on_type == REG_DWORD && on == 1;
    }
    RegCloseKey(key);
    text[read ? size / sizeof text[0] : 0] = 0;
    return read;
}

}  // namespace

bool read_mode(wchar_t (&mode)[256], bool* diagnostics) { return read_status_text(L"Mode", mode, diagnostics); }
bool read_claim(wchar_t (&claim)[256]) { return read_status_text(L"Claim", claim); }

ListVerdict check_ports_value(wchar_t (&window)[16]) {
    window[0] = 0;
    SavedValue ports;
    // A value that cannot be read here (an ordinary user may lack the
    // right) gives no verdict: the service's own error stands.
    if (save(L"Ports", ports) != 0 || !ports.existed) return {};
    if (ports.type != REG_MULTI_SZ) return {windows::Refusal::wrong_type, no_window};
    const auto* units = reinterpret_cast<const char16_t*>(ports.data);
    const std::size_t count = ports.size / 2;
    const ListVerdict verdict = examine_windows(units, count, ports.size % 2 != 0);
    if (verdict.window == no_window) return verdict;
    std::size_t at = 0;
    for (std::size_t index = 0; index < verdict.window && at < count; ++at)
        if (units[at] == 0) ++index;
    std::size_t i = 0;
    for (; i + 1 < 16 && at + i < count && units[at + i] != 0; ++i) window[i] = static_cast<wchar_t>(units[at + i]);
    window[i] = 0;
    return verdict;
}

namespace {

template <class Sink>
void tell(Sink& sink, DWORD error, const ThisWindows& windows) {
    const StartProblem problem = start_problem(error, windows);
    sink.put("  why: ");
    if (problem.words) {
        sink.put(problem.words);
        sink.put(" (error ");
        sink.decimal(error);
        sink.put(")\r\n");
    } else {
        sink.put("error ");
        sink.decimal(error);
        sink.put("\r\n");
    }
    if (error == 87 || error == 487) {
        wchar_t window[16];
        const ListVerdict verdict = check_ports_value(window);
        if (verdict.refusal != windows::Refusal::none) {
            sink.put("  Ports: ");
            if (window[0]) {
                sink.put("the window '");
                put_wide(sink, window);
                sink.put("': ");
            }
            sink.put(refusal_words(verdict.refusal));
            sink.put("\r\n");
        }
    }
    if (problem.fix) {
        sink.put("  fix: ");
        sink.put(problem.fix);
        sink.put("\r\n");
    }
    sink.flush();
}

}  // namespace

void tell_start_error(Output<STD_OUTPUT_HANDLE>& sink, DWORD error, const ThisWindows& windows) {
    tell(sink, error, windows);
}
void tell_start_error(Output<STD_ERROR_HANDLE>& sink, DWORD error, const ThisWindows& windows) {
    tell(sink, error, windows);
}

}  // namespace teldo::console::setup

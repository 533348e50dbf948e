#include "driver_setup.h"

#include <windows.h>

#include "output.h"
#include "port_list.h"
#include "start_errors.h"
#include "teldo_protocol.h"
#include "version.h"

namespace teldo::console {
namespace {

constexpr wchar_t service_name[] = L"TELDO";
constexpr wchar_t parameters_key[] = L"SYSTEM\\CurrentControlSet\\Services\\TELDO\\Parameters";
constexpr wchar_t status_key[] = L"SYSTEM\\CurrentControlSet\\Services\\TELDO\\Status";

constexpr const char* usage_text =
    "usage: teldo driver install [--ports LIST] [--users-may-open] | driver remove | driver status\r\n";

// Paths of at most MAX_PATH characters, as the calls below take them, and
// room for a suffix.
struct Path {
    wchar_t text[MAX_PATH + 32];
};

// Puts `text` into `path` from `at` on, as much as fits, and its NUL; where
// it ends.
std::size_t put_path(Path& path, std::size_t at, const wchar_t* text) {
    constexpr std::size_t last = sizeof path.text / sizeof path.text[0] - 1;
    while (*text && at < last) path.text[at++] = *text++;
    path.text[at] = 0;
    return at;
}

// This package's driver: driver\teldo.sys beside teldo.exe.
bool package_driver(Path& path) {
    const DWORD length = GetModuleFileNameW(nullptr, path.text, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return false;
    DWORD folder = length;
    while (folder > 0 && path.text[folder - 1] != L'\\') --folder;
    put_path(path, folder, L"driver\\teldo.sys");
    return true;
}

// Where Windows keeps it: %SystemRoot%\System32\drivers\teldo.sys.
bool installed_driver(Path& path) {
    const UINT length = GetSystemDirectoryW(path.text, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return false;
    put_path(path, length, L"\\drivers\\teldo.sys");
    return true;
}

// The same path with ".previous": the file an install replaces, kept until
// the install has succeeded.
void previous_of(const Path& path, Path& previous) { put_path(previous, put_path(previous, 0, path.text), L".previous"); }

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

bool file_exists(const Path& path) { return GetFileAttributesW(path.text) != INVALID_FILE_ATTRIBUTES; }

template <class Sink>
void put_wide(Sink& sink, const wchar_t* text) {
    for (; *text; ++text) sink.put(*text < 0x80 ? static_cast<char>(*text) : '?');
}

// A 32-bit program on 64-bit Windows (IsWow64Process is not on Windows 2000).
bool running_under_wow64() {
    using Query = BOOL(WINAPI*)(HANDLE, PBOOL);
    const auto query = reinterpret_cast<Query>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "IsWow64Process")));
    BOOL wow64 = FALSE;
    return query && query(GetCurrentProcess(), &wow64) && wow64;
}

ThisWindows this_windows() {
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof version;
    GetVersionExW(&version);
    const bool package_32bit = sizeof(void*) == 4;
    return {!package_32bit || running_under_wow64(), package_32bit,
            version.dwMajorVersion > 6 || (version.dwMajorVersion == 6 && version.dwMinorVersion >= 2)};
}

// "teldo: ..." with the system's error, then the hint, if any.
int failure(const char* what, DWORD error, const char* advice = nullptr) {
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

// ------------------------------------------------------------ the device

enum class Device : std::uint8_t { openable, missing, denied, held, other };

// Whether this user can open \\.\TELDO now. Under Wine a second opener gets
// a handle even while another program holds the device; the driver then
// refuses its requests, which a request with a header it refuses anyway
// (width 0) shows without touching a port: the holder gets 87, any other
// opener 5.
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

// ------------------------------------------------------------ the service

// Waits up to 20 s for the service to leave `pending`; its last status.
SERVICE_STATUS wait_while(SC_HANDLE service, DWORD pending) {
    SERVICE_STATUS status{};
    for (int i = 0; i < 200; ++i) {
        if (!QueryServiceStatus(service, &status) || status.dwCurrentState != pending) break;
        Sleep(100);
    }
    return status;
}

// Stops a running driver; false when it does not stop.
bool stop(SC_HANDLE service) {
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(service, &status)) return false;
    if (status.dwCurrentState == SERVICE_STOPPED) return true;
    ControlService(service, SERVICE_CONTROL_STOP, &status);
    return wait_while(service, SERVICE_STOP_PENDING).dwCurrentState == SERVICE_STOPPED ||
           wait_while(service, SERVICE_RUNNING).dwCurrentState == SERVICE_STOPPED;
}

// Starts the driver and waits for it; 0, or why it did not start.
DWORD start(SC_HANDLE service) {
    if (!StartServiceW(service, 0, nullptr) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING) return GetLastError();
    const SERVICE_STATUS status = wait_while(service, SERVICE_START_PENDING);
    if (status.dwCurrentState == SERVICE_RUNNING) return 0;
    return status.dwWin32ExitCode != 0 ? status.dwWin32ExitCode : ERROR_SERVICE_NOT_ACTIVE;
}

// A service's configuration, with room for its strings; false when it
// cannot be read.
union ServiceConfig {
    QUERY_SERVICE_CONFIGW config;
    BYTE room[8192];
};
bool read_config(SC_HANDLE service, ServiceConfig& config) {
    DWORD needed = 0;
    return QueryServiceConfigW(service, &config.config, sizeof config, &needed);
}

// ------------------------------------------------------------ the registry

// A value as it was, to be put back.
struct SavedValue {
    bool existed = false;
    DWORD type = 0, size = 0;
    BYTE data[2 * max_list_units + 16];
};

void save(const wchar_t* name, SavedValue& value) {
    value.existed = false;
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, parameters_key, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return;
    value.size = sizeof value.data;
    value.existed = RegQueryValueExW(key, name, nullptr, &value.type, value.data, &value.size) == ERROR_SUCCESS;
    RegCloseKey(key);
}

// Sets the value (`data` null: deletes it); a Windows error or 0.
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

void restore(const wchar_t* name, const SavedValue& value) {
    put_value(name, value.type, value.existed ? value.data : nullptr, value.size);
}

// The running driver's own account of its mode (Status\Mode), or false;
// and whether it publishes the diagnostic device (Status\Diagnostics = 1).
bool read_mode(wchar_t (&mode)[256], bool* diagnostics = nullptr) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, status_key, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
    DWORD type = 0, size = sizeof mode - sizeof mode[0];
    const bool read = RegQueryValueExW(key, L"Mode", nullptr, &type, reinterpret_cast<BYTE*>(mode), &size) ==
                          ERROR_SUCCESS &&
                      type == REG_SZ;
    if (diagnostics) {
        DWORD on = 0, on_type = 0, on_size = sizeof on;
        *diagnostics = RegQueryValueExW(key, L"Diagnostics", nullptr, &on_type, reinterpret_cast<BYTE*>(&on),
                                        &on_size) == ERROR_SUCCESS &&
                       on_type == REG_DWORD && on == 1;
    }
    RegCloseKey(key);
    mode[read ? size / sizeof mode[0] : 0] = 0;
    return read;
}

// The Ports value's verdict by the driver's rules, and the window to blame
// in `window`; refusal none when it is absent or good.
ListVerdict check_ports_value(wchar_t (&window)[16]) {
    window[0] = 0;
    SavedValue ports;
    save(L"Ports", ports);
    if (!ports.existed) return {};
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

// Why the driver did not start, in plain words, and the fix, on `sink`.
template <class Sink>
void tell_start_error(Sink& sink, DWORD error) {
    const StartProblem problem = start_problem(error, this_windows());
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

// ------------------------------------------------------------ versions

constinit BYTE version_data[8192] = {};

// The version resource of `path` into version_data; false without one.
bool read_version(const wchar_t* path) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path, &ignored);
    return size != 0 && size <= sizeof version_data && GetFileVersionInfoW(path, 0, size, version_data);
}

// The file version of `path`, or false.
bool file_version(const wchar_t* path, DWORD& high, DWORD& low) {
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (!read_version(path) || !VerQueryValueW(version_data, L"\\", reinterpret_cast<void**>(&info), &length) ||
        !info)
        return false;
    high = info->dwFileVersionMS;
    low = info->dwFileVersionLS;
    return true;
}

// A service's image path as a file name: "\\SystemRoot\\..." and a path
// relative to the Windows folder (as regedt32 registrations have them) start
// at the Windows folder, "\\??\\C:\\..." is "C:\\...".
void image_file(const wchar_t* image, Path& file) {
    const wchar_t system_root[] = L"\\SystemRoot\\";
    std::size_t skip = 0, at = 0;
    if (image[0] == L'\\' && image[1] == L'?' && image[2] == L'?' && image[3] == L'\\') skip = 4;
    bool from_windows = image[0] != L'\\' && image[1] != L':';
    if (!from_windows) {
        std::size_t i = 0;
        while (system_root[i] && (image[i] | 0x20) == (system_root[i] | 0x20)) ++i;
        if (!system_root[i]) from_windows = true, skip = i;
    }
    if (from_windows) {
        at = GetWindowsDirectoryW(file.text, MAX_PATH);
        if (at == 0 || at >= MAX_PATH) at = 0;
        else file.text[at++] = L'\\';
    }
    put_path(file, at, image + skip);
}

// Whether the driver at `path` is another maker's: a file with a version
// resource whose product is not ours. (Ours name their product in their
// one string table.)
bool another_makers_driver(const wchar_t* path) {
    if (!read_version(path)) return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
    wchar_t* product = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(version_data, L"\\StringFileInfo\\080404B0\\ProductName", reinterpret_cast<void**>(&product),
                        &length) ||
        !product)
        return true;
    const wchar_t ours[] = L"" BRENVO_PRODUCT_NAME;
    for (UINT i = 0; i < sizeof ours / sizeof ours[0]; ++i)
        if (i >= length + 1 || product[i] != ours[i]) return true;
    return false;
}

// ------------------------------------------------------------ install

struct Choices {
    bool ports_given = false;
    std::string_view ports;
    bool users_may_open = false;
};

// The state an install changes, as it was before, so that a failure can
// put it back.
struct Before {
    bool service_existed = false, was_running = false, file_existed = false;
    DWORD service_type = 0, start_type = 0, error_control = 0;
    Path image_path;
    SavedValue ports, users;
};

constinit Before before{};
constinit char16_t list_units[max_list_units] = {};

SC_HANDLE open_manager(int& exit_code) {
    const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager) return manager;
    const DWORD error = GetLastError();
    exit_code = error == ERROR_ACCESS_DENIED
                    ? failure("only an administrator may set the driver up", 0,
                              "open a command prompt as administrator (right-click it, Run as administrator)"
                              " and run this there")
                    : failure("cannot reach the service manager", error);
    return nullptr;
}

// Back to the state before an install: the driver stopped, the settings,
// the service and the file as they were, the old driver running again.
// `service` is the one the install changed or made, if any; `kept`: the
// installed file was copied whole to `previous`, the only copy it is put
// back from.
void put_back(SC_HANDLE service, const Path& target, const Path& previous, bool kept) {
    if (service) stop(service);
    restore(L"Ports", before.ports);
    restore(L"UsersMayOpen", before.users);
    if (service && before.service_existed) {
        ChangeServiceConfigW(service, before.service_type, before.start_type, before.error_control,
                             before.image_path.text[0] ? before.image_path.text : nullptr, nullptr, nullptr,
                             nullptr, nullptr, nullptr, nullptr);
    } else if (service) {
        DeleteService(service);
    }
    if (kept) CopyFileW(previous.text, target.text, FALSE);
    else if (!before.file_existed) DeleteFileW(target.text);
    DeleteFileW(previous.text);
    if (service && before.service_existed && before.was_running) start(service);
}

int install(const Choices& choices) {
    std::size_t units = 0;
    if (choices.ports_given) {
        const ListVerdict verdict = read_port_list(choices.ports, list_units, units);
        if (verdict.refusal != windows::Refusal::none) {
            begin_message();
            err.put("--ports: ");
            if (verdict.window != no_window) {
                err.put("the window '");
                err.put(list_window(choices.ports, verdict.window));
                err.put("': ");
            }
            err.put(refusal_words(verdict.refusal));
            end_message();
            hint("LIST is the card's port windows, separated by commas: 0300-031F,0378");
            return exit_usage;
        }
    }
    if (running_under_wow64())
        return failure("this is the win32 package's teldo.exe, and this Windows is 64-bit", 0,
                       "use the win64 package: its teldo.exe installs its 64-bit driver");
    int exit_code = exit_failed;
    const ServiceHandle manager(open_manager(exit_code));
    if (!manager) return exit_code;
    Path source, target, previous;
    if (!package_driver(source) || !file_exists(source))
        return failure("driver\\teldo.sys is not beside teldo.exe", 0,
                       "run the teldo.exe of the unpacked package, whose driver folder holds teldo.sys");
    installed_driver(target);
    previous_of(target, previous);

    // What is there now, to be put back if a step fails.
    before = {};
    ServiceHandle service(OpenServiceW(manager, service_name, SERVICE_ALL_ACCESS));
    if (service) {
        before.service_existed = true;
        // What cannot be read is left as it is when put back.
        before.service_type = before.start_type = before.error_control = SERVICE_NO_CHANGE;
        ServiceConfig config;
        if (read_config(service, config)) {
            before.service_type = config.config.dwServiceType;
            before.start_type = config.config.dwStartType;
            before.error_control = config.config.dwErrorControl;
            if (config.config.lpBinaryPathName) put_path(before.image_path, 0, config.config.lpBinaryPathName);
        }
        SERVICE_STATUS status{};
        before.was_running = QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED;
        // The card maker's own TELDO driver would lose its registration and
        // settings: one of the two drivers, never both.
        Path registered;
        image_file(before.image_path.text, registered);
        if (before.image_path.text[0] && another_makers_driver(registered.text))
            return failure("the service TELDO is another driver, not this package's; nothing changed", 0,
                           "use that driver, or remove it first (driver\\README.txt, Never beside the card"
                           " maker's driver)");
    }
    save(L"Ports", before.ports);
    save(L"UsersMayOpen", before.users);
    before.file_existed = file_exists(target);

    DWORD error = 0;
    if (before.was_running && probe_device(error) == Device::held) return failure(held_device, 0, held_advice);

    // The steps; on a failure, `step` names it and everything is put back.
    const char* step = nullptr;
    if (service && !stop(service)) step = "stopping the running driver";
    bool kept = false;  // the installed file is safe in `previous`
    if (!step && before.file_existed && !(kept = CopyFileW(target.text, previous.text, FALSE)))
        error = GetLastError(), step = "keeping the installed driver's file";
    if (!step && !CopyFileW(source.text, target.text, FALSE))
        error = GetLastError(), step = "copying the driver to the system's drivers folder";
    if (!step) {
        if (service) {
            if (!ChangeServiceConfigW(service, SERVICE_KERNEL_DRIVER, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                      target.text, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr))
                error = GetLastError(), step = "changing the service TELDO";
        } else {
            service.reset(CreateServiceW(manager, service_name, service_name, SERVICE_ALL_ACCESS,
                                         SERVICE_KERNEL_DRIVER, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                         target.text, nullptr, nullptr, nullptr, nullptr, nullptr));
            if (!service) error = GetLastError(), step = "creating the service TELDO";
        }
    }
    if (!step) {
        const DWORD one = 1;
        error = put_value(L"Ports", REG_MULTI_SZ, choices.ports_given ? list_units : nullptr,
                          static_cast<DWORD>(units * sizeof(char16_t)));
        if (!error) error = put_value(L"UsersMayOpen", REG_DWORD, choices.users_may_open ? &one : nullptr, sizeof one);
        if (error) step = "writing the driver's settings (Parameters\\Ports, UsersMayOpen)";
    }
    bool start_failed = false;
    if (!step && (error = start(service)) != 0) step = "starting the driver", start_failed = true;

    if (step) {
        begin_message();
        err.put("the install failed while ");
        err.put(step);
        if (error) {
            err.put(": ");
            put_system_error(error);
        }
        end_message();
        if (start_failed) tell_start_error(err, error);
        put_back(service, target, previous, kept);
        hint("everything is as it was before this install");
        return exit_failed;
    }
    DeleteFileW(previous.text);
    service.reset();

    wchar_t mode[256];
    out.put("The TELDO port driver is installed and running: ");
    if (read_mode(mode)) put_wide(out, mode);
    else out.put("(it reports no mode)");
    out.put("\r\n");
    out.flush();
    return exit_done;
}

// ------------------------------------------------------------ remove

int remove() {
    {  // the service's handles are closed, and with them the service gone, before its file is deleted
        int exit_code = exit_failed;
        const ServiceHandle manager(open_manager(exit_code));
        if (!manager) return exit_code;
        const ServiceHandle service(OpenServiceW(manager, service_name, SERVICE_ALL_ACCESS));
        if (!service) {
            const DWORD error = GetLastError();
            if (error != ERROR_SERVICE_DOES_NOT_EXIST) return failure("cannot open the service TELDO", error);
            out.put("The TELDO port driver is not installed: nothing to remove.\r\n");
            out.flush();
            return exit_done;
        }
        DWORD error = 0;
        SERVICE_STATUS status{};
        const bool running = QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED;
        if (running && probe_device(error) == Device::held) return failure(held_device, 0, held_advice);
        if (!stop(service)) return failure("the driver does not stop; nothing changed", 0, held_advice);
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, parameters_key);
        if (!DeleteService(service)) return failure("cannot delete the service TELDO", GetLastError());
    }
    Path target;
    if (installed_driver(target) && file_exists(target) && !DeleteFileW(target.text))
        return failure("the service is gone, but its file system32\\drivers\\teldo.sys stays", GetLastError());
    out.put("The TELDO port driver is removed: its service, its settings and its file.\r\n"
            "Test-signing mode may now be switched off if no other driver needs it:\r\n"
            "  bcdedit /set testsigning off   (as administrator), then restart.\r\n");
    out.flush();
    return exit_done;
}

// ------------------------------------------------------------ status

void put_version(DWORD high, DWORD low) {
    out.decimal(high >> 16), out.put('.'), out.decimal(high & 0xFFFF), out.put('.');
    out.decimal(low >> 16), out.put('.'), out.decimal(low & 0xFFFF);
}

// Test signing and memory integrity, where Windows reports them (Vista on).
void tell_code_integrity() {
    struct Information {
        ULONG length;
        ULONG options;
    } information{sizeof(Information), 0};
    using Query = LONG(WINAPI*)(int, void*, ULONG, ULONG*);
    const auto query = reinterpret_cast<Query>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    constexpr int system_code_integrity_information = 103;
    if (!query || query(system_code_integrity_information, &information, sizeof information, nullptr) != 0) return;
    out.put("Test signing:    ");
    out.put(information.options & 0x02 ? "on" : "off");
    out.put("\r\nMemory integrity: ");
    out.put(information.options & 0x400 ? "on (the driver meets its rules)" : "off");
    out.put("\r\n");
}

int status() {
    out.put("teldo " BRENVO_VERSION_TEXT ", the ");
    out.put(sizeof(void*) == 4 ? "win32" : "win64");
    out.put(" package\r\n");
    bool runs = false;
    Path target, source;
    installed_driver(target);
    const ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    const ServiceHandle service(
        manager ? OpenServiceW(manager, service_name, SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG) : nullptr);
    if (!service) {
        out.put("Driver:  not installed (teldo driver install, as administrator, installs it)\r\n");
    } else {
        DWORD high = 0, low = 0, package_high = 0, package_low = 0;
        out.put("Driver:  installed, ");
        if (!file_exists(target)) {
            out.put("but its file system32\\drivers\\teldo.sys is missing");
        } else if (file_version(target.text, high, low)) {
            out.put("version ");
            put_version(high, low);
            if (package_driver(source) && file_version(source.text, package_high, package_low)) {
                out.put(high == package_high && low == package_low ? ", this package's" : "; this package's is ");
                if (high != package_high || low != package_low) put_version(package_high, package_low);
            }
        } else {
            out.put("of no version we know");
        }
        out.put("\r\n");
        SERVICE_STATUS state{};
        QueryServiceStatus(service, &state);
        ServiceConfig config;
        const bool configured = read_config(service, config);
        out.put("Service: ");
        runs = state.dwCurrentState == SERVICE_RUNNING;
        out.put(runs ? "running" : state.dwCurrentState == SERVICE_STOPPED ? "stopped" : "starting or stopping");
        if (configured) {
            const DWORD start_type = config.config.dwStartType;
            out.put(start_type == SERVICE_AUTO_START     ? ", starts with Windows"
                    : start_type == SERVICE_DEMAND_START ? ", starts on demand"
                    : start_type == SERVICE_DISABLED     ? ", disabled"
                                                         : ", starts with the system");
        }
        out.put("\r\n");
        if (!runs && state.dwCurrentState == SERVICE_STOPPED) {
            DWORD error = state.dwWin32ExitCode;
            if (error == ERROR_SERVICE_SPECIFIC_ERROR) error = state.dwServiceSpecificExitCode;
            if (!file_exists(target)) error = ERROR_FILE_NOT_FOUND;
            wchar_t window[16];
            if (error == 0 || error == ERROR_SERVICE_NEVER_STARTED) {
                const ListVerdict verdict = check_ports_value(window);
                if (verdict.refusal != windows::Refusal::none)
                    error = verdict.refusal == windows::Refusal::reserved ? 487 : 87;
            }
            out.put("Why it does not run:\r\n");
            if (error == 0 || error == ERROR_SERVICE_NEVER_STARTED) {
                out.put("  it has not been started since Windows started\r\n"
                        "  fix: teldo driver install, as administrator, starts it\r\n");
            } else {
                tell_start_error(out, error);
            }
        }
    }

    wchar_t mode[256];
    bool diagnostics = false;
    if (runs && read_mode(mode, &diagnostics)) {
        out.put("Mode:    ");
        put_wide(out, mode);
        out.put("\r\n");
        if (diagnostics)
            out.put("Diagnostics: on: \\\\.\\TELDODiag lets administrators read the requests that reach the card"
                    " and make them fail (the administrator's guide says how to turn it off)\r\n");
    }
    DWORD error = 0;
    const Device device = probe_device(error);
    out.put("This user: ");
    switch (device) {
        case Device::openable: out.put("can open \\\\.\\TELDO now\r\n"); break;
        case Device::missing: out.put("cannot open \\\\.\\TELDO: there is none (error 2)\r\n"); break;
        case Device::denied:
            out.put("may not open \\\\.\\TELDO (error 5): only administrators may, unless it was installed with"
                    " --users-may-open; or start the program as administrator\r\n");
            break;
        case Device::held:
            out.put("cannot open \\\\.\\TELDO now: another program holds it (error 32); close Brenvo, teldo or"
                    " whatever uses TELDO.dll or TELDOX.dll\r\n");
            break;
        case Device::other:
            out.put("cannot open \\\\.\\TELDO: error ");
            out.decimal(error);
            out.put("\r\n");
            break;
    }
    tell_code_integrity();
    out.flush();
    return runs && device == Device::openable ? exit_done : exit_failed;
}

int usage(const char* what, std::string_view word = {}) { return usage_error(what, word, "", usage_text); }

}  // namespace

int driver_command(Words words) {
    std::string_view verb, word;
    if (!words.next(verb)) return usage("driver takes install, remove or status");
    if (is(verb, "install")) {
        Choices choices;
        while (words.next(word)) {
            if (is(word, "--ports")) {
                if (!words.next(choices.ports)) return usage("--ports takes a LIST: 0300-031F,0378");
                choices.ports_given = true;
            } else if (is(word, "--users-may-open")) {
                choices.users_may_open = true;
            } else {
                return usage("install takes --ports LIST and --users-may-open, not ", word);
            }
        }
        return install(choices);
    }
    if (words.next(word)) return usage("nothing may follow ", verb);
    if (is(verb, "remove")) return remove();
    if (is(verb, "status")) return status();
    return usage("unknown driver command ", verb);
}

}  // namespace teldo::console

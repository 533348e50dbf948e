// teldo driver status: whether the driver is installed and runs, in which
// mode, why not in plain words, and whether this user can open the device.
#include "driver_setup.h"

#include "files.h"
#include "service.h"
#include "version.h"

namespace teldo::console::setup {
namespace {

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

}  // namespace

int status() {
    out.put("teldo " BRENVO_VERSION_TEXT ", the ");
    out.put(sizeof(void*) == 4 ? "win32" : "win64");
    out.put(" package\r\n");
    bool runs = false;
    Path target, source;
    installed_driver(target);
    // The real System32\drivers, also for the win32 teldo.exe on 64-bit Windows.
    const RealSystemFolder real_system_folder;
    ThisWindows windows = this_windows();
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
        const QUERY_SERVICE_CONFIGW* config = read_config(service);
        out.put("Service: ");
        runs = state.dwCurrentState == SERVICE_RUNNING;
        out.put(runs ? "running" : state.dwCurrentState == SERVICE_STOPPED ? "stopped" : "starting or stopping");
        if (config) {
            const DWORD start_type = config->dwStartType;
            out.put(start_type == SERVICE_AUTO_START     ? ", starts with Windows"
                    : start_type == SERVICE_DEMAND_START ? ", starts on demand"
                    : start_type == SERVICE_DISABLED     ? ", disabled"
                                                         : ", starts with the system");
        }
        out.put("\r\n");
        if (!runs && state.dwCurrentState == SERVICE_STOPPED) {
            DWORD error = state.dwWin32ExitCode;
            if (error == ERROR_SERVICE_SPECIFIC_ERROR) error = state.dwServiceSpecificExitCode;
            // The service's own error stands; a missing file explains only a
            // driver that has not tried to start.
            if ((error == 0 || error == ERROR_SERVICE_NEVER_STARTED) && !file_exists(target))
                error = ERROR_FILE_NOT_FOUND;
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
                // 1275 blames the driver actually installed, 32-bit or 64-bit.
                if (const int bits = driver_bits(target.text)) windows.driver_32bit = bits == 32;
                tell_start_error(out, error, windows);
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

}  // namespace teldo::console::setup

// teldo driver install: this package's driver copied into the system's
// drivers folder, registered as the service TELDO and started, with the
// administrator's port windows. Nothing changes before every check has
// passed; a step that fails puts back, and verifies, what came before. One
// install or remove runs at a time.
#include "driver_setup.h"

#include "files.h"
#include "service.h"
#include "version.h"

namespace teldo::console::setup {
namespace {

// The state an install changes, as it was before, so that a failure can
// put it back.
struct Before {
    bool service_existed = false, was_running = false;
    DWORD service_type = 0, start_type = 0, error_control = 0;
    Path image_path;
    SavedValue ports, users;
};

constinit Before before{};
constinit char16_t list_units[max_list_units] = {};

constexpr wchar_t service_key[] = L"SYSTEM\\CurrentControlSet\\Services\\TELDO";

// A registration with no image path loads drivers\TELDO.sys from the system
// folder. ChangeServiceConfigW sets a path or, given none, keeps the one there:
// so no path is put back by deleting the value.
DWORD delete_image_path() {
    HKEY key;
    DWORD error = RegOpenKeyExW(HKEY_LOCAL_MACHINE, service_key, 0, KEY_SET_VALUE, &key);
    if (error != ERROR_SUCCESS) return error;
    error = RegDeleteValueW(key, L"ImagePath");
    RegCloseKey(key);
    return error == ERROR_FILE_NOT_FOUND ? 0 : error;
}

// ": " and why, for a step or a check that failed with `error`.
void put_why(DWORD error) {
    if (error == differs_from_package) {
        err.put(": its bytes are not those of the package's driver\\teldo.sys");
    } else if (error) {
        err.put(": ");
        put_system_error(error);
    }
}

// Says one step of putting back that failed, and what is left to do.
void could_not_put_back(const char* what, DWORD error, const char* left) {
    begin_message();
    err.put("could not put back ");
    err.put(what);
    if (error) {
        err.put(": ");
        put_system_error(error);
    }
    end_message();
    if (left) hint(left);
}

// Back to the state before an install: the new driver stopped, the
// settings, the service and the file as they were, the old driver running
// again. `service` is the one the install changed or made, if any. True
// when every step was verified.
bool put_back(SC_HANDLE service, Replacement& files) {
    bool whole = true;
    auto check = [&whole](DWORD error, const char* what, const char* left) {
        if (error == 0) return;
        whole = false;
        could_not_put_back(what, error, left);
    };
    if (service)
        check(stop(service), "the driver's state: it does not stop",
              "close every program that uses the card, then run \"teldo driver install\" again");
    check(restore(L"Ports", before.ports), "the value Parameters\\Ports", "set it again by hand (reg add)");
    check(restore(L"UsersMayOpen", before.users), "the value Parameters\\UsersMayOpen",
          "set it again by hand (reg add)");
    if (!before.ports.key_existed)
        check(delete_parameters_key(), "the service's key: Parameters, which this install made, stays",
              "delete it by hand (reg delete)");
    if (service && before.service_existed) {
        const bool had_image = before.image_path.text[0] != 0;
        DWORD error = ChangeServiceConfigW(service, before.service_type, before.start_type, before.error_control,
                                           had_image ? before.image_path.text : nullptr, nullptr, nullptr, nullptr,
                                           nullptr, nullptr, nullptr)
                          ? 0
                          : GetLastError();
        if (!error && !had_image) error = delete_image_path();
        check(error, "the service TELDO's registration", "sc qc TELDO shows it; sc config sets it");
    } else if (service) {
        check(DeleteService(service) ? 0 : GetLastError(), "the service TELDO: it is still registered",
              "run \"teldo driver remove\"");
    }
    const char* left = nullptr;
    check(files.put_back(left), "the driver's file", left);
    if (service && before.service_existed && before.was_running && whole)
        check(start(service), "the old driver: it does not start again", "teldo driver status tells why");
    return whole;
}

// The package's own driver, of exactly this teldo.exe's version: another
// file beside teldo.exe (planted, or from another package) is refused.
bool package_is_ours(const Path& source) {
    DWORD high = 0, low = 0;
    return maker_of(source.text) == Maker::ours && file_version(source.text, high, low) &&
           high == (BRENVO_VERSION_MAJOR << 16 | BRENVO_VERSION_MINOR) && low == (BRENVO_VERSION_PATCH << 16);
}

}  // namespace

int install(const Choices& choices) {
    std::size_t units = 0;
    if (choices.ports_given) {
        const ListVerdict verdict = read_port_list(choices.ports, list_units, units);
        if (verdict.refusal != windows::Refusal::none) {
            begin_message();
            err.put("--ports: ");
            if (verdict.window != no_window) {
                err.put("the window '");
                err.echo(list_window(choices.ports, verdict.window));
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
    SetupLock lock;
    if (const int refused = lock.take()) return refused;
    // The package's driver, held open from its check to the last check of
    // its copy: what is checked is what is installed.
    Path source, target;
    if (!package_driver(source)) return failure("cannot find driver\\teldo.sys beside teldo.exe", GetLastError());
    PackageFile package;
    if (const DWORD error = package.open(source)) {
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return failure("driver\\teldo.sys is not beside teldo.exe", 0,
                           "run the teldo.exe of the unpacked package, whose driver folder holds teldo.sys");
        if (error == ERROR_SHARING_VIOLATION)
            return failure("another program has driver\\teldo.sys open for writing; nothing changed", 0,
                           "close the program that writes it (an unpacker or a copy still running), then run this"
                           " again");
        return failure("cannot open driver\\teldo.sys beside teldo.exe; nothing changed", error);
    }
    if (!package_is_ours(source))
        return failure("driver\\teldo.sys beside teldo.exe is not this package's driver (" BRENVO_VERSION_TEXT
                       "); nothing changed",
                       0, "unpack the package again, into a folder that only administrators can write");
    if (!installed_driver(target))
        return failure("cannot find the system's drivers folder; nothing changed", GetLastError());
    Replacement files(package, target);
    if (!files.named())
        return failure("the path of the system's drivers folder is too long; nothing changed",
                       ERROR_FILENAME_EXCED_RANGE);
    if (files.stale_previous())
        return failure("system32\\drivers\\teldo.sys.previous is left from an install that could not finish;"
                       " nothing changed",
                       0, "it may be the only copy of the driver that ran before: rename it to teldo.sys, or"
                          " delete it if teldo.sys is the driver you want, then run this again");
    const Maker in_place = maker_of(target.text);
    if (in_place == Maker::another || in_place == Maker::unknown)
        return failure(in_place == Maker::another
                           ? "system32\\drivers\\teldo.sys is another maker's driver; nothing changed"
                           : "system32\\drivers\\teldo.sys cannot be read, so it cannot be told whose driver it"
                             " is; nothing changed",
                       0, "one of the two drivers, never both: driver\\README.txt, Never beside the card maker's"
                          " driver");

    // What is there now, to be put back if a step fails.
    before = {};
    ServiceHandle service(OpenServiceW(manager, service_name, SERVICE_ALL_ACCESS));
    if (service) {
        before.service_existed = true;
        Path registered;
        const QUERY_SERVICE_CONFIGW* config = read_config(service);
        if (const char* why = not_ours(config, target.text, registered))
            return failure(why, 0, "nothing changed; use that driver, or remove it first (driver\\README.txt, Never"
                                   " beside the card maker's driver)");
        before.service_type = config->dwServiceType;
        before.start_type = config->dwStartType;
        before.error_control = config->dwErrorControl;
        if (config->lpBinaryPathName && config->lpBinaryPathName[0] &&
            !put_path(before.image_path, 0, config->lpBinaryPathName))
            return failure("the service TELDO's file name is too long to be put back if a step failed; nothing"
                           " changed",
                           0, "sc qc TELDO shows it");
        // A service marked for deletion refuses every change: found now,
        // before any file is copied.
        if (!ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, nullptr,
                                  nullptr, nullptr, nullptr, nullptr, nullptr, nullptr))
            return stop_failure("the service TELDO cannot be changed; nothing changed", GetLastError());
        SERVICE_STATUS status{};
        if (!QueryServiceStatus(service, &status))
            return failure("cannot read whether the driver runs; nothing changed", GetLastError());
        before.was_running = status.dwCurrentState != SERVICE_STOPPED;
    } else if (const DWORD error = GetLastError(); error == ERROR_SERVICE_MARKED_FOR_DELETE) {
        return stop_failure("the service TELDO is being removed; nothing changed", error);
    } else if (error != ERROR_SERVICE_DOES_NOT_EXIST) {
        // A service that is there but cannot be opened may be another
        // maker's: never taken for none.
        return failure("cannot open the service TELDO, so it cannot be told whether it is this package's driver;"
                       " nothing changed",
                       error);
    }
    if (DWORD error = save(L"Ports", before.ports); error != 0)
        return failure("cannot read the driver's setting Parameters\\Ports; nothing changed", error);
    if (DWORD error = save(L"UsersMayOpen", before.users); error != 0)
        return failure("cannot read the driver's setting Parameters\\UsersMayOpen; nothing changed", error);

    DWORD error = 0;
    if (before.was_running && probe_device(error) == Device::held) return failure(held_device, 0, held_advice);
    if (service && (error = stop(service)) != 0) return stop_failed(service, error);

    // The steps; on a failure, `step` names it and everything is put back.
    const char* step = nullptr;
    error = files.replace(step);
    if (!error) {
        step = nullptr;
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
    // The file the driver will load, compared with the package's before it starts.
    if (!step && (error = files.check_installed()) != 0)
        step = "checking system32\\drivers\\teldo.sys against the package's driver\\teldo.sys";
    bool start_failed = false;
    if (!step && (error = start(service)) != 0) step = "starting the driver", start_failed = true;

    if (step) {
        begin_message();
        err.put("the install failed while ");
        err.put(step);
        put_why(error);
        end_message();
        if (start_failed) tell_start_error(err, error, this_windows());
        bool whole = put_back(service, files);
        // A service this install made that another program has open is only
        // marked for deletion: still there until that program lets go.
        if (!before.service_existed && service) {
            service.reset();
            whole = service_gone(manager) && whole;
        }
        hint(whole ? "everything is as it was before this install"
                   : "the rest is as it was before this install; do by hand what is said above");
        return exit_failed;
    }
    if ((error = files.keep()) != 0)
        return failure("the driver is installed and runs, but the old file system32\\drivers\\teldo.sys.previous"
                       " stays",
                       error, "delete teldo.sys.previous once you no longer need it");
    service.reset();

    wchar_t mode[256];
    out.put("The TELDO port driver is installed and running: ");
    if (read_mode(mode)) put_wide(out, mode);
    else out.put("(it reports no mode)");
    out.put("\r\n");
    out.flush();
    return exit_done;
}

}  // namespace teldo::console::setup

// teldo driver remove: the service TELDO, its settings and its driver file
// gone, but only when they are this package's driver's; and what an install
// or a remove cut short left in the drivers folder.
#include "driver_setup.h"

#include "files.h"
#include "service.h"

namespace teldo::console::setup {
namespace {

// A service marked for deletion: Windows deletes it once its driver has
// stopped and no program has it open, at the next restart at the latest.
// Nothing here can hasten that, so the driver is left as it is and what is
// left is said: the driver's state and file where the service could be
// opened (`service`, `file`), else its settings alone.
int being_removed(SC_HANDLE service, const Path* file) {
    begin_message();
    err.put("the service TELDO is already being removed (marked for deletion): Windows deletes it once its driver"
            " has stopped and no program has it open");
    end_message();
    begin_message();
    err.put("left until then: ");
    if (service) {
        SERVICE_STATUS status{};
        const bool known = QueryServiceStatus(service, &status) != 0;
        err.put(!known                                     ? "the driver, in a state that cannot be read; "
                : status.dwCurrentState == SERVICE_STOPPED ? "the driver, stopped; "
                : status.dwCurrentState == SERVICE_RUNNING ? "the driver, running; "
                                                           : "the driver, starting or stopping; ");
    }
    err.put("its settings (Parameters)");
    if (file && file->text[0] && file_exists(*file)) {
        err.put("; its file ");
        put_wide(err, file->text);
    }
    end_message();
    hint("close the Services window (and any other program that has the service open) and restart Windows; then"
         " run \"teldo driver remove\" again, which deletes the file");
    return exit_failed;
}

// What an install or a remove cut short left beside the installed file:
// teldo.sys.new, only ever made by an install and never loaded, is deleted;
// teldo.sys.previous may be the only copy of the driver that ran before,
// and is kept. Says what it did and what is left; false when something
// could not be done.
bool leftovers(const Path& target) {
    bool done = true;
    Path file;
    with_suffix(target, L".new", file);
    if (file_exists(file)) {
        if (delete_file(file.text)) {
            out.put("Deleted system32\\drivers\\teldo.sys.new, left by an install that was cut short.\r\n");
        } else {
            done = false;
            failure("cannot delete system32\\drivers\\teldo.sys.new, left by an install that was cut short",
                    GetLastError(), "delete it by hand");
        }
    }
    with_suffix(target, L".previous", file);
    if (file_exists(file))
        out.put("Left as it is: system32\\drivers\\teldo.sys.previous, the driver file that an install cut short\r\n"
                "set aside; delete it once you know that you no longer need it.\r\n");
    out.flush();
    return done;
}

// No service TELDO: only a file of ours in the drivers folder, from a
// remove cut short after the service went, is deleted; another maker's
// stays as it is.
int without_service(const Path& target) {
    const Maker maker = maker_by_resource(target.text);
    bool done = true;
    if (maker == Maker::ours) {
        if (delete_file(target.text)) {
            out.put("The TELDO port driver's service is not installed; its file system32\\drivers\\teldo.sys was"
                    " still there, and is deleted.\r\n");
        } else {
            done = false;
            failure("the service TELDO is not installed, but its file system32\\drivers\\teldo.sys stays",
                    GetLastError(), "delete it by hand (after a restart at the latest, Windows lets go of it)");
        }
    } else {
        out.put("The TELDO port driver is not installed: nothing to remove.\r\n");
        if (maker == Maker::another)
            out.put("system32\\drivers\\teldo.sys is another maker's driver: left as it is.\r\n");
        else if (maker == Maker::unknown)
            out.put("system32\\drivers\\teldo.sys cannot be read, so it cannot be told whose it is: left as it"
                    " is.\r\n");
    }
    out.flush();
    return leftovers(target) && done ? exit_done : exit_failed;
}

}  // namespace

// Refused to the win32 teldo.exe on 64-bit Windows, as install is: the
// package that matches the system installs and removes its driver, and sees
// System32 as the service manager does.
int remove() {
    if (running_under_wow64())
        return failure("this is the win32 package's teldo.exe, and this Windows is 64-bit", 0,
                       "use the win64 package's teldo.exe: it removes whichever driver is installed");
    SetupLock lock;  // one install or remove at a time
    if (const int refused = lock.take()) return refused;
    Path target, registered;
    if (!installed_driver(target))
        return failure("the system's drivers folder cannot be found; nothing changed", GetLastError());
    bool marked = false;
    {  // the service's handles are closed, and with them the service gone, before its file is deleted
        int exit_code = exit_failed;
        const ServiceHandle manager(open_manager(exit_code));
        if (!manager) return exit_code;
        const ServiceHandle service(OpenServiceW(manager, service_name, SERVICE_ALL_ACCESS));
        if (!service) {
            const DWORD error = GetLastError();
            // Some Windows refuse even to open a service marked for deletion.
            if (error == ERROR_SERVICE_MARKED_FOR_DELETE) return being_removed(nullptr, nullptr);
            if (error != ERROR_SERVICE_DOES_NOT_EXIST) return failure("cannot open the service TELDO", error);
            return without_service(target);
        }
        const QUERY_SERVICE_CONFIGW* config = read_config(service);
        if (const char* why = not_ours(config, target.text, registered))
            return failure(why, 0, "nothing changed; that driver is removed as its maker says");
        // With no image path Windows loads the service's default file, ours.
        if (!registered.text[0]) put_path(registered, 0, target.text);
        // Whether the service can be deleted, before its driver is stopped:
        // one marked for deletion refuses every change, this no-change too.
        if (!ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, nullptr,
                                  nullptr, nullptr, nullptr, nullptr, nullptr, nullptr)) {
            const DWORD error = GetLastError();
            if (error == ERROR_SERVICE_MARKED_FOR_DELETE) return being_removed(service, &registered);
            return failure("the service TELDO cannot be changed, so it cannot be deleted; nothing changed", error);
        }
        DWORD error = 0;
        SERVICE_STATUS status{};
        if (!QueryServiceStatus(service, &status))
            return failure("the driver's state cannot be read; nothing changed", GetLastError());
        if (status.dwCurrentState != SERVICE_STOPPED && probe_device(error) == Device::held)
            return failure(held_device, 0, held_advice);
        if ((error = stop(service)) != 0) return stop_failed(service, error);
        if (!DeleteService(service))
            return failure("the driver is stopped, but the service TELDO cannot be deleted; its settings and its file"
                           " stay",
                           GetLastError(), "run \"teldo driver remove\" again, or \"teldo driver install\" to start"
                                           " the driver again");
    }
    {  // Still there once its handles are closed: another program has it open.
        int exit_code = exit_failed;
        const ServiceHandle manager(open_manager(exit_code));
        if (!manager) return exit_code;
        const ServiceHandle service(OpenServiceW(manager, service_name, SERVICE_QUERY_STATUS));
        const DWORD error = service ? 0 : GetLastError();
        if (!service && error != ERROR_SERVICE_DOES_NOT_EXIST && error != ERROR_SERVICE_MARKED_FOR_DELETE)
            return failure("the service TELDO is deleted, but whether it is gone cannot be told; its file stays",
                           error, "run \"teldo driver remove\" again");
        marked = service != nullptr || error == ERROR_SERVICE_MARKED_FOR_DELETE;
    }
    // The settings go with a deleted service's key; a service only marked
    // keeps them until it goes.
    const LSTATUS settings = RegDeleteKeyW(HKEY_LOCAL_MACHINE, parameters_key);
    if (settings != ERROR_SUCCESS && settings != ERROR_FILE_NOT_FOUND)
        failure("the driver's settings (Parameters) cannot be deleted now; they go with the service", settings);
    // Only the file the service registered, and only ours (not_ours said so
    // or found none there).
    const Maker maker = maker_of(registered.text);
    if (maker == Maker::unknown)
        return failure("the service is gone, but its driver file cannot be read now, so it stays", 0,
                       "teldo driver status names what is left; run \"teldo driver remove\" again");
    if (maker == Maker::ours && !delete_file(registered.text))
        return failure("the service is gone, but its driver file stays", GetLastError(),
                       "delete it by hand once Windows has unloaded it (after a restart at the latest)");
    const char* const file_words = maker == Maker::ours       ? "its file deleted"
                                   : maker == Maker::missing ? "its file not there"
                                                             : "its file left as it is (another maker's now)";
    if (marked) {
        out.put("The TELDO port driver is stopped, ");
        out.put(file_words);
        out.put("; its service goes when the program that\r\nhas it open ends (close the Services window), or at"
                " the next restart.\r\n");
    } else {
        out.put("The TELDO port driver is removed: its service and its settings; ");
        out.put(file_words);
        out.put(".\r\n");
    }
    // Test-signing mode is Vista's and later's; 2000 and XP have no bcdedit.
    if (vista_or_later())
        out.put("Test-signing mode may now be switched off if no other driver needs it:\r\n"
                "  bcdedit /set testsigning off   (as administrator), then restart.\r\n");
    out.flush();
    return leftovers(target) ? exit_done : exit_failed;
}

}  // namespace teldo::console::setup

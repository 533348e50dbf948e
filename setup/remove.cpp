// teldo driver remove: the service TELDO, its settings and its driver file
// gone, but only when they are this package's driver's.
#include "driver_setup.h"

#include "files.h"
#include "service.h"

namespace teldo::console::setup {

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
    installed_driver(target);
    bool marked = false;
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
        if (const char* why = not_ours(read_config(service), target.text, registered))
            return failure(why, 0, "nothing changed; that driver is removed as its maker says");
        DWORD error = 0;
        SERVICE_STATUS status{};
        const bool running = QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED;
        if (running && probe_device(error) == Device::held) return failure(held_device, 0, held_advice);
        if ((error = stop(service)) != 0) return stop_failure("the driver does not stop; nothing changed", error);
        if (!DeleteService(service))
            return stop_failure("cannot delete the service TELDO; nothing changed", GetLastError());
    }
    {  // Still there once its handles are closed: another program has it open.
        int exit_code = exit_failed;
        const ServiceHandle manager(open_manager(exit_code));
        const ServiceHandle service(manager ? OpenServiceW(manager, service_name, SERVICE_QUERY_STATUS) : nullptr);
        marked = service != nullptr;
    }
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, parameters_key);
    // With no image path Windows loads the service's default file, ours.
    if (!registered.text[0]) put_path(registered, 0, target.text);
    // Only the file the service registered, and only ours (not_ours said so
    // or found none there).
    if (registered.text[0] && maker_of(registered.text) == Maker::ours && !delete_file(registered.text))
        return failure("the service is gone, but its driver file stays", GetLastError(),
                       "delete it by hand once Windows has unloaded it (after a restart at the latest)");
    if (marked) {
        out.put("The TELDO port driver is stopped and its file deleted; its service goes when the program that\r\n"
                "has it open ends (close the Services window), or at the next restart.\r\n");
    } else {
        out.put("The TELDO port driver is removed: its service, its settings and its file.\r\n");
    }
    out.put("Test-signing mode may now be switched off if no other driver needs it:\r\n"
            "  bcdedit /set testsigning off   (as administrator), then restart.\r\n");
    out.flush();
    return exit_done;
}

}  // namespace teldo::console::setup

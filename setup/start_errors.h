// Why the TELDO port driver does not start, in plain words, and what to do
// on this Windows: the error numbers a driver's start reports, as the
// service manager keeps them.
#pragma once

#include <cstdint>

namespace teldo::console {

struct ThisWindows {
    bool windows_64bit;   // the system, whatever this program's bitness
    bool driver_32bit;    // the driver in question is the 32-bit one of the win32 package
    bool secure_boot_era; // Windows 8 or later, where firmware may have Secure Boot
};

struct StartProblem {
    const char* words;  // what happened
    const char* fix;    // what to do
};

constexpr std::uint32_t error_revoked = 0x800B010C;  // CERT_E_REVOKED

// The plain words for `error`, or null words for an error this table does
// not know (the system's own text is all there is then). 87 and 487 are
// the Ports value's: the caller names the window to blame.
constexpr StartProblem start_problem(std::uint32_t error, const ThisWindows& windows) {
    switch (error) {
        case 2:  // ERROR_FILE_NOT_FOUND
            return {"the driver's file is missing: it is not where the service's registration says",
                    windows.windows_64bit
                        ? "run \"teldo driver install\" again from the win64 package's folder, in the normal"
                          " (64-bit) command prompt opened as administrator: a 32-bit prompt copies files"
                          " into SysWOW64\\drivers, where Windows does not look for drivers"
                        : "run \"teldo driver install\" again from the package's folder, in a command prompt"
                          " opened as administrator"};
        case 577:  // ERROR_INVALID_IMAGE_HASH
            if (windows.windows_64bit)
                return {"Windows refused the driver's signature: test-signing mode is off, or Secure Boot is"
                        " on",
                        "switch Secure Boot off in the firmware's setup (Windows 8 and later), then"
                        " \"bcdedit /set testsigning on\" as administrator, and restart (driver\\README.txt,"
                        " Test-signing mode)"};
            return {"Windows refused the driver's signature: Secure Boot is on",
                    windows.secure_boot_era
                        ? "switch Secure Boot off in the firmware's setup and restart (driver\\README.txt)"
                        : "check the driver's signature in the file's Properties (driver\\README.txt)"};
        case 1275:  // ERROR_DRIVER_BLOCKED
            if (windows.windows_64bit && windows.driver_32bit)
                return {"Windows blocks the installed driver: it is the win32 package's 32-bit driver, and this"
                        " is 64-bit Windows",
                        "with the win64 package's teldo.exe, \"teldo driver remove\" and then \"teldo driver"
                        " install\""};
            return {"a driver-blocking policy blocks it: Microsoft's vulnerable driver blocklist, memory"
                    " integrity, or the organisation's application control",
                    "see Windows Security, Device security, Core isolation details, and the Event Viewer's"
                    " Applications and Services Logs, Microsoft, Windows, CodeIntegrity, Operational for which"
                    " one; driver\\README.txt, Memory integrity"};
        case error_revoked:
            return {"the certificate the driver is signed with is revoked on this PC: Windows trusts"
                    " nothing signed with it",
                    "no setting helps: remove the driver and ask for a package signed anew"};
        // 193 ("not a valid Win32 application") and 216 ("not compatible
        // with the version of Windows you're running") both say that Windows
        // cannot load the file as an image of its own: the driver of the
        // other architecture (a 64-bit image on 32-bit Windows gives 193
        // from the kernel's loader), or a damaged copy.
        case 193:  // ERROR_BAD_EXE_FORMAT
        case 216:  // ERROR_EXE_MACHINE_TYPE_MISMATCH
            if (windows.windows_64bit == windows.driver_32bit)
                return {windows.windows_64bit
                            ? "Windows cannot load the installed driver: it is the win32 package's 32-bit driver,"
                              " and this is 64-bit Windows"
                            : "Windows cannot load the installed driver: it is the win64 package's 64-bit driver,"
                              " and this is 32-bit Windows",
                        windows.windows_64bit ? "with the win64 package's teldo.exe, \"teldo driver install\""
                                              : "with the win32 package's teldo.exe, \"teldo driver install\""};
            return {"Windows cannot load the driver's file as a driver: the copy is damaged",
                    windows.windows_64bit
                        ? "run \"teldo driver install\" again from the win64 package's folder"
                        : "run \"teldo driver install\" again from the win32 package's folder"};
        case 225:  // ERROR_VIRUS_INFECTED
            return {"an antivirus program blocked the driver's file",
                    "let teldo.sys through in the antivirus (its quarantine or exclusions), then run"
                    " \"teldo driver install\" again"};
        case 87:   // ERROR_INVALID_PARAMETER
        case 487:  // ERROR_INVALID_ADDRESS
            return {"the driver cannot use its Ports value",
                    "run \"teldo driver install\" with a good --ports list, or without --ports for the"
                    " simulated bus"};
        default:
            return {nullptr, nullptr};
    }
}

}  // namespace teldo::console

// teldo driver status: whether the driver is installed (the file its
// service registers) and runs, in which mode, why not in plain words,
// whether this user can open the device, and what an install or a remove
// cut short left in the drivers folder.
#include "driver_setup.h"

#include "cards.h"
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

// What status reads of the driver's files, all in one go.
struct Files {
    bool exists = false;        // the registered file
    Maker maker = Maker::unknown;
    bool versioned = false;
    DWORD high = 0, low = 0;    // its file version
    int bits = 0;               // 32 or 64, 0 unknown
    bool orphan = false;        // no service, but our teldo.sys in the drivers folder
    bool staged = false;        // teldo.sys.new
    bool previous = false;      // teldo.sys.previous
};

// For the win32 teldo.exe on 64-bit Windows (`wow64`), the file system's
// redirection of System32 is turned off around `file_calls` alone, so that
// they see the real System32\drivers while no DLL that Windows loads for
// another call comes from there. VERSION.dll is loaded before
// (installed_driver). 0, or why the redirection could not be turned off or
// back on.
template <class FileCalls>
DWORD in_real_system_folder(bool wow64, FileCalls file_calls) {
    if (!wow64) {
        file_calls();
        return 0;
    }
    using Disable = BOOL(WINAPI*)(PVOID*);
    using Revert = BOOL(WINAPI*)(PVOID);
    const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    const auto disable = reinterpret_cast<Disable>(
        reinterpret_cast<void*>(GetProcAddress(kernel32, "Wow64DisableWow64FsRedirection")));
    const auto revert = reinterpret_cast<Revert>(
        reinterpret_cast<void*>(GetProcAddress(kernel32, "Wow64RevertWow64FsRedirection")));
    if (!disable || !revert) return ERROR_PROC_NOT_FOUND;
    void* old = nullptr;
    if (!disable(&old)) return GetLastError();
    file_calls();
    return revert(old) ? 0 : GetLastError();
}

// The leftovers of an install or a remove cut short, and what to do.
void tell_leftovers(const Files& files) {
    if (files.orphan)
        out.put("Left over: system32\\drivers\\teldo.sys, this package's driver file, with no service:"
                " \"teldo driver remove\", as administrator, deletes it\r\n");
    if (files.staged)
        out.put("Left over: system32\\drivers\\teldo.sys.new, from an install cut short: \"teldo driver install\""
                " or \"teldo driver remove\", as administrator, deletes it\r\n");
    if (files.previous)
        out.put("Left over: system32\\drivers\\teldo.sys.previous, the driver file that an install cut short set"
                " aside: where teldo.sys is missing or not the driver you want, rename teldo.sys.previous to"
                " teldo.sys, else delete it; install refuses until then\r\n");
}

// Each string of a REG_MULTI_SZ that `saved` holds, to `visit`.
template <class Visit>
void each_string(const SavedValue& saved, Visit visit) {
    const std::u16string_view list(reinterpret_cast<const char16_t*>(saved.data), saved.size / sizeof(char16_t));
    cards::any_string(list, [&visit](std::u16string_view text) {
        visit(text);
        return false;
    });
}

bool is_instance_id(std::u16string_view text) {
    for (const char16_t c : text)
        if (c == u'\\') return true;
    return false;
}

// Whether a range's text, as install wrote it (put_range), is `range`.
bool same_range(std::u16string_view text, cards::IoRange range) {
    char written[40];
    struct Sink {
        char* text;
        std::size_t used;
        void put(char c) {
            if (used < 40) text[used++] = c;
        }
    } sink{written, 0};
    cards::put_range(sink, range);
    return cards::same_text(text, std::string_view(written, sink.used));
}

// The cards that Parameters\Cards names (each instance ID followed by the
// ranges install took from it), compared with the present devices: each
// card's line, and for a card gone or moved the install that fixes it.
// False when one is gone or moved.
bool tell_cards() {
    SavedValue cards_value, ports, users;
    if (save(L"Cards", cards_value) != 0 || !cards_value.existed) return true;
    if (cards_value.type != REG_MULTI_SZ) {
        out.put("Cards:   Parameters\\Cards is not a REG_MULTI_SZ: teldo driver install --card sets it again\r\n");
        return false;
    }
    out.flush();
    std::span<const cards::Device> devices;
    if (!read_devices(devices)) {
        out.put("Cards:   cannot be checked against the devices (above: why)\r\n");
        return false;
    }
    // Each card: its instance ID, whether it is still there and where.
    bool all_in_place = true;
    const cards::Device* device = nullptr;
    bool gone = false, moved = false;
    std::size_t range = 0;
    std::u16string_view id;
    auto end_card = [&] {
        if (id.empty()) return;
        moved = moved || (device && range != device->ranges.size());
        out.put("Card:    ");
        cards::put_text(out, id);
        if (gone) {
            out.put(": gone: no present device has that instance ID\r\n");
        } else if (moved) {
            out.put(": moved: Windows now gives it");
            for (const cards::IoRange now : device->ranges) {
                out.put(' ');
                cards::put_range(out, now);
            }
            out.put(", not the ports the driver's windows open\r\n");
        } else {
            out.put(": in place\r\n");
        }
        all_in_place = all_in_place && !gone && !moved;
    };
    each_string(cards_value, [&](std::u16string_view text) {
        if (is_instance_id(text)) {
            end_card();
            id = text, range = 0, moved = false, device = nullptr;
            for (const cards::Device& candidate : devices)
                if (cards::same_text(candidate.instance_id, text) && !device) device = &candidate;
            gone = device == nullptr;
        } else if (device) {
            moved = moved || range >= device->ranges.size() || !same_range(text, device->ranges[range]);
            ++range;
        }
    });
    end_card();
    if (all_in_place) return true;
    // The same install again, with the cards that are there.
    out.put("  fix: as administrator, install again so that the windows follow the cards:\r\n"
            "  teldo driver install");
    each_string(cards_value, [&](std::u16string_view text) {
        if (!is_instance_id(text)) return;
        for (const cards::Device& candidate : devices)
            if (cards::same_text(candidate.instance_id, text)) {
                out.put(" --card \"");
                cards::put_text(out, text);
                out.put('"');
                break;
            }
    });
    if (save(L"Ports", ports) == 0 && ports.existed && ports.type == REG_MULTI_SZ) {
        bool first = true;
        each_string(ports, [&](std::u16string_view window) {
            out.put(first ? " --ports " : ",");
            cards::put_text(out, window);
            first = false;
        });
    }
    if (save(L"UsersMayOpen", users) == 0 && users.existed && users.type == REG_DWORD && users.size == sizeof(DWORD) &&
        *reinterpret_cast<const DWORD*>(users.data) != 0)
        out.put(" --users-may-open");
    out.put("\r\n");
    return false;
}

}  // namespace

int status() {
    out.put("teldo " BRENVO_VERSION_TEXT ", the ");
    out.put(sizeof(void*) == 4 ? "win32" : "win64");
    out.put(" package\r\n");
    bool runs = false;
    Path target, source, file;
    if (!installed_driver(target)) return failure("the system's drivers folder cannot be found", GetLastError());
    ThisWindows windows = this_windows();
    const bool wow64 = running_under_wow64();
    const ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    DWORD open_error = manager ? 0 : GetLastError();
    const ServiceHandle service(
        manager ? OpenServiceW(manager, service_name, SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG) : nullptr);
    if (manager && !service) open_error = GetLastError();

    // The file the service registers (with no image path, Windows loads
    // the service's default file, ours), or none that can be checked.
    const QUERY_SERVICE_CONFIGW* config = service ? read_config(service) : nullptr;
    const DWORD config_error = service && !config ? GetLastError() : 0;
    const wchar_t* image = config ? config->lpBinaryPathName : nullptr;
    bool checkable = false;
    if (config) {
        checkable = !image || !image[0] ? put_path(file, 0, target.text) != 0 : image_file(image, file);
    }
    Files files;
    Path staged, previous;
    with_suffix(target, L".new", staged);
    with_suffix(target, L".previous", previous);
    const DWORD redirection = in_real_system_folder(wow64, [&] {
        if (checkable) {
            files.exists = file_exists(file);
            files.maker = maker_by_resource(file.text);
            files.versioned = files.maker == Maker::ours && file_version(file.text, files.high, files.low);
            files.bits = driver_bits(file.text);
        }
        files.orphan = !service && open_error == ERROR_SERVICE_DOES_NOT_EXIST &&
                       maker_by_resource(target.text) == Maker::ours;
        files.staged = file_exists(staged);
        files.previous = file_exists(previous);
    });

    if (!service) {
        if (open_error == ERROR_SERVICE_DOES_NOT_EXIST) {
            out.put("Driver:  not installed (teldo driver install, as administrator, installs it)\r\n");
        } else if (open_error == ERROR_SERVICE_MARKED_FOR_DELETE) {
            out.put("Driver:  being removed: the service TELDO is marked for deletion, and goes once no program"
                    " has it open and its driver has stopped (at the next restart at the latest)\r\n");
        } else {
            out.put(manager ? "Driver:  cannot be told: the service TELDO cannot be opened (error "
                            : "Driver:  cannot be told: the service manager cannot be reached (error ");
            out.decimal(open_error);
            out.put(")\r\n");
        }
    } else {
        DWORD package_high = 0, package_low = 0;
        out.put("Driver:  installed, ");
        if (!config) {
            out.put("but its registration cannot be read (error ");
            out.decimal(config_error);
            out.put(")");
        } else if (!checkable) {
            out.put("its file registered in a form that cannot be checked (sc qc TELDO shows it)");
        } else if (redirection != 0) {
            out.put("but its file cannot be checked: System32's redirection for 32-bit programs cannot be turned"
                    " off (error ");
            out.decimal(redirection);
            out.put(")");
        } else if (!files.exists) {
            out.put("but its file is missing");
        } else if (files.maker == Maker::another) {
            out.put("but its file is another maker's driver, not this package's");
        } else if (files.versioned) {
            out.put("version ");
            put_version(files.high, files.low);
            if (package_driver(source) && file_version(source.text, package_high, package_low)) {
                out.put(files.high == package_high && files.low == package_low ? ", this package's"
                                                                                : "; this package's is ");
                if (files.high != package_high || files.low != package_low) put_version(package_high, package_low);
            }
        } else {
            out.put("but its file cannot be read");
        }
        out.put("\r\n");
        if (config && (checkable || (image && image[0]))) {
            out.put("File:    ");
            put_wide(out, checkable ? file.text : image);
            out.put("\r\n");
        }
        SERVICE_STATUS state{};
        const bool state_known = QueryServiceStatus(service, &state) != 0;
        out.put("Service: ");
        runs = state_known && state.dwCurrentState == SERVICE_RUNNING;
        if (!state_known) {
            out.put("its state cannot be read (error ");
            out.decimal(GetLastError());
            out.put(")");
        } else {
            out.put(runs ? "running" : state.dwCurrentState == SERVICE_STOPPED ? "stopped" : "starting or stopping");
        }
        if (config) {
            const DWORD start_type = config->dwStartType;
            out.put(start_type == SERVICE_AUTO_START     ? ", starts with Windows"
                    : start_type == SERVICE_DEMAND_START ? ", starts on demand"
                    : start_type == SERVICE_DISABLED     ? ", disabled"
                                                         : ", starts with the system");
        }
        out.put("\r\n");
        if (state_known && state.dwCurrentState == SERVICE_STOPPED) {
            DWORD error = state.dwWin32ExitCode;
            if (error == ERROR_SERVICE_SPECIFIC_ERROR) error = state.dwServiceSpecificExitCode;
            // The service's own error stands; a missing file explains only a
            // driver that has not tried to start.
            if ((error == 0 || error == ERROR_SERVICE_NEVER_STARTED) && checkable && redirection == 0 &&
                !files.exists)
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
                // 193, 216 and 1275 blame the driver actually installed, 32-bit or 64-bit.
                if (files.bits) windows.driver_32bit = files.bits == 32;
                tell_start_error(out, error, windows);
            }
        }
    }
    if (redirection == 0) {
        tell_leftovers(files);
    } else if (!service) {
        out.put("Drivers folder: cannot be checked: System32's redirection for 32-bit programs cannot be turned off"
                " (error ");
        out.decimal(redirection);
        out.put(")\r\n");
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
    // Whether the windows are claimed; and when a window that a device holds
    // stopped the start, which one, and what to do.
    wchar_t (&claim)[256] = mode;  // its own buffer would need a stack probe
    if (read_claim(claim) && claim[0] != 0) {
        out.put("Claim:   ");
        put_wide(out, claim);
        out.put("\r\n");
        if (!runs && claim[0] == L'r')
            out.put("  the window covers ports that Windows gave a device: make it the card's own ports, or take a"
                    " card's ports with --card (teldo cards lists the devices and their ports)\r\n");
    }
    const bool cards_in_place = tell_cards();
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
    return runs && device == Device::openable && cards_in_place ? exit_done : exit_failed;
}

}  // namespace teldo::console::setup

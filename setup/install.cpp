// teldo driver install: this package's driver copied into the system's
// drivers folder, registered as the service TELDO and started, with the
// administrator's port windows. Nothing changes before every check has
// passed; a step that fails puts back, and verifies, what came before. One
// install or remove runs at a time.
#include "driver_setup.h"

#include "cards.h"
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
    SavedValue ports, users, card_ports, cards;
};

constinit Before before{};
constinit char16_t list_units[max_list_units] = {};

// The windows taken from cards (--card), for Parameters\CardPorts: one
// window a string, as Ports holds them.
constinit char16_t card_port_units[max_list_units] = {};
// Parameters\Cards, what status compares with the devices later: for each
// card its instance ID, then each range taken from it, each a string of the
// REG_MULTI_SZ, then the next card's ID:
//   "PCI\VEN_1415&DEV_C110&...\4&2F6A1B3&0&00E0" "D000-D007" "D400-D403" "PCI\..." ...
// An instance ID has a backslash, a range never: that tells them apart.
constexpr std::size_t max_instance_id = 200;  // MAX_DEVICE_ID_LEN
constinit char16_t card_units[Choices::max_cards * (max_instance_id + 1) + max_list_units] = {};

// A window as Ports holds it: "D000-D007", or "0378" for a single port.
std::size_t put_window(char16_t* units, std::size_t at, windows::PortRange window) {
    struct Sink {
        char16_t* units;
        std::size_t at;
        void put(char c) { units[at++] = static_cast<unsigned char>(c); }
    } sink{units, at};
    cards::put_range(sink, {window.first, window.last});
    sink.units[sink.at++] = 0;
    return sink.at;
}

// The windows of each --card, after the --ports windows (`windows_before`),
// into card_port_units and card_units (their units in `port_count` and
// `card_count`); each card whose ranges come from its boot configuration,
// and each with a driver of its own, said. False after a refusal, said.
bool take_cards(const Choices& choices, std::size_t windows_before, std::size_t& port_count,
                std::size_t& card_count) {
    port_count = card_count = 0;
    if (choices.card_count == 0) return true;
    std::span<const cards::Device> devices;
    if (!read_devices(devices)) return false;
    std::size_t taken = 0;
    for (std::size_t c = 0; c < choices.card_count; ++c) {
        const std::string_view id = choices.cards[c];
        const cards::CardChoice choice = cards::choose_card(devices, id, windows_before + taken);
        if (choice.refusal != cards::CardRefusal::none) {
            out.flush();
            cards::tell_refusal(err, choice, devices, id);
            err.put("teldo: nothing changed\r\n");
            err.flush();
            return false;
        }
        const cards::Device& card = devices[choice.device];
        for (std::size_t other = 0; other < c; ++other)
            if (cards::choose_card(devices, choices.cards[other], 0).device == choice.device) {
                out.flush();
                err.put("teldo: --card ");
                err.put(id);
                err.put(": that card is named twice; nothing changed\r\n");
                err.flush();
                return false;
            }
        if (card.instance_id.size() > max_instance_id) {
            out.flush();
            err.put("teldo: --card ");
            err.put(id);
            err.put(": its instance ID is longer than Windows makes them; nothing changed\r\n");
            err.flush();
            return false;
        }
        if (choice.other_driver) {
            out.flush();
            cards::tell_other_driver(err, card, id);
            err.flush();
        }
        if (card.source == cards::Source::boot) {
            out.put("--card ");
            out.put(id);
            out.put(": Windows assigned ");
            cards::put_text(out, card.instance_id);
            out.put(" no ports; its windows are the ranges the firmware set at boot, which Windows keeps reserved"
                    " for it while it has no driver\r\n");
        }
        for (const char16_t unit : card.instance_id) card_units[card_count++] = unit;
        card_units[card_count++] = 0;
        for (std::size_t w = 0; w < choice.window_count; ++w) {
            port_count = put_window(card_port_units, port_count, choice.windows[w]);
            card_count = put_window(card_units, card_count, choice.windows[w]);
        }
        taken += choice.window_count;
    }
    card_port_units[port_count++] = 0;
    card_units[card_count++] = 0;
    return true;
}

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
    check(restore(L"CardPorts", before.card_ports), "the value Parameters\\CardPorts",
          "set it again by hand (reg add)");
    check(restore(L"Cards", before.cards), "the value Parameters\\Cards", "set it again by hand (reg add)");
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

// After a start that a claim stopped (error 487, Status\Claim "refused: 0378
// overlaps ports that a device holds"): the devices whose ranges overlap
// that window, never a bus or a bridge, and --card for a card's.
void tell_claim_conflict() {
    wchar_t claim[256];
    if (!read_claim(claim)) return;
    const wchar_t refused[] = L"refused:";
    for (std::size_t i = 0; refused[i]; ++i)
        if (claim[i] != refused[i]) return;
    std::size_t at = 8;
    while (claim[at] == L' ') ++at;
    auto hex = [&claim, &at](std::uint32_t& port) {
        std::size_t digits = 0;
        for (port = 0;; ++at, ++digits) {
            const wchar_t c = claim[at];
            const int value = c >= L'0' && c <= L'9' ? c - L'0'
                              : c >= L'A' && c <= L'F' ? c - L'A' + 10
                              : c >= L'a' && c <= L'f' ? c - L'a' + 10
                                                       : -1;
            if (value < 0 || digits == 4) break;
            port = port << 4 | static_cast<std::uint32_t>(value);
        }
        return digits > 0;
    };
    std::uint32_t first = 0, last = 0;
    if (!hex(first)) return;
    last = first;
    if (claim[at] == L'-' && (++at, !hex(last))) return;
    if (last < first) return;
    const windows::PortRange window{static_cast<std::uint16_t>(first), static_cast<std::uint16_t>(last)};
    std::span<const cards::Device> devices;
    if (!read_devices(devices)) return;
    std::size_t found[8];
    const std::size_t count = cards::holders(window, devices, found);
    err.put("teldo: the window ");
    cards::put_range(err, {first, last});
    if (count == 0) {
        err.put(" overlaps ports that no present device lists; teldo cards lists the devices and their ports\r\n");
        return;
    }
    err.put(" overlaps the ports that Windows gave ");
    err.put(count == 1 ? "this device:\r\n" : "these devices:\r\n");
    for (std::size_t i = 0; i < count && i < sizeof found / sizeof found[0]; ++i) {
        const cards::Device& device = devices[found[i]];
        err.put("teldo:   ");
        cards::put_text(err, device.instance_id);
        if (!device.name.empty()) {
            err.put(" (");
            cards::put_text(err, device.name);
            err.put(")");
        }
        for (const cards::IoRange range : device.ranges) {
            err.put(' ');
            cards::put_range(err, range);
        }
        err.put("\r\n");
    }
    for (std::size_t i = 0; i < count && i < sizeof found / sizeof found[0]; ++i) {
        const cards::Device& device = devices[found[i]];
        if (device.source != cards::Source::assigned || cards::is_bus_master(device)) continue;
        err.put("teldo: if that is your card, take its ports with --card \"");
        cards::put_text(err, device.instance_id);
        err.put("\" in place of the window\r\n");
    }
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
    std::size_t ports_windows = 0;
    for (std::size_t i = 0; i + 1 < units; ++i) ports_windows += list_units[i] == 0;
    std::size_t card_port_count = 0, card_count = 0;
    if (!take_cards(choices, ports_windows, card_port_count, card_count)) return exit_failed;
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
    if (DWORD error = save(L"CardPorts", before.card_ports); error != 0)
        return failure("cannot read the driver's setting Parameters\\CardPorts; nothing changed", error);
    if (DWORD error = save(L"Cards", before.cards); error != 0)
        return failure("cannot read the driver's setting Parameters\\Cards; nothing changed", error);

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
        if (!error)
            error = put_value(L"CardPorts", REG_MULTI_SZ, card_port_count ? card_port_units : nullptr,
                              static_cast<DWORD>(card_port_count * sizeof(char16_t)));
        if (!error)
            error = put_value(L"Cards", REG_MULTI_SZ, card_count ? card_units : nullptr,
                              static_cast<DWORD>(card_count * sizeof(char16_t)));
        if (error) step = "writing the driver's settings (Parameters\\Ports, CardPorts, Cards, UsersMayOpen)";
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
        // Read before the old driver starts again and writes its own claim.
        if (start_failed && error == ERROR_INVALID_ADDRESS) tell_claim_conflict();
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

// teldo cards: every present device to which Windows gave I/O ports, read
// with the configuration manager's calls of Windows 2000 and later, and
// whether the TELDO port driver's windows open each range.
//
// SETUPAPI and CFGMGR32 are not among the DLLs that Windows always loads
// from the system folder: imported by name, a copy planted beside teldo.exe
// would run in its process. So each is loaded by its full path there, the
// DLLs it needs in turn searched from that folder too
// (LOAD_WITH_ALTERED_SEARCH_PATH), and each function looked up by name.
#include "cards.h"

#include <windows.h>

#include <cfgmgr32.h>
#include <setupapi.h>

#include <type_traits>
#include <utility>

#include "files.h"
#include "output.h"
#include "service.h"

namespace teldo::console {
namespace setup {
namespace {

struct SetupApi {
    HDEVINFO(WINAPI* get_class_devs)(const GUID*, PCWSTR, HWND, DWORD);
    BOOL(WINAPI* enum_device_info)(HDEVINFO, DWORD, PSP_DEVINFO_DATA);
    BOOL(WINAPI* get_instance_id)(HDEVINFO, PSP_DEVINFO_DATA, PWSTR, DWORD, PDWORD);
    BOOL(WINAPI* get_property)(HDEVINFO, PSP_DEVINFO_DATA, DWORD, PDWORD, PBYTE, DWORD, PDWORD);
    BOOL(WINAPI* destroy_list)(HDEVINFO);
};
struct ConfigManager {
    CONFIGRET(WINAPI* first_log_conf)(PLOG_CONF, DEVINST, ULONG);
    CONFIGRET(WINAPI* next_res_des)(PRES_DES, RES_DES, RESOURCEID, PRESOURCEID, ULONG);
    CONFIGRET(WINAPI* res_des_data_size)(PULONG, RES_DES, ULONG);
    CONFIGRET(WINAPI* res_des_data)(RES_DES, PVOID, ULONG, ULONG);
    CONFIGRET(WINAPI* free_res_des)(RES_DES);
    CONFIGRET(WINAPI* free_log_conf)(LOG_CONF);
    CONFIGRET(WINAPI* devnode_status)(PULONG, PULONG, DEVINST, ULONG);
};
constinit SetupApi setupapi{};
constinit ConfigManager cfgmgr{};

// Loads the system folder's DLL `name` ("\\setupapi.dll") and binds each
// function; false after saying what is missing.
template <class... Functions>
bool load_system_dll(const wchar_t* name, Functions... functions) {
    Path path;
    const UINT length = GetSystemDirectoryW(path.text, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return failure("cannot find the system folder", GetLastError()), false;
    put_path(path, length, name);
    const HMODULE dll = LoadLibraryExW(path.text, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    const DWORD error = dll ? 0 : GetLastError();
    const char* missing = nullptr;
    auto bind = [dll, &missing](auto binding) {
        auto& function = *binding.first;
        function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(
            reinterpret_cast<void*>(GetProcAddress(dll, binding.second)));
        if (!function && !missing) missing = binding.second;
    };
    if (dll) (bind(functions), ...);
    if (dll && !missing) return true;
    begin_message();
    if (!dll) err.put("cannot load ");
    put_wide(err, path.text);
    if (dll) {
        err.put(" has no ");
        err.put(missing);
    } else {
        err.put(": ");
        put_system_error(error);
    }
    end_message();
    return false;
}

template <class Function>
std::pair<Function*, const char*> named(Function& function, const char* name) {
    return {&function, name};
}

bool load_apis() {
    return load_system_dll(L"\\setupapi.dll", named(setupapi.get_class_devs, "SetupDiGetClassDevsW"),
                           named(setupapi.enum_device_info, "SetupDiEnumDeviceInfo"),
                           named(setupapi.get_instance_id, "SetupDiGetDeviceInstanceIdW"),
                           named(setupapi.get_property, "SetupDiGetDeviceRegistryPropertyW"),
                           named(setupapi.destroy_list, "SetupDiDestroyDeviceInfoList")) &&
           load_system_dll(L"\\cfgmgr32.dll", named(cfgmgr.first_log_conf, "CM_Get_First_Log_Conf"),
                           named(cfgmgr.next_res_des, "CM_Get_Next_Res_Des"),
                           named(cfgmgr.res_des_data_size, "CM_Get_Res_Des_Data_Size"),
                           named(cfgmgr.res_des_data, "CM_Get_Res_Des_Data"),
                           named(cfgmgr.free_res_des, "CM_Free_Res_Des_Handle"),
                           named(cfgmgr.free_log_conf, "CM_Free_Log_Conf_Handle"),
                           named(cfgmgr.devnode_status, "CM_Get_DevNode_Status"));
}

// The configuration manager's answers by name: those its calls here give.
struct ConfigAnswer {
    CONFIGRET code;
    const char* name;
};
constexpr ConfigAnswer config_answers[] = {
    {CR_DEFAULT, "CR_DEFAULT"},
    {CR_OUT_OF_MEMORY, "CR_OUT_OF_MEMORY"},
    {CR_INVALID_POINTER, "CR_INVALID_POINTER"},
    {CR_INVALID_FLAG, "CR_INVALID_FLAG"},
    {CR_INVALID_DEVNODE, "CR_INVALID_DEVNODE"},
    {CR_INVALID_RES_DES, "CR_INVALID_RES_DES"},
    {CR_INVALID_LOG_CONF, "CR_INVALID_LOG_CONF"},
    {CR_INVALID_RESOURCEID, "CR_INVALID_RESOURCEID"},
    {CR_NO_SUCH_DEVNODE, "CR_NO_SUCH_DEVNODE"},
    {CR_NO_MORE_LOG_CONF, "CR_NO_MORE_LOG_CONF"},
    {CR_NO_MORE_RES_DES, "CR_NO_MORE_RES_DES"},
    {CR_FAILURE, "CR_FAILURE"},
    {CR_BUFFER_SMALL, "CR_BUFFER_SMALL"},
    {CR_NO_REGISTRY_HANDLE, "CR_NO_REGISTRY_HANDLE"},
    {CR_REGISTRY_ERROR, "CR_REGISTRY_ERROR"},
    {CR_INVALID_DEVICE_ID, "CR_INVALID_DEVICE_ID"},
    {CR_INVALID_DATA, "CR_INVALID_DATA"},
    {CR_INVALID_API, "CR_INVALID_API"},
    {CR_DEVICE_NOT_THERE, "CR_DEVICE_NOT_THERE"},
    {CR_NO_SUCH_VALUE, "CR_NO_SUCH_VALUE"},
    {CR_WRONG_TYPE, "CR_WRONG_TYPE"},
    {CR_NO_SUCH_REGISTRY_KEY, "CR_NO_SUCH_REGISTRY_KEY"},
    {CR_NO_CM_SERVICES, "CR_NO_CM_SERVICES"},
    {CR_ACCESS_DENIED, "CR_ACCESS_DENIED"},
    {CR_CALL_NOT_IMPLEMENTED, "CR_CALL_NOT_IMPLEMENTED"},
    {CR_INVALID_PROPERTY, "CR_INVALID_PROPERTY"},
    {CR_INVALID_INDEX, "CR_INVALID_INDEX"},
    {CR_INVALID_STRUCTURE_SIZE, "CR_INVALID_STRUCTURE_SIZE"},
};

// The devices read, and the storage of their texts and ranges.
constexpr std::size_t max_devices = 1024, max_ranges = 4096, max_text_units = 1 << 19;
constinit cards::Device devices_read[max_devices] = {};
constinit cards::IoRange ranges_read[max_ranges] = {};
constinit char16_t text_read[max_text_units] = {};
constinit std::size_t device_count = 0, range_count = 0, text_used = 0;

enum class Read : std::uint8_t { done, gone, failed };  // gone: the device went while it was read

Read config_failure(CONFIGRET answer, const char* call, const cards::Device& device) {
    begin_message();
    err.put("the configuration manager answered ");
    const char* name = nullptr;
    for (const ConfigAnswer& known : config_answers)
        if (known.code == answer) name = known.name;
    err.put(name ? name : "CR_ code");
    err.put(" (0x");
    err.hex(answer, 2);
    err.put(") to ");
    err.put(call);
    if (!device.instance_id.empty()) {
        err.put(" for the device ");
        cards::put_text(err, device.instance_id);
    }
    end_message();
    return Read::failed;
}

Read setupapi_failure(DWORD error, const char* call) {
    begin_message();
    err.put(call);
    err.put(" failed: ");
    put_system_error(error);
    end_message();
    return Read::failed;
}

Read too_many_devices() {
    failure("this PC has more devices, or longer texts of them, than teldo cards can hold (1024 devices, 4096 I/O"
            " ranges)",
            0);
    return Read::failed;
}

// The device's instance ID into the text storage.
Read read_instance_id(HDEVINFO list, SP_DEVINFO_DATA& data, std::u16string_view& id) {
    wchar_t* const text = reinterpret_cast<wchar_t*>(text_read + text_used);
    const DWORD room = static_cast<DWORD>(max_text_units - text_used);
    DWORD needed = 0;
    if (!setupapi.get_instance_id(list, &data, text, room, &needed)) {
        const DWORD error = GetLastError();
        if (error == ERROR_INSUFFICIENT_BUFFER) return too_many_devices();
        if (error == ERROR_NO_SUCH_DEVINST) return Read::gone;
        return setupapi_failure(error, "SetupDiGetDeviceInstanceId");
    }
    std::size_t length = 0;
    while (length < room && text[length] != 0) ++length;
    id = std::u16string_view(text_read + text_used, length);
    text_used += length;
    return Read::done;
}

// A text property (REG_SZ or REG_MULTI_SZ) into the text storage; empty
// when the device has none.
Read read_property(HDEVINFO list, SP_DEVINFO_DATA& data, DWORD property, std::u16string_view& text) {
    text = {};
    const DWORD room = static_cast<DWORD>((max_text_units - text_used) * sizeof(char16_t));
    DWORD type = 0, needed = 0;
    if (!setupapi.get_property(list, &data, property, &type, reinterpret_cast<BYTE*>(text_read + text_used), room,
                               &needed)) {
        const DWORD error = GetLastError();
        if (error == ERROR_INVALID_DATA) return Read::done;  // the device has no such property
        if (error == ERROR_INSUFFICIENT_BUFFER) return too_many_devices();
        if (error == ERROR_NO_SUCH_DEVINST) return Read::gone;
        return setupapi_failure(error, "SetupDiGetDeviceRegistryProperty");
    }
    if (type != REG_SZ && type != REG_MULTI_SZ) return Read::done;
    std::size_t units = (needed < room ? needed : room) / sizeof(char16_t);
    while (units > 0 && text_read[text_used + units - 1] == 0) --units;
    text = std::u16string_view(text_read + text_used, units);
    text_used += units;
    return Read::done;
}

// The I/O ranges of one logical configuration, each descriptor's handle
// freed once read.
Read read_io_ranges(LOG_CONF configuration, cards::Device& device) {
    union {
        IO_DES io;
        BYTE bytes[1024];
    } data{};
    RES_DES held = 0;
    for (;;) {
        RES_DES next = 0;
        CONFIGRET answer = cfgmgr.next_res_des(&next, held ? held : configuration, ResType_IO, nullptr, 0);
        if (held) {
            const CONFIGRET freed = cfgmgr.free_res_des(held);
            held = 0;
            if (freed != CR_SUCCESS) {
                if (answer == CR_SUCCESS) cfgmgr.free_res_des(next);
                return config_failure(freed, "CM_Free_Res_Des_Handle", device);
            }
        }
        if (answer == CR_NO_MORE_RES_DES) return Read::done;
        if (answer != CR_SUCCESS) return config_failure(answer, "CM_Get_Next_Res_Des", device);
        held = next;
        ULONG size = 0;
        const char* call = "CM_Get_Res_Des_Data_Size";
        answer = cfgmgr.res_des_data_size(&size, held, 0);
        if (answer == CR_SUCCESS) {
            call = "CM_Get_Res_Des_Data";
            answer = size < sizeof(IO_DES) ? CR_INVALID_DATA
                     : size > sizeof data  ? CR_BUFFER_SMALL
                                           : cfgmgr.res_des_data(held, &data, size, 0);
        }
        if (answer == CR_SUCCESS && range_count == max_ranges) {
            cfgmgr.free_res_des(held);
            return too_many_devices();
        }
        if (answer != CR_SUCCESS) {
            cfgmgr.free_res_des(held);
            return config_failure(answer, call, device);
        }
        // A descriptor whose end lies below its base holds no port.
        if (data.io.IOD_Alloc_Base <= data.io.IOD_Alloc_End)
            ranges_read[range_count++] = {data.io.IOD_Alloc_Base, data.io.IOD_Alloc_End};
    }
}

// The device's I/O ranges: those of its assigned configuration, else those
// of its boot configuration.
Read read_ranges(DEVINST devinst, cards::Device& device) {
    const std::size_t first = range_count;
    device.ranges = {};
    LOG_CONF configuration = 0;
    device.source = cards::Source::assigned;
    CONFIGRET answer = cfgmgr.first_log_conf(&configuration, devinst, ALLOC_LOG_CONF);
    if (answer == CR_NO_MORE_LOG_CONF) {
        device.source = cards::Source::boot;
        answer = cfgmgr.first_log_conf(&configuration, devinst, BOOT_LOG_CONF);
    }
    if (answer == CR_NO_MORE_LOG_CONF) {
        device.source = cards::Source::none;
        return Read::done;
    }
    if (answer == CR_NO_SUCH_DEVNODE) return Read::gone;
    if (answer != CR_SUCCESS) return config_failure(answer, "CM_Get_First_Log_Conf", device);
    const Read read = read_io_ranges(configuration, device);
    answer = cfgmgr.free_log_conf(configuration);
    if (read != Read::done) return read;
    if (answer != CR_SUCCESS) return config_failure(answer, "CM_Free_Log_Conf_Handle", device);
    device.ranges = std::span<const cards::IoRange>(ranges_read + first, range_count - first);
    return Read::done;
}

Read read_device(HDEVINFO list, SP_DEVINFO_DATA& data, cards::Device& device) {
    device.instance_id = {};
    Read read = read_instance_id(list, data, device.instance_id);
    if (read == Read::done) read = read_property(list, data, SPDRP_FRIENDLYNAME, device.name);
    if (read == Read::done && device.name.empty()) read = read_property(list, data, SPDRP_DEVICEDESC, device.name);
    if (read == Read::done) read = read_property(list, data, SPDRP_SERVICE, device.service);
    if (read == Read::done) read = read_property(list, data, SPDRP_HARDWAREID, device.hardware_ids);
    if (read == Read::done) read = read_property(list, data, SPDRP_COMPATIBLEIDS, device.compatible_ids);
    if (read == Read::done) read = read_property(list, data, SPDRP_CLASS, device.device_class);
    if (read != Read::done) return read;
    ULONG status = 0, problem = 0;
    const CONFIGRET answer = cfgmgr.devnode_status(&status, &problem, data.DevInst, 0);
    if (answer == CR_NO_SUCH_DEVNODE) return Read::gone;
    if (answer != CR_SUCCESS) return config_failure(answer, "CM_Get_DevNode_Status", device);
    device.started = (status & DN_STARTED) != 0;
    return read_ranges(data.DevInst, device);
}

// The list of present devices, destroyed when it goes.
class DeviceList {
public:
    DeviceList() : list_(setupapi.get_class_devs(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES)) {}
    ~DeviceList() {
        if (list_ != INVALID_HANDLE_VALUE) setupapi.destroy_list(list_);
    }
    DeviceList(const DeviceList&) = delete;
    DeviceList& operator=(const DeviceList&) = delete;
    operator HDEVINFO() const { return list_; }

private:
    HDEVINFO list_;
};

}  // namespace

bool read_devices(std::span<const cards::Device>& devices) {
    devices = {};
    // From Windows 8 the configuration manager answers a 32-bit program
    // under WOW64 with CR_CALL_NOT_IMPLEMENTED; earlier ones would give it
    // the 64-bit system's devices all the same, but only the win64 package
    // drives them.
    if (running_under_wow64())
        return failure("this is the win32 package's teldo.exe, and this Windows is 64-bit", 0,
                       "use the win64 package: its teldo.exe reads the devices' ports"),
               false;
    if (!load_apis()) return false;
    device_count = range_count = text_used = 0;
    const DeviceList list;
    if (list == INVALID_HANDLE_VALUE) return setupapi_failure(GetLastError(), "SetupDiGetClassDevs"), false;
    for (DWORD index = 0;; ++index) {
        SP_DEVINFO_DATA data{};
        data.cbSize = sizeof data;
        if (!setupapi.enum_device_info(list, index, &data)) {
            const DWORD error = GetLastError();
            if (error == ERROR_NO_MORE_ITEMS) break;
            return setupapi_failure(error, "SetupDiEnumDeviceInfo"), false;
        }
        if (device_count == max_devices) return too_many_devices(), false;
        const std::size_t texts_before = text_used, ranges_before = range_count;
        const Read read = read_device(list, data, devices_read[device_count]);
        if (read == Read::failed) return false;
        if (read == Read::gone) {
            text_used = texts_before, range_count = ranges_before;
            continue;
        }
        ++device_count;
    }
    devices = std::span<const cards::Device>(devices_read, device_count);
    return true;
}

namespace {

// A device's name, in any language: to a console as UTF-16, to a file or
// a pipe in the console's code page, as the system's error texts go.
void put_name(std::u16string_view name) {
    bool plain = true;
    for (const char16_t c : name) plain = plain && c >= 0x20 && c < 0x7F;
    wchar_t wide[256];
    if (plain || name.size() > sizeof wide / sizeof wide[0]) return cards::put_text(out, name);
    for (std::size_t i = 0; i < name.size(); ++i) wide[i] = name[i] < 0x20 ? L'?' : static_cast<wchar_t>(name[i]);
    const int length = static_cast<int>(name.size());
    out.flush();
    const HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0, written = 0;
    if (GetConsoleMode(handle, &mode)) {
        WriteConsoleW(handle, wide, static_cast<DWORD>(length), &written, nullptr);
        return;
    }
    UINT code_page = GetConsoleOutputCP();
    if (code_page == 0) code_page = CP_OEMCP;
    char bytes[3 * 256];
    const int converted = WideCharToMultiByte(code_page, 0, wide, length, bytes, sizeof bytes, nullptr, nullptr);
    if (converted > 0) out.put(std::string_view(bytes, static_cast<std::size_t>(converted)));
    else cards::put_text(out, name);
}

// A Parameters value of the driver as cards_rules.h reads it; `error` gets
// why it could not be read.
cards::ListValue list_value(const wchar_t* name, SavedValue& saved, DWORD& error) {
    if (DWORD failed = save(name, saved); failed != 0 && error == 0) error = failed;
    cards::ListValue value;
    value.present = saved.existed;
    value.multi_sz = saved.type == REG_MULTI_SZ;
    value.units = reinterpret_cast<const char16_t*>(saved.data);
    value.count = saved.size / sizeof(char16_t);
    value.odd_bytes = saved.size % 2 != 0;
    return value;
}

// The driver's windows, read as it reads them as it starts; no windows
// where it would refuse them.
constinit windows::PortWindows windows_read{};
constinit const windows::PortWindows no_windows{};
constinit const windows::PortWindows* open_windows = &no_windows;

// "Windows of the TELDO port driver: ..." from its Ports and CardPorts
// values; the windows in open_windows.
void tell_driver_windows() {
    SavedValue ports, card_ports;
    DWORD error = 0;
    const cards::ListValue ports_value = list_value(L"Ports", ports, error);
    const cards::ListValue card_ports_value = list_value(L"CardPorts", card_ports, error);
    out.put("Windows of the TELDO port driver: ");
    if (error != 0) {
        out.put("its settings cannot be read (error ");
        out.decimal(error);
        out.put(")\r\n");
        return;
    }
    const windows::Refusal refusal = cards::driver_windows(ports_value, card_ports_value, windows_read);
    if (refusal != windows::Refusal::none) {
        out.put("none it can use: its Ports or CardPorts value is refused (");
        out.put(refusal_words(refusal));
        out.put(")\r\n");
        return;
    }
    open_windows = &windows_read;
    if (windows_read.size() == 0)
        out.put("none (no Ports or CardPorts value: teldo driver install --ports opens some)");
    for (std::size_t i = 0; i < windows_read.size(); ++i) {
        if (i > 0) out.put(' ');
        cards::put_range(out, {windows_read[i].first, windows_read[i].last});
    }
    out.put("\r\n");
}

// Counts what would be written.
struct Width {
    std::size_t characters = 0;
    void put(char) { ++characters; }
};

// One device: its instance ID, name and driver, and each I/O range with
// where it comes from and whether the driver's windows open it. True when
// a range came from the boot configuration.
bool tell_device(const cards::Device& device) {
    out.put("\r\n");
    cards::put_text(out, device.instance_id);
    out.put("\r\n  name:   ");
    if (device.name.empty()) out.put("(none)");
    else put_name(device.name);
    out.put("\r\n  driver: ");
    if (device.service.empty()) out.put("none");
    else cards::put_text(out, device.service);
    if (device.started) out.put(" (started)");
    else if (!device.service.empty()) out.put(" (not started)");
    out.put("\r\n");
    for (const cards::IoRange range : device.ranges) {
        out.put("  ");
        cards::put_range(out, range);
        Width width;
        cards::put_range(width, range);
        for (; width.characters < 11; ++width.characters) out.put(' ');
        out.put(device.source == cards::Source::assigned ? "assigned   " : "boot only  ");
        switch (cards::coverage(range, *open_windows)) {
            case cards::Coverage::inside: out.put("inside the driver's windows"); break;
            case cards::Coverage::partly: out.put("partly inside the driver's windows"); break;
            case cards::Coverage::outside: out.put("outside the driver's windows"); break;
            case cards::Coverage::beyond: out.put("above FFFF: no window can open it"); break;
        }
        out.put("\r\n");
    }
    return device.source == cards::Source::boot;
}

}  // namespace
}  // namespace setup

int cards_command(Words words) {
    std::string_view word;
    if (words.next(word))
        return usage_error("cards takes nothing after it: '", word, "'", "usage: teldo cards\r\n");
    std::span<const cards::Device> devices;
    if (!setup::read_devices(devices)) return exit_failed;
    std::size_t shown = 0;
    bool boot_only = false;
    for (const cards::Device& device : devices) {
        if (!cards::listed(device)) continue;
        if (shown++ == 0) setup::tell_driver_windows();
        boot_only = setup::tell_device(device) || boot_only;
    }
    if (shown == 0) out.put("No present device has I/O ports from Windows (buses and bridges left out).\r\n");
    if (boot_only)
        out.put("\r\nboot only: Windows assigned the device no ports; it keeps those the firmware set at boot.\r\n");
    return exit_done;
}

}  // namespace teldo::console

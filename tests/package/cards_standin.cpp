// A stand-in for SETUPAPI and CFGMGR32, for teldo.exe's `cards` under Wine,
// whose configuration manager has no devices with resources (and whose
// CM_Get_First_Log_Conf ends the process). One DLL, copied over a test
// prefix's system32\setupapi.dll and cfgmgr32.dll (cards_checks.sh), with
// exactly the calls teldo.exe makes, each checked as the platform's
// reference documents it, over a fixed set of devices. It keeps count of the
// handles it gives out; any left open when the process ends is said on
// standard error. TELDO_CARDS_STANDIN=none presents no device; =fail answers
// CM_Get_First_Log_Conf with CR_CALL_NOT_IMPLEMENTED, as Windows 8 and later
// answer a 32-bit program under WOW64; =moved gives the parallel card's
// second range at D800 (a card that moved since an install). Never shipped.
#define _SETUPAPI_
#define _CFGMGR32_
#include <windows.h>

#include <cfgmgr32.h>
#include <setupapi.h>

#define EXPORT extern "C" __declspec(dllexport)

namespace {

struct Resource {
    RESOURCEID type;  // ResType_IO or ResType_Mem
    ULONGLONG first, last;
};
struct Configuration {
    int count;
    Resource resources[3];
};
struct Device {
    const wchar_t* instance_id;
    const wchar_t* friendly_name;  // null: none
    const wchar_t* description;
    const wchar_t* service;         // null: none
    const wchar_t* hardware_ids;    // REG_MULTI_SZ
    const wchar_t* compatible_ids;  // REG_MULTI_SZ
    const wchar_t* device_class;
    bool started;
    Configuration assigned, boot;  // count 0: none
};

const Device devices[] = {
    // A PCI parallel card with two I/O ranges, and a friendly name beside its description.
    {L"PCI\\VEN_1415&DEV_C110&SUBSYS_C1101415&REV_00\\4&2F6A1B3&0&00E0", L"PCI Parallel Port (LPT3)",
     L"PCI ECP Parallel Port", nullptr,
     L"PCI\\VEN_1415&DEV_C110&SUBSYS_C1101415&REV_00\0PCI\\VEN_1415&DEV_C110\0",
     L"PCI\\VEN_1415&CC_070101\0PCI\\CC_0701\0", L"Ports", false,
     {2, {{ResType_IO, 0xD000, 0xD007}, {ResType_IO, 0xD400, 0xD403}}}, {}},
    // A card with only a boot configuration: no driver, never started.
    {L"PCI\\VEN_13FE&DEV_1680&SUBSYS_168013FE&REV_00\\4&1F2E3D&0&30E0", nullptr, L"PCI Device", nullptr,
     L"PCI\\VEN_13FE&DEV_1680&SUBSYS_168013FE&REV_00\0PCI\\VEN_13FE&DEV_1680\0", L"PCI\\CC_0780\0", L"Unknown", false,
     {}, {2, {{ResType_Mem, 0xFEB00000, 0xFEB00FFF}, {ResType_IO, 0xE400, 0xE41F}}}},
    // Two devices with one hardware ID.
    {L"PCI\\VEN_1415&DEV_9501&SUBSYS_00011415&REV_00\\4&1C3D2E&0&10E0", nullptr, L"PCI Serial Port", nullptr,
     L"PCI\\VEN_1415&DEV_9501&SUBSYS_00011415&REV_00\0", L"PCI\\CC_0700\0", L"Ports", false,
     {1, {{ResType_IO, 0xC000, 0xC007}}}, {}},
    {L"PCI\\VEN_1415&DEV_9501&SUBSYS_00011415&REV_00\\4&1C3D2E&0&18E0", nullptr, L"PCI Serial Port", nullptr,
     L"PCI\\VEN_1415&DEV_9501&SUBSYS_00011415&REV_00\0", L"PCI\\CC_0700\0", L"Ports", false,
     {1, {{ResType_IO, 0xC100, 0xC107}}}, {}},
    // A device with memory ranges only.
    {L"PCI\\VEN_10EE&DEV_7021&SUBSYS_000710EE&REV_00\\4&2A1B0C&0&38E0", nullptr, L"Memory card", nullptr,
     L"PCI\\VEN_10EE&DEV_7021&SUBSYS_000710EE&REV_00\0", L"PCI\\CC_0580\0", L"System", false,
     {2, {{ResType_Mem, 0xFE000000, 0xFE0FFFFF}, {ResType_Mem, 0xFE100000, 0xFE10FFFF}}}, {}},
    // A device whose driver is started.
    {L"PCI\\VEN_1415&DEV_C158&SUBSYS_C1581415&REV_00\\4&3B2A10&0&20E0", L"Communications Port (COM3)",
     L"PCI Serial Port", L"Serial", L"PCI\\VEN_1415&DEV_C158&SUBSYS_C1581415&REV_00\0", L"PCI\\CC_0700\0", L"Ports",
     true, {1, {{ResType_IO, 0xB000, 0xB007}}}, {}},
    // A disk controller.
    {L"PCI\\VEN_8086&DEV_7010&SUBSYS_00000000&REV_00\\3&13C0B0C5&0&09", nullptr,
     L"Standard Dual Channel PCI IDE Controller", L"pciide", L"PCI\\VEN_8086&DEV_7010&SUBSYS_00000000&REV_00\0",
     L"PCI\\CC_0101\0", L"HDC", true,
     {3, {{ResType_IO, 0xF000, 0xF00F}, {ResType_IO, 0x01F0, 0x01F7}, {ResType_IO, 0x03F6, 0x03F6}}}, {}},
    // The PCI root bus, whose ranges are those it forwards.
    {L"ACPI\\PNP0A08\\0", nullptr, L"PCI Express Root Complex", L"pci", L"ACPI\\PNP0A08\0*PNP0A08\0",
     L"ACPI\\PNP0A03\0*PNP0A03\0", L"System", true,
     {2, {{ResType_IO, 0x0000, 0x0CF7}, {ResType_IO, 0x0D00, 0xFFFF}}}, {}},
};

// Set from TELDO_CARDS_STANDIN as the DLL loads.
bool no_devices = false, failing = false, moved = false;
// Handles given out and not yet freed.
LONG open_lists = 0, open_configurations = 0, open_descriptors = 0;
int list_marker;

DWORD device_count() { return no_devices ? 0 : sizeof devices / sizeof devices[0]; }

// The device of a DEVINST (its index + 1), or null.
const Device* device_of(DEVINST devinst) {
    return devinst >= 1 && devinst <= device_count() ? &devices[devinst - 1] : nullptr;
}

DWORD length(const wchar_t* text) {
    DWORD units = 0;
    while (text[units]) ++units;
    return units;
}
// A REG_MULTI_SZ's units, its final NUL counted.
DWORD multi_length(const wchar_t* list) {
    DWORD units = 0;
    while (list[units]) units += length(list + units) + 1;
    return units + 1;
}

// Handles: a logical configuration is 0x4C000000 | device << 8 | its kind
// (ALLOC_LOG_CONF or BOOT_LOG_CONF); a resource descriptor is 0x52000000 |
// device << 8 | kind << 4 | its index.
constexpr ULONG_PTR configuration_tag = 0x4C000000, descriptor_tag = 0x52000000, tag_mask = 0xFF000000;

const Configuration* configuration_of(ULONG_PTR handle, ULONG_PTR tag, int& device, int& index) {
    if ((handle & tag_mask) != tag) return nullptr;
    device = static_cast<int>((handle >> 8) & 0xFF);
    const ULONG kind = tag == configuration_tag ? handle & 0xFF : (handle >> 4) & 0xF;
    index = tag == configuration_tag ? -1 : static_cast<int>(handle & 0xF);
    const Device* owner = device_of(device + 1);
    if (!owner) return nullptr;
    const Configuration* configuration =
        kind == ALLOC_LOG_CONF ? &owner->assigned : kind == BOOT_LOG_CONF ? &owner->boot : nullptr;
    return configuration && configuration->count > 0 && index < configuration->count ? configuration : nullptr;
}

void say(const char* text) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(lstrlenA(text)), &written, nullptr);
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        wchar_t setting[8] = {};
        GetEnvironmentVariableW(L"TELDO_CARDS_STANDIN", setting, 8);
        no_devices = lstrcmpW(setting, L"none") == 0;
        failing = lstrcmpW(setting, L"fail") == 0;
        moved = lstrcmpW(setting, L"moved") == 0;
    } else if (reason == DLL_PROCESS_DETACH) {
        if (open_lists != 0) say("cards stand-in: a device information list was not destroyed\r\n");
        if (open_configurations != 0) say("cards stand-in: a logical configuration's handle was not freed\r\n");
        if (open_descriptors != 0) say("cards stand-in: a resource descriptor's handle was not freed\r\n");
    }
    return TRUE;
}

// ------------------------------------------------------------------ SETUPAPI

EXPORT HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID* class_guid, PCWSTR enumerator, HWND parent, DWORD flags) {
    if (class_guid || enumerator || parent || flags != (DIGCF_PRESENT | DIGCF_ALLCLASSES)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    InterlockedIncrement(&open_lists);
    return &list_marker;
}

EXPORT BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO list) {
    if (list != &list_marker || open_lists == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    InterlockedDecrement(&open_lists);
    return TRUE;
}

EXPORT BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO list, DWORD index, PSP_DEVINFO_DATA data) {
    if (list != &list_marker || open_lists == 0) return SetLastError(ERROR_INVALID_HANDLE), FALSE;
    if (!data || data->cbSize != sizeof(SP_DEVINFO_DATA)) return SetLastError(ERROR_INVALID_USER_BUFFER), FALSE;
    if (index >= device_count()) return SetLastError(ERROR_NO_MORE_ITEMS), FALSE;
    data->ClassGuid = GUID{};
    data->DevInst = index + 1;
    data->Reserved = 0;
    return TRUE;
}

// The device of a list and its data, or null with the error set.
const Device* checked_device(HDEVINFO list, PSP_DEVINFO_DATA data) {
    if (list != &list_marker || open_lists == 0) return SetLastError(ERROR_INVALID_HANDLE), nullptr;
    if (!data || data->cbSize != sizeof(SP_DEVINFO_DATA)) return SetLastError(ERROR_INVALID_PARAMETER), nullptr;
    const Device* device = device_of(data->DevInst);
    if (!device) SetLastError(ERROR_NO_SUCH_DEVINST);
    return device;
}

// Copies `units` of `text` into the caller's buffer of `room` units.
BOOL give(const wchar_t* text, DWORD units, wchar_t* buffer, DWORD room) {
    if (units > room || !buffer) return SetLastError(ERROR_INSUFFICIENT_BUFFER), FALSE;
    for (DWORD i = 0; i < units; ++i) buffer[i] = text[i];
    return TRUE;
}

EXPORT BOOL WINAPI SetupDiGetDeviceInstanceIdW(HDEVINFO list, PSP_DEVINFO_DATA data, PWSTR buffer, DWORD size,
                                               PDWORD required) {
    const Device* device = checked_device(list, data);
    if (!device) return FALSE;
    const DWORD units = length(device->instance_id) + 1;
    if (required) *required = units;
    return give(device->instance_id, units, buffer, size);
}

EXPORT BOOL WINAPI SetupDiGetDeviceRegistryPropertyW(HDEVINFO list, PSP_DEVINFO_DATA data, DWORD property,
                                                     PDWORD type, PBYTE buffer, DWORD size, PDWORD required) {
    const Device* device = checked_device(list, data);
    if (!device) return FALSE;
    const wchar_t* text = nullptr;
    bool multi = false;
    switch (property) {
        case SPDRP_FRIENDLYNAME: text = device->friendly_name; break;
        case SPDRP_DEVICEDESC: text = device->description; break;
        case SPDRP_SERVICE: text = device->service; break;
        case SPDRP_CLASS: text = device->device_class; break;
        case SPDRP_HARDWAREID: text = device->hardware_ids, multi = true; break;
        case SPDRP_COMPATIBLEIDS: text = device->compatible_ids, multi = true; break;
        default: return SetLastError(ERROR_INVALID_REG_PROPERTY), FALSE;
    }
    if (!text) return SetLastError(ERROR_INVALID_DATA), FALSE;
    const DWORD units = multi ? multi_length(text) : length(text) + 1;
    if (type) *type = multi ? REG_MULTI_SZ : REG_SZ;
    if (required) *required = units * sizeof(wchar_t);
    return give(text, units, reinterpret_cast<wchar_t*>(buffer), size / sizeof(wchar_t));
}

// ------------------------------------------------------------------ CFGMGR32

EXPORT CONFIGRET WINAPI CM_Get_DevNode_Status(PULONG status, PULONG problem, DEVINST devinst, ULONG flags) {
    if (!status || !problem) return CR_INVALID_POINTER;
    if (flags != 0) return CR_INVALID_FLAG;
    const Device* device = device_of(devinst);
    if (!device) return CR_INVALID_DEVNODE;
    *status = device->started ? DN_DRIVER_LOADED | DN_STARTED : 0;
    *problem = 0;
    return CR_SUCCESS;
}

EXPORT CONFIGRET WINAPI CM_Get_First_Log_Conf(PLOG_CONF configuration, DEVINST devinst, ULONG flags) {
    const Device* device = device_of(devinst);
    if (!device) return CR_INVALID_DEVNODE;
    if (flags != ALLOC_LOG_CONF && flags != BOOT_LOG_CONF) return CR_INVALID_FLAG;
    if (failing) return CR_CALL_NOT_IMPLEMENTED;
    const Configuration& wanted = flags == ALLOC_LOG_CONF ? device->assigned : device->boot;
    if (wanted.count == 0) return CR_NO_MORE_LOG_CONF;
    if (configuration) {
        *configuration = configuration_tag | (devinst - 1) << 8 | flags;
        InterlockedIncrement(&open_configurations);
    }
    return CR_SUCCESS;
}

EXPORT CONFIGRET WINAPI CM_Free_Log_Conf_Handle(LOG_CONF handle) {
    int device = 0, index = 0;
    if (!configuration_of(handle, configuration_tag, device, index) || open_configurations == 0)
        return CR_INVALID_LOG_CONF;
    InterlockedDecrement(&open_configurations);
    return CR_SUCCESS;
}

EXPORT CONFIGRET WINAPI CM_Get_Next_Res_Des(PRES_DES next, RES_DES current, RESOURCEID type, PRESOURCEID found,
                                            ULONG flags) {
    if (!next) return CR_INVALID_POINTER;
    if (flags != 0) return CR_INVALID_FLAG;
    if (type != ResType_All && found) return CR_INVALID_POINTER;
    int device = 0, index = 0;
    const bool from_configuration = (current & tag_mask) == configuration_tag;
    const Configuration* configuration =
        configuration_of(current, from_configuration ? configuration_tag : descriptor_tag, device, index);
    if (!configuration) return from_configuration ? CR_INVALID_LOG_CONF : CR_INVALID_RES_DES;
    const ULONG kind = from_configuration ? current & 0xFF : (current >> 4) & 0xF;
    for (int i = index + 1; i < configuration->count; ++i) {
        if (type != ResType_All && configuration->resources[i].type != type) continue;
        if (found) *found = configuration->resources[i].type;
        *next = descriptor_tag | static_cast<ULONG_PTR>(device) << 8 | kind << 4 | static_cast<ULONG_PTR>(i);
        InterlockedIncrement(&open_descriptors);
        return CR_SUCCESS;
    }
    return CR_NO_MORE_RES_DES;
}

EXPORT CONFIGRET WINAPI CM_Free_Res_Des_Handle(RES_DES handle) {
    int device = 0, index = 0;
    if (!configuration_of(handle, descriptor_tag, device, index) || open_descriptors == 0) return CR_INVALID_RES_DES;
    InterlockedDecrement(&open_descriptors);
    return CR_SUCCESS;
}

EXPORT CONFIGRET WINAPI CM_Get_Res_Des_Data_Size(PULONG size, RES_DES handle, ULONG flags) {
    if (!size) return CR_INVALID_POINTER;
    if (flags != 0) return CR_INVALID_FLAG;
    int device = 0, index = 0;
    const Configuration* configuration = configuration_of(handle, descriptor_tag, device, index);
    if (!configuration) return CR_INVALID_RES_DES;
    *size = configuration->resources[index].type == ResType_IO ? sizeof(IO_DES) : sizeof(MEM_DES);
    return CR_SUCCESS;
}

EXPORT CONFIGRET WINAPI CM_Get_Res_Des_Data(RES_DES handle, PVOID buffer, ULONG size, ULONG flags) {
    if (!buffer) return CR_INVALID_POINTER;
    if (flags != 0) return CR_INVALID_FLAG;
    int device = 0, index = 0;
    const Configuration* configuration = configuration_of(handle, descriptor_tag, device, index);
    if (!configuration) return CR_INVALID_RES_DES;
    const Resource& resource = configuration->resources[index];
    if (resource.type == ResType_IO) {
        if (size < sizeof(IO_DES)) return CR_BUFFER_SMALL;
        IO_DES& io = *static_cast<IO_DES*>(buffer);
        io = {0, IOType_Range, resource.first, resource.last, fIOD_IO | fIOD_16_BIT_DECODE};
        if (moved && device == 0 && index == 1) io.IOD_Alloc_Base = 0xD800, io.IOD_Alloc_End = 0xD803;
    } else {
        if (size < sizeof(MEM_DES)) return CR_BUFFER_SMALL;
        MEM_DES& memory = *static_cast<MEM_DES*>(buffer);
        memory = {0, MType_Range, resource.first, resource.last, fMD_RAM | fMD_32, 0};
    }
    return CR_SUCCESS;
}

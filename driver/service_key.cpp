// The service key, read with the plain registry calls of every Windows from
// 2000 on. The values are untrusted input: type and length are checked here,
// and the data lands in fixed static storage.
#include "service_key.h"

namespace teldo::settings {
namespace {

// Room for 16 windows of the longest form ("0300-031F" and its NUL), the
// list's final NUL, and as many units again: a longer value is refused
// without being read.
constexpr ULONG ports_capacity = 2 * (windows::max_windows * 10 + 1);
union PortsValue {
    KEY_VALUE_PARTIAL_INFORMATION info;
    UCHAR room[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + ports_capacity * sizeof(char16_t)];
};
constinit PortsValue ports_value{};

constinit HANDLE status_key = nullptr;
constinit char16_t mode_text[32 + windows::max_windows * 10 + 32] = {};

NTSTATUS open_key(PUNICODE_STRING name, HANDLE root, ACCESS_MASK access, HANDLE& key) {
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root,
                               nullptr);
    key = nullptr;
    const NTSTATUS status = ZwOpenKey(&key, access, &attributes);
    if (!NT_SUCCESS(status)) key = nullptr;
    return status;
}

// A REG_DWORD of exactly 1; anything else, or nothing, counts as off.
bool dword_is_one(HANDLE key, const wchar_t* value_name) {
    union {
        KEY_VALUE_PARTIAL_INFORMATION info;
        UCHAR room[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)];
    } value;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, value_name);
    ULONG length = 0;
    const NTSTATUS status =
        ZwQueryValueKey(key, &name, KeyValuePartialInformation, &value, sizeof value, &length);
    return NT_SUCCESS(status) && value.info.Type == REG_DWORD &&
           value.info.DataLength == sizeof(ULONG) &&
           *reinterpret_cast<const ULONG*>(value.info.Data) == 1;
}

// Ports: absent leaves the simulated bus; anything else must be a list.
NTSTATUS read_ports(HANDLE key, Settings& settings, windows::PortWindows& windows) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"Ports");
    ULONG length = 0;
    const NTSTATUS status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, &ports_value,
                                            sizeof ports_value, &length);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) return STATUS_SUCCESS;
    settings.real_ports = true;  // set: from here on it is real ports or no start
    if (!NT_SUCCESS(status)) return STATUS_INVALID_PARAMETER;  // too long, or unreadable
    const auto& info = ports_value.info;
    if (info.Type != REG_MULTI_SZ || info.DataLength > ports_capacity * sizeof(char16_t))
        return STATUS_INVALID_PARAMETER;
    const auto refusal = windows.parse(reinterpret_cast<const char16_t*>(info.Data),
                                       info.DataLength / sizeof(char16_t), info.DataLength % 2 != 0);
    if (refusal == windows::Refusal::reserved) return STATUS_CONFLICTING_ADDRESSES;
    return refusal == windows::Refusal::none ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

// The service key's subkey Status, made volatile so that nothing in it
// survives a restart of Windows, even one that never unloaded the driver.
// A Status key that is already there (volatile or not: the registry does
// not say) is deleted and made again, since an existing key keeps the
// options it was made with. Null when that fails.
HANDLE create_volatile_status(HANDLE service) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"Status");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, service, nullptr);
    for (int attempt = 0; attempt < 2; ++attempt) {
        HANDLE key = nullptr;
        ULONG disposition = 0;
        if (!NT_SUCCESS(ZwCreateKey(&key, KEY_SET_VALUE | DELETE, &attributes, 0, nullptr, REG_OPTION_VOLATILE,
                                    &disposition)))
            return nullptr;
        if (disposition == REG_CREATED_NEW_KEY) return key;
        ZwDeleteKey(key);
        ZwClose(key);
    }
    return nullptr;  // it could not be deleted
}

class Text {
public:
    void add(const char* text) {
        while (*text) put(static_cast<char16_t>(*text++));
    }
    void add_port(std::uint16_t port) {
        for (int shift = 12; shift >= 0; shift -= 4) put(u"0123456789ABCDEF"[(port >> shift) & 0xF]);
    }
    ULONG bytes() const { return (length_ + 1) * sizeof(char16_t); }  // with the NUL

private:
    void put(char16_t c) {
        if (length_ + 1 < sizeof mode_text / sizeof mode_text[0]) mode_text[length_++] = c;
        mode_text[length_] = 0;
    }
    ULONG length_ = 0;
};

}  // namespace

NTSTATUS read(PUNICODE_STRING registry_path, Settings& settings, windows::PortWindows& windows) {
    settings = {};
    HANDLE service = nullptr;
    NTSTATUS status = open_key(registry_path, nullptr, KEY_READ, service);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) return STATUS_SUCCESS;
    if (!NT_SUCCESS(status)) return status;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"Parameters");
    HANDLE parameters = nullptr;
    status = open_key(&name, service, KEY_QUERY_VALUE, parameters);
    ZwClose(service);
    // No Parameters key: nothing configured, the simulated bus.
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) return STATUS_SUCCESS;
    if (!NT_SUCCESS(status)) return status;
    settings.diagnostics = dword_is_one(parameters, L"Diagnostics");
    settings.users_may_open = dword_is_one(parameters, L"UsersMayOpen");
    status = read_ports(parameters, settings, windows);
    ZwClose(parameters);
    return status;
}

void publish_mode(PUNICODE_STRING registry_path, const Settings& settings,
                  const windows::PortWindows& windows) {
    Text text;
    if (!settings.real_ports) {
        text.add("simulated bus");
    } else {
        text.add("real ports");
        for (std::size_t i = 0; i < windows.size(); ++i) {
            text.add(" ");
            text.add_port(windows[i].first);
            if (windows[i].last != windows[i].first) {
                text.add("-");
                text.add_port(windows[i].last);
            }
        }
        text.add(settings.users_may_open ? ", opened by Administrators and Users"
                                         : ", opened by Administrators only");
    }
    HANDLE service = nullptr;
    if (!NT_SUCCESS(open_key(registry_path, nullptr, KEY_CREATE_SUB_KEY, service))) return;
    HANDLE key = create_volatile_status(service);
    ZwClose(service);
    if (key == nullptr) return;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"Mode");
    ZwSetValueKey(key, &name, 0, REG_SZ, mode_text, text.bytes());
    if (settings.diagnostics) {
        ULONG on = 1;
        RtlInitUnicodeString(&name, L"Diagnostics");
        ZwSetValueKey(key, &name, 0, REG_DWORD, &on, sizeof on);
    }
    status_key = key;
}

void withdraw_mode() {
    if (status_key == nullptr) return;
    ZwDeleteKey(status_key);
    ZwClose(status_key);
    status_key = nullptr;
}

}  // namespace teldo::settings

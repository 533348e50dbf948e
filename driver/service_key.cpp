// The service key, read with the plain registry calls of every Windows from
// 2000 on. The values are untrusted input: type and length are checked here,
// and the data lands in fixed static storage.
#include "service_key.h"

namespace teldo::settings {
namespace {

// Room for 16 windows of the longest form ("0300-031F" and its NUL), the
// list's final NUL, and as many units again: a longer value is refused
// without being read. One buffer serves both lists, read one after the
// other.
constexpr ULONG ports_capacity = 2 * (windows::max_windows * 10 + 1);
union PortsValue {
    KEY_VALUE_PARTIAL_INFORMATION info;
    UCHAR room[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + ports_capacity * sizeof(char16_t)];
};
constinit PortsValue ports_value{};

constinit HANDLE status_key = nullptr;
constinit char16_t mode_text[32 + windows::max_windows * 10 + 32] = {};
constinit char16_t claim_text[48 + windows::max_windows * 10] = {};

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

// A list of windows (Ports, then CardPorts, which joins it): absent adds
// nothing; anything else must be a list, and sets real ports.
NTSTATUS read_windows(HANDLE key, const wchar_t* value_name, bool first, Settings& settings,
                      windows::PortWindows& windows) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, value_name);
    ULONG length = 0;
    const NTSTATUS status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, &ports_value,
                                            sizeof ports_value, &length);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) return STATUS_SUCCESS;
    settings.real_ports = true;  // set: from here on it is real ports or no start
    if (!NT_SUCCESS(status)) return STATUS_INVALID_PARAMETER;  // too long, or unreadable
    const auto& info = ports_value.info;
    if (info.Type != REG_MULTI_SZ || info.DataLength > ports_capacity * sizeof(char16_t))
        return STATUS_INVALID_PARAMETER;
    const auto* units = reinterpret_cast<const char16_t*>(info.Data);
    const std::size_t count = info.DataLength / sizeof(char16_t);
    const bool odd = info.DataLength % 2 != 0;
    const auto refusal = first ? windows.parse(units, count, odd) : windows.parse_more(units, count, odd);
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
    explicit Text(char16_t* text, ULONG capacity) : text_(text), capacity_(capacity) { text_[0] = 0; }
    void add(const char* text) {
        while (*text) put(static_cast<char16_t>(*text++));
    }
    void add_port(std::uint16_t port) {
        for (int shift = 12; shift >= 0; shift -= 4) put(u"0123456789ABCDEF"[(port >> shift) & 0xF]);
    }
    // " 0300-031F", or " 0378" for a single port.
    void add_window(windows::PortRange range) {
        add(" ");
        add_port(range.first);
        if (range.last != range.first) {
            add("-");
            add_port(range.last);
        }
    }
    const char16_t* text() const { return text_; }
    ULONG bytes() const { return (length_ + 1) * sizeof(char16_t); }  // with the NUL

private:
    void put(char16_t c) {
        if (length_ + 1 < capacity_) text_[length_++] = c;
        text_[length_] = 0;
    }
    char16_t* text_;
    ULONG capacity_;
    ULONG length_ = 0;
};

// What the Status key's Claim value says of the claim.
void describe(const claim::Result& claim, const Settings& settings, const windows::PortWindows& windows,
              Text& text) {
    using claim::Outcome;
    switch (claim.outcome) {
        case Outcome::claimed:
            text.add("claimed");
            for (std::size_t i = 0; i < settings.plain_windows; ++i) text.add_window(windows[i]);
            break;
        case Outcome::nothing_to_claim: text.add("nothing to claim: every window is a card's, which holds it"); break;
        case Outcome::not_implemented: text.add("not claimed: this Windows cannot claim ports"); break;
        case Outcome::conflict:
            text.add("refused:");
            text.add_window(claim.window);
            text.add(" overlaps ports that a device holds");
            break;
        case Outcome::failed: text.add("refused: the claim failed"); break;
    }
}

void set_text(HANDLE key, const wchar_t* value_name, const Text& text, ULONG bytes) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, value_name);
    ZwSetValueKey(key, &name, 0, REG_SZ, const_cast<char16_t*>(text.text()), bytes);
}

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
    status = read_windows(parameters, L"Ports", true, settings, windows);
    settings.plain_windows = windows.size();
    if (NT_SUCCESS(status)) status = read_windows(parameters, L"CardPorts", windows.size() == 0, settings, windows);
    ZwClose(parameters);
    return status;
}

void publish_mode(PUNICODE_STRING registry_path, const Settings& settings, const windows::PortWindows& windows,
                  const claim::Result& claim) {
    const bool running = !claim.stops_start();
    Text text(mode_text, sizeof mode_text / sizeof mode_text[0]);
    if (!settings.real_ports) {
        text.add("simulated bus");
    } else {
        text.add("real ports");
        for (std::size_t i = 0; i < windows.size(); ++i) text.add_window(windows[i]);
        text.add(settings.users_may_open ? ", opened by Administrators and Users"
                                         : ", opened by Administrators only");
    }
    Text claimed(claim_text, sizeof claim_text / sizeof claim_text[0]);
    describe(claim, settings, windows, claimed);
    HANDLE service = nullptr;
    if (!NT_SUCCESS(open_key(registry_path, nullptr, KEY_CREATE_SUB_KEY, service))) return;
    HANDLE key = create_volatile_status(service);
    ZwClose(service);
    if (key == nullptr) return;
    if (running) set_text(key, L"Mode", text, text.bytes());
    if (settings.real_ports) set_text(key, L"Claim", claimed, claimed.bytes());
    if (!running) {  // the key stays, to say why; the next start replaces it
        ZwClose(key);
        return;
    }
    UNICODE_STRING name;
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

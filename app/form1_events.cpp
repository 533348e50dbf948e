// The read, write and exit actions, the window's unload, and the key filter
// of the three entry fields.
#include "form1_events.h"

#include <windows.h>

#include <array>
#include <cstddef>

#include "form1_window.h"
#include "hex_entry.h"
#include "teldo_binding.h"

namespace brenvo::form1 {
namespace {

// The warnings of an action that stops before the library is called, one per
// entry, in the order of Entry. The operator learns which entry and why, and
// carries on with the device still open.
using Warnings = std::array<const wchar_t*, 3>;

// An entry too large for its width.
constexpr Warnings misfit_warnings = {
    L"读卡 地址(Hex) 超出范围：应为 0 到 FFFF。\n"
    L"Read address out of range: it takes 0 to FFFF.",
    L"写卡 地址(Hex) 超出范围：应为 0 到 FFFF。\n"
    L"Write address out of range: it takes 0 to FFFF.",
    L"写卡 数值(Hex) 超出范围：应为 0 到 FF。\n"
    L"Write value out of range: it takes 0 to FF.",
};

// A field whose text could not be fetched (no memory for it): it is not read
// as empty, which would send port 0 or value 0.
constexpr Warnings unreadable_warnings = {
    L"读卡 地址(Hex) 的内容无法读取，未读卡。\n"
    L"The read address could not be read; nothing was read.",
    L"写卡 地址(Hex) 的内容无法读取，未写卡。\n"
    L"The write address could not be read; nothing was written.",
    L"写卡 数值(Hex) 的内容无法读取，未写卡。\n"
    L"The write value could not be read; nothing was written.",
};

static_assert(static_cast<std::size_t>(Entry::write_value) + 1 == Warnings{}.size());

void warn(const Warnings& warnings, Entry entry) {
    MessageBoxW(handle(), warnings[static_cast<std::size_t>(entry)], L"Brenvo",
                MB_OK | MB_ICONWARNING);
}

void report_misfit(Entry entry) { warn(misfit_warnings, entry); }
void report_unreadable(Entry entry) { warn(unreadable_warnings, entry); }

}  // namespace

void command1_click() {
    const FieldText address = text(design::id_text2);
    if (!address.readable()) return report_unreadable(Entry::read_address);
    const Narrowed read = narrow_read(address);
    if (read.misfit) return report_misfit(*read.misfit);
    const std::uint8_t value = teldo::read(read.port);
    set_caption(design::id_label11, byte_hex(value).text);
}

void command2_click() {
    const FieldText address = text(design::id_text5);
    if (!address.readable()) return report_unreadable(Entry::write_address);
    const FieldText value = text(design::id_text6);
    if (!value.readable()) return report_unreadable(Entry::write_value);
    const Narrowed write = narrow_write(address, value);
    if (write.misfit) return report_misfit(*write.misfit);
    teldo::write(write.port, write.value);
}

void command3_click() {
    teldo::close();
    unload();
}

void text_key_press(design::ControlId, std::int16_t& key_code) {
    if (key_accepted(key_code)) return;
    MessageBeep(0xFFFFFFFF);
    MessageBeep(0xFFFFFFFF);
    key_code = 0;
}

void form_unload() { teldo::close(); }

}  // namespace brenvo::form1

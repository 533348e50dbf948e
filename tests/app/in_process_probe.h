// A probe that runs on Brenvo's user-interface thread, for what a test cannot
// see or do from its own process: the font a control really uses (a font
// handle means nothing across processes), a control drawn into a bitmap, text
// completed through the input method of a field, and the program's own calls
// of MessageBeep (counted) and HeapAlloc (made to fail), replaced in its
// import table. The probe is a message hook in in_process_probe.dll, built
// for the program's architecture; the test and the hook share one record.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace brenvo::test {

enum class ProbeRequest : std::int32_t {
    none, font, draw, compose, count_beeps, fail_heap_alloc, restore_heap_alloc
};

struct ProbeRecord {
    static constexpr int max_side = 256;
    ProbeRequest request;
    std::int32_t control;  // control ID in the main window
    wchar_t text[32];      // compose: what the input method completes
    // Answers.
    std::uint32_t answers;     // requests answered so far
    std::int32_t done;         // count_beeps, fail/restore_heap_alloc: the import was replaced
    std::uint64_t font;        // the control's font handle, as the program sees it
    std::int32_t has_context;  // compose: the field has an input context
    // Counted by the program's MessageBeep once count_beeps has replaced it.
    std::uint32_t beeps;        // every call
    std::uint32_t plain_beeps;  // calls with 0xFFFFFFFF, the plain beep
    std::int32_t width, height;                  // draw: the control's client area
    std::uint32_t pixels[max_side * max_side];  // draw: 0x00RRGGBB, rows top down
};

// The record's name for the Brenvo process with this ID, and the message that
// asks the hook to answer the request in it.
inline std::wstring probe_record_name(DWORD process_id) {
    return L"BrenvoProbeRecord" + std::to_wstring(process_id);
}
constexpr wchar_t probe_message_name[] = L"BrenvoInProcessProbe";

class BrenvoProcess;

// The test's side: installs the hook on the program's thread and asks.
class InProcessProbe {
public:
    explicit InProcessProbe(BrenvoProcess& brenvo);
    ~InProcessProbe();
    InProcessProbe(const InProcessProbe&) = delete;
    InProcessProbe& operator=(const InProcessProbe&) = delete;
    bool ready() const { return record_ && hook_; }

    // The font handle the control answers WM_GETFONT with inside the program.
    std::uint64_t font(int control);
    // The control's client area as drawn (WM_PRINTCLIENT); one row per string
    // of pixels, empty on failure.
    std::vector<std::vector<std::uint32_t>> draw(int control);
    // Gives the field the focus and completes the text through its input
    // method; false when the field has no input context to take it.
    bool compose(int field, const std::wstring& text);

    // Replaces the program's MessageBeep with a counter that beeps no more;
    // then beeps() counts every call and plain_beeps() those of the plain beep.
    bool count_beeps();
    std::uint32_t beeps() const { return ready() ? record_->beeps : 0; }
    std::uint32_t plain_beeps() const { return ready() ? record_->plain_beeps : 0; }
    // Makes the program's own HeapAlloc calls fail (return no block) until
    // restore_heap_alloc().
    bool fail_heap_alloc();
    bool restore_heap_alloc();

private:
    bool ask(ProbeRequest request, int control);

    BrenvoProcess& brenvo_;
    HANDLE mapping_ = nullptr;
    ProbeRecord* record_ = nullptr;
    HMODULE module_ = nullptr;
    HHOOK hook_ = nullptr;
};

}  // namespace brenvo::test

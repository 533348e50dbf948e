// Text pasted into the entry fields of the real Brenvo.exe. Pasting bypasses
// the key filter by design: whatever is pasted (letters, spaces, CJK, line
// breaks, 100,000 characters) stays in the field as pasted, and a press of
// read or write then sends exactly the request the hex reading of the field
// gives, or only warns. Ctrl+V arrives at the key filter as character 22 and
// is refused like every control character: two beeps, nothing pasted.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "brenvo_process.h"
#include "checked_actions.h"
#include "driver_diagnostics.h"
#include "form1_design.h"
#include "report.h"

namespace brenvo::test {
namespace {

using namespace brenvo::design;

constexpr int fields[] = {id_text2, id_text5, id_text6};

bool put_on_clipboard(const std::wstring& text) {
    if (!OpenClipboard(nullptr)) return false;
    EmptyClipboard();
    const SIZE_T bytes = (text.size() + 1) * sizeof(wchar_t);
    const HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes);
    bool placed = false;
    if (memory) {
        std::memcpy(GlobalLock(memory), text.c_str(), bytes);
        GlobalUnlock(memory);
        placed = SetClipboardData(CF_UNICODETEXT, memory) != nullptr;
        if (!placed) GlobalFree(memory);
    }
    CloseClipboard();
    return placed;
}

class BrenvoPaste : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(diagnostics.reset());
        ASSERT_TRUE(brenvo.start());
        ASSERT_NE(brenvo.wait_for_window(), nullptr);
        ASSERT_TRUE(brenvo.count_beeps());
    }

    teldo::test::DriverDiagnostics diagnostics;
    BrenvoProcess brenvo;
    CheckedActions actions{brenvo, diagnostics};
};

std::wstring random_text(std::size_t length) {
    std::mt19937 random(20240611);
    std::uniform_int_distribution<unsigned> unit(1, 0xFFFF);
    std::wstring text;
    while (text.size() < length) {
        const auto c = static_cast<wchar_t>(unit(random));
        if (c != L'\r' && c != L'\n') text += c;
    }
    return text;
}

struct PasteCase {
    const char* name;
    std::wstring text;
};

// Through the field's context menu (whose Paste sends WM_PASTE): the text
// lands unfiltered and only its hex reading reaches the driver.
TEST_F(BrenvoPaste, AnyPastedTextLeadsOnlyToItsHexReadingOrAWarning) {
    const PasteCase cases[] = {
        {"hex", L"3f8"},
        {"hex and words", L"3F8 is COM1"},
        {"leading space", L" 3f8"},
        {"letters", L"xyz"},
        {"C prefix", L"0x3f8"},
        {"Basic prefix", L"&H3f8"},
        {"minus", L"-1"},
        {"CJK and full-width digits", L"读卡\x3000\xFF13\xFF46\xFF18"},
        {"controls", L"\t\x01\x1B" L"ff"},
        {"too large", L"10000"},
        {"100,000 f", std::wstring(100000, L'f')},
        {"10,000 with leading zeros", std::wstring(9997, L'0') + L"3f8"},
        {"100,000 starting with hex", L"3f8" + std::wstring(99997, L'z')},
        {"100,000 random code units", random_text(100000)},
    };
    for (const PasteCase& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(put_on_clipboard(c.text));
        for (int field : fields) {
            brenvo.set_text(field, L"");
            PostMessageW(brenvo.control(field), WM_PASTE, 0, 0);
        }
        ASSERT_TRUE(brenvo.sync());
        for (int field : fields) EXPECT_TRUE(brenvo.text(field) == c.text) << "field " << field;
        actions.press(id_command1);
        actions.press(id_command2);
    }
    EXPECT_EQ(brenvo.beeps(), 0u);
    EXPECT_EQ(actions.requests() + actions.warnings(), 2 * std::size(cases));
    teldo::test::report_row(
        "5-paste", "Text pasted into the three entry fields",
        std::to_string(std::size(cases)) + " texts (letters, spaces, CJK, controls, up to 100,000 "
            "characters), then read and write",
        HasFailure() ? "**FAILED**"
                     : "pasted unfiltered; " + std::to_string(actions.requests()) +
                           " requests, each the hex reading of the fields; " +
                           std::to_string(actions.warnings()) + " out-of-range entries only warned");
}

// A line break ends what a single-line field takes from the clipboard.
TEST_F(BrenvoPaste, TakesTheFirstLineOfAPastedText) {
    ASSERT_TRUE(put_on_clipboard(L"3f8\r\n55"));
    PostMessageW(brenvo.control(id_text2), WM_PASTE, 0, 0);
    ASSERT_TRUE(brenvo.sync());
    EXPECT_EQ(brenvo.text(id_text2), L"3f8");
    EXPECT_EQ(actions.press(id_command1), CheckedActions::Outcome::request);
}

// Keyboard routes, as the operator gives them with the focus in Text5.
TEST_F(BrenvoPaste, CtrlVIsRefusedByTheKeyFilterAndShiftInsertPastes) {
    ASSERT_TRUE(put_on_clipboard(L"3f8"));
    ASSERT_TRUE(brenvo.bring_to_front());
    ASSERT_TRUE(brenvo.wait_for_focus(brenvo.control(id_text5)));

    brenvo.send_keys({{VK_CONTROL, true}, {'V', true}, {'V', false}, {VK_CONTROL, false}});
    EXPECT_TRUE(brenvo.wait_until([&] { return brenvo.beeps() >= 2; })) << "Ctrl+V was not refused";
    ASSERT_TRUE(brenvo.sync());
    EXPECT_EQ(brenvo.text(id_text5), L"");
    EXPECT_EQ(brenvo.beeps(), 2u);

    brenvo.send_keys({{VK_SHIFT, true}, {VK_INSERT, true}, {VK_INSERT, false}, {VK_SHIFT, false}});
    EXPECT_TRUE(brenvo.wait_until([&] { return brenvo.text(id_text5) == L"3f8"; }))
        << "Shift+Insert did not paste";
    ASSERT_TRUE(brenvo.sync());
    EXPECT_EQ(brenvo.beeps(), 2u);
}

}  // namespace
}  // namespace brenvo::test

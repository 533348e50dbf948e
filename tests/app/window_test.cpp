// The real Brenvo.exe window under the port driver: layout at 96 dpi,
// captions, start state, keyboard navigation and the key filter.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "brenvo_process.h"
#include "driver_diagnostics.h"
#include "form1_design.h"
#include "in_process_probe.h"

namespace brenvo::test {
namespace {

using namespace brenvo::design;

class BrenvoWindow : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(diagnostics.reset());
        ASSERT_TRUE(brenvo.start());
        ASSERT_NE(brenvo.wait_for_window(), nullptr) << "Brenvo's window did not appear";
        ASSERT_TRUE(brenvo.count_beeps());
    }

    // No port request reached the device and the program still holds it.
    void expect_device_untouched() {
        const auto snapshot = diagnostics.snapshot();
        EXPECT_EQ(snapshot.opens, 1u);
        EXPECT_EQ(snapshot.requests, 0u);
        EXPECT_EQ(snapshot.held, 1u);
        EXPECT_EQ(snapshot.closes, 0u);
    }

    teldo::test::DriverDiagnostics diagnostics;
    BrenvoProcess brenvo;
};

RECT client_rect_of(HWND control, HWND form) {
    RECT rect;
    GetWindowRect(control, &rect);
    MapWindowPoints(nullptr, form, reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

struct Expected {
    int id;
    int frame;  // 0 when placed on the window itself
    const wchar_t* window_class;
    const wchar_t* caption;
    int left, top, width, height;  // pixels at 96 dpi, from the container
};

const Expected layout[] = {
    {id_command3, 0, L"Button", L"退      出", 384, 248, 25, 65},
    {id_frame2, 0, L"Button", L"写卡", 24, 32, 177, 177},
    {id_command2, id_frame2, L"Button", L"写", 56, 144, 49, 25},
    {id_text6, id_frame2, L"Edit", L"", 96, 72, 49, 25},
    {id_text5, id_frame2, L"Edit", L"", 96, 32, 49, 25},
    {id_label6, id_frame2, L"Static", L"数值(Hex)", 32, 80, 57, 17},
    {id_label5, id_frame2, L"Static", L"地址(Hex)", 32, 40, 57, 17},
    {id_frame1, 0, L"Button", L"读卡", 232, 32, 177, 177},
    {id_command1, id_frame1, L"Button", L"读", 56, 144, 49, 25},
    {id_text2, id_frame1, L"Edit", L"", 96, 24, 49, 27},
    {id_label11, id_frame1, L"Static", L"", 96, 64, 49, 27},
    {id_label3, id_frame1, L"Static", L"数值(Hex)", 32, 72, 57, 17},
    {id_label2, id_frame1, L"Static", L"地址(Hex)", 32, 32, 57, 17},
    {id_label7, 0, L"Static", L"", 24, 8, 289, 17},
};

void expect_controls_in_place(const BrenvoProcess& brenvo) {
    const HWND form = brenvo.form();
    for (const Expected& e : layout) {
        SCOPED_TRACE(testing::Message() << "control " << e.id);
        const HWND control = brenvo.control(e.id);
        ASSERT_NE(control, nullptr);
        RECT rect = client_rect_of(control, form);
        if (e.frame) {
            const RECT frame = client_rect_of(brenvo.control(e.frame), form);
            OffsetRect(&rect, -frame.left, -frame.top);
        }
        EXPECT_EQ(rect.left, e.left);
        EXPECT_EQ(rect.top, e.top);
        EXPECT_EQ(rect.right - rect.left, e.width);
        EXPECT_EQ(rect.bottom - rect.top, e.height);
    }
}

TEST_F(BrenvoWindow, ControlsStandAtTheirDesignPixelsAndCarryTheirCaptions) {
    expect_controls_in_place(brenvo);
    RECT client;
    GetClientRect(brenvo.form(), &client);
    EXPECT_EQ(client.right, 431);
    EXPECT_EQ(client.bottom, 341);
    EXPECT_EQ(GetWindow(brenvo.form(), GW_OWNER), nullptr) << "the window has an owner";
    wchar_t title[32] = {};
    GetWindowTextW(brenvo.form(), title, 32);
    EXPECT_STREQ(title, L"Brenvo");
    for (const Expected& e : layout) {
        SCOPED_TRACE(testing::Message() << "control " << e.id);
        wchar_t cls[32] = {};
        GetClassNameW(brenvo.control(e.id), cls, 32);
        EXPECT_EQ(_wcsicmp(cls, e.window_class), 0) << "class";
        EXPECT_EQ(brenvo.text(e.id), e.caption);  // fields and labels start empty
    }
}

TEST_F(BrenvoWindow, ChangingTheWindowSizeMovesNoControl) {
    RECT frame;
    GetWindowRect(brenvo.form(), &frame);
    SetWindowPos(brenvo.form(), nullptr, 0, 0, frame.right - frame.left + 120,
                 frame.bottom - frame.top + 90, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    ASSERT_TRUE(brenvo.sync());
    expect_controls_in_place(brenvo);
}

TEST_F(BrenvoWindow, HasNoDefaultButtonNoCancelButtonAndNoAccessKeys) {
    EXPECT_EQ(GetDlgItem(brenvo.form(), IDOK), nullptr);
    EXPECT_EQ(GetDlgItem(brenvo.form(), IDCANCEL), nullptr);
    for (const Expected& e : layout) {
        SCOPED_TRACE(testing::Message() << "control " << e.id);
        const HWND control = brenvo.control(e.id);
        const LONG style = GetWindowLongW(control, GWL_STYLE);
        EXPECT_EQ(brenvo.text(e.id).find(L'&'), std::wstring::npos);
        if (std::wstring(e.window_class) == L"Button" && (style & BS_TYPEMASK) != BS_GROUPBOX) {
            EXPECT_NE(style & WS_TABSTOP, 0);
            EXPECT_EQ(style & BS_TYPEMASK, BS_PUSHBUTTON) << "a default button";
        }
    }
}

// Runs of rows with dark pixels inside a control's drawing, away from its
// border: the lines of its caption.
int ink_lines(const std::vector<std::vector<std::uint32_t>>& rows, std::size_t border) {
    const auto dark = [](std::uint32_t rgb) {
        return (rgb & 0xFF) + (rgb >> 8 & 0xFF) + (rgb >> 16 & 0xFF) < 3 * 96;
    };
    int lines = 0;
    bool in_line = false;
    for (std::size_t y = border; y + border < rows.size(); ++y) {
        bool ink = false;
        for (std::size_t x = border; x + border < rows[y].size(); ++x) ink = ink || dark(rows[y][x]);
        lines += ink && !in_line;
        in_line = ink;
    }
    return lines;
}

TEST_F(BrenvoWindow, ExitButtonShowsItsTwoCharactersOneAboveTheOther) {
    InProcessProbe& probe = brenvo.probe();
    ASSERT_TRUE(probe.ready());
    const auto drawing = probe.draw(id_command3);
    ASSERT_EQ(drawing.size(), 65u) << "no drawing of the exit button";
    EXPECT_EQ(ink_lines(drawing, 3), 2) << "退 and 出 are not on two lines";
}

TEST_F(BrenvoWindow, ResultFieldIsSetOffAndEntryFieldsHaveNoLengthLimit) {
    const HWND label = brenvo.control(id_label11);
    const LONG style = GetWindowLongW(label, GWL_STYLE);
    const LONG ex_style = GetWindowLongW(label, GWL_EXSTYLE);
    EXPECT_TRUE((style & (WS_BORDER | SS_SUNKEN)) || (ex_style & (WS_EX_CLIENTEDGE | WS_EX_STATICEDGE)));
    for (int id : {id_text2, id_text5, id_text6}) {
        DWORD_PTR limit = 0;
        send_message(brenvo.control(id), EM_GETLIMITTEXT, 0, 0, limit);
        EXPECT_GE(limit, 0x7FFFFFFEu) << "field " << id;
    }
}

const int tab_cycle[] = {id_text5, id_text6, id_text2, id_command2, id_command1, id_command3};

TEST_F(BrenvoWindow, FocusStartsInText5AndTabCyclesTheFieldsAndButtonsBothWays) {
    EXPECT_EQ(brenvo.focus(), brenvo.control(id_text5));
    const int n = static_cast<int>(std::size(tab_cycle));
    for (int i = 0; i < n; ++i) {
        const HWND here = brenvo.control(tab_cycle[i]);
        EXPECT_EQ(GetNextDlgTabItem(brenvo.form(), here, FALSE), brenvo.control(tab_cycle[(i + 1) % n]))
            << "after control " << tab_cycle[i];
        EXPECT_EQ(GetNextDlgTabItem(brenvo.form(), here, TRUE), brenvo.control(tab_cycle[(i + n - 1) % n]))
            << "before control " << tab_cycle[i];
    }
    // Real Tab presses through the program's message loop, twice round.
    for (int i = 1; i <= 2 * n; ++i) {
        brenvo.press_key(GetDlgCtrlID(brenvo.focus()), VK_TAB);
        ASSERT_TRUE(brenvo.sync());
        EXPECT_EQ(brenvo.focus(), brenvo.control(tab_cycle[i % n])) << "after Tab " << i;
    }
    // Shift+Tab from the keyboard, twice round the other way.
    ASSERT_TRUE(brenvo.bring_to_front());
    for (int i = 1; i <= 2 * n; ++i) {
        const HWND expected = brenvo.control(tab_cycle[(2 * n - i) % n]);
        brenvo.send_keys({{VK_SHIFT, true}, {VK_TAB, true}, {VK_TAB, false}, {VK_SHIFT, false}});
        EXPECT_TRUE(brenvo.wait_for_focus(expected)) << "after Shift+Tab " << i;
    }
    EXPECT_EQ(brenvo.beeps(), 0u);
    expect_device_untouched();
}

TEST_F(BrenvoWindow, AcceptedKeysAreInsertedAsTypedInEveryField) {
    for (int id : {id_text5, id_text6, id_text2}) {
        brenvo.type(id, L"./09:;<=>?@AFaf");
        brenvo.type(id, std::wstring(L"xx\b", 1) + L"\b");  // "x" refused; backspace deletes "f"
        ASSERT_TRUE(brenvo.sync());
        EXPECT_EQ(brenvo.text(id), L"./09:;<=>?@AFa") << "field " << id;
    }
    EXPECT_EQ(brenvo.beeps(), 3 * 2u);
    expect_device_untouched();
}

TEST_F(BrenvoWindow, RefusedKeysBeepTwicePlainlyAndLeaveTheTextAlone) {
    // Just outside each accepted block, letters past F, space, control
    // characters (Enter, Esc, Ctrl+A/C/V/X/Z, tab) and characters beyond ASCII.
    const wchar_t refused[] = {L'-', L'G', L'`', L'g', L'z', L'Z', L' ', L',', L'~',  13,   27,
                               1,    3,    22,   24,   26,   9,    10,   0,    127,   0xA0,
                               0x4E00, 0xFF10, 0xD800};
    for (int id : {id_text5, id_text6, id_text2}) {
        brenvo.set_text(id, L"3f8");
        for (wchar_t key : refused) {
            const auto before = brenvo.beeps();
            brenvo.type(id, std::wstring(1, key));
            ASSERT_TRUE(brenvo.sync());
            EXPECT_EQ(brenvo.beeps() - before, 2u) << "field " << id << " key " << int(key);
            EXPECT_EQ(brenvo.text(id), L"3f8") << "field " << id << " key " << int(key);
        }
    }
    EXPECT_EQ(brenvo.plain_beeps(), brenvo.beeps());
    expect_device_untouched();
}

// Characters that come by other messages than WM_CHAR meet the same filter,
// once each: a character beyond the Basic Multilingual Plane (two UTF-16
// units, or one UTF-32 code) beeps twice, not four times.
TEST_F(BrenvoWindow, EveryRouteOfATypedCharacterMeetsTheKeyFilterOnce) {
    constexpr UINT wm_unichar = 0x0109;  // declared by the headers for XP and later only
    struct Route {
        UINT message;
        std::vector<WPARAM> codes;
        const wchar_t* inserted;  // nothing when refused, with two beeps
    };
    const Route routes[] = {
        {WM_IME_CHAR, {L'G'}, L""},
        {WM_IME_CHAR, {L'a'}, L"a"},
        {wm_unichar, {L'G'}, L""},
        {wm_unichar, {L'5'}, L"5"},
        {wm_unichar, {0x1F600}, L""},
        {wm_unichar, {0x10041}, L""},  // its low 16 bits are "A"
        {WM_CHAR, {0xD83D, 0xDE00}, L""},
        {WM_IME_CHAR, {0xD83D, 0xDE00}, L""},
    };
    for (int id : {id_text5, id_text6, id_text2}) {
        for (const Route& route : routes) {
            SCOPED_TRACE(testing::Message() << "field " << id << " message 0x" << std::hex
                                            << route.message << " code 0x" << route.codes[0]);
            brenvo.set_text(id, L"3f8");
            const auto before = brenvo.beeps();
            for (WPARAM code : route.codes) PostMessageW(brenvo.control(id), route.message, code, 1);
            ASSERT_TRUE(brenvo.sync());
            // Setting a field's text leaves its caret at the start.
            EXPECT_EQ(brenvo.text(id), route.inserted + std::wstring(L"3f8"));
            EXPECT_EQ(brenvo.beeps() - before, *route.inserted ? 0u : 2u);
        }
    }
    EXPECT_EQ(brenvo.plain_beeps(), brenvo.beeps());
    expect_device_untouched();
}

// The fields take hexadecimal only and stand outside the input method, so
// that text it completes cannot land in them without passing the key filter.
TEST_F(BrenvoWindow, TheInputMethodPutsNothingIntoAField) {
    InProcessProbe& probe = brenvo.probe();
    ASSERT_TRUE(probe.ready());
    for (int id : {id_text5, id_text6, id_text2}) {
        brenvo.set_text(id, L"3f8");
        EXPECT_FALSE(probe.compose(id, L"G3")) << "field " << id << " has an input context";
        ASSERT_TRUE(brenvo.sync());
        EXPECT_EQ(brenvo.text(id), L"3f8") << "field " << id;
    }
    EXPECT_EQ(brenvo.beeps(), 0u);
    expect_device_untouched();
}

TEST_F(BrenvoWindow, EnterAndEscInAFieldPressNoButtonAndReachTheKeyFilter) {
    brenvo.type(id_text5, L"378");
    brenvo.type(id_text6, L"55");
    brenvo.type(id_text2, L"378");
    for (int id : {id_text5, id_text6, id_text2}) {
        for (UINT key : {VK_RETURN, VK_ESCAPE}) {
            const auto before = brenvo.beeps();
            brenvo.press_key(id, key);
            ASSERT_TRUE(brenvo.sync());
            EXPECT_EQ(brenvo.beeps() - before, 2u) << "field " << id << " key " << key;
        }
    }
    EXPECT_TRUE(brenvo.is_running());
    EXPECT_EQ(brenvo.current_message_box().window, nullptr);
    EXPECT_EQ(brenvo.text(id_label11), L"");
    EXPECT_EQ(brenvo.text(id_text5), L"378");
    expect_device_untouched();
}

TEST_F(BrenvoWindow, AltWithALetterActivatesNothing) {
    brenvo.type(id_text5, L"378");
    brenvo.type(id_text6, L"55");
    for (wchar_t letter = L'a'; letter <= L'z'; ++letter) brenvo.press_alt(id_text5, letter);
    ASSERT_TRUE(brenvo.sync());
    EXPECT_TRUE(brenvo.is_running());
    EXPECT_EQ(brenvo.focus(), brenvo.control(id_text5));
    EXPECT_EQ(brenvo.beeps(), 0u);
    EXPECT_EQ(brenvo.text(id_text5), L"378");
    expect_device_untouched();
}

TEST_F(BrenvoWindow, ImportsNoRuntimeDllAndBindsTeldoOnlyAtRunTime) {
    // System DLLs only: no C runtime (msvcrt.dll) and no TELDO.dll.
    const std::vector<std::string> system = {"KERNEL32.dll", "USER32.dll", "GDI32.dll",
                                             "IMM32.dll", "COMCTL32.dll"};
    const std::vector<std::string> imported = brenvo.imported_dlls();
    const auto imports = [&](const char* name) {
        for (const std::string& dll : imported)
            if (_stricmp(dll.c_str(), name) == 0) return true;
        return false;
    };
    // A window program without these has an import table that was not read.
    EXPECT_TRUE(imports("KERNEL32.dll"));
    EXPECT_TRUE(imports("USER32.dll"));
    for (const std::string& dll : imported) {
        bool known = false;
        for (const std::string& s : system) known |= _stricmp(s.c_str(), dll.c_str()) == 0;
        EXPECT_TRUE(known) << dll;
    }
}

}  // namespace
}  // namespace brenvo::test

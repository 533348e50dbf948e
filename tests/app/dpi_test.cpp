// The real Brenvo.exe at 96, 120 and 144 dpi (Wine's LogPixels setting, read
// by every new process): every control stands at its design twips scaled to
// pixels, controls overlap only where one contains the other, the window lies
// on the screen, and every caption fits its control in the window's font.
// LogPixels goes back to 96 afterwards, whatever happens (CTest also runs
// app_dpi_restore after this test).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "brenvo_process.h"
#include "driver_diagnostics.h"
#include "form1_design.h"
#include "in_process_probe.h"
#include "report.h"

namespace brenvo::test {
namespace {

using namespace brenvo::design;

// Sets LogPixels for the processes started while it lives, then back to 96.
class LogPixels {
public:
    explicit LogPixels(DWORD dpi) { set(dpi); }
    ~LogPixels() { set(96); }
    LogPixels(const LogPixels&) = delete;
    LogPixels& operator=(const LogPixels&) = delete;
    static bool set(DWORD dpi) {
        return RegSetKeyValueW(HKEY_CURRENT_USER, L"Control Panel\\Desktop", L"LogPixels",
                               REG_DWORD, &dpi, sizeof dpi) == ERROR_SUCCESS;
    }
};

RECT rect_in_form(HWND control, HWND form) {
    RECT rect;
    GetWindowRect(control, &rect);
    MapWindowPoints(nullptr, form, reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

bool contains(const RECT& outer, const RECT& inner) {
    return inner.left >= outer.left && inner.top >= outer.top && inner.right <= outer.right &&
           inner.bottom <= outer.bottom;
}

LRESULT send(HWND window, UINT message, WPARAM wparam = 0, LPARAM lparam = 0) {
    DWORD_PTR result = 0;
    send_message(window, message, wparam, lparam, result);
    return static_cast<LRESULT>(result);
}

// Measures text in the window's font inside the program itself: Text5 shows
// the text followed by a mark, and the mark's position is the text's width.
class Ruler {
public:
    explicit Ruler(BrenvoProcess& brenvo) : brenvo_(brenvo), field_(brenvo.control(id_text5)) {}
    int width(const std::wstring& text) {
        brenvo_.set_text(id_text5, text + L"|");
        const auto x = [&](std::size_t index) {
            return static_cast<short>(LOWORD(send(field_, EM_POSFROMCHAR, index)));
        };
        const int measured = x(text.size()) - x(0);
        EXPECT_GT(measured, 0) << "no measure of the text";
        brenvo_.set_text(id_text5, L"");
        return measured;
    }
    // The height of a line of text: the single-line field's formatting rectangle.
    int line_height() {
        RECT format{};
        send(field_, EM_GETRECT, 0, reinterpret_cast<LPARAM>(&format));
        return format.bottom - format.top;
    }

private:
    BrenvoProcess& brenvo_;
    HWND field_;
};

// Room a control leaves for its caption, in pixels: the client area less the
// border and focus margins the kind draws inside it.
int margin(Kind kind) {
    switch (kind) {
    case Kind::push_button: return 3;
    case Kind::group_box: return 8;
    default: return 0;
    }
}

void check_window(BrenvoProcess& brenvo, int dpi) {
    const auto px = [dpi](int twips) { return MulDiv(twips, dpi, 1440); };
    const HWND form = brenvo.form();
    RECT client;
    GetClientRect(form, &client);
    EXPECT_EQ(client.right, px(form1.client_width));
    EXPECT_EQ(client.bottom, px(form1.client_height));

    RECT window;
    GetWindowRect(form, &window);
    RECT screen{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    EXPECT_TRUE(contains(screen, window)) << "the window lies partly off the screen: " << window.left
                                          << "," << window.top << " to " << window.right << ","
                                          << window.bottom;

    // Geometry, from each control's container.
    RECT rects[form1_controls.size()];
    for (std::size_t i = 0; i < form1_controls.size(); ++i) {
        const ControlDesign& c = form1_controls[i];
        SCOPED_TRACE(std::string(c.name));
        rects[i] = rect_in_form(brenvo.control(c.id), form);
        RECT from_container = rects[i];
        if (c.container != "Form1") {
            const auto frame = std::find_if(form1_controls.begin(), form1_controls.end(),
                                            [&](const ControlDesign& f) { return f.name == c.container; });
            const RECT frame_rect = rect_in_form(brenvo.control(frame->id), form);
            OffsetRect(&from_container, -frame_rect.left, -frame_rect.top);
            EXPECT_TRUE(contains(frame_rect, rects[i])) << "sticks out of " << c.container;
        }
        EXPECT_EQ(from_container.left, px(c.left));
        EXPECT_EQ(from_container.top, px(c.top));
        EXPECT_EQ(from_container.right - from_container.left, px(c.width));
        EXPECT_EQ(from_container.bottom - from_container.top, px(c.height));
        EXPECT_TRUE(contains(client, rects[i])) << "outside the client area";
    }
    // Overlap only by containment.
    for (std::size_t i = 0; i < form1_controls.size(); ++i)
        for (std::size_t j = i + 1; j < form1_controls.size(); ++j) {
            RECT common;
            if (IntersectRect(&common, &rects[i], &rects[j])) {
                EXPECT_TRUE(contains(rects[i], rects[j]) || contains(rects[j], rects[i]))
                    << form1_controls[i].name << " overlaps " << form1_controls[j].name;
            }
        }

    // Captions, measured in Text5 in the font all controls share. A font
    // handle means something only inside the program, so the probe asks there.
    InProcessProbe& probe = brenvo.probe();
    ASSERT_TRUE(probe.ready());
    const std::uint64_t font = probe.font(id_text5);
    EXPECT_NE(font, 0u) << "Text5 has no font set";
    Ruler ruler(brenvo);
    const int line = ruler.line_height();
    EXPECT_GT(line, 0);
    for (const ControlDesign& c : form1_controls) {
        SCOPED_TRACE(std::string(c.name));
        const HWND control = brenvo.control(c.id);
        EXPECT_EQ(probe.font(c.id), font) << "font";
        RECT inside;
        GetClientRect(control, &inside);
        const int room = inside.right - 2 * margin(c.kind);
        const int height = inside.bottom - 2 * margin(c.kind);
        std::wstring caption(c.caption);
        if (c.kind == Kind::text_field) caption = L"FFFF";  // a port address
        if (c.name == output_label) caption = L"FF";        // the widest result
        if (caption.empty()) continue;
        if (c.id == id_command3) {
            // Wraps by design: one character a line.
            for (wchar_t ch : caption) {
                if (ch != L' ') {
                    EXPECT_LE(ruler.width(std::wstring(1, ch)), room) << int(ch);
                }
            }
            EXPECT_LE(2 * line, height) << "two lines";
            continue;
        }
        EXPECT_LE(ruler.width(caption), room) << "caption too wide";
        EXPECT_LE(line, c.kind == Kind::group_box ? px(c.height) : height) << "caption too high";
    }
}

TEST(BrenvoDpi, LayoutScalesFromTwipsAndCaptionsFitAt96_120And144) {
    std::string failed_at;
    for (int dpi : {96, 120, 144}) {
        SCOPED_TRACE(testing::Message() << dpi << " dpi");
        const bool failed_before = testing::Test::HasFailure();
        [&] {
            LogPixels setting(static_cast<DWORD>(dpi));
            teldo::test::DriverDiagnostics diagnostics;
            ASSERT_TRUE(diagnostics.reset());
            BrenvoProcess brenvo;
            ASSERT_TRUE(brenvo.start());
            ASSERT_NE(brenvo.wait_for_window(), nullptr);
            check_window(brenvo, dpi);
            brenvo.click(id_command3);
            EXPECT_EQ(brenvo.wait_for_exit(), 0u);
        }();
        if (testing::Test::HasFailure() && !failed_before)
            failed_at += (failed_at.empty() ? "" : ", ") + std::to_string(dpi) + " dpi";
    }
    teldo::test::report_row(
        "4-dpi", "Brenvo.exe at 96, 120 and 144 dpi (Wine's LogPixels)", "3 settings, 14 controls each",
        failed_at.empty()
            ? "every control at its twips scaled to pixels, overlaps only by containment, window on "
              "the screen, every caption fits (the exit caption one character a line)"
            : "**FAILED** at " + failed_at);
}

}  // namespace
}  // namespace brenvo::test

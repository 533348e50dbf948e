// The read, write and exit actions of the real Brenvo.exe against the
// port driver, with the driver's record of requests as the witness.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "brenvo_process.h"
#include "driver_diagnostics.h"
#include "form1_design.h"
#include "polling.h"

namespace brenvo::test {
namespace {

using namespace brenvo::design;

// The cases of a suite share one running program, which starting anew for
// every case would take longer than most cases: each case begins with the
// driver reset and the fields and the output empty, as in a program just
// started. A case that ends the program or fails leaves the next one a new one.
class BrenvoActions : public testing::Test {
protected:
    BrenvoActions() : brenvo(program()) {}

    void SetUp() override {
        ASSERT_TRUE(diagnostics.reset());
        if (!brenvo.started()) {
            ASSERT_TRUE(brenvo.start());
            ASSERT_NE(brenvo.wait_for_window(), nullptr) << "Brenvo's window did not appear";
            return;
        }
        for (int id : {id_text2, id_text5, id_text6, id_label11}) brenvo.set_text(id, L"");
        ASSERT_TRUE(brenvo.sync());
    }

    void TearDown() override {
        if (HasFailure() || !brenvo.is_running()) shared_.reset();
    }
    static void TearDownTestSuite() { shared_.reset(); }

    // Types an entry into a field, key by key, replacing its text.
    void enter(int id, const std::wstring& text) {
        brenvo.set_text(id, L"");
        brenvo.type(id, text);
        ASSERT_TRUE(brenvo.sync());
        ASSERT_EQ(brenvo.text(id), text);
    }

    void press(int button) {
        brenvo.click(button);
        ASSERT_TRUE(brenvo.sync());
    }

    // Writes through the window, then reads the same port back through it.
    std::wstring write_then_read(const std::wstring& port, const std::wstring& value) {
        enter(id_text5, port);
        enter(id_text6, value);
        press(id_command2);
        enter(id_text2, port);
        brenvo.set_text(id_label11, L"");
        press(id_command1);
        return brenvo.text(id_label11);
    }

    teldo::test::DriverDiagnostics diagnostics;
    BrenvoProcess& brenvo;

private:
    static BrenvoProcess& program() {
        if (!shared_) shared_ = std::make_unique<BrenvoProcess>();
        return *shared_;
    }
    static inline std::unique_ptr<BrenvoProcess> shared_;
};

struct ReadCase {
    const wchar_t* entry;
    std::uint16_t port;
};

class BrenvoRead : public BrenvoActions, public testing::WithParamInterface<ReadCase> {};

TEST_P(BrenvoRead, ReadsTheEnteredPortOnceAndShowsItsByte) {
    enter(id_text2, GetParam().entry);
    press(id_command1);
    EXPECT_EQ(brenvo.text(id_label11), L"FF");  // every port holds FF after a reset
    const auto recent = diagnostics.recent();
    ASSERT_EQ(recent.size(), 1u);
    teldo::test::expect_port_request(recent[0], {false, GetParam().port});
}

INSTANTIATE_TEST_SUITE_P(Entries, BrenvoRead,
                         testing::Values(ReadCase{L"", 0x0000}, ReadCase{L"3f8", 0x03F8},
                                         ReadCase{L"3F8.5", 0x03F8}, ReadCase{L"FFFF", 0xFFFF},
                                         ReadCase{L"8000", 0x8000}, ReadCase{L"0000ffff", 0xFFFF}));

TEST_F(BrenvoActions, ShowsTheByteReadInUpperCaseHexWithoutLeadingZeros) {
    EXPECT_EQ(write_then_read(L"3f8", L"a"), L"A");
    EXPECT_EQ(write_then_read(L"3f8", L"0"), L"0");
    EXPECT_EQ(write_then_read(L"3f8", L"3f"), L"3F");
    EXPECT_EQ(write_then_read(L"ffff", L"ff"), L"FF");
    EXPECT_EQ(write_then_read(L"8000", L"10"), L"10");
    // The program keeps nothing: the port at 3F8 still holds what was written.
    enter(id_text2, L"3F8");
    press(id_command1);
    EXPECT_EQ(brenvo.text(id_label11), L"3F");
}

TEST_F(BrenvoActions, ShowsZeroWhenTheReadFails) {
    ASSERT_TRUE(diagnostics.inject({1, 0}));
    enter(id_text2, L"3f8");
    press(id_command1);
    EXPECT_EQ(brenvo.text(id_label11), L"0");
    EXPECT_TRUE(brenvo.is_running());
}

struct WriteCase {
    const wchar_t* address;
    const wchar_t* value;
    std::uint16_t port;
    std::uint8_t byte;
};

class BrenvoWrite : public BrenvoActions, public testing::WithParamInterface<WriteCase> {};

TEST_P(BrenvoWrite, WritesTheEnteredByteToTheEnteredPortOnce) {
    enter(id_text5, GetParam().address);
    enter(id_text6, GetParam().value);
    press(id_command2);
    const auto recent = diagnostics.recent();
    ASSERT_EQ(recent.size(), 1u);
    teldo::test::expect_port_request(recent[0], {true, GetParam().port, GetParam().byte});
    // Nothing is shown and the fields keep their text.
    EXPECT_EQ(brenvo.text(id_label11), L"");
    EXPECT_EQ(brenvo.text(id_text5), GetParam().address);
    EXPECT_EQ(brenvo.text(id_text6), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(Entries, BrenvoWrite,
                         testing::Values(WriteCase{L"378", L"55", 0x0378, 0x55},
                                         WriteCase{L"378", L"", 0x0378, 0x00},
                                         WriteCase{L"", L"1", 0x0000, 0x01},
                                         WriteCase{L"378", L"FF", 0x0378, 0xFF},
                                         WriteCase{L"ffff", L"80", 0xFFFF, 0x80},
                                         WriteCase{L"3F8.5", L"a:b", 0x03F8, 0x0A}));

struct MisfitCase {
    const wchar_t* address;  // Text2 for a read, Text5 for a write
    const wchar_t* value;    // nullptr for a read
    const wchar_t* group;    // the group box whose entry is out of range
    const wchar_t* field;    // that entry's caption
    const wchar_t* range;
};

class BrenvoMisfit : public BrenvoActions, public testing::WithParamInterface<MisfitCase> {};

TEST_P(BrenvoMisfit, SendsNothingAndWarnsWhichEntryIsOutOfRange) {
    const MisfitCase& c = GetParam();
    const bool read = c.value == nullptr;
    brenvo.set_text(id_label11, L"7E");  // a previous result
    if (read) {
        enter(id_text2, c.address);
        brenvo.click(id_command1);
    } else {
        enter(id_text5, c.address);
        enter(id_text6, c.value);
        brenvo.click(id_command2);
    }
    const MessageBoxSeen box = brenvo.wait_for_message_box(10000);
    ASSERT_NE(box.window, nullptr) << "no warning";
    EXPECT_EQ(box.caption, L"Brenvo");
    EXPECT_NE(box.text.find(c.group), std::wstring::npos) << box.text;
    EXPECT_NE(box.text.find(c.field), std::wstring::npos) << box.text;
    EXPECT_NE(box.text.find(c.range), std::wstring::npos) << box.text;
    EXPECT_EQ(box.buttons.size(), 1u);
    EXPECT_FALSE(IsWindowEnabled(brenvo.form())) << "the warning is not modal";
    brenvo.dismiss(box);
    ASSERT_TRUE(brenvo.sync());

    EXPECT_EQ(diagnostics.snapshot().requests, 0u);
    EXPECT_EQ(brenvo.text(id_label11), L"7E");
    EXPECT_EQ(brenvo.text(read ? id_text2 : id_text5), c.address);
    if (!read) {
        EXPECT_EQ(brenvo.text(id_text6), c.value);
    }

    // The window stays usable with the device open.
    EXPECT_TRUE(IsWindowEnabled(brenvo.form()));
    EXPECT_EQ(write_then_read(L"2F8", L"5a"), L"5A");
    EXPECT_EQ(diagnostics.snapshot().closes, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Entries, BrenvoMisfit,
    testing::Values(MisfitCase{L"10000", nullptr, L"读卡", L"地址(Hex)", L"0 到 FFFF"},
                    MisfitCase{L"80000000", nullptr, L"读卡", L"地址(Hex)", L"0 到 FFFF"},
                    MisfitCase{L"123456789", nullptr, L"读卡", L"地址(Hex)", L"0 到 FFFF"},
                    MisfitCase{L"FFFF8000", nullptr, L"读卡", L"地址(Hex)", L"0 到 FFFF"},
                    MisfitCase{L"378", L"100", L"写卡", L"数值(Hex)", L"0 到 FF。"},
                    MisfitCase{L"378", L"FFFF", L"写卡", L"数值(Hex)", L"0 到 FF。"},
                    MisfitCase{L"378", L"123456789", L"写卡", L"数值(Hex)", L"0 到 FF。"},
                    MisfitCase{L"10000", L"55", L"写卡", L"地址(Hex)", L"0 到 FFFF"},
                    MisfitCase{L"FFFFFFFF", L"55", L"写卡", L"地址(Hex)", L"0 到 FFFF"},
                    MisfitCase{L"FFFF8378", L"55", L"写卡", L"地址(Hex)", L"0 到 FFFF"},
                    // Both too large: the value is narrowed first.
                    MisfitCase{L"10000", L"100", L"写卡", L"数值(Hex)", L"0 到 FF。"}));

struct UnreadableCase {
    int field;  // the one field with text; the others are empty and need no buffer
    const wchar_t* entry;
    int button;
    const wchar_t* group;  // the group box and caption of the field
    const wchar_t* caption;
};

class BrenvoUnreadable : public BrenvoActions, public testing::WithParamInterface<UnreadableCase> {};

TEST_P(BrenvoUnreadable, AFieldWhoseTextCannotBeFetchedSendsNothingAndSaysSo) {
    const UnreadableCase& c = GetParam();
    enter(c.field, c.entry);
    brenvo.set_text(id_label11, L"7E");
    // No heap block for the field's text.
    ASSERT_TRUE(brenvo.probe().fail_heap_alloc());
    brenvo.click(c.button);
    const MessageBoxSeen box = brenvo.wait_for_message_box(10000);
    ASSERT_TRUE(brenvo.probe().restore_heap_alloc());
    ASSERT_NE(box.window, nullptr) << "no warning";
    EXPECT_NE(box.text.find(std::wstring(c.group) + L" " + c.caption + L" 的内容无法读取"),
              std::wstring::npos)
        << box.text;
    brenvo.dismiss(box);
    ASSERT_TRUE(brenvo.sync());

    EXPECT_EQ(diagnostics.snapshot().requests, 0u);
    EXPECT_EQ(brenvo.text(id_label11), L"7E");
    EXPECT_EQ(brenvo.text(c.field), c.entry);
    EXPECT_EQ(write_then_read(L"2F8", L"5a"), L"5A");
}

INSTANTIATE_TEST_SUITE_P(
    Fields, BrenvoUnreadable,
    testing::Values(UnreadableCase{id_text2, L"10000", id_command1, L"读卡", L"地址(Hex)"},
                    UnreadableCase{id_text5, L"378", id_command2, L"写卡", L"地址(Hex)"},
                    UnreadableCase{id_text6, L"55", id_command2, L"写卡", L"数值(Hex)"}));

enum class CloseRoute { exit_button, close_message, system_close, alt_f4, end_session };

class BrenvoClose : public BrenvoActions, public testing::WithParamInterface<CloseRoute> {};

TEST_P(BrenvoClose, ClosesTheDeviceOnceAndEnds) {
    enter(id_text2, L"3f8");
    press(id_command1);
    switch (GetParam()) {
    case CloseRoute::exit_button:
        brenvo.click(id_command3);
        break;
    case CloseRoute::close_message:
        PostMessageW(brenvo.form(), WM_CLOSE, 0, 0);
        break;
    case CloseRoute::system_close:
        PostMessageW(brenvo.form(), WM_SYSCOMMAND, SC_CLOSE, 0);
        break;
    case CloseRoute::alt_f4:
        ASSERT_TRUE(brenvo.bring_to_front());
        brenvo.send_keys({{VK_MENU, true}, {VK_F4, true}, {VK_F4, false}, {VK_MENU, false}});
        break;
    case CloseRoute::end_session: {
        DWORD_PTR may_end = 0;
        ASSERT_TRUE(send_message(brenvo.form(), WM_QUERYENDSESSION, 0, 0, may_end));
        EXPECT_TRUE(may_end);
        DWORD_PTR ignored;
        send_message(brenvo.form(), WM_ENDSESSION, TRUE, 0, ignored);
        break;
    }
    }
    EXPECT_EQ(brenvo.wait_for_exit(), 0u);
    EXPECT_EQ(brenvo.current_message_box().window, nullptr);
    const auto snapshot = diagnostics.snapshot_after_closes(1);
    EXPECT_EQ(snapshot.opens, 1u);
    EXPECT_EQ(snapshot.closes, 1u);
    EXPECT_EQ(snapshot.held, 0u);
    EXPECT_EQ(snapshot.requests, 1u);  // the read, and nothing from closing
}

INSTANTIATE_TEST_SUITE_P(Routes, BrenvoClose,
                         testing::Values(CloseRoute::exit_button, CloseRoute::close_message,
                                         CloseRoute::system_close, CloseRoute::alt_f4,
                                         CloseRoute::end_session));

// Stops the port driver for the life of the guard and always starts it again.
class DriverStopped {
public:
    DriverStopped() { stopped_ = run_and_wait(L"sc.exe stop TELDO") == 0; }
    ~DriverStopped() {
        run_and_wait(L"sc.exe start TELDO");
        ::teldo::test::poll(10000, running);
    }
    bool stopped() const { return stopped_; }
    static bool running() {
        const HANDLE device = CreateFileA(::teldo::diag::device_path, GENERIC_READ | GENERIC_WRITE, 0,
                                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (device == INVALID_HANDLE_VALUE) return false;
        CloseHandle(device);
        return true;
    }

private:
    bool stopped_ = false;
};

TEST(BrenvoStartUp, WithoutTheDriverShowsCantOpenCardAndNoWindowThenEnds) {
    {
        DriverStopped driver;
        ASSERT_TRUE(driver.stopped());
        ASSERT_FALSE(DriverStopped::running());
        BrenvoProcess brenvo;
        ASSERT_TRUE(brenvo.start());
        const MessageBoxSeen box = brenvo.wait_for_message_box();
        ASSERT_NE(box.window, nullptr);
        EXPECT_EQ(box.text, L"Can't Open card !");
        EXPECT_EQ(box.caption, L"Brenvo");
        EXPECT_EQ(box.buttons.size(), 1u);
        EXPECT_EQ(brenvo.wait_for_window(500), nullptr);
        EXPECT_TRUE(brenvo.is_running()) << "ended before the box was dismissed";
        brenvo.dismiss(box);
        EXPECT_EQ(brenvo.wait_for_exit(), 0u);
    }
    EXPECT_TRUE(DriverStopped::running()) << "the port driver did not start again";
}

}  // namespace
}  // namespace brenvo::test

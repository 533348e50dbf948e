// A seeded random operator at the real Brenvo.exe under the port driver:
// thousands of keystrokes (accepted and refused characters, control
// characters, Enter, Esc, Tab, Alt+letter, backspace, caret keys, long runs of
// digits) and presses of read and write. The program must never crash or
// hang, beep exactly twice per refused character, let no refused character
// into a field, and send exactly the request the field texts give at each
// press (or only warn when an entry is out of range).
// Replay a failure with TELDO_OPERATOR_SEED set to the printed seed;
// TELDO_OPERATOR_EVENTS overrides the number of events.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <iostream>
#include <random>
#include <sstream>
#include <string>

#include "brenvo_process.h"
#include "checked_actions.h"
#include "driver_diagnostics.h"
#include "form1_design.h"
#include "hex_entry.h"
#include "report.h"

namespace brenvo::test {
namespace {

using namespace brenvo::design;

std::uint32_t chosen_seed() {
    if (const char* given = std::getenv("TELDO_OPERATOR_SEED"); given && *given)
        return static_cast<std::uint32_t>(std::strtoul(given, nullptr, 10));
    return std::random_device{}();
}

unsigned event_count() {
    if (const char* given = std::getenv("TELDO_OPERATOR_EVENTS"); given && *given)
        return static_cast<unsigned>(std::strtoul(given, nullptr, 10));
    return 2000;
}

constexpr int fields[] = {id_text5, id_text6, id_text2};
constexpr int tab_cycle[] = {id_text5, id_text6, id_text2, id_command2, id_command1, id_command3};

class RandomOperator {
public:
    RandomOperator(std::uint32_t seed, BrenvoProcess& brenvo, CheckedActions& actions)
        : random_(seed), brenvo_(brenvo), actions_(actions) {}

    // One random event; false once the program has stopped answering.
    bool step() {
        const int field = fields[pick(3)];
        switch (pick(100)) {
        case 0 ... 25: type(field, accepted_character()); break;
        case 26 ... 37: type(field, refused_character()); break;
        case 38 ... 43: type(field, control_character()); break;
        case 44 ... 49: type(field, L'\b'); break;
        case 50 ... 52: key(field, VK_BACK); break;
        case 53 ... 57: key(field, pick(2) ? VK_RETURN : VK_ESCAPE, 2); break;
        case 58 ... 61: key(focused(), VK_TAB); break;
        case 62 ... 65:
            brenvo_.press_alt(field, static_cast<wchar_t>(L'a' + pick(26)));
            log("Alt+letter");
            break;
        case 66 ... 72: {
            constexpr UINT caret_keys[] = {VK_HOME, VK_END, VK_LEFT, VK_RIGHT, VK_DELETE};
            key(field, caret_keys[pick(5)]);
            break;
        }
        case 73 ... 79: run_of_digits(field); break;
        case 80 ... 91:  // select everything, as a triple click does, and delete it
            PostMessageW(brenvo_.control(field), EM_SETSEL, 0, -1);
            type(field, L'\b');
            break;
        default:
            return press(pick(2) ? id_command1 : id_command2);
        }
        return true;
    }

    // Checks what must hold between presses; false once the program is gone.
    bool checkpoint() {
        if (!brenvo_.is_running() || !brenvo_.sync()) {
            ADD_FAILURE() << "the program crashed or hung; last events:\n" << recent_events();
            return false;
        }
        EXPECT_EQ(brenvo_.beeps(), expected_beeps_) << recent_events();
        EXPECT_EQ(brenvo_.plain_beeps(), brenvo_.beeps());
        for (int field : fields) {
            const std::wstring text = brenvo_.text(field);
            longest_ = std::max(longest_, text.size());
            EXPECT_TRUE(std::all_of(text.begin(), text.end(),
                                    [](wchar_t c) { return c != 8 && key_accepted(c); }))
                << "a refused character got into field " << field << "; last events:\n"
                << recent_events();
        }
        const HWND focus = brenvo_.focus();
        EXPECT_TRUE(std::any_of(std::begin(tab_cycle), std::end(tab_cycle),
                                [&](int id) { return brenvo_.control(id) == focus; }))
            << "the focus left the controls; last events:\n" << recent_events();
        return !testing::Test::HasFatalFailure();
    }

    std::size_t keystrokes() const { return keystrokes_; }
    std::size_t longest_field() const { return longest_; }

private:
    unsigned pick(unsigned n) { return std::uniform_int_distribution<unsigned>(0, n - 1)(random_); }

    wchar_t accepted_character() {
        static constexpr wchar_t set[] = L"./0123456789:;<=>?@ABCDEFabcdef";
        return set[pick(std::size(set) - 1)];
    }
    wchar_t refused_character() {
        static constexpr wchar_t set[] = L" -,`~!\"#$%&'()*+[]\\^_{|}GHZghz\x7F\xA0\x4E00\xFF10\xD800\xFFFF";
        return set[pick(std::size(set) - 1)];
    }
    wchar_t control_character() {
        const wchar_t c = static_cast<wchar_t>(pick(32));
        return c == 8 ? 0 : c;  // backspace has events of its own
    }

    void type(int field, wchar_t c) {
        brenvo_.type(field, std::wstring(1, c));
        ++keystrokes_;
        if (!key_accepted(static_cast<std::int16_t>(c))) expected_beeps_ += 2;
        log("char " + std::to_string(static_cast<int>(c)) + " to " + std::to_string(field));
    }

    void key(int control, UINT virtual_key, unsigned beeps = 0) {
        brenvo_.press_key(control, virtual_key);
        ++keystrokes_;
        if (std::find(std::begin(fields), std::end(fields), control) != std::end(fields))
            expected_beeps_ += beeps;
        log("key " + std::to_string(virtual_key) + " to " + std::to_string(control));
    }

    // The focus once every event so far has been handled, so that a seed
    // always draws the same events.
    int focused() {
        brenvo_.sync();
        const int id = GetDlgCtrlID(brenvo_.focus());
        return id ? id : id_text5;
    }

    // Fields of any length: mostly a few characters, sometimes long runs,
    // most of them leading zeros before a few more characters.
    void run_of_digits(int field) {
        const unsigned length = pick(12) ? 2 + pick(12) : 100 + pick(1500);
        std::wstring run;
        if (pick(4)) run.assign(length, L'0');
        while (run.size() < length + 4) run += accepted_character();
        brenvo_.type(field, run);
        keystrokes_ += run.size();
        log("run of " + std::to_string(run.size()) + " to " + std::to_string(field));
    }

    bool press(int button) {
        log(button == id_command1 ? "press read" : "press write");
        if (!checkpoint()) return false;
        return actions_.press(button) != CheckedActions::Outcome::fault;
    }

    void log(std::string event) {
        events_.push_back(std::move(event));
        if (events_.size() > 24) events_.pop_front();
    }
    std::string recent_events() const {
        std::ostringstream out;
        for (const std::string& event : events_) out << "  " << event << "\n";
        return out.str();
    }

    std::mt19937 random_;
    BrenvoProcess& brenvo_;
    CheckedActions& actions_;
    std::uint32_t expected_beeps_ = 0;
    std::size_t keystrokes_ = 0;
    std::size_t longest_ = 0;
    std::deque<std::string> events_;
};

TEST(BrenvoRandomOperator, NeverCrashesOrHangsAndSendsOnlyWhatTheFieldsSay) {
    const std::uint32_t seed = chosen_seed();
    const unsigned events = event_count();
    std::cout << "TELDO_OPERATOR_SEED=" << seed << std::endl;
    SCOPED_TRACE("TELDO_OPERATOR_SEED=" + std::to_string(seed));

    teldo::test::DriverDiagnostics diagnostics;
    ASSERT_TRUE(diagnostics.reset());
    BrenvoProcess brenvo;
    ASSERT_TRUE(brenvo.start());
    ASSERT_NE(brenvo.wait_for_window(), nullptr);
    ASSERT_TRUE(brenvo.count_beeps());
    CheckedActions actions(brenvo, diagnostics);
    RandomOperator operator_(seed, brenvo, actions);

    unsigned done = 0;
    const ULONGLONG start = GetTickCount64();
    while (done < events && operator_.step() && !testing::Test::HasFailure()) ++done;
    if (operator_.checkpoint()) {
        // Leaves through the exit button: the device closes once, the program ends.
        brenvo.click(id_command3);
        EXPECT_EQ(brenvo.wait_for_exit(), 0u);
        EXPECT_EQ(diagnostics.snapshot_after_closes(1).closes, 1u);
    }
    const double seconds = (GetTickCount64() - start) / 1000.0;
    std::cout << done << " events, " << operator_.keystrokes() << " keystrokes, "
              << actions.requests() << " requests, " << actions.warnings() << " warnings, longest field "
              << operator_.longest_field() << " characters, " << seconds << " s" << std::endl;
    EXPECT_EQ(done, events);

    teldo::test::report_row(
        "3-random-operator", "Random operator at Brenvo.exe (seed " + std::to_string(seed) + ")",
        std::to_string(done) + " events (" + std::to_string(operator_.keystrokes()) +
            " keystrokes, fields up to " + std::to_string(operator_.longest_field()) +
            " characters), " + std::to_string(actions.requests()) + " requests, " +
            std::to_string(actions.warnings()) + " warnings",
        testing::Test::HasFailure()
            ? "**FAILED**"
            : "no crash or hang; every request the one the fields gave; out-of-range entries only "
              "warned; two beeps per refused key and no refused key in a field");
}

// Closing while an out-of-range warning is still up must close the device
// once and end the program, not leave it waiting in the warning's loop.
enum class CloseRoute { close_message, end_session };

class BrenvoCloseDuringWarning : public testing::TestWithParam<CloseRoute> {};

TEST_P(BrenvoCloseDuringWarning, ClosesTheDeviceOnceAndEnds) {
    teldo::test::DriverDiagnostics diagnostics;
    ASSERT_TRUE(diagnostics.reset());
    BrenvoProcess brenvo;
    ASSERT_TRUE(brenvo.start());
    ASSERT_NE(brenvo.wait_for_window(), nullptr);
    brenvo.type(id_text2, L"10000");
    brenvo.click(id_command1);
    ASSERT_NE(brenvo.wait_for_message_box(10000).window, nullptr);
    if (GetParam() == CloseRoute::close_message) {
        PostMessageW(brenvo.form(), WM_CLOSE, 0, 0);
    } else {
        DWORD_PTR result = 0;
        send_message(brenvo.form(), WM_QUERYENDSESSION, 0, 0, result);
        send_message(brenvo.form(), WM_ENDSESSION, TRUE, 0, result);
    }
    EXPECT_EQ(brenvo.wait_for_exit(10000), 0u);
    const auto snapshot = diagnostics.snapshot_after_closes(1);
    EXPECT_EQ(snapshot.closes, 1u);
    EXPECT_EQ(snapshot.held, 0u);
    EXPECT_EQ(snapshot.requests, 0u);
}

INSTANTIATE_TEST_SUITE_P(Routes, BrenvoCloseDuringWarning,
                         testing::Values(CloseRoute::close_message, CloseRoute::end_session));

}  // namespace
}  // namespace brenvo::test

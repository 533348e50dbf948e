// The one device under competition between processes: simultaneous opens,
// a waiting opener, and a holder that dies without closing.
#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <string>

#include "child_process.h"
#include "driver_diagnostics.h"
#include "polling.h"
#include "report.h"
#include "teldo.h"

namespace {

using namespace teldo::test;

class LibraryRaces : public ::testing::Test {
protected:
    void SetUp() override {
        TELDO_Close();
        ASSERT_TRUE(diagnostics_.reset());
    }
    void TearDown() override { TELDO_Close(); }

    // Waits until the driver has the device held (or free).
    bool wait_until_held(bool held) {
        return poll(10000, [&] { return (diagnostics_.snapshot().held != 0) == held; });
    }

    DriverDiagnostics diagnostics_;
};

// What teldo_probe prints at its turns.
const std::regex ready("ready\n");
const std::regex tried("read=[0-9A-F]{2}\n");
const std::regex refused("refused\n");

TEST_F(LibraryRaces, OfTwoSimultaneousOpenersExactlyOneGetsTheDevice) {
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(diagnostics_.reset());
        const std::string event_name = "teldo-race-" + std::to_string(GetCurrentProcessId()) +
                                       "-" + std::to_string(round);
        HANDLE go = CreateEventA(nullptr, TRUE, FALSE, event_name.c_str());
        ASSERT_NE(go, nullptr);
        // Both wait for the one event, set once both are waiting, so that
        // their opens meet; each keeps what it opened until its input ends,
        // so that neither can come after the other has closed.
        ChildProcess first("teldo_probe.exe race " + event_name + " 500 11");
        ChildProcess second("teldo_probe.exe race " + event_name + " 500 22");
        ASSERT_TRUE(first.started() && second.started());
        const bool both_ready = first.wait_for_output(ready) && second.wait_for_output(ready);
        SetEvent(go);
        CloseHandle(go);
        ASSERT_TRUE(both_ready) << first.output() << second.output();
        ASSERT_TRUE(first.wait_for_output(tried) && second.wait_for_output(tried))
            << first.output() << second.output();
        first.close_input();
        second.close_input();
        const ChildResult results[] = {first.finish(), second.finish()};

        int winners = 0;
        for (const ChildResult& result : results) {
            ASSERT_TRUE(result.finished) << result.output;
            if (result.output.find("write=1 read=") != std::string::npos) ++winners;
            else EXPECT_NE(result.output.find("write=0 read=00"), std::string::npos) << result.output;
        }
        EXPECT_EQ(winners, 1) << results[0].output << results[1].output;
        const auto snapshot = diagnostics_.snapshot_after_closes(1);
        EXPECT_EQ(snapshot.opens, 1u);
        EXPECT_EQ(snapshot.refused_opens, 1u);
        EXPECT_EQ(snapshot.closes, 1u);
        EXPECT_EQ(snapshot.held, 0u);
    }
}

TEST_F(LibraryRaces, AWaitingOpenerGetsTheDeviceOnceTheHolderCloses) {
    ASSERT_EQ(TELDO_Open(), 1);
    ASSERT_TRUE(wait_until_held(true));
    ChildProcess waiting("teldo_probe.exe retry 600 66 30000");
    ASSERT_TRUE(waiting.started());
    // The waiter has been turned away once before the device is let go.
    ASSERT_TRUE(waiting.wait_for_output(refused)) << waiting.output();
    const auto while_held = diagnostics_.snapshot();
    EXPECT_EQ(while_held.opens, 1u) << "the waiting opener got in while held";
    EXPECT_GE(while_held.refused_opens, 1u);
    ASSERT_NE(TELDO_Close(), 0);

    const ChildResult result = waiting.finish();
    ASSERT_TRUE(result.finished) << result.output;
    std::smatch match;
    ASSERT_TRUE(std::regex_search(result.output, match,
                                  std::regex("^refused\nattempts=(\\d+) read=66 close=1\n$")))
        << result.output;
    EXPECT_GT(std::stoi(match[1]), 1);
}

TEST_F(LibraryRaces, AHolderThatDiesWithoutClosingReleasesTheDevice) {
    // It keeps the device until its input ends, which it never sees.
    ChildProcess holder("teldo_probe.exe hold");
    ASSERT_TRUE(holder.started());
    ASSERT_TRUE(wait_until_held(true)) << holder.output();
    EXPECT_EQ(TELDO_Open(), 1);  // Wine hands out a handle the driver refused
    EXPECT_EQ(TELDO_WR(0x0700, 0x77), 0);
    TELDO_Close();

    holder.kill();
    ASSERT_TRUE(wait_until_held(false)) << "the dead holder's handle kept the device";
    ASSERT_EQ(TELDO_Open(), 1);
    EXPECT_EQ(TELDO_WR(0x0700, 0x77), 1);
    EXPECT_EQ(TELDO_RD(0x0700), 0x77);
}

// One report row for the whole suite, written once every test has run,
// whatever their order: "held" only when every one of them ran and passed.
class RacesReport : public ::testing::Environment {
public:
    void TearDown() override {
        const auto* unit = ::testing::UnitTest::GetInstance();
        int total = 0, ran = 0, failed = 0;
        for (int i = 0; i < unit->total_test_suite_count(); ++i) {
            const auto* suite = unit->GetTestSuite(i);
            if (std::string(suite->name()) != "LibraryRaces") continue;
            total = suite->total_test_count();
            for (int j = 0; j < total; ++j) {
                const auto* test = suite->GetTestInfo(j);
                if (!test->should_run() || test->result()->Skipped()) continue;
                ++ran;
                failed += test->result()->Failed();
            }
        }
        if (ran == 0) return;  // nothing was tried: no row
        const bool held = failed == 0 && ran == total;
        report_row("2b-open-races", "Opening and closing races between processes",
                   "3 rounds of two simultaneous openers; a waiting opener; a holder killed "
                   "while holding",
                   held ? "exactly one opener got the device each round; the waiter got it once "
                          "freed; the dead holder's device was released"
                        : failed ? "**FAILED**" : "**NOT ALL RUN**");
    }
};

const auto* const races_report = ::testing::AddGlobalTestEnvironment(new RacesReport);

}  // namespace

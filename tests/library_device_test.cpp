// TELDO.dll end to end against the port driver: what it reads and
// writes, what reaches the driver, and how the one device is shared; and
// TELDOX.dll's words, dwords and blocks on the simulated bus.
#include <gtest/gtest.h>

#include <array>
#include <regex>
#include <cstdint>
#include <vector>

#include "child_process.h"
#include "driver_diagnostics.h"
#include "polling.h"
#include "port_program.h"
#include "teldo.h"
#include "teldox.h"

namespace {

using teldo::diag::RecordedRequest;
using teldo::test::DriverDiagnostics;
using teldo::test::run_child;

class LibraryDevice : public ::testing::Test {
protected:
    void SetUp() override {
        TELDO_Close();  // whatever an earlier test left open
        TELDOX_Close();
        ASSERT_TRUE(diagnostics_.reset());
    }
    void TearDown() override { TELDO_Close(), TELDOX_Close(); }

    DriverDiagnostics diagnostics_;
};

TEST_F(LibraryDevice, WrittenBytesReadBackAndUntouchedPortsReadFF) {
    ASSERT_EQ(TELDO_Open(), 1);
    struct {
        std::uint16_t port;
        std::uint8_t value;
    } const cases[] = {{0x0000, 0x00}, {0x0378, 0x55}, {0x03F8, 0x0A}, {0x8000, 0x80},
                       {0xFFFF, 0xFF}, {0x0001, 0x01}};
    for (const auto& c : cases) EXPECT_EQ(TELDO_WR(c.port, c.value), 1) << c.port;
    for (const auto& c : cases) EXPECT_EQ(TELDO_RD(c.port), c.value) << c.port;
    for (std::uint16_t untouched : {0x0002, 0x0377, 0x0379, 0x7FFF, 0xFFFE})
        EXPECT_EQ(TELDO_RD(untouched), 0xFF) << untouched;
}

TEST_F(LibraryDevice, DriverReceivesTheSpecifiedRequests) {
    ASSERT_EQ(TELDO_Open(), 1);
    EXPECT_EQ(TELDO_WR(0x0312, 0x5A), 1);
    EXPECT_EQ(TELDO_RD(0x0312), 0x5A);
    EXPECT_EQ(TELDO_RD(static_cast<unsigned short>(-32768)), 0xFF);

    const std::vector<RecordedRequest> seen = diagnostics_.recent();
    ASSERT_EQ(seen.size(), 3u);
    struct {
        std::uint32_t code, input_length, output_length;
        std::array<std::uint8_t, 3> bytes;
    } const expected[] = {
        {0x80002000, 4, 0, {0x12, 0x03, 0x5A}},
        {0x80002004, 2, 1, {0x12, 0x03, 0x00}},
        {0x80002004, 2, 1, {0x00, 0x80, 0x00}},
    };
    for (std::size_t i = 0; i < seen.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(seen[i].code, expected[i].code);
        EXPECT_EQ(seen[i].input_length, expected[i].input_length);
        EXPECT_EQ(seen[i].output_length, expected[i].output_length);
        EXPECT_EQ(seen[i].status, 0);
        EXPECT_EQ(seen[i].from_owner, 1u);
        for (std::uint32_t b = 0; b < 3 && b < expected[i].input_length; ++b)
            EXPECT_EQ(seen[i].input[b], expected[i].bytes[b]) << "byte " << b;
    }
}

TEST_F(LibraryDevice, OpenCloseCloseGivesOneNonzeroMinusOne) {
    EXPECT_EQ(TELDO_Open(), 1);
    EXPECT_NE(TELDO_Close(), 0);
    EXPECT_EQ(TELDO_Close(), -1);
    const auto snapshot = diagnostics_.snapshot_after_closes(1);
    EXPECT_EQ(snapshot.opens, 1u);
    EXPECT_EQ(snapshot.closes, 1u);
    EXPECT_EQ(snapshot.held, 0u);
}

TEST_F(LibraryDevice, ReopenWhileOpenKeepsOneHolderAndWorks) {
    ASSERT_EQ(TELDO_Open(), 1);
    // A request first: under Wine the first open is then complete in the
    // driver, so that the close of its handle reaches the driver at once,
    // before the second open, as it does on Windows.
    ASSERT_EQ(TELDO_WR(0x0100, 0x41), 1);
    ASSERT_EQ(TELDO_Open(), 1);
    EXPECT_EQ(TELDO_WR(0x0100, 0x42), 1);
    EXPECT_EQ(TELDO_RD(0x0100), 0x42);
    const auto snapshot = diagnostics_.snapshot();
    EXPECT_EQ(snapshot.opens, 2u);
    EXPECT_EQ(snapshot.closes, 1u);
    EXPECT_EQ(snapshot.refused_opens, 0u);
}

TEST_F(LibraryDevice, FailedRequestsReturnZero) {
    ASSERT_EQ(TELDO_Open(), 1);
    ASSERT_EQ(TELDO_WR(0x0200, 0x5A), 1);

    ASSERT_TRUE(diagnostics_.inject({2, 0}));
    EXPECT_EQ(TELDO_RD(0x0200), 0);
    EXPECT_EQ(TELDO_WR(0x0200, 0x11), 0);
    EXPECT_EQ(TELDO_RD(0x0200), 0x5A) << "the failed write must not have landed";

    ASSERT_TRUE(diagnostics_.inject({0, 1}));
    EXPECT_EQ(TELDO_RD(0x0200), 0) << "a success without a byte reads as 0";
    EXPECT_EQ(TELDO_RD(0x0200), 0x5A);
}

TEST_F(LibraryDevice, RequestsWithNothingOpenFail) {
    EXPECT_EQ(TELDO_WR(0x0200, 0x5A), 0);
    EXPECT_EQ(TELDO_RD(0x0200), 0);
    EXPECT_EQ(diagnostics_.snapshot().requests, 0u);
}

TEST_F(LibraryDevice, SecondProcessCannotUseTheDeviceUntilTheHolderCloses) {
    ASSERT_EQ(TELDO_Open(), 1);
    ASSERT_EQ(TELDO_WR(0x0300, 0x33), 1);

    const auto refused = run_child("teldo_probe.exe rw 300 44");
    ASSERT_TRUE(refused.finished) << refused.output;
    // Wine hands the second opener a handle even though the driver refused
    // the open, so its open may look successful; its requests must not.
    EXPECT_NE(refused.output.find("write=0 read=00"), std::string::npos) << refused.output;
    EXPECT_EQ(TELDO_RD(0x0300), 0x33) << "the refused writer changed the port";
    EXPECT_GE(diagnostics_.snapshot().refused_opens, 1u);

    ASSERT_NE(TELDO_Close(), 0);
    const auto granted = run_child("teldo_probe.exe rw 300 44");
    ASSERT_TRUE(granted.finished);
    EXPECT_EQ(granted.output, "open=1 write=1 read=44 close=1\n");
}

// Stops and starts the port driver's service, so that the next request
// meets a freshly loaded driver.
bool restart_driver_service() {
    const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager) return false;
    const SC_HANDLE service =
        OpenServiceW(manager, L"TELDO", SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS);
    const auto reaches = [service](DWORD state) {
        return teldo::test::poll(30000, [&] {
            SERVICE_STATUS status{};
            return QueryServiceStatus(service, &status) && status.dwCurrentState == state;
        });
    };
    SERVICE_STATUS status{};
    const bool restarted = service && ControlService(service, SERVICE_CONTROL_STOP, &status) &&
                           reaches(SERVICE_STOPPED) && StartServiceW(service, 0, nullptr) &&
                           reaches(SERVICE_RUNNING);
    if (service) CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return restarted;
}

// No reset between loading and the first request: every port reads FF, even
// one that read 00 before the driver was restarted.
// Words and dwords are little-endian bytes from their port up; a FIFO reads
// the same ports each time; a bad argument fails with 87 before any request.
TEST_F(LibraryDevice, TeldoxWordsDwordsAndBlocksOnTheSimulatedBus) {
    ASSERT_EQ(TELDOX_Open(), 0u);
    ASSERT_EQ(TELDOX_Write(0x1000, 4, 0x11223344), 0u);
    ASSERT_EQ(TELDOX_Write(0x1004, 2, 0xAABB), 0u);
    const std::uint8_t bytes[] = {0x01, 0x02, 0x03, 0x04};
    ASSERT_EQ(TELDOX_WriteBlock(0x2000, 1, 0, bytes, 4), 0u);
    ASSERT_EQ(TELDOX_WriteBlock(0x2006, 2, 1, bytes, 2), 0u);  // the FIFO keeps the last word
    struct Case {
        std::uint16_t port;
        int width, same_port;
        unsigned long count;
        std::vector<std::uint8_t> bytes;
    };
    const Case cases[] = {
        {0x1000, 1, 0, 6, {0x44, 0x33, 0x22, 0x11, 0xBB, 0xAA}},
        {0x1002, 2, 0, 2, {0x22, 0x11, 0xBB, 0xAA}},
        {0x2000, 4, 1, 2, {0x01, 0x02, 0x03, 0x04, 0x01, 0x02, 0x03, 0x04}},
        {0x2006, 2, 0, 2, {0x03, 0x04, 0xFF, 0xFF}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.port);
        std::vector<std::uint8_t> read(c.bytes.size());
        EXPECT_EQ(TELDOX_ReadBlock(c.port, c.width, c.same_port, read.data(), c.count), 0u);
        EXPECT_EQ(read, c.bytes);
    }
    unsigned long value = 0;
    EXPECT_EQ(TELDOX_Read(0x1002, 4, &value), 87u) << "an unaligned dword";
    EXPECT_EQ(TELDOX_Read(0x1000, 4, &value), 0u);
    EXPECT_EQ(value, 0x11223344u);
    EXPECT_EQ(TELDOX_Read(0x1001, 1, &value), 0u);
    EXPECT_EQ(value, 0x33u);

    const std::uint32_t sent = diagnostics_.snapshot().requests;
    std::vector<std::uint8_t> big(0x10001);
    EXPECT_EQ(TELDOX_ReadBlock(0, 1, 0, big.data(), 0x10001), 87u);
    EXPECT_EQ(TELDOX_WriteBlock(0xFFFE, 2, 0, big.data(), 2), 87u);
    EXPECT_EQ(TELDOX_Write(0x300, 3, 0), 87u);
    EXPECT_EQ(TELDOX_Read(0x300, 1, nullptr), 87u);
    EXPECT_EQ(diagnostics_.snapshot().requests, sent) << "a bad argument reached the driver";
    EXPECT_EQ(TELDOX_Close(), 0u);
    EXPECT_EQ(TELDOX_Close(), 6u);
}

// Port programs on the simulated bus, where a port changes only when
// written: a handshake runs whole, its modify keeping the bits outside its
// mask; a poll never met stops the program at its index, with its last
// value, and nothing after it runs; a program that breaks a rule, or a
// closed device, sends nothing.
TEST_F(LibraryDevice, TeldoxRunsPortProgramsWhole) {
    ASSERT_EQ(TELDOX_Open(), 0u);
    struct Case {
        const char* what;
        std::vector<TELDOX_OP> ops;
        unsigned long error, done;
        std::vector<unsigned long> results;
        std::vector<std::pair<std::uint16_t, std::uint8_t>> ports;  // after it
        bool open = true;
    };
    const Case cases[] = {
        {"a handshake",
         {{TELDOX_OP_WRITE, 4, 0x6A0, 0x1234A55A, 0, 0},
          {TELDOX_OP_MODIFY, 1, 0x6A0, 0x0F, 0x03, 0},
          {TELDOX_OP_WAIT, 0, 0, 20, 0, 0},
          {TELDOX_OP_READ, 2, 0x6A0, 0, 0, 0},
          {TELDOX_OP_POLL, 1, 0x6A1, 0xF0, 0xA0, 100},
          {TELDOX_OP_READ, 4, 0x6A0, 0, 0, 0}},
         0, 6, {0, 0x5A, 0, 0xA553, 0xA5, 0x1234A553}, {{0x6A0, 0x53}, {0x6A1, 0xA5}, {0x6A3, 0x12}}},
        {"a poll never met",
         {{TELDOX_OP_WRITE, 1, 0x6B0, 0x01, 0, 0},
          {TELDOX_OP_POLL, 1, 0x6B0, 0x81, 0x80, 300},
          {TELDOX_OP_WRITE, 1, 0x6B0, 0x02, 0, 0}},
         ERROR_TIMEOUT, 1, {0, 0x01, 0}, {{0x6B0, 0x01}}},
        {"a wait of 1001 us",
         {{TELDOX_OP_WRITE, 1, 0x6C0, 0x77, 0, 0}, {TELDOX_OP_WAIT, 0, 0, 1001, 0, 0}},
         ERROR_INVALID_PARAMETER, 0, {0, 0}, {{0x6C0, 0xFF}}},
        {"over 50,000 us in all",
         {{TELDOX_OP_WRITE, 1, 0x6C0, 0x77, 0, 0}, {TELDOX_OP_POLL, 2, 0x6C0, 0, 0, 10000},
          {TELDOX_OP_POLL, 2, 0x6C0, 0, 0, 10000}, {TELDOX_OP_POLL, 2, 0x6C0, 0, 0, 10000},
          {TELDOX_OP_POLL, 2, 0x6C0, 0, 0, 10000}, {TELDOX_OP_POLL, 2, 0x6C0, 0, 0, 10000},
          {TELDOX_OP_WAIT, 0, 0, 1, 0, 0}},
         ERROR_INVALID_PARAMETER, 0, {0, 0, 0, 0, 0, 0, 0}, {{0x6C0, 0xFF}}},
        {"the device closed", {{TELDOX_OP_WRITE, 1, 0x6C0, 0x77, 0, 0}}, ERROR_INVALID_HANDLE, 0, {0}, {}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (!c.open) TELDOX_Close();
        const std::uint32_t before = diagnostics_.snapshot().requests;
        std::vector<unsigned long> results(c.ops.size(), 0xDEAD);
        unsigned long done = 0xDEAD;
        EXPECT_EQ(TELDOX_Run(c.ops.data(), c.ops.size(), results.data(), &done), c.error);
        EXPECT_EQ(done, c.done);
        EXPECT_EQ(results, c.results);
        const auto snapshot = diagnostics_.snapshot();
        const bool sent = c.error == 0 || c.error == ERROR_TIMEOUT;
        EXPECT_EQ(snapshot.requests, before + (sent ? 1 : 0));
        if (sent && snapshot.recorded != 0) {
            const RecordedRequest& seen = snapshot.recent[snapshot.recorded - 1];
            EXPECT_EQ(seen.code, teldo::IOCTL_PORT_RUN);
            EXPECT_EQ(seen.input_length, teldo::program::input_length(c.ops.size()));
        }
        if (!c.open) {
            ASSERT_EQ(TELDOX_Open(), 0u);
        }
        for (auto [port, value] : c.ports) {
            unsigned long read = 0;
            EXPECT_EQ(TELDOX_Read(port, 1, &read), 0u);
            EXPECT_EQ(read, value) << "port " << port;
        }
    }
}

// The threads of the test below and what they share.
struct TeldoxThreads {
    volatile LONG running = 2;
    volatile LONG bad_reads = 0, last_bad = 0;
};
DWORD WINAPI open_and_close(void* data) {
    auto& shared = *static_cast<TeldoxThreads*>(data);
    for (int i = 0; i < 2000; ++i) TELDOX_Open(), TELDOX_Close();
    InterlockedDecrement(&shared.running);
    return 0;
}
DWORD WINAPI read_meanwhile(void* data) {
    auto& shared = *static_cast<TeldoxThreads*>(data);
    unsigned long value = 0;
    while (shared.running > 0) {
        const unsigned long error = TELDOX_Read(0x300, 1, &value);
        if (error != 0 && error != ERROR_INVALID_HANDLE && error != ERROR_ACCESS_DENIED)
            InterlockedIncrement(&shared.bad_reads), InterlockedExchange(&shared.last_bad, static_cast<LONG>(error));
    }
    return 0;
}

// TELDOX.dll's one handle under threads: two threads open and close it over
// and over beside a third that reads. Every read finds the device open (0),
// closed (6) or, under Wine, whose close reaches the driver after the next
// open, not yet free (5), never a handle that another thread closed under
// it; and no handle is left holding the device. Unloaded with the device
// open, TELDOX.dll frees it.
TEST_F(LibraryDevice, TeldoxKeepsOneHandleAcrossThreadsAndUnloading) {
    TeldoxThreads shared;
    HANDLE threads[] = {CreateThread(nullptr, 0, open_and_close, &shared, 0, nullptr),
                        CreateThread(nullptr, 0, open_and_close, &shared, 0, nullptr),
                        CreateThread(nullptr, 0, read_meanwhile, &shared, 0, nullptr)};
    for (HANDLE thread : threads) ASSERT_NE(thread, nullptr);
    WaitForMultipleObjects(3, threads, TRUE, INFINITE);
    for (HANDLE thread : threads) CloseHandle(thread);
    EXPECT_EQ(shared.bad_reads, 0) << "a read failed with " << shared.last_bad;
    TELDOX_Close();
    EXPECT_TRUE(teldo::test::poll(5000, [&] { return diagnostics_.snapshot().held == 0; }))
        << "a handle of TELDOX.dll still holds the device";

    teldo::test::ChildProcess probe("teldo_probe.exe unload-teldox");
    ASSERT_TRUE(probe.started());
    ASSERT_TRUE(probe.wait_for_output(std::regex("unloaded\n"))) << probe.output();
    EXPECT_NE(probe.output().find("open=0"), std::string::npos) << probe.output();
    EXPECT_TRUE(teldo::test::poll(5000, [&] { return diagnostics_.snapshot().held == 0; }))
        << "TELDOX.dll unloaded with the device open left it held";
    probe.close_input();
}

TEST(FreshDriver, ReadsFFOnEveryPortFromItsFirstRequest) {
    TELDO_Close();
    constexpr unsigned step = 0x0101;  // 256 ports, 0000 and FFFF among them
    ASSERT_EQ(TELDO_Open(), 1);
    for (unsigned port = 0; port <= 0xFFFF; port += step) ASSERT_EQ(TELDO_WR(port, 0x00), 1);
    TELDO_Close();

    ASSERT_TRUE(restart_driver_service());
    ASSERT_EQ(TELDO_Open(), 1);
    for (unsigned port = 0; port <= 0xFFFF; port += step)
        EXPECT_EQ(TELDO_RD(port), 0xFF) << "port " << port;
    TELDO_Close();
}

// Sets the service value that turns the diagnostic device on at the driver's
// next start, or removes it (nullptr).
bool set_diagnostics_value(const DWORD* value) {
    constexpr wchar_t parameters[] = L"System\\CurrentControlSet\\Services\\TELDO\\Parameters";
    HKEY key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, parameters, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return false;
    LONG result = value ? RegSetValueExW(key, L"Diagnostics", 0, REG_DWORD,
                                         reinterpret_cast<const BYTE*>(value), sizeof *value)
                        : RegDeleteValueW(key, L"Diagnostics");
    if (value == nullptr && result == ERROR_FILE_NOT_FOUND) result = ERROR_SUCCESS;
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

// The error of an open of \\.\TELDODiag, or ERROR_SUCCESS when it opens.
DWORD diagnostic_open_error() {
    const HANDLE device = CreateFileA(teldo::diag::device_path, GENERIC_READ | GENERIC_WRITE, 0,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (device == INVALID_HANDLE_VALUE) return GetLastError();
    CloseHandle(device);
    return ERROR_SUCCESS;
}

TEST(FreshDriver, PublishesTheDiagnosticDeviceOnlyWhenItsServiceKeyTurnsItOn) {
    static constexpr DWORD off = 0, on = 1;
    struct LeaveItOn {  // as the prefix had it, for the tests that need it
        ~LeaveItOn() {
            if (::testing::Test::HasFailure() && set_diagnostics_value(&on))
                restart_driver_service();
        }
    } leave_it_on;
    struct {
        const char* what;
        const DWORD* value;
        DWORD open_error;
    } const cases[] = {
        {"without the value", nullptr, ERROR_FILE_NOT_FOUND},
        {"with Diagnostics = 0", &off, ERROR_FILE_NOT_FOUND},
        {"with Diagnostics = 1", &on, ERROR_SUCCESS},
    };
    TELDO_Close();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(set_diagnostics_value(c.value));
        ASSERT_TRUE(restart_driver_service());
        EXPECT_EQ(diagnostic_open_error(), c.open_error);
        ASSERT_EQ(TELDO_Open(), 1) << "the port device is there either way";
        EXPECT_EQ(TELDO_WR(0x0300, 0x5A), 1);
        EXPECT_EQ(TELDO_RD(0x0300), 0x5A);
        TELDO_Close();
    }
}

}  // namespace

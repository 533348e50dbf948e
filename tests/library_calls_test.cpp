// TELDO.dll's exact platform calls: its three KERNEL32 imports are replaced by
// recording fakes, so every argument can be checked and no real device is
// used. TELDOX.dll's the same way: before a driver that knows only the byte
// requests, before program replies crafted to not add up, and its entry at
// the process's end.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "pe_image.h"
#include "port_program.h"
#include "teldo_protocol.h"
#include "teldox.h"

namespace {

// Handles the fakes hand out; never real ones.
HANDLE const first_handle = reinterpret_cast<HANDLE>(0x1234);
HANDLE const second_handle = reinterpret_cast<HANDLE>(0x5678);

struct Call {
    enum Kind { create, control, close };
    explicit Call(Kind k) : kind(k) {}
    Kind kind;
    HANDLE handle = nullptr;
    // CreateFileA
    std::string path;
    std::size_t path_bytes = 0;
    DWORD access = 0, share = 0, disposition = 0, flags = 0;
    bool security = false, template_file = false;
    // DeviceIoControl
    DWORD code = 0, input_length = 0, output_length = 0;
    std::vector<std::uint8_t> input;
    bool output = false, returned = false, overlapped = false;
};

// What the fakes record and answer.
struct Platform {
    std::vector<Call> calls;
    std::vector<HANDLE> open_results{first_handle};  // one per open, the last repeats
    std::size_t opens = 0;
    BOOL control_result = TRUE;
    bool deliver_byte = true;
    std::uint8_t reply = 0;
    BOOL close_result = TRUE;
} platform;

HANDLE WINAPI fake_create(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                          DWORD disposition, DWORD flags, HANDLE template_file) {
    Call call(Call::create);
    call.path = path ? path : "";
    call.path_bytes = path ? std::strlen(path) + 1 : 0;
    call.access = access;
    call.share = share;
    call.security = security != nullptr;
    call.disposition = disposition;
    call.flags = flags;
    call.template_file = template_file != nullptr;
    call.handle =
        platform.open_results[std::min(platform.opens++, platform.open_results.size() - 1)];
    platform.calls.push_back(call);
    return call.handle;
}

BOOL WINAPI fake_control(HANDLE handle, DWORD code, LPVOID input, DWORD input_length,
                         LPVOID output, DWORD output_length, LPDWORD returned,
                         LPOVERLAPPED overlapped) {
    Call call(Call::control);
    call.handle = handle;
    call.code = code;
    call.input_length = input_length;
    if (input) {
        const auto* bytes = static_cast<const std::uint8_t*>(input);
        call.input.assign(bytes, bytes + input_length);
    }
    call.output_length = output_length;
    call.output = output != nullptr;
    call.returned = returned != nullptr;
    call.overlapped = overlapped != nullptr;
    platform.calls.push_back(call);
    // A failed request may still have scribbled on the output buffer.
    if (output && output_length >= 1 && (platform.deliver_byte || !platform.control_result))
        *static_cast<std::uint8_t*>(output) = platform.reply;
    if (returned) *returned = platform.deliver_byte && output_length ? 1 : 0;
    return platform.control_result;
}

BOOL WINAPI fake_close(HANDLE handle) {
    Call call(Call::close);
    call.handle = handle;
    platform.calls.push_back(call);
    return platform.close_result;
}

// The exports called as a caller that passes full 32-bit arguments would call
// them (stack slots on x86, registers on x64), so that bits above a
// parameter's width can be set on purpose.
using OpenFn = int(WINAPI*)();
using ReadFn = std::uint32_t(WINAPI*)(std::uint32_t);
using WriteFn = int(WINAPI*)(std::uint32_t, std::uint32_t);
using CloseFn = int(WINAPI*)();
using EntryFn = BOOL(WINAPI*)(HINSTANCE, DWORD, LPVOID);

class LibraryCalls : public ::testing::Test {
protected:
    void SetUp() override {
        platform = Platform{};
        // A fresh load for every test, so the library starts with no device open.
        library_ = LoadLibraryW(L"TELDO.dll");
        ASSERT_NE(library_, nullptr);
        for (auto [name, fake] : {std::pair<const char*, void*>{"CreateFileA", (void*)fake_create},
                                  {"DeviceIoControl", (void*)fake_control},
                                  {"CloseHandle", (void*)fake_close}})
            ASSERT_NE(teldo::test::patch_import(library_, "KERNEL32.dll", name, fake), nullptr)
                << name;
        open_ = bind<OpenFn>("TELDO_Open");
        read_ = bind<ReadFn>("TELDO_RD");
        write_ = bind<WriteFn>("TELDO_WR");
        close_ = bind<CloseFn>("TELDO_Close");
        ASSERT_TRUE(open_ && read_ && write_ && close_);
    }
    void TearDown() override {
        if (library_) FreeLibrary(library_);
    }

    template <typename Fn>
    Fn bind(const char* name) {
        return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(library_, name)));
    }

    const Call& only_call(Call::Kind kind) {
        EXPECT_EQ(platform.calls.size(), 1u);
        static const Call none(Call::create);
        if (platform.calls.size() != 1) return none;
        EXPECT_EQ(platform.calls[0].kind, kind);
        return platform.calls[0];
    }
    void open_device() {
        ASSERT_EQ(open_(), 1);
        platform.calls.clear();
    }

    HMODULE library_ = nullptr;
    OpenFn open_ = nullptr;
    ReadFn read_ = nullptr;
    WriteFn write_ = nullptr;
    CloseFn close_ = nullptr;
};

TEST_F(LibraryCalls, OpenAsksForTheDeviceExclusivelyForReadAndWrite) {
    EXPECT_EQ(open_(), 1);
    const Call& call = only_call(Call::create);
    EXPECT_EQ(call.path, "\\\\.\\TELDO");
    EXPECT_EQ(call.path_bytes, 10u);
    EXPECT_EQ(call.access, 0xC0000000u);
    EXPECT_EQ(call.share, 0u);
    EXPECT_FALSE(call.security);
    EXPECT_EQ(call.disposition, 3u);
    EXPECT_EQ(call.flags, 0x80u);
    EXPECT_FALSE(call.template_file);
}

TEST_F(LibraryCalls, FailedOpenReturnsZeroAndLeavesNothingToClose) {
    platform.open_results = {INVALID_HANDLE_VALUE};
    EXPECT_EQ(open_(), 0);
    platform.calls.clear();
    EXPECT_EQ(close_(), -1);
    EXPECT_TRUE(platform.calls.empty());
}

TEST_F(LibraryCalls, CloseWithNothingOpenMakesNoCall) {
    EXPECT_EQ(close_(), -1);
    EXPECT_TRUE(platform.calls.empty());
}

TEST_F(LibraryCalls, CloseHandsBackThePlatformResultOnceThenActsOnNothing) {
    for (BOOL result : {TRUE, FALSE, 7}) {
        SCOPED_TRACE(result);
        open_device();
        platform.close_result = result;
        EXPECT_EQ(close_(), result);
        EXPECT_EQ(only_call(Call::close).handle, first_handle);
        platform.calls.clear();
        EXPECT_EQ(close_(), -1);
        EXPECT_TRUE(platform.calls.empty());
    }
}

TEST_F(LibraryCalls, OpenWhileOpenClosesTheEarlierHandleFirst) {
    platform.open_results = {first_handle, second_handle};
    open_device();
    EXPECT_EQ(open_(), 1);
    ASSERT_EQ(platform.calls.size(), 2u);
    EXPECT_EQ(platform.calls[0].kind, Call::close);
    EXPECT_EQ(platform.calls[0].handle, first_handle);
    EXPECT_EQ(platform.calls[1].kind, Call::create);
    platform.calls.clear();
    read_(0);
    EXPECT_EQ(only_call(Call::control).handle, second_handle);
}

TEST_F(LibraryCalls, FailedReopenLeavesNoDeviceOpen) {
    platform.open_results = {first_handle, INVALID_HANDLE_VALUE};
    open_device();
    EXPECT_EQ(open_(), 0);
    platform.calls.clear();
    EXPECT_EQ(close_(), -1);
    EXPECT_TRUE(platform.calls.empty());
}

struct ReadCase {
    std::uint32_t argument;
    std::array<std::uint8_t, 2> bytes;
};

TEST_F(LibraryCalls, ReadSendsOneRequestWithThePortLowByteFirst) {
    const ReadCase cases[] = {
        {0x0312, {0x12, 0x03}},
        {0x0000, {0x00, 0x00}},
        {0x03F8, {0xF8, 0x03}},
        {0xFFFF, {0xFF, 0xFF}},
        {static_cast<std::uint32_t>(-32768), {0x00, 0x80}},  // a negative 16-bit caller
        {static_cast<std::uint32_t>(-1), {0xFF, 0xFF}},
        {0xABCD0378, {0x78, 0x03}},  // bits above the low 16 change nothing
    };
    open_device();
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(c.argument);
        platform.calls.clear();
        platform.reply = 0x5A;
        EXPECT_EQ(read_(c.argument) & 0xFF, 0x5Au);
        const Call& call = only_call(Call::control);
        EXPECT_EQ(call.handle, first_handle);
        EXPECT_EQ(call.code, 0x80002004u);
        EXPECT_EQ(call.input_length, 2u);
        EXPECT_EQ(call.input, std::vector<std::uint8_t>(c.bytes.begin(), c.bytes.end()));
        EXPECT_EQ(call.output_length, 1u);
        EXPECT_TRUE(call.output);
        EXPECT_TRUE(call.returned);
        EXPECT_FALSE(call.overlapped);
    }
}

TEST_F(LibraryCalls, ReadReturnsZeroWhenNoByteCameBack) {
    open_device();
    struct {
        const char* what;
        BOOL result;
        bool delivers;
    } const cases[] = {
        {"request failed", FALSE, true},
        {"success without a byte", TRUE, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        platform.control_result = c.result;
        platform.deliver_byte = c.delivers;
        platform.reply = 0x77;
        EXPECT_EQ(read_(0x3F8) & 0xFF, 0u);
    }
}

TEST_F(LibraryCalls, WithNothingOpenRequestsGoToTheInvalidHandleAndFail) {
    platform.control_result = FALSE;
    EXPECT_EQ(read_(0x3F8) & 0xFF, 0u);
    EXPECT_EQ(write_(0x3F8, 1), 0);
    ASSERT_EQ(platform.calls.size(), 2u);
    for (const Call& call : platform.calls) EXPECT_EQ(call.handle, INVALID_HANDLE_VALUE);
}

struct WriteCase {
    std::uint32_t port, value;
    std::array<std::uint8_t, 3> bytes;  // port low, port high, value
};

TEST_F(LibraryCalls, WriteSendsOneFourByteRequestWithoutOutput) {
    const WriteCase cases[] = {
        {0x0312, 0x5A, {0x12, 0x03, 0x5A}},
        {0x0378, 0x55, {0x78, 0x03, 0x55}},
        {0x0000, 0x00, {0x00, 0x00, 0x00}},
        {0xFFFF, 0xFF, {0xFF, 0xFF, 0xFF}},
        {static_cast<std::uint32_t>(-32768), 0x01, {0x00, 0x80, 0x01}},
        {0xFFFF0378, 0xFFFFFF55, {0x78, 0x03, 0x55}},  // high bits change nothing
    };
    open_device();
    for (const WriteCase& c : cases) {
        SCOPED_TRACE(c.port);
        platform.calls.clear();
        EXPECT_EQ(write_(c.port, c.value), 1);
        const Call& call = only_call(Call::control);
        EXPECT_EQ(call.handle, first_handle);
        EXPECT_EQ(call.code, 0x80002000u);
        EXPECT_EQ(call.input_length, 4u);
        ASSERT_EQ(call.input.size(), 4u);
        EXPECT_EQ(std::vector<std::uint8_t>(call.input.begin(), call.input.begin() + 3),
                  std::vector<std::uint8_t>(c.bytes.begin(), c.bytes.end()));
        EXPECT_FALSE(call.output);
        EXPECT_EQ(call.output_length, 0u);
        EXPECT_TRUE(call.returned);
        EXPECT_FALSE(call.overlapped);
    }
}

TEST_F(LibraryCalls, WriteReportsExactlyOneOrZero) {
    open_device();
    for (auto [result, expected] : {std::pair{TRUE, 1}, {5, 1}, {FALSE, 0}}) {
        platform.control_result = result;
        EXPECT_EQ(write_(0x378, 0x55), expected) << result;
    }
}

TEST_F(LibraryCalls, EntryRoutineDoesNothingAndSucceeds) {
    teldo::test::PeTables tables;
    std::string error;
    ASSERT_TRUE(teldo::test::read_pe_tables("TELDO.dll", tables, error)) << error;
    auto entry = reinterpret_cast<EntryFn>(reinterpret_cast<BYTE*>(library_) + tables.entry_point_rva);
    for (DWORD reason : {DLL_PROCESS_ATTACH, DLL_THREAD_ATTACH, DLL_THREAD_DETACH, DLL_PROCESS_DETACH})
        EXPECT_EQ(entry(library_, reason, nullptr), TRUE) << reason;
    EXPECT_TRUE(platform.calls.empty());
    EXPECT_EQ(close_(), -1);  // loading opened nothing
}

// A driver that knows only the two byte requests, as a card maker's may:
// anything else fails with ERROR_INVALID_FUNCTION.
BOOL WINAPI fake_byte_driver(HANDLE handle, DWORD code, LPVOID input, DWORD input_length, LPVOID output,
                             DWORD output_length, LPDWORD returned, LPOVERLAPPED overlapped) {
    if (code != teldo::IOCTL_PORT_READ && code != teldo::IOCTL_PORT_WRITE) {
        fake_control(handle, code, input, input_length, nullptr, 0, returned, overlapped);
        SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    return fake_control(handle, code, input, input_length, output, output_length, returned, overlapped);
}

// TELDOX.dll freshly loaded, its device calls the fakes, with `driver` as
// DeviceIoControl; nullptr when a patch failed.
HMODULE load_teldox(void* driver) {
    platform = Platform{};
    const HMODULE library = LoadLibraryW(L"TELDOX.dll");
    EXPECT_NE(library, nullptr);
    if (!library) return nullptr;
    for (auto [name, fake] : {std::pair<const char*, void*>{"CreateFileA", (void*)fake_create},
                              {"DeviceIoControl", driver},
                              {"CloseHandle", (void*)fake_close}})
        if (!teldo::test::patch_import(library, "KERNEL32.dll", name, fake)) {
            ADD_FAILURE() << name;
            FreeLibrary(library);
            return nullptr;
        }
    return library;
}

// TELDOX.dll's bytes are TELDO.dll's requests exactly; a block of bytes
// falls back to them where the driver has no block requests, and a word
// cannot; a bad argument or a closed device sends nothing.
TEST(TeldoxCalls, BytesAreTheByteRequestsAndBlocksFallBackToThem) {
    const HMODULE library = load_teldox((void*)fake_byte_driver);
    ASSERT_NE(library, nullptr);
    platform.reply = 0x5A;
    auto bind = [library](const char* name) { return reinterpret_cast<void*>(GetProcAddress(library, name)); };
    const auto open = reinterpret_cast<unsigned long(WINAPI*)()>(bind("TELDOX_Open"));
    const auto read = reinterpret_cast<unsigned long(WINAPI*)(std::uint32_t, int, unsigned long*)>(bind("TELDOX_Read"));
    const auto write = reinterpret_cast<unsigned long(WINAPI*)(std::uint32_t, int, unsigned long)>(bind("TELDOX_Write"));
    using Block = unsigned long(WINAPI*)(std::uint32_t, int, int, void*, unsigned long);
    const auto read_block = reinterpret_cast<Block>(bind("TELDOX_ReadBlock"));
    const auto write_block = reinterpret_cast<Block>(bind("TELDOX_WriteBlock"));
    ASSERT_TRUE(open && read && write && read_block && write_block);

    unsigned long value = 0;
    std::uint8_t data[4] = {0x11, 0x22, 0x33, 0x44};
    static std::uint8_t too_much[0x10001];
    const DWORD rd = teldo::IOCTL_PORT_READ, wr = teldo::IOCTL_PORT_WRITE;
    const DWORD rd_block = teldo::IOCTL_PORT_READ_BLOCK, wr_block = teldo::IOCTL_PORT_WRITE_BLOCK;
    using Requests = std::vector<std::pair<DWORD, std::vector<std::uint8_t>>>;
    struct Case {
        const char* what;
        std::function<unsigned long()> call;
        unsigned long result;
        Requests requests;  // code and input of each, in order
    };
    const Case cases[] = {
        {"before the open", [&] { return read(0x300, 1, &value); }, ERROR_INVALID_HANDLE, {}},
        {"open", [&] { return open(); }, 0, {}},
        {"a byte read", [&] { return read(0xABCD03F8, 1, &value); }, 0, {{rd, {0xF8, 0x03}}}},
        {"a byte write", [&] { return write(0x3F8, 1, 0x1A5); }, 0, {{wr, {0xF8, 0x03, 0xA5, 0x00}}}},
        {"bytes", [&] { return read_block(0x300, 1, 0, data, 3); }, 0,
         {{rd_block, {0x00, 0x03, 1, 0, 3, 0, 0, 0}}, {rd, {0x00, 0x03}}, {rd, {0x01, 0x03}}, {rd, {0x02, 0x03}}}},
        {"a FIFO of bytes written", [&] { return write_block(0x378, 1, 1, data, 2); }, 0,
         {{wr_block, {0x78, 0x03, 1, 1, 2, 0, 0, 0, 0x5A, 0x5A}}, {wr, {0x78, 0x03, 0x5A, 0}}, {wr, {0x78, 0x03, 0x5A, 0}}}},
        {"a word", [&] { return read(0x300, 2, &value); }, ERROR_INVALID_FUNCTION,
         {{rd_block, {0x00, 0x03, 2, 0, 1, 0, 0, 0}}}},
        {"no value", [&] { return read(0x300, 1, nullptr); }, ERROR_INVALID_PARAMETER, {}},
        {"width 3", [&] { return write(0x300, 3, 0); }, ERROR_INVALID_PARAMETER, {}},
        {"no buffer", [&] { return read_block(0x300, 1, 0, nullptr, 1); }, ERROR_INVALID_PARAMETER, {}},
        {"count 0", [&] { return write_block(0x300, 1, 1, data, 0); }, ERROR_INVALID_PARAMETER, {}},
        {"65,537 bytes", [&] { return read_block(0, 1, 1, too_much, sizeof too_much); }, ERROR_INVALID_PARAMETER, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        platform.calls.clear();
        EXPECT_EQ(c.call(), c.result);
        Requests requests;
        for (const Call& call : platform.calls)
            if (call.kind == Call::control) requests.push_back({call.code, call.input});
        EXPECT_EQ(requests, c.requests);
        std::fill(std::begin(data), std::end(data), 0x5A);  // what the reads gave, written next
    }
    FreeLibrary(library);
}

unsigned lock_deletions = 0;
void WINAPI fake_delete_lock(LPCRITICAL_SECTION) { ++lock_deletions; }

// TELDOX.dll's entry at the process's end (`reserved` not null) touches
// neither the device nor its lock, which a thread ended by then may hold;
// unloaded by FreeLibrary, it closes the one and deletes the other.
TEST(TeldoxCalls, ProcessEndLeavesTheDeviceAndItsLockAlone) {
    const HMODULE library = load_teldox((void*)fake_control);
    ASSERT_NE(library, nullptr);
    ASSERT_NE(teldo::test::patch_import(library, "KERNEL32.dll", "DeleteCriticalSection", (void*)fake_delete_lock),
              nullptr);
    teldo::test::PeTables tables;
    std::string error;
    ASSERT_TRUE(teldo::test::read_pe_tables("TELDOX.dll", tables, error)) << error;
    const auto entry = reinterpret_cast<EntryFn>(reinterpret_cast<BYTE*>(library) + tables.entry_point_rva);
    const auto open =
        reinterpret_cast<decltype(&TELDOX_Open)>(reinterpret_cast<void*>(GetProcAddress(library, "TELDOX_Open")));
    ASSERT_TRUE(open);
    ASSERT_EQ(open(), 0u);
    platform.calls.clear();
    lock_deletions = 0;
    EXPECT_EQ(entry(library, DLL_PROCESS_DETACH, &tables), TRUE);
    EXPECT_TRUE(platform.calls.empty());
    EXPECT_EQ(lock_deletions, 0u);
    FreeLibrary(library);
    ASSERT_EQ(platform.calls.size(), 1u);
    EXPECT_EQ(platform.calls[0].kind, Call::close);
    EXPECT_EQ(platform.calls[0].handle, first_handle);
    EXPECT_EQ(lock_deletions, 1u);
}

// A driver's reply to a program as a row crafts it: its header, result i
// as 0xC0DE0000 + i, and the length it reports, `short_by` bytes less than
// asked for.
struct RunReply {
    std::uint16_t done, stopped;
    DWORD short_by;
} run_reply;

BOOL WINAPI fake_run_driver(HANDLE handle, DWORD code, LPVOID input, DWORD input_length, LPVOID output,
                            DWORD output_length, LPDWORD returned, LPOVERLAPPED overlapped) {
    fake_control(handle, code, input, input_length, nullptr, 0, returned, overlapped);
    namespace program = teldo::program;
    auto* bytes = static_cast<std::uint8_t*>(output);
    program::store_reply_header(bytes, {run_reply.done, run_reply.stopped, 0});
    for (std::uint32_t i = 0; program::output_length(i + 1) <= output_length; ++i)
        teldo::store_element(bytes + program::output_length(i), 4, 0xC0DE0000 + i);
    *returned = output_length - run_reply.short_by;
    return TRUE;
}

// TELDOX_Run takes a reply only when it adds up: every operation ran, or
// the run stopped at a poll with the ones before it done. Any other leaves
// *done and every result 0, and none is written past the caller's array.
TEST(TeldoxCalls, RunTakesOnlyAReplyThatAddsUp) {
    const HMODULE library = load_teldox((void*)fake_run_driver);
    ASSERT_NE(library, nullptr);
    auto bind = [library](const char* name) { return reinterpret_cast<void*>(GetProcAddress(library, name)); };
    const auto open = reinterpret_cast<decltype(&TELDOX_Open)>(bind("TELDOX_Open"));
    const auto run = reinterpret_cast<decltype(&TELDOX_Run)>(bind("TELDOX_Run"));
    ASSERT_TRUE(open && run);
    ASSERT_EQ(open(), 0u);
    // The last poll is sent only by the first row: its bytes stay behind
    // the shorter programs after it, where a stop past their end would find it.
    const TELDOX_OP ops[] = {{TELDOX_OP_READ, 1, 0x300, 0, 0, 0},
                             {TELDOX_OP_POLL, 1, 0x301, 0x80, 0x80, 100},
                             {TELDOX_OP_READ, 1, 0x302, 0, 0, 0},
                             {TELDOX_OP_POLL, 1, 0x303, 0x80, 0x80, 100}};
    constexpr unsigned long guard = 0x6A7D6A7D;
    const std::uint16_t not_stopped = teldo::program::not_stopped;
    struct {
        const char* what;
        unsigned long count;
        RunReply reply;
        unsigned long result, done;
        std::vector<unsigned long> results;
    } const cases[] = {
        {"every operation ran", 4, {4, not_stopped, 0}, 0, 4, {0xC0DE0000, 0xC0DE0001, 0xC0DE0002, 0xC0DE0003}},
        {"stopped past the last operation", 3, {3, 3, 0}, ERROR_READ_FAULT, 0, {0, 0, 0}},
        {"the poll timed out", 3, {1, 1, 0}, ERROR_TIMEOUT, 1, {0xC0DE0000, 0xC0DE0001, 0}},
        {"stopped at a read", 3, {2, 2, 0}, ERROR_READ_FAULT, 0, {0, 0, 0}},
        {"more done than sent", 3, {4, not_stopped, 0}, ERROR_READ_FAULT, 0, {0, 0, 0}},
        {"a reply short of its last result", 3, {3, not_stopped, 4}, ERROR_READ_FAULT, 0, {0, 0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        run_reply = c.reply;
        unsigned long results[5] = {1, 2, 3, 4, 5}, done = 77;
        results[c.count] = guard;  // the word after the caller's array
        EXPECT_EQ(run(ops, c.count, results, &done), c.result);
        EXPECT_EQ(done, c.done);
        std::vector<unsigned long> expected = c.results;
        expected.push_back(guard);
        EXPECT_EQ(std::vector<unsigned long>(results, results + c.count + 1), expected);
    }
    FreeLibrary(library);
}

}  // namespace

// The shipped x86 TELDO.dll, executed on an emulated Pentium: every export
// called the stdcall way, at the image's preferred base and at another one,
// against a KERNEL32 whose DeviceIoControl serves requests as the stand-in
// driver does.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <set>

#include "port_model.h"
#include "x86_machine.h"

namespace {

using teldo::emu::Convention;
using teldo::emu::Machine;

constexpr std::uint32_t invalid_handle = 0xFFFFFFFF;

// KERNEL32 as far as the library uses it: handles to "\\.\TELDO" and the
// two port requests, with every call recorded.
struct FakeKernel32 {
    struct Open {
        std::string path;
        std::uint32_t access, share, security, disposition, flags, template_file;
    };
    struct Control {
        std::uint32_t handle, code;
        std::vector<std::uint8_t> input;
        std::uint32_t output, output_length, returned, overlapped;
    };

    teldo::model::PortSpace ports;
    teldo::diag::FaultPlan faults{};
    bool open_fails = false;
    std::uint32_t close_result = 1;
    std::uint32_t next_handle = 0x40;
    std::set<std::uint32_t> handles;  // open now
    std::vector<Open> opens;
    std::vector<Control> controls;
    std::vector<std::uint32_t> closes;

    // The arguments of a 32-bit caller, each one stack slot.
    static std::array<std::uint32_t, 8> slots(const std::uint64_t* args) {
        std::array<std::uint32_t, 8> a{};
        std::copy_n(args, a.size(), a.begin());
        return a;
    }

    explicit FakeKernel32(Machine& m) {
        m.provide("KERNEL32.DLL", "CreateFileA", 7, Convention::stdcall, [this, &m](const std::uint64_t* args) {
            const auto a = slots(args);
            opens.push_back({m.text(a[0]), a[1], a[2], a[3], a[4], a[5], a[6]});
            if (open_fails) return invalid_handle;
            handles.insert(next_handle);
            return next_handle++;
        });
        m.provide("KERNEL32.DLL", "CloseHandle", 1, Convention::stdcall, [this](const std::uint64_t* args) {
            const auto a = slots(args);
            closes.push_back(a[0]);
            return handles.erase(a[0]) ? close_result : 0u;
        });
        m.provide("KERNEL32.DLL", "DeviceIoControl", 8, Convention::stdcall,
                  [this, &m](const std::uint64_t* args) { return device_io_control(m, slots(args)); });
    }

    // The I/O manager's buffered transfer: one system buffer for input and
    // output, output copied back only on success.
    std::uint32_t device_io_control(Machine& m, const std::array<std::uint32_t, 8>& a) {
        const std::uint32_t handle = a[0], code = a[1], input = a[2], input_length = a[3],
                            output = a[4], output_length = a[5], returned = a[6], overlapped = a[7];
        controls.push_back({handle, code, input ? m.bytes(input, input_length) : std::vector<std::uint8_t>{},
                            output, output_length, returned, overlapped});
        if (!handles.count(handle)) return 0;
        if (returned == 0 && overlapped == 0) {
            m.fault("DeviceIoControl without a count of returned bytes or an OVERLAPPED");
            return 0;
        }
        std::vector<std::uint8_t> buffer(std::max(input_length, output_length));
        if (input) std::copy(controls.back().input.begin(), controls.back().input.end(), buffer.begin());
        const auto reply = teldo::model::serve(
            ports, faults, {code, input ? buffer.data() : nullptr, input_length,
                            output ? buffer.data() : nullptr, output_length});
        if (reply.outcome != teldo::model::Outcome::done) return 0;
        m.put(output, std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + reply.returned));
        m.put32(returned, reply.returned);
        return 1;
    }
};

class EmulatedTeldoDll : public testing::TestWithParam<std::uint32_t> {
protected:
    void SetUp() override {
        std::string error;
        const auto file = teldo::emu::read_packaged(teldo::emu::Arch::x86, "TELDO.dll", error);
        ASSERT_FALSE(file.empty()) << error;
        ASSERT_TRUE(machine.load(file, GetParam(), dll, error)) << error;
        ASSERT_EQ(dll.exports.size(), 4u);
        ASSERT_EQ(machine.call(dll.entry_point, {dll.base, 1, 0}), 1u) << "DllMain, attach";
    }
    void TearDown() override { EXPECT_TRUE(machine.faults().empty()) << machine.fault_report(); }

    std::uint32_t open() { return machine.call(dll.exports.at("TELDO_Open"), {}); }
    std::uint32_t close() { return machine.call(dll.exports.at("TELDO_Close"), {}); }
    // Arguments as a caller pushes them: whole 32-bit slots whose upper bytes
    // carry garbage the library must not read.
    std::uint8_t read(std::uint16_t port) {
        return static_cast<std::uint8_t>(machine.call(dll.exports.at("TELDO_RD"), {0xA5A50000u | port}));
    }
    std::uint32_t write(std::uint16_t port, std::uint8_t value) {
        return machine.call(dll.exports.at("TELDO_WR"), {0x5A5A0000u | port, 0xC3C3C300u | value});
    }

    Machine machine;
    FakeKernel32 kernel{machine};
    teldo::emu::PeImage dll;
};

TEST_P(EmulatedTeldoDll, LoadingAndUnloadingLeaveTheDeviceAlone) {
    EXPECT_EQ(machine.call(dll.entry_point, {dll.base, 0, 0}), 1u) << "DllMain, detach";
    EXPECT_TRUE(kernel.opens.empty());
    EXPECT_TRUE(kernel.controls.empty());
    EXPECT_TRUE(kernel.closes.empty());
}

TEST_P(EmulatedTeldoDll, OpensTheDeviceForReadingAndWritingUnshared) {
    EXPECT_EQ(open(), 1u);
    ASSERT_EQ(kernel.opens.size(), 1u);
    const auto& o = kernel.opens[0];
    EXPECT_EQ(o.path, "\\\\.\\TELDO");
    EXPECT_EQ(o.access, 0xC0000000u);  // GENERIC_READ | GENERIC_WRITE
    EXPECT_EQ(o.share, 0u);
    EXPECT_EQ(o.security, 0u);
    EXPECT_EQ(o.disposition, 3u);  // OPEN_EXISTING
    EXPECT_EQ(o.flags, 0x80u);     // FILE_ATTRIBUTE_NORMAL
    EXPECT_EQ(o.template_file, 0u);

    kernel.open_fails = true;
    EXPECT_EQ(open(), 0u);
}

TEST_P(EmulatedTeldoDll, RequestsReachTheDeviceInTheirLayout) {
    struct Step {
        bool is_write;
        std::uint16_t port;
        std::uint8_t value;  // written, or expected back
        std::vector<std::uint8_t> input;
    };
    const Step steps[] = {
        {true, 0x03F8, 0x5A, {0xF8, 0x03, 0x5A}},
        {false, 0x03F8, 0x5A, {0xF8, 0x03}},
        {false, 0x1234, 0xFF, {0x34, 0x12}},  // never written: an open bus
        {true, 0xFFFF, 0x00, {0xFF, 0xFF, 0x00}},
        {false, 0xFFFF, 0x00, {0xFF, 0xFF}},
    };
    ASSERT_EQ(open(), 1u);
    for (const auto& step : steps) {
        SCOPED_TRACE(testing::Message() << (step.is_write ? "write " : "read ") << std::hex << step.port);
        kernel.controls.clear();
        if (step.is_write)
            EXPECT_EQ(write(step.port, step.value), 1u);
        else
            EXPECT_EQ(read(step.port), step.value);
        ASSERT_EQ(kernel.controls.size(), 1u);
        const auto& c = kernel.controls[0];
        EXPECT_EQ(c.handle, *kernel.handles.begin());
        EXPECT_EQ(c.code, step.is_write ? teldo::IOCTL_PORT_WRITE : teldo::IOCTL_PORT_READ);
        ASSERT_EQ(c.input.size(), step.is_write ? 4u : 2u);
        EXPECT_TRUE(std::equal(step.input.begin(), step.input.end(), c.input.begin()));
        EXPECT_EQ(c.output_length, step.is_write ? 0u : 1u);
        EXPECT_EQ(c.output != 0, !step.is_write);
        EXPECT_EQ(c.overlapped, 0u);
    }
}

// A request that fails, or succeeds without delivering the byte, reads as 0,
// never as whatever the stack held; a failed write says so.
TEST_P(EmulatedTeldoDll, FailedRequestsAnswerZero) {
    struct Case {
        const char* name;
        bool opened;
        teldo::diag::FaultPlan faults;
        std::uint32_t write_result;
    };
    const Case cases[] = {
        {"not opened", false, {}, 0},
        {"the device fails", true, {2, 0}, 0},
        {"an empty reply", true, {0, 1}, 1},
    };
    kernel.ports.write(0x0378, 0x77);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.opened) {
            ASSERT_EQ(open(), 1u);
        }
        kernel.faults = c.faults;
        EXPECT_EQ(read(0x0378), 0u);
        EXPECT_EQ(write(0x0378, 0x11), c.write_result);
        close();
    }
}

TEST_P(EmulatedTeldoDll, ClosesOnceAndReopensWithoutALeak) {
    EXPECT_EQ(close(), 0xFFFFFFFFu) << "nothing open";
    EXPECT_EQ(open(), 1u);
    EXPECT_EQ(open(), 1u) << "a second open";
    EXPECT_EQ(kernel.closes.size(), 1u) << "the first handle is closed before the second open";
    EXPECT_EQ(kernel.handles.size(), 1u);
    kernel.close_result = 0;
    EXPECT_EQ(close(), 0u) << "the platform's close result";
    EXPECT_EQ(close(), 0xFFFFFFFFu) << "already closed";
    EXPECT_EQ(kernel.closes.size(), 2u);
    EXPECT_TRUE(kernel.handles.empty());
}

INSTANTIATE_TEST_SUITE_P(Bases, EmulatedTeldoDll, testing::Values(0u, 0x30000000u),
                         [](const auto& info) {
                             return info.param ? std::string("Moved") : std::string("Preferred");
                         });

}  // namespace

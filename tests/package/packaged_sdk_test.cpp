// The developer's kit's example as sdk_build_check.sh built it from the
// unpacked zip, once with MinGW and once for Microsoft's ABI, run from the
// package's folder beside its TELDO.dll against the package's port driver:
// each must succeed, and exactly its write and its read must reach the port.
// Run by package_test.sh, which names the folder in BRENVO_PACKAGE_DIR.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "child_process.h"
#include "driver_diagnostics.h"
#include "port_program.h"

namespace teldo::test {
namespace {

// The port and byte that the example writes and reads back.
constexpr std::uint16_t example_port = 0x0300;
constexpr std::uint8_t example_value = 0x5A;

std::string package_directory() {
    char directory[MAX_PATH];
    const DWORD length = GetEnvironmentVariableA("BRENVO_PACKAGE_DIR", directory, MAX_PATH);
    return length && length < MAX_PATH ? directory : "";
}

void run_example(const char* file) {
    const std::string directory = package_directory();
    ASSERT_FALSE(directory.empty()) << "BRENVO_PACKAGE_DIR names no folder";
    DriverDiagnostics diagnostics;
    ASSERT_TRUE(diagnostics.reset()) << "the packaged port driver does not answer";

    const ChildResult run = run_child("\"" + directory + "\\" + file + "\"");
    ASSERT_TRUE(run.started) << file << " did not start: error " << run.start_error;
    ASSERT_TRUE(run.finished) << file << " did not end";
    EXPECT_EQ(run.exit_code, 0u) << run.output;
    EXPECT_NE(run.output.find("TELDO_RD(0x0300) = 0x5A\n"), std::string::npos) << run.output;

    const diag::Snapshot seen = diagnostics.snapshot();
    EXPECT_EQ(seen.opens, 1u);
    EXPECT_EQ(seen.closes, 1u);
    EXPECT_EQ(seen.held, 0u) << "the example left the device open";
    ASSERT_EQ(seen.recorded, 2u);
    expect_port_request(seen.recent[0], {.write = true, .port = example_port, .value = example_value});
    expect_port_request(seen.recent[1], {.write = false, .port = example_port});
}

TEST(PackagedKit, ExampleBuiltWithMinGW) {
    run_example("teldo_example_mingw.exe");
}

TEST(PackagedKit, ExampleBuiltForMicrosoftsAbi) {
    run_example("teldo_example_msvc.exe");
}

// The TELDOX example: a word written and read back, then four bytes in one
// block request read back as two words in another, then a handshake whose
// six operations reach the driver as one program request.
TEST(PackagedKit, TeldoxExampleBothWays) {
    const std::string directory = package_directory();
    ASSERT_FALSE(directory.empty()) << "BRENVO_PACKAGE_DIR names no folder";
    for (const char* file : {"teldox_example_mingw.exe", "teldox_example_msvc.exe"}) {
        SCOPED_TRACE(file);
        DriverDiagnostics diagnostics;
        ASSERT_TRUE(diagnostics.reset()) << "the packaged port driver does not answer";
        const ChildResult run = run_child("\"" + directory + "\\" + file + "\"");
        ASSERT_TRUE(run.started) << "error " << run.start_error;
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(run.exit_code, 0u) << run.output;
        EXPECT_NE(run.output.find("  0x2211 0x4433\n"), std::string::npos) << run.output;
        const diag::Snapshot seen = diagnostics.snapshot();
        EXPECT_EQ(seen.held, 0u) << "the example left the device open";
        ASSERT_EQ(seen.recorded, 5u);
        const std::uint32_t codes[] = {IOCTL_PORT_WRITE_BLOCK, IOCTL_PORT_READ_BLOCK, IOCTL_PORT_WRITE_BLOCK,
                                       IOCTL_PORT_READ_BLOCK, IOCTL_PORT_RUN};
        for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(seen.recent[i].code, codes[i]) << i;
    }
}

}  // namespace
}  // namespace teldo::test

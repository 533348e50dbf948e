// The Brenvo.exe of the bench package, started from the unpacked zip in a
// fresh Wine prefix whose TELDO driver is the package's teldo.sys: it runs as
// its manifest asks, with the package's own TELDO.dll, and a write and a read
// through its window reach the driver. Run by package_test.sh, which names the
// unpacked folder in BRENVO_PACKAGE_DIR.
#include <windows.h>
#include <psapi.h>

#include <gtest/gtest.h>

#include <string>

#include "brenvo_process.h"
#include "driver_diagnostics.h"
#include "form1_design.h"
#include "teldo_protocol.h"

namespace brenvo::test {
namespace {

using namespace brenvo::design;

std::wstring package_directory() {
    wchar_t directory[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"BRENVO_PACKAGE_DIR", directory, MAX_PATH);
    return length && length < MAX_PATH ? directory : L"";
}

// The file that the program owning `window` has loaded as `module`, or "".
std::wstring loaded_file(HWND window, const wchar_t* module) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    const HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    if (!process) return L"";
    HMODULE modules[512];
    DWORD needed = 0;
    std::wstring found;
    if (EnumProcessModules(process, modules, sizeof modules, &needed)) {
        for (DWORD i = 0; i < needed / sizeof(HMODULE) && i < 512 && found.empty(); ++i) {
            wchar_t path[MAX_PATH];
            const DWORD length = GetModuleFileNameExW(process, modules[i], path, MAX_PATH);
            const std::wstring file(path, length);
            if (_wcsicmp(file.substr(file.find_last_of(L'\\') + 1).c_str(), module) == 0)
                found = file;
        }
    }
    CloseHandle(process);
    return found;
}

class PackagedBrenvo : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(directory.empty()) << "BRENVO_PACKAGE_DIR names no folder";
        ASSERT_TRUE(diagnostics.reset()) << "the packaged port driver does not answer";
        ASSERT_TRUE(brenvo.start(directory));
        ASSERT_NE(brenvo.wait_for_window(), nullptr) << "the packaged Brenvo.exe showed no window";
    }

    const std::wstring directory = package_directory();
    teldo::test::DriverDiagnostics diagnostics;
    BrenvoProcess brenvo;
};

// The manifest as the platform reads it, and what it asks for in force.
TEST_F(PackagedBrenvo, RunsAsItsManifestAsksWithItsOwnLibrary) {
    const std::wstring program = directory + L"\\Brenvo.exe";
    ACTCTXW request{};
    request.cbSize = sizeof request;
    request.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
    request.lpSource = program.c_str();
    request.lpResourceName = MAKEINTRESOURCEW(1);
    const HANDLE context = CreateActCtxW(&request);
    ASSERT_NE(context, INVALID_HANDLE_VALUE) << "no readable manifest, error " << GetLastError();
    // The window scales its twips itself: the system must not stretch it.
    wchar_t dpi_aware[16] = L"";
    SIZE_T written = 0;
    EXPECT_TRUE(QueryActCtxSettingsW(0, context, L"http://schemas.microsoft.com/SMI/2005/WindowsSettings",
                                     L"dpiAware", dpi_aware, 16, &written));
    EXPECT_STREQ(dpi_aware, L"true");
    ACTIVATION_CONTEXT_RUN_LEVEL_INFORMATION run_level{};
    EXPECT_TRUE(QueryActCtxW(0, context, nullptr, RunlevelInformationInActivationContext,
                             &run_level, sizeof run_level, nullptr));
    EXPECT_EQ(run_level.RunLevel, ACTCTX_RUN_LEVEL_AS_INVOKER);
    ReleaseActCtx(context);

    // The program imports no common controls library: one is loaded only
    // when the manifest redirects the standard controls to version 6, from
    // the side-by-side store.
    std::wstring controls = loaded_file(brenvo.form(), L"comctl32.dll");
    CharLowerW(controls.data());
    EXPECT_NE(controls.find(L"microsoft.windows.common-controls_6595b64144ccf1df_6."),
              std::wstring::npos)
        << "comctl32.dll: " << controls;

    const std::wstring library = loaded_file(brenvo.form(), L"TELDO.dll");
    EXPECT_EQ(_wcsicmp(library.c_str(), (directory + L"\\TELDO.dll").c_str()), 0) << library;
}

TEST_F(PackagedBrenvo, WritesAndReadsBackAPortThroughThePackagedLibraryAndDriver) {
    brenvo.type(id_text5, L"378");
    brenvo.type(id_text6, L"5a");
    brenvo.click(id_command2);
    brenvo.type(id_text2, L"378");
    brenvo.click(id_command1);
    ASSERT_TRUE(brenvo.sync());
    EXPECT_EQ(brenvo.text(id_label11), L"5A");

    const auto recent = diagnostics.recent();
    ASSERT_EQ(recent.size(), 2u);
    EXPECT_EQ(recent[0].code, ::teldo::IOCTL_PORT_WRITE);
    EXPECT_EQ(recent[0].input[0], 0x78);
    EXPECT_EQ(recent[0].input[1], 0x03);
    EXPECT_EQ(recent[0].input[2], 0x5A);
    EXPECT_EQ(recent[1].code, ::teldo::IOCTL_PORT_READ);
    EXPECT_EQ(recent[1].input[0], 0x78);
    EXPECT_EQ(recent[1].input[1], 0x03);

    brenvo.click(id_command3);
    EXPECT_EQ(brenvo.wait_for_exit(), 0u);
    const auto after = diagnostics.snapshot();
    EXPECT_EQ(after.opens, 1u);
    EXPECT_EQ(after.closes, 1u);
    EXPECT_EQ(after.held, 0u);
}

}  // namespace
}  // namespace brenvo::test

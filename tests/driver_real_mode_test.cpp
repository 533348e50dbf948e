// The driver's real-port mode under Wine, as far as Wine allows: the port
// windows come from the service key, a request outside them is refused and
// the driver goes on, a list that cannot be used stops the start, and the
// running mode shows under the service key. Wine cannot perform a real port
// cycle (its 32-bit HAL stubs it; an in/out kills its 64-bit driver host),
// so no request here reaches a port inside a window: the emulated Pentium
// shows those. The test puts the driver back into its simulated mode.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "driver_diagnostics.h"
#include "polling.h"
#include "teldo.h"
#include "teldox.h"

namespace {

using teldo::test::DriverDiagnostics;
using teldo::test::poll;

const wchar_t service_path[] = L"System\\CurrentControlSet\\Services\\TELDO";
const wchar_t parameters_path[] = L"System\\CurrentControlSet\\Services\\TELDO\\Parameters";
const wchar_t status_path[] = L"System\\CurrentControlSet\\Services\\TELDO\\Status";
constexpr std::int32_t status_access_denied = static_cast<std::int32_t>(0xC0000022);

// A REG_MULTI_SZ's bytes: each string with its NUL, then the list's NUL.
std::wstring multi_sz(const std::vector<std::wstring>& strings) {
    std::wstring data;
    for (const auto& s : strings) data += s + L'\0';
    return data + L'\0';
}

class DriverService {
public:
    DriverService() {
        manager_ = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
        service_ = manager_ ? OpenServiceW(manager_, L"TELDO",
                                           SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS)
                            : nullptr;
        if (!service_) ADD_FAILURE() << "cannot open the TELDO service, error " << GetLastError();
    }
    ~DriverService() {
        if (service_) CloseServiceHandle(service_);
        if (manager_) CloseServiceHandle(manager_);
    }

    DWORD state() {
        SERVICE_STATUS status{};
        return service_ && QueryServiceStatus(service_, &status) ? status.dwCurrentState : 0;
    }

    // Stops the driver and starts it again, so that it reads its service
    // key anew; whether it runs afterwards.
    bool restart() {
        SERVICE_STATUS status{};
        if (state() != SERVICE_STOPPED) ControlService(service_, SERVICE_CONTROL_STOP, &status);
        if (!poll(10000, [&] { return state() == SERVICE_STOPPED; })) {
            ADD_FAILURE() << "the driver did not stop";
            return false;
        }
        StartServiceW(service_, 0, nullptr);
        poll(10000, [&] { return state() != SERVICE_START_PENDING; });
        return state() == SERVICE_RUNNING;
    }

private:
    SC_HANDLE manager_ = nullptr;
    SC_HANDLE service_ = nullptr;
};

void set_value(const wchar_t* name, DWORD type, const void* data, DWORD bytes) {
    ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, parameters_path, name, type, data, bytes),
              ERROR_SUCCESS);
}
void delete_value(const wchar_t* name) {
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, parameters_path, name);
}
void set_ports(const std::wstring& list, DWORD type = REG_MULTI_SZ) {
    set_value(L"Ports", type, list.data(), static_cast<DWORD>(list.size() * sizeof(wchar_t)));
}

// The running driver's description of its mode; empty when there is none.
std::wstring running_mode() {
    wchar_t text[256] = {};
    DWORD bytes = sizeof text - sizeof text[0];
    if (RegGetValueW(HKEY_LOCAL_MACHINE, status_path, L"Mode", RRF_RT_REG_SZ, nullptr, text,
                     &bytes) != ERROR_SUCCESS)
        return {};
    return text;
}

class DriverRealMode : public ::testing::Test {
protected:
    void SetUp() override {
        TELDO_Close();
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, service_path, 0, KEY_READ, &key), ERROR_SUCCESS);
        RegCloseKey(key);
    }
    // Back to the simulated bus, whatever the test left.
    void TearDown() override {
        TELDO_Close();
        delete_value(L"Ports");
        delete_value(L"UsersMayOpen");
        EXPECT_TRUE(service_.restart()) << "the driver did not start again in its simulated mode";
        EXPECT_EQ(running_mode(), L"simulated bus");
    }

    DriverService service_;
};

TEST_F(DriverRealMode, OutsideItsWindowsEveryRequestIsRefusedAndTheDriverGoesOn) {
    set_ports(multi_sz({L"0300-031f", L"0378"}));
    ASSERT_TRUE(service_.restart());
    EXPECT_EQ(running_mode(), L"real ports 0300-031F 0378, opened by Administrators only");

    DriverDiagnostics diagnostics;
    ASSERT_TRUE(diagnostics.reset());
    ASSERT_EQ(TELDO_Open(), 1);
    // Just outside each edge, the keyboard controller, PCI configuration.
    const std::uint16_t outside[] = {0x02FF, 0x0320, 0x0377, 0x0379, 0x0060, 0x0CF8, 0xFFFF};
    for (const std::uint16_t port : outside) {
        EXPECT_EQ(TELDO_RD(port), 0) << std::hex << port;
        EXPECT_EQ(TELDO_WR(port, 0x5A), 0) << std::hex << port;
    }
    const auto seen = diagnostics.recent();
    ASSERT_EQ(seen.size(), 2 * std::size(outside));
    for (const auto& request : seen) {
        EXPECT_EQ(request.from_owner, 1u);
        EXPECT_EQ(request.status, status_access_denied);
    }
    EXPECT_EQ(service_.state(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(TELDO_Close(), 1);

    // Blocks that reach one port past a window, at either end or as a FIFO's
    // second byte: refused whole (Wine would crash on any port cycle).
    ASSERT_EQ(TELDOX_Open(), 0u);
    std::uint8_t data[8] = {};
    EXPECT_EQ(TELDOX_ReadBlock(0x31C, 4, 0, data, 2), static_cast<unsigned long>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(TELDOX_WriteBlock(0x378, 2, 1, data, 1), static_cast<unsigned long>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(TELDOX_ReadBlock(0x2FF, 1, 0, data, 2), static_cast<unsigned long>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(TELDOX_Close(), 0u);
    const auto blocks = diagnostics.recent();
    ASSERT_EQ(blocks.size(), 2 * std::size(outside) + 3);
    for (std::size_t i = 2 * std::size(outside); i < blocks.size(); ++i)
        EXPECT_EQ(blocks[i].status, status_access_denied) << i;
    EXPECT_EQ(service_.state(), static_cast<DWORD>(SERVICE_RUNNING));

    const DWORD one = 1;
    set_value(L"UsersMayOpen", REG_DWORD, &one, sizeof one);
    ASSERT_TRUE(service_.restart());
    EXPECT_EQ(running_mode(), L"real ports 0300-031F 0378, opened by Administrators and Users");
}

TEST_F(DriverRealMode, AListItCannotUseStopsTheStart) {
    struct {
        const char* what;
        std::wstring data;
        DWORD type = REG_MULTI_SZ;
    } const cases[] = {
        {"a plain string", L"0378", REG_SZ},
        {"start after end", multi_sz({L"FFFF-0000"})},
        {"the system board", multi_sz({L"0378", L"0060"})},
        {"PCI configuration", multi_sz({L"0C00-0CFF"})},
        {"a dash", multi_sz({L"-"})},
        {"five digits", multi_sz({L"10000"})},
        {"no window", multi_sz({})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        set_ports(c.data, c.type);
        EXPECT_FALSE(service_.restart());
        EXPECT_EQ(service_.state(), static_cast<DWORD>(SERVICE_STOPPED));
        EXPECT_EQ(running_mode(), L"") << "a driver that did not start describes no mode";
        EXPECT_EQ(TELDO_Open(), 0) << "no device while it is stopped";
    }
}

}  // namespace

// How Brenvo.exe binds TELDO.dll: by file name at the first call, each export
// at its own first call, with a clear message and a failure exit when one
// cannot be bound. A copy of Brenvo.exe runs in a directory of its own, beside
// a TELDO.dll stand-in with only TELDO_Open and TELDO_Close, or beside none.
#include <gtest/gtest.h>

#include <string>

#include "brenvo_process.h"
#include "form1_design.h"
#include "teldo_stub_record.h"

namespace brenvo::test {
namespace {

using namespace brenvo::design;

constexpr DWORD binding_failure = 3;

class BrenvoBinding : public testing::Test {
protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        directory_ = std::wstring(temp) + L"brenvo_binding_" + std::to_wstring(GetCurrentProcessId());
        CreateDirectoryW(directory_.c_str(), nullptr);
        ASSERT_TRUE(CopyFileW((binary_directory() + L"\\Brenvo.exe").c_str(),
                              (directory_ + L"\\Brenvo.exe").c_str(), FALSE));
        mapping_ = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                      sizeof(StubRecord), stub_record_name);
        ASSERT_NE(mapping_, nullptr);
        record_ = static_cast<StubRecord*>(MapViewOfFile(mapping_, FILE_MAP_ALL_ACCESS, 0, 0, 0));
        ASSERT_NE(record_, nullptr);
        *record_ = {1, 0, 0};
    }

    void TearDown() override {
        brenvo_.reset();
        if (record_) UnmapViewOfFile(record_);
        if (mapping_) CloseHandle(mapping_);
        DeleteFileW((directory_ + L"\\TELDO.dll").c_str());
        DeleteFileW((directory_ + L"\\Brenvo.exe").c_str());
        RemoveDirectoryW(directory_.c_str());
    }

    void add_stub() {
        ASSERT_TRUE(CopyFileW((binary_directory() + L"\\teldo_stub.dll").c_str(),
                              (directory_ + L"\\TELDO.dll").c_str(), FALSE));
    }

    BrenvoProcess& start() {
        brenvo_ = std::make_unique<BrenvoProcess>();
        EXPECT_TRUE(brenvo_->start(directory_));
        return *brenvo_;
    }

    std::wstring directory_;
    HANDLE mapping_ = nullptr;
    StubRecord* record_ = nullptr;
    std::unique_ptr<BrenvoProcess> brenvo_;
};

TEST_F(BrenvoBinding, WithoutTheLibraryNamesItAndEndsWithFailureBeforeAnyWindow) {
    BrenvoProcess& brenvo = start();
    const MessageBoxSeen box = brenvo.wait_for_message_box();
    ASSERT_NE(box.window, nullptr);
    EXPECT_NE(box.text.find(L"TELDO.dll"), std::wstring::npos) << box.text;
    EXPECT_NE(box.text.find(L"error 126"), std::wstring::npos) << box.text;  // module not found
    EXPECT_EQ(brenvo.wait_for_window(300), nullptr);
    brenvo.dismiss(box);
    EXPECT_EQ(brenvo.wait_for_exit(), binding_failure);
}

TEST_F(BrenvoBinding, BindsEachExportAtItsFirstCallAndClosesThroughTheUnload) {
    add_stub();
    BrenvoProcess& brenvo = start();
    // TELDO_RD and TELDO_WR are missing, yet the window comes up.
    ASSERT_NE(brenvo.wait_for_window(), nullptr);
    EXPECT_EQ(record_->opens, 1);
    EXPECT_EQ(record_->closes, 0);
    PostMessageW(brenvo.form(), WM_CLOSE, 0, 0);
    EXPECT_EQ(brenvo.wait_for_exit(), 0u);
    EXPECT_EQ(record_->opens, 1);
    EXPECT_EQ(record_->closes, 1);
}

TEST_F(BrenvoBinding, ExitClosesAndThenTheUnloadClosesAgain) {
    add_stub();
    BrenvoProcess& brenvo = start();
    ASSERT_NE(brenvo.wait_for_window(), nullptr);
    brenvo.click(id_command3);
    EXPECT_EQ(brenvo.wait_for_exit(), 0u);
    EXPECT_EQ(record_->opens, 1);
    EXPECT_EQ(record_->closes, 2);
}

TEST_F(BrenvoBinding, OnlyTheLow16BitsOfTheOpenResultCount) {
    add_stub();
    for (LONG result : {0x10000L, 0L}) {
        SCOPED_TRACE(result);
        *record_ = {result, 0, 0};
        BrenvoProcess& brenvo = start();
        const MessageBoxSeen box = brenvo.wait_for_message_box();
        ASSERT_NE(box.window, nullptr);
        EXPECT_EQ(box.text, L"Can't Open card !");
        brenvo.dismiss(box);
        EXPECT_EQ(brenvo.wait_for_exit(), 0u);
        EXPECT_EQ(record_->opens, 1);
        EXPECT_EQ(record_->closes, 0) << "closed after a failed open";
    }
    *record_ = {0x10001, 0, 0};
    BrenvoProcess& brenvo = start();
    EXPECT_NE(brenvo.wait_for_window(), nullptr);
}

TEST_F(BrenvoBinding, AMissingExportIsNamedAtItsFirstCallAndEndsWithFailure) {
    add_stub();
    for (int button : {id_command1, id_command2}) {
        SCOPED_TRACE(button);
        BrenvoProcess& brenvo = start();
        ASSERT_NE(brenvo.wait_for_window(), nullptr);
        brenvo.click(button);
        const MessageBoxSeen box = brenvo.wait_for_message_box();
        ASSERT_NE(box.window, nullptr);
        EXPECT_NE(box.text.find(button == id_command1 ? L"TELDO_RD" : L"TELDO_WR"), std::wstring::npos)
            << box.text;
        brenvo.dismiss(box);
        EXPECT_EQ(brenvo.wait_for_exit(), binding_failure);
    }
}

}  // namespace
}  // namespace brenvo::test

// Every shipped binary carries the project's one version and its names.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "version.h"

namespace {

struct Binary {
    const char* file;
    const char* description_start;
    DWORD file_type;
};

std::string version_string(const std::vector<char>& data, const char* name) {
    char* value = nullptr;
    UINT length = 0;
    const std::string path = std::string("\\StringFileInfo\\080404B0\\") + name;
    if (!VerQueryValueA(data.data(), path.c_str(), reinterpret_cast<void**>(&value), &length) ||
        length == 0)
        return {};
    return value;
}

TEST(VersionResources, EveryBinaryCarriesTheProjectVersion) {
    const Binary binaries[] = {
        {"TELDO.dll", "TELDO port-access library", VFT_DLL},
        {"TELDOX.dll", "TELDOX port-access library: bytes, words, dwords and blocks", VFT_DLL},
        {"teldo.sys", "TELDO port driver", VFT_DRV},
        {"Brenvo.exe", "Brenvo", VFT_APP},
    };
    for (const Binary& binary : binaries) {
        SCOPED_TRACE(binary.file);
        DWORD ignored = 0;
        const DWORD size = GetFileVersionInfoSizeA(binary.file, &ignored);
        ASSERT_NE(size, 0u) << "no version resource";
        std::vector<char> data(size);
        ASSERT_TRUE(GetFileVersionInfoA(binary.file, 0, size, data.data()));

        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT length = 0;
        ASSERT_TRUE(VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
        EXPECT_EQ(fixed->dwFileVersionMS,
                  static_cast<DWORD>(MAKELONG(BRENVO_VERSION_MINOR, BRENVO_VERSION_MAJOR)));
        EXPECT_EQ(HIWORD(fixed->dwFileVersionLS), BRENVO_VERSION_PATCH);
        EXPECT_EQ(fixed->dwFileType, binary.file_type);

        EXPECT_EQ(version_string(data, "FileVersion"), BRENVO_VERSION_TEXT);
        EXPECT_EQ(version_string(data, "ProductVersion"), BRENVO_VERSION_TEXT);
        EXPECT_EQ(version_string(data, "ProductName"), BRENVO_PRODUCT_NAME);
        EXPECT_EQ(version_string(data, "LegalCopyright"), BRENVO_COPYRIGHT);
        EXPECT_EQ(version_string(data, "OriginalFilename"), binary.file);
        EXPECT_EQ(version_string(data, "FileDescription").rfind(binary.description_start, 0), 0u);
    }
}

}  // namespace

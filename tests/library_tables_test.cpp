// TELDO.dll as a file: exactly four undecorated exports with fixed ordinals,
// and nothing imported but the three KERNEL32 calls; TELDOX.dll's six.
#include <gtest/gtest.h>

#include "pe_image.h"

namespace {

using teldo::test::PeTables;

PeTables tables_of(const char* file) {
    PeTables tables;
    std::string error;
    EXPECT_TRUE(teldo::test::read_pe_tables(file, tables, error)) << error;
    return tables;
}

TEST(LibraryTables, ExportsExactlyTheFourFunctionsByOrdinal) {
    const PeTables tables = tables_of("TELDO.dll");
    const std::map<std::uint32_t, std::string> expected{
        {1, "TELDO_Close"}, {2, "TELDO_Open"}, {3, "TELDO_RD"}, {4, "TELDO_WR"}};
    EXPECT_EQ(tables.exports_by_ordinal, expected);
    EXPECT_TRUE(tables.forwarded.empty());
}

TEST(LibraryTables, ImportsOnlyTheThreeKernelCalls) {
    const PeTables tables = tables_of("TELDO.dll");
    const std::map<std::string, std::set<std::string>> expected{
        {"KERNEL32.DLL", {"CloseHandle", "CreateFileA", "DeviceIoControl"}}};
    EXPECT_EQ(tables.imports, expected);
}

TEST(LibraryTables, TeldoxExportsItsSevenFunctionsAndImportsOnlyKernel32) {
    const PeTables tables = tables_of("TELDOX.dll");
    const std::map<std::uint32_t, std::string> expected{
        {1, "TELDOX_Close"}, {2, "TELDOX_Open"},  {3, "TELDOX_Read"},
        {4, "TELDOX_ReadBlock"}, {5, "TELDOX_Write"}, {6, "TELDOX_WriteBlock"}, {7, "TELDOX_Run"}};
    EXPECT_EQ(tables.exports_by_ordinal, expected);
    ASSERT_EQ(tables.imports.size(), 1u);
    EXPECT_EQ(tables.imports.begin()->first, "KERNEL32.DLL");
}

TEST(LibraryTables, IsAnImageOfTheTestsArchitectureWithAnEntryRoutine) {
    const PeTables tables = tables_of("TELDO.dll");
#ifdef _WIN64
    EXPECT_EQ(tables.machine, IMAGE_FILE_MACHINE_AMD64);
#else
    EXPECT_EQ(tables.machine, IMAGE_FILE_MACHINE_I386);
#endif
    EXPECT_NE(tables.entry_point_rva, 0u);
}

}  // namespace

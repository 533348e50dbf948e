// Reading a PE image's export and import tables, from a file on disk or from
// a module loaded in this process, and patching a loaded module's imports.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace teldo::test {

struct PeTables {
    std::map<std::uint32_t, std::string> exports_by_ordinal;
    std::vector<std::string> forwarded;                    // exports that forward elsewhere
    std::map<std::string, std::set<std::string>> imports;  // DLL (upper case) -> names
    std::uint32_t entry_point_rva = 0;
    std::uint16_t machine = 0;
};

// Parses a file; on failure returns false and says why in `error`.
bool read_pe_tables(const std::string& path, PeTables& tables, std::string& error);

// Replaces the address that `module` calls for `dll`!`function` (its import
// address table entry). Returns the previous address, or nullptr if absent.
void* patch_import(HMODULE module, const char* dll, const char* function, void* replacement);

}  // namespace teldo::test

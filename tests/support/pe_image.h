// Reading a PE image's export and import tables, 32-bit (PE32) or 64-bit
// (PE32+), from a file on disk or from an image as loaded in memory, and
// patching a loaded module's imports.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <set>
#include <span>
#include <string>
#include <vector>

namespace teldo::test {

struct PeImportSlot {
    std::string dll;       // upper case
    std::string function;  // "#N" when imported by ordinal
    std::uint32_t slot_rva;  // its import address table entry
};

struct PeTables {
    std::map<std::uint32_t, std::string> exports_by_ordinal;
    std::vector<std::string> forwarded;                    // exports that forward elsewhere
    std::map<std::string, std::set<std::string>> imports;  // DLL (upper case) -> names
    std::vector<PeImportSlot> import_slots;                // every imported function
    std::uint32_t entry_point_rva = 0;
    std::uint32_t image_size = 0;  // SizeOfImage: the bytes it takes once loaded
    std::uint16_t machine = 0;
};

// How an image's bytes are laid out: as in its file, or as loaded, where an
// RVA is an offset from the first byte.
enum class PeLayout { file, loaded };

// Parses an image; on failure returns false and says why in `error`.
bool read_pe_tables(std::span<const char> bytes, PeLayout layout, PeTables& tables,
                    std::string& error);
bool read_pe_tables(const std::string& path, PeTables& tables, std::string& error);

// The import address table entry of `dll`!`function` in a PE image's tables
// (its RVA), or 0 when it is not imported by that name.
std::uint32_t import_slot(const PeTables& tables, const char* dll, const char* function);

// Replaces the address that `module` calls for `dll`!`function` (its import
// address table entry). Returns the previous address, or nullptr if absent.
void* patch_import(HMODULE module, const char* dll, const char* function, void* replacement);

}  // namespace teldo::test

// A 32-bit PE image (PE32, i386) laid out as the Windows loader would place
// it at a chosen base: sections at their addresses, base relocations applied,
// each import address table entry pointing where the caller decides. Needs no
// platform header, so a native test can load the shipped x86 binaries.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace teldo::emu {

struct Pe32Image {
    std::uint32_t base = 0;
    std::uint32_t entry_point = 0;  // absolute address
    std::vector<std::uint8_t> bytes;  // SizeOfImage bytes, as loaded at `base`
    std::map<std::string, std::uint32_t> exports;  // name -> absolute address
};

// Gives the address an import binds to: `dll` in upper case, `function` its
// name (or "#N" for an ordinal).
using ImportBinder = std::function<std::uint32_t(const std::string& dll, const std::string& function)>;

// Lays `file` out at `base` (0: the image's preferred base). On a fault in
// the file, or a relocation other than 32-bit absolute, returns false and
// says why in `error`.
bool load_pe32(const std::vector<std::uint8_t>& file, std::uint32_t base, const ImportBinder& bind,
               Pe32Image& image, std::string& error);

std::vector<std::uint8_t> read_file(const std::string& path);

}  // namespace teldo::emu

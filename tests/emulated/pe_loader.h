// A PE image, 32-bit (PE32, i386) or 64-bit (PE32+, x86-64), laid out as the
// Windows loader would place it at a chosen base: sections at their
// addresses, base relocations applied, each import address table entry
// pointing where the caller decides. Needs no platform header, so a native
// test can load the shipped binaries.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace teldo::emu {

struct PeImage {
    bool pe32_plus = false;
    std::uint64_t base = 0;
    std::uint64_t entry_point = 0;    // absolute address
    std::vector<std::uint8_t> bytes;  // SizeOfImage bytes, as loaded at `base`
    std::map<std::string, std::uint64_t> exports;  // name -> absolute address
};

// Gives the address an import binds to: `dll` in upper case, `function` its
// name (or "#N" for an ordinal).
using ImportBinder = std::function<std::uint64_t(const std::string& dll, const std::string& function)>;

// Lays `file` out at `base` (0: the image's preferred base), if it is a
// PE32+ image exactly when `pe32_plus`. On a fault in the file, or a
// relocation other than the architecture's absolute one, returns false and
// says why in `error`.
bool load_pe(const std::vector<std::uint8_t>& file, bool pe32_plus, std::uint64_t base, const ImportBinder& bind,
             PeImage& image, std::string& error);

std::vector<std::uint8_t> read_file(const std::string& path);

}  // namespace teldo::emu

#include "pe_loader.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <iterator>

namespace teldo::emu {
namespace {

// Bounds-checked little-endian reads from a byte vector.
class Bytes {
public:
    explicit Bytes(std::vector<std::uint8_t>& bytes) : bytes_(bytes) {}
    bool has(std::uint32_t offset, std::uint32_t length) const {
        return offset <= bytes_.size() && length <= bytes_.size() - offset;
    }
    std::uint32_t u16(std::uint32_t at) const { return has(at, 2) ? bytes_[at] | bytes_[at + 1] << 8 : 0; }
    std::uint32_t u32(std::uint32_t at) const { return has(at, 4) ? u16(at) | u16(at + 2) << 16 : 0; }
    std::uint64_t u64(std::uint32_t at) const { return u32(at) | std::uint64_t{u32(at + 4)} << 32; }
    // A pointer-sized field: 8 bytes in a PE32+ image, 4 in a PE32 one.
    std::uint64_t word(std::uint32_t at, bool wide) const { return wide ? u64(at) : u32(at); }
    void put(std::uint32_t at, std::uint64_t value, std::uint32_t size) {
        if (has(at, size))
            for (std::uint32_t i = 0; i < size; ++i) bytes_[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
    std::string text(std::uint32_t at) const {
        std::string out;
        while (at < bytes_.size() && bytes_[at] != 0 && out.size() < 256) out += static_cast<char>(bytes_[at++]);
        return out;
    }

private:
    std::vector<std::uint8_t>& bytes_;
};

constexpr std::uint32_t export_directory = 0, import_directory = 1, reloc_directory = 5;

}  // namespace

std::vector<std::uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool load_pe(const std::vector<std::uint8_t>& file_bytes, bool pe32_plus, std::uint64_t base,
             const ImportBinder& bind, PeImage& image, std::string& error) {
    auto file_copy = file_bytes;
    Bytes file(file_copy);
    const std::uint32_t pe = file.u32(0x3C);
    if (file.u16(0) != 0x5A4D || file.u32(pe) != 0x4550) return error = "not a PE image", false;
    const std::uint32_t coff = pe + 4, optional = coff + 20;
    const bool wide = pe32_plus;
    if (file.u16(coff) != (wide ? 0x8664 : 0x14C) || file.u16(optional) != (wide ? 0x20B : 0x10B))
        return error = wide ? "not an x86-64 PE32+ image" : "not an i386 PE32 image", false;
    const std::uint64_t preferred = wide ? file.u64(optional + 24) : file.u32(optional + 28);
    const std::uint32_t image_size = file.u32(optional + 56);
    const std::uint32_t header_size = file.u32(optional + 60);
    if (image_size == 0 || image_size > (64u << 20) || !file.has(0, header_size))
        return error = "implausible image or header size", false;
    image.pe32_plus = wide;
    image.base = base ? base : preferred;
    image.bytes.assign(image_size, 0);
    std::copy_n(file_bytes.begin(), header_size, image.bytes.begin());

    const std::uint32_t sections = optional + file.u16(coff + 16);
    for (std::uint32_t i = 0; i < file.u16(coff + 2); ++i) {
        const std::uint32_t header = sections + 40 * i;
        const std::uint32_t address = file.u32(header + 12), raw_size = file.u32(header + 16),
                            raw_at = file.u32(header + 20);
        const std::uint32_t length = std::min(raw_size, file.u32(header + 8) ? file.u32(header + 8) : raw_size);
        if (!file.has(raw_at, length) || address > image_size || length > image_size - address)
            return error = "a section lies outside the file or the image", false;
        std::copy_n(file_bytes.begin() + raw_at, length, image.bytes.begin() + address);
    }

    Bytes loaded(image.bytes);
    auto directory = [&](std::uint32_t index, std::uint32_t& rva, std::uint32_t& size) {
        const std::uint32_t directories = optional + (wide ? 112 : 96);
        rva = loaded.u32(directories + 8 * index);
        size = loaded.u32(directories + 4 + 8 * index);
        return rva != 0 && loaded.has(rva, size);
    };
    std::uint32_t rva, size;

    // An image moved from its preferred base: each absolute address in it is
    // adjusted, 32-bit ones (type 3) in PE32 and 64-bit ones (type 10) in
    // PE32+. An image with no address to adjust may have no relocations at
    // all, unless its file says it must not be moved.
    const std::uint64_t delta = image.base - preferred;
    const std::uint32_t absolute = wide ? 10 : 3, absolute_size = wide ? 8 : 4;
    const bool relocs_stripped = file.u16(coff + 18) & 0x0001;
    if (delta != 0 && !directory(reloc_directory, rva, size)) {
        if (relocs_stripped) return error = "moved, but its relocations were stripped", false;
    } else if (delta != 0) {
        for (std::uint32_t block = rva; block + 8 <= rva + size;) {
            const std::uint32_t page = loaded.u32(block), block_size = loaded.u32(block + 4);
            if (block_size < 8) return error = "a relocation block is malformed", false;
            for (std::uint32_t at = block + 8; at + 2 <= block + block_size; at += 2) {
                const std::uint32_t entry = loaded.u16(at), type = entry >> 12;
                const std::uint32_t target = page + (entry & 0xFFF);
                if (type == 0) continue;  // padding
                if (type != absolute || !loaded.has(target, absolute_size))
                    return error = "relocation of type " + std::to_string(type) + " not supported", false;
                loaded.put(target, loaded.word(target, wide) + delta, absolute_size);
            }
            block += block_size;
        }
    }

    if (directory(import_directory, rva, size)) {
        for (std::uint32_t descriptor = rva; loaded.u32(descriptor + 12) != 0; descriptor += 20) {
            std::string dll = loaded.text(loaded.u32(descriptor + 12));
            std::transform(dll.begin(), dll.end(), dll.begin(), [](unsigned char c) { return std::toupper(c); });
            const std::uint32_t names = loaded.u32(descriptor) ? loaded.u32(descriptor) : loaded.u32(descriptor + 16);
            const std::uint32_t entry = wide ? 8 : 4;
            const std::uint64_t by_ordinal = std::uint64_t{1} << (8 * entry - 1);
            for (std::uint32_t i = 0;; ++i) {
                const std::uint64_t thunk = loaded.word(names + entry * i, wide);
                if (thunk == 0) break;
                const std::string function = thunk & by_ordinal ? "#" + std::to_string(thunk & 0xFFFF)
                                                                : loaded.text(static_cast<std::uint32_t>(thunk) + 2);
                loaded.put(loaded.u32(descriptor + 16) + entry * i, bind(dll, function), entry);
            }
        }
    }

    if (directory(export_directory, rva, size)) {
        const std::uint32_t count = loaded.u32(rva + 24), functions = loaded.u32(rva + 28),
                            names = loaded.u32(rva + 32), ordinals = loaded.u32(rva + 36);
        for (std::uint32_t i = 0; i < count; ++i)
            image.exports[loaded.text(loaded.u32(names + 4 * i))] =
                image.base + loaded.u32(functions + 4 * loaded.u16(ordinals + 2 * i));
    }
    image.entry_point = image.base + loaded.u32(optional + 16);
    return true;
}

}  // namespace teldo::emu

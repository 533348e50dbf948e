#include "pe_image.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>

namespace teldo::test {
namespace {

std::string upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

// An image's bytes with bounds-checked access by RVA, in either layout.
class Image {
public:
    Image(std::span<const char> bytes, PeLayout layout) : bytes_(bytes), layout_(layout) {}

    bool parse(std::string& error) {
        const auto* dos = at<IMAGE_DOS_HEADER>(0);
        if (!dos || dos->e_magic != IMAGE_DOS_SIGNATURE) return fail(error, "no MZ header");
        const auto nt_at = static_cast<std::size_t>(dos->e_lfanew);
        // PE32 and PE32+ share the signature, the file header and the
        // optional header's start; they differ from the image base on.
        const auto* nt = at<IMAGE_NT_HEADERS32>(nt_at);
        if (!nt || nt->Signature != IMAGE_NT_SIGNATURE) return fail(error, "no PE header");
        file_header_ = nt->FileHeader;
        if (nt->OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC) {
            if (!read_optional<IMAGE_NT_HEADERS32>(nt_at)) return fail(error, "truncated PE32 header");
            wide_thunks_ = false;
        } else if (nt->OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
            if (!read_optional<IMAGE_NT_HEADERS64>(nt_at)) return fail(error, "truncated PE32+ header");
            wide_thunks_ = true;
        } else {
            return fail(error, "neither a PE32 nor a PE32+ image");
        }
        const std::size_t sections_at = nt_at + offsetof(IMAGE_NT_HEADERS32, OptionalHeader) +
                                        file_header_.SizeOfOptionalHeader;
        for (unsigned i = 0; i < file_header_.NumberOfSections; ++i) {
            const auto* section = at<IMAGE_SECTION_HEADER>(sections_at + i * sizeof(IMAGE_SECTION_HEADER));
            if (!section) return fail(error, "truncated section table");
            sections_.push_back(*section);
        }
        return true;
    }

    const IMAGE_FILE_HEADER& file_header() const { return file_header_; }
    std::uint32_t entry_point() const { return entry_point_; }
    std::uint32_t image_size() const { return image_size_; }
    const IMAGE_DATA_DIRECTORY& directory(int index) const { return directories_[index]; }

    template <typename T>
    const T* at_rva(std::uint32_t rva) const {
        if (layout_ == PeLayout::loaded) return at<T>(rva);
        for (const auto& section : sections_) {
            const std::uint32_t size = std::max(section.Misc.VirtualSize, section.SizeOfRawData);
            if (rva >= section.VirtualAddress && rva < section.VirtualAddress + size)
                return at<T>(section.PointerToRawData + (rva - section.VirtualAddress));
        }
        return nullptr;
    }

    std::string string_at_rva(std::uint32_t rva) const {
        const char* text = at_rva<char>(rva);
        if (!text) return {};
        return {text, std::find(text, bytes_.data() + bytes_.size(), '\0')};
    }

    // One import lookup entry: 4 bytes in PE32, 8 in PE32+. Returns false
    // past the image; `by_ordinal` and `value` say what the entry holds.
    bool thunk(std::uint32_t rva, bool& by_ordinal, std::uint64_t& value) const {
        if (wide_thunks_) {
            const auto* entry = at_rva<std::uint64_t>(rva);
            if (!entry) return false;
            by_ordinal = (*entry & IMAGE_ORDINAL_FLAG64) != 0;
            value = *entry;
        } else {
            const auto* entry = at_rva<std::uint32_t>(rva);
            if (!entry) return false;
            by_ordinal = (*entry & IMAGE_ORDINAL_FLAG32) != 0;
            value = *entry;
        }
        return true;
    }
    std::uint32_t thunk_size() const { return wide_thunks_ ? 8 : 4; }

private:
    template <typename Headers>
    bool read_optional(std::size_t nt_at) {
        const auto* nt = at<Headers>(nt_at);
        if (!nt) return false;
        entry_point_ = nt->OptionalHeader.AddressOfEntryPoint;
        image_size_ = nt->OptionalHeader.SizeOfImage;
        std::copy(std::begin(nt->OptionalHeader.DataDirectory), std::end(nt->OptionalHeader.DataDirectory),
                  directories_);
        return true;
    }
    template <typename T>
    const T* at(std::size_t offset) const {
        if (offset > bytes_.size() || bytes_.size() - offset < sizeof(T)) return nullptr;
        return reinterpret_cast<const T*>(bytes_.data() + offset);
    }
    static bool fail(std::string& error, const char* why) {
        error = why;
        return false;
    }

    std::span<const char> bytes_;
    PeLayout layout_;
    IMAGE_FILE_HEADER file_header_{};
    std::uint32_t entry_point_ = 0, image_size_ = 0;
    IMAGE_DATA_DIRECTORY directories_[IMAGE_NUMBEROF_DIRECTORY_ENTRIES]{};
    bool wide_thunks_ = false;
    std::vector<IMAGE_SECTION_HEADER> sections_;
};

}  // namespace

bool read_pe_tables(std::span<const char> bytes, PeLayout layout, PeTables& tables,
                    std::string& error) {
    Image image(bytes, layout);
    if (!image.parse(error)) return false;
    tables.machine = image.file_header().Machine;
    tables.entry_point_rva = image.entry_point();
    tables.image_size = image.image_size();

    const auto& export_dir = image.directory(IMAGE_DIRECTORY_ENTRY_EXPORT);
    if (export_dir.VirtualAddress != 0) {
        const auto* exports = image.at_rva<IMAGE_EXPORT_DIRECTORY>(export_dir.VirtualAddress);
        if (!exports) return error = "bad export directory", false;
        for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
            const auto* name_rva = image.at_rva<DWORD>(exports->AddressOfNames + 4 * i);
            const auto* index = image.at_rva<WORD>(exports->AddressOfNameOrdinals + 2 * i);
            if (!name_rva || !index) return error = "bad export name table", false;
            const auto* function = image.at_rva<DWORD>(exports->AddressOfFunctions + 4 * *index);
            if (!function) return error = "bad export address table", false;
            const std::string name = image.string_at_rva(*name_rva);
            tables.exports_by_ordinal[exports->Base + *index] = name;
            if (*function >= export_dir.VirtualAddress &&
                *function < export_dir.VirtualAddress + export_dir.Size)
                tables.forwarded.push_back(name);
        }
    }

    const auto& import_dir = image.directory(IMAGE_DIRECTORY_ENTRY_IMPORT);
    for (std::uint32_t at = import_dir.VirtualAddress; import_dir.VirtualAddress != 0;
         at += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        const auto* descriptor = image.at_rva<IMAGE_IMPORT_DESCRIPTOR>(at);
        if (!descriptor) return error = "bad import directory", false;
        if (descriptor->Name == 0) break;
        const std::string dll = upper(image.string_at_rva(descriptor->Name));
        auto& names = tables.imports[dll];
        // Loaded, the address table holds addresses: the names are in the
        // lookup table (OriginalFirstThunk) alone.
        const std::uint32_t lookup =
            descriptor->OriginalFirstThunk ? descriptor->OriginalFirstThunk : descriptor->FirstThunk;
        for (std::uint32_t i = 0;; ++i) {
            bool by_ordinal = false;
            std::uint64_t value = 0;
            if (!image.thunk(lookup + i * image.thunk_size(), by_ordinal, value))
                return error = "bad import thunk", false;
            if (value == 0) break;
            const std::string function =
                by_ordinal ? "#" + std::to_string(value & 0xFFFF)
                           : image.string_at_rva(static_cast<std::uint32_t>(value) + 2);  // skip the hint
            names.insert(function);
            tables.import_slots.push_back({dll, function, descriptor->FirstThunk + i * image.thunk_size()});
        }
    }
    return true;
}

bool read_pe_tables(const std::string& path, PeTables& tables, std::string& error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "cannot open the file";
        return false;
    }
    const std::vector<char> bytes(std::istreambuf_iterator<char>(file), {});
    return read_pe_tables(bytes, PeLayout::file, tables, error);
}

std::uint32_t import_slot(const PeTables& tables, const char* dll, const char* function) {
    for (const PeImportSlot& slot : tables.import_slots)
        if (slot.dll == upper(dll) && slot.function == function) return slot.slot_rva;
    return 0;
}

void* patch_import(HMODULE module, const char* dll, const char* function, void* replacement) {
    const auto* base = reinterpret_cast<const char*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    PeTables tables;
    std::string error;
    if (!read_pe_tables({base, nt->OptionalHeader.SizeOfImage}, PeLayout::loaded, tables, error))
        return nullptr;
    const std::uint32_t rva = import_slot(tables, dll, function);
    if (rva == 0) return nullptr;
    auto* slot = reinterpret_cast<void**>(const_cast<char*>(base) + rva);
    DWORD protection;
    VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &protection);
    void* previous = *slot;
    *slot = replacement;
    VirtualProtect(slot, sizeof *slot, protection, &protection);
    return previous;
}

}  // namespace teldo::test

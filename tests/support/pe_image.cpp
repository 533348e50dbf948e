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

// A file image with bounds-checked access by RVA.
class FileImage {
public:
    explicit FileImage(std::vector<char> bytes) : bytes_(std::move(bytes)) {}

    bool parse(std::string& error) {
        const auto* dos = at<IMAGE_DOS_HEADER>(0);
        if (!dos || dos->e_magic != IMAGE_DOS_SIGNATURE) return fail(error, "no MZ header");
        nt_ = at<IMAGE_NT_HEADERS32>(static_cast<std::size_t>(dos->e_lfanew));
        if (!nt_ || nt_->Signature != IMAGE_NT_SIGNATURE) return fail(error, "no PE header");
        if (nt_->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR32_MAGIC)
            return fail(error, "not a 32-bit image");
        const std::size_t sections_at = static_cast<std::size_t>(dos->e_lfanew) +
                                        offsetof(IMAGE_NT_HEADERS32, OptionalHeader) +
                                        nt_->FileHeader.SizeOfOptionalHeader;
        for (unsigned i = 0; i < nt_->FileHeader.NumberOfSections; ++i) {
            const auto* section = at<IMAGE_SECTION_HEADER>(sections_at + i * sizeof(IMAGE_SECTION_HEADER));
            if (!section) return fail(error, "truncated section table");
            sections_.push_back(*section);
        }
        return true;
    }

    const IMAGE_NT_HEADERS32& nt() const { return *nt_; }

    template <typename T>
    const T* at_rva(std::uint32_t rva) const {
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
        const char* end = bytes_.data() + bytes_.size();
        return {text, std::find(text, end, '\0')};
    }

private:
    template <typename T>
    const T* at(std::size_t offset) const {
        if (offset > bytes_.size() || bytes_.size() - offset < sizeof(T)) return nullptr;
        return reinterpret_cast<const T*>(bytes_.data() + offset);
    }
    static bool fail(std::string& error, const char* why) {
        error = why;
        return false;
    }

    std::vector<char> bytes_;
    const IMAGE_NT_HEADERS32* nt_ = nullptr;
    std::vector<IMAGE_SECTION_HEADER> sections_;
};

}  // namespace

bool read_pe_tables(const std::string& path, PeTables& tables, std::string& error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "cannot open the file";
        return false;
    }
    FileImage image(std::vector<char>(std::istreambuf_iterator<char>(file), {}));
    if (!image.parse(error)) return false;
    const auto& optional = image.nt().OptionalHeader;
    tables.machine = image.nt().FileHeader.Machine;
    tables.entry_point_rva = optional.AddressOfEntryPoint;

    const auto& export_dir = optional.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
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

    const auto& import_dir = optional.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (std::uint32_t at = import_dir.VirtualAddress; import_dir.VirtualAddress != 0;
         at += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        const auto* descriptor = image.at_rva<IMAGE_IMPORT_DESCRIPTOR>(at);
        if (!descriptor) return error = "bad import directory", false;
        if (descriptor->Name == 0) break;
        auto& names = tables.imports[upper(image.string_at_rva(descriptor->Name))];
        const std::uint32_t thunks =
            descriptor->OriginalFirstThunk ? descriptor->OriginalFirstThunk : descriptor->FirstThunk;
        for (std::uint32_t slot = thunks;; slot += 4) {
            const auto* thunk = image.at_rva<DWORD>(slot);
            if (!thunk) return error = "bad import thunk", false;
            if (*thunk == 0) break;
            if (*thunk & IMAGE_ORDINAL_FLAG32)
                names.insert("#" + std::to_string(*thunk & 0xFFFF));
            else
                names.insert(image.string_at_rva(*thunk + 2));  // skip the hint
        }
    }
    return true;
}

void* patch_import(HMODULE module, const char* dll, const char* function, void* replacement) {
    auto* base = reinterpret_cast<BYTE*>(module);
    const auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<IMAGE_NT_HEADERS32*>(base + dos->e_lfanew);
    const auto& import_dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (import_dir.VirtualAddress == 0) return nullptr;
    for (auto* descriptor = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + import_dir.VirtualAddress);
         descriptor->Name != 0; ++descriptor) {
        if (lstrcmpiA(reinterpret_cast<char*>(base + descriptor->Name), dll) != 0) continue;
        auto* names = reinterpret_cast<DWORD*>(base + descriptor->OriginalFirstThunk);
        auto* slots = reinterpret_cast<void**>(base + descriptor->FirstThunk);
        for (; *names != 0; ++names, ++slots) {
            if (*names & IMAGE_ORDINAL_FLAG32) continue;
            const auto* by_name = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + *names);
            if (lstrcmpA(reinterpret_cast<const char*>(by_name->Name), function) != 0) continue;
            DWORD protection;
            VirtualProtect(slots, sizeof *slots, PAGE_READWRITE, &protection);
            void* previous = *slots;
            *slots = replacement;
            VirtualProtect(slots, sizeof *slots, protection, &protection);
            return previous;
        }
    }
    return nullptr;
}

}  // namespace teldo::test

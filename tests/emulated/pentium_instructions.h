// Which x86 instructions a Pentium (P5, no MMX) lacks: the ones later
// processors added that a compiler may emit for a newer target (CMOVcc, the
// FCMOV/FCOMI family, the long NOP, SYSENTER/SYSCALL, MMX, SSE, AVX).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace teldo::emu {

struct OpcodeRange {
    std::uint8_t first, last;
    const char* name;
};

// Second bytes after 0F.
constexpr std::array<OpcodeRange, 16> newer_two_byte_opcodes{{
    {0x05, 0x05, "SYSCALL"},       {0x07, 0x07, "SYSRET"},
    {0x0D, 0x0D, "PREFETCHW"},     {0x0F, 0x0F, "3DNow!"},
    {0x10, 0x18, "SSE/PREFETCH"},  {0x1F, 0x1F, "long NOP"},
    {0x28, 0x2F, "SSE"},           {0x33, 0x33, "RDPMC"},
    {0x34, 0x35, "SYSENTER/SYSEXIT"}, {0x38, 0x3A, "SSSE3/SSE4"},
    {0x40, 0x4F, "CMOVcc"},        {0x50, 0x7F, "MMX/SSE"},
    {0xAE, 0xAE, "FXSAVE/LDMXCSR/fence"}, {0xB8, 0xB8, "POPCNT"},
    {0xC2, 0xC6, "SSE"},           {0xD0, 0xFF, "MMX/SSE"},
}};

// The name of what `code` (one whole instruction) needs beyond the Pentium,
// or nullptr when a Pentium runs it.
constexpr const char* newer_than_pentium(std::span<const std::uint8_t> code) {
    std::size_t i = 0;
    auto is_prefix = [](std::uint8_t b) {
        return b == 0x66 || b == 0x67 || b == 0xF0 || b == 0xF2 || b == 0xF3 || b == 0x26 ||
               b == 0x2E || b == 0x36 || b == 0x3E || b == 0x64 || b == 0x65;
    };
    while (i < code.size() && is_prefix(code[i])) ++i;
    if (i + 1 >= code.size()) return nullptr;
    const std::uint8_t op = code[i], next = code[i + 1];
    if (op == 0x0F) {
        for (const auto& range : newer_two_byte_opcodes)
            if (next >= range.first && next <= range.last) return range.name;
        return nullptr;
    }
    // Register forms only: the memory forms of these opcodes are older.
    if ((op == 0xDA || op == 0xDB) && next >= 0xC0 && next <= 0xDF) return "FCMOVcc";
    if ((op == 0xDB || op == 0xDF) && next >= 0xE8 && next <= 0xF7) return "FCOMI/FUCOMI";
    if ((op == 0xC4 || op == 0xC5) && next >= 0xC0) return "VEX (AVX)";
    return nullptr;
}

static_assert(newer_than_pentium(std::array<std::uint8_t, 3>{0x0F, 0x44, 0xC1}) != nullptr);
static_assert(newer_than_pentium(std::array<std::uint8_t, 3>{0x0F, 0xB6, 0xC0}) == nullptr);  // MOVZX
static_assert(newer_than_pentium(std::array<std::uint8_t, 2>{0x0F, 0xA2}) == nullptr);        // CPUID

}  // namespace teldo::emu

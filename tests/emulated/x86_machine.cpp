#include "x86_machine.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <span>

#include "pentium_instructions.h"

namespace teldo::emu {
namespace {

// The address space: traps and stack high, test data in the middle, well
// away from the images' own bases.
constexpr std::uint32_t trap_base = 0x7FFE0000, trap_area = 0x10000, trap_stride = 4;
constexpr std::uint32_t stack_base = 0x7FF00000, stack_size = 0x10000;
constexpr std::uint32_t heap_base = 0x50000000, heap_size = 0x100000;
constexpr std::uint32_t return_sentinel = 0xFFFFF000;  // never mapped: the run stops there
constexpr std::uint64_t run_timeout_us = 5'000'000;

struct Marker {
    int id;
    const char* name;
    std::uint32_t value;
};
constexpr Marker callee_saved[] = {{UC_X86_REG_EBX, "EBX", 0xB0B0B0B0},
                                   {UC_X86_REG_ESI, "ESI", 0x51515151},
                                   {UC_X86_REG_EDI, "EDI", 0xD1D1D1D1},
                                   {UC_X86_REG_EBP, "EBP", 0xBEBEBEBE}};

std::string hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", value);
    return text;
}

}  // namespace

std::vector<std::uint8_t> read_packaged(const std::string& name, std::string& error) {
    const char* package = std::getenv("TELDO_WIN32_PACKAGE_DIR");
    if (!package) return error = "TELDO_WIN32_PACKAGE_DIR does not name the unpacked package", std::vector<std::uint8_t>{};
    auto bytes = read_file(std::string(package) + "/" + name);
    if (bytes.empty()) error = "no " + name + " in " + package;
    return bytes;
}

Machine::Machine() : heap_next_(heap_base) {
    if (uc_open(UC_ARCH_X86, UC_MODE_32, &uc_) != UC_ERR_OK) {
        faults_.push_back("the CPU emulator cannot start");
        return;
    }
    uc_ctl_set_cpu_model(uc_, UC_CPU_X86_PENTIUM);  // before anything is mapped
    uc_mem_map(uc_, trap_base, trap_area, UC_PROT_READ | UC_PROT_EXEC);
    const std::vector<std::uint8_t> int3s(trap_area, 0xCC);
    uc_mem_write(uc_, trap_base, int3s.data(), int3s.size());
    uc_mem_map(uc_, stack_base, stack_size, UC_PROT_READ | UC_PROT_WRITE);
    uc_mem_map(uc_, heap_base, heap_size, UC_PROT_READ | UC_PROT_WRITE);
    uc_hook hook;
    uc_hook_add(uc_, &hook, UC_HOOK_INTR, reinterpret_cast<void*>(&on_interrupt), this, 1, 0);
    uc_hook_add(uc_, &hook, UC_HOOK_CODE, reinterpret_cast<void*>(&on_instruction), this, 1, 0);
    uc_hook_add(uc_, &hook, UC_HOOK_MEM_INVALID, reinterpret_cast<void*>(&on_bad_access), this, 1, 0);
    // No loaded image may execute a port instruction itself: the DLL never
    // reaches a port, and the x86 driver does only through the HAL.
    uc_hook_add(uc_, &hook, UC_HOOK_INSN, reinterpret_cast<void*>(&on_port_in), this, 1, 0, UC_X86_INS_IN);
    uc_hook_add(uc_, &hook, UC_HOOK_INSN, reinterpret_cast<void*>(&on_port_out), this, 1, 0, UC_X86_INS_OUT);
}

Machine::~Machine() {
    if (uc_) uc_close(uc_);
}

void Machine::provide(const std::string& dll, const std::string& function, int arguments,
                      Convention convention, Handler handler) {
    provided_.push_back({dll, function, arguments, convention, std::move(handler)});
}

bool Machine::load(const std::vector<std::uint8_t>& file, std::uint32_t base, Pe32Image& image,
                   std::string& error) {
    auto bind = [&](const std::string& dll, const std::string& function) {
        auto known = std::find_if(provided_.begin(), provided_.end(), [&](const Function& f) {
            return f.dll == dll && f.function == function;
        });
        // An import the test does not provide binds to a trap that refuses it.
        traps_.push_back(known != provided_.end() ? *known : Function{dll, function, 0, Convention::stdcall, nullptr});
        return trap_base + trap_stride * static_cast<std::uint32_t>(traps_.size() - 1);
    };
    if (!load_pe32(file, base, bind, image, error)) return false;
    const std::uint32_t mapped = (static_cast<std::uint32_t>(image.bytes.size()) + 0xFFF) & ~0xFFFu;
    if (uc_mem_map(uc_, image.base, mapped, UC_PROT_ALL) != UC_ERR_OK ||
        uc_mem_write(uc_, image.base, image.bytes.data(), image.bytes.size()) != UC_ERR_OK)
        return error = "cannot map the image at " + hex(image.base), false;
    return true;
}

std::uint32_t Machine::call(std::uint32_t function, std::initializer_list<std::uint32_t> arguments) {
    const std::vector<std::uint8_t> a5(stack_size, 0xA5);
    uc_mem_write(uc_, stack_base, a5.data(), a5.size());
    std::uint32_t esp = stack_base + stack_size - 0x100;
    for (auto it = std::rbegin(arguments); it != std::rend(arguments); ++it) put32(esp -= 4, *it);
    put32(esp -= 4, return_sentinel);
    const std::uint32_t expected_esp = esp + 4 + 4 * static_cast<std::uint32_t>(arguments.size());
    set_reg(UC_X86_REG_ESP, esp);
    for (const auto& marker : callee_saved) set_reg(marker.id, marker.value);
    set_reg(UC_X86_REG_EFLAGS, 0x2);  // direction flag clear, as every caller leaves it
    set_reg(UC_X86_REG_EAX, 0xEAEAEAEA);
    set_reg(UC_X86_REG_ECX, 0xC0C0C0C0);
    set_reg(UC_X86_REG_EDX, 0xDDDDDDDD);

    const std::size_t faults_before = faults_.size();
    const uc_err err = uc_emu_start(uc_, function, return_sentinel, run_timeout_us, 0);
    const std::uint32_t eip = reg(UC_X86_REG_EIP);
    if (err != UC_ERR_OK) fault(std::string("the CPU stopped: ") + uc_strerror(err) + " at " + hex(eip));
    if (eip != return_sentinel) {
        if (faults_.size() == faults_before) fault("the call to " + hex(function) + " did not return");
        return reg(UC_X86_REG_EAX);
    }
    const std::uint32_t removed = reg(UC_X86_REG_ESP) - (esp + 4);
    if (reg(UC_X86_REG_ESP) != expected_esp)
        fault("the function at " + hex(function) + " removed " + std::to_string(removed) +
              " argument bytes, not " + std::to_string(4 * arguments.size()));
    for (const auto& marker : callee_saved)
        if (reg(marker.id) != marker.value)
            fault(std::string("the function at ") + hex(function) + " did not keep " + marker.name);
    if (reg(UC_X86_REG_EFLAGS) & 0x400)
        fault("the function at " + hex(function) + " returned with the direction flag set");
    return reg(UC_X86_REG_EAX);
}

void Machine::serve_trap() {
    const std::uint32_t index = (reg(UC_X86_REG_EIP) - 1 - trap_base) / trap_stride;
    if (index >= traps_.size()) return fault("a jump into the trap area at " + hex(reg(UC_X86_REG_EIP)));
    const Function& called = traps_[index];
    if (!called.handler) return fault("called " + called.dll + "!" + called.function + ", which the test does not provide");

    std::uint32_t esp = reg(UC_X86_REG_ESP);
    const std::uint32_t return_address = u32(esp);
    std::uint32_t args[8] = {};
    int from_stack = called.arguments;
    int next = 0;
    if (called.convention == Convention::fastcall) {
        args[next++] = reg(UC_X86_REG_ECX);
        if (called.arguments > 1) args[next++] = reg(UC_X86_REG_EDX);
        from_stack -= next;
    }
    for (int i = 0; i < from_stack; ++i) args[next++] = u32(esp + 4 + 4 * i);

    std::uint32_t result = 0;
    try {
        result = called.handler(args);
    } catch (const std::exception& e) {
        fault(called.function + " failed in the test: " + e.what());
    }
    // As the real function: the result in EAX, ECX and EDX not kept, the
    // stack arguments removed, back to the caller.
    set_reg(UC_X86_REG_EAX, result);
    set_reg(UC_X86_REG_ECX, 0x0BADC0DE);
    set_reg(UC_X86_REG_EDX, 0x0BADD0DE);
    set_reg(UC_X86_REG_ESP, esp + 4 + 4 * from_stack);
    set_reg(UC_X86_REG_EIP, return_address);
}

void Machine::on_interrupt(uc_engine*, std::uint32_t number, void* self) {
    auto& machine = *static_cast<Machine*>(self);
    if (number == 3) return machine.serve_trap();
    machine.fault("CPU exception " + std::to_string(number) + " at " + hex(machine.reg(UC_X86_REG_EIP)));
}

void Machine::on_instruction(uc_engine* uc, std::uint64_t address, std::uint32_t size, void* self) {
    std::uint8_t code[16] = {};
    if (size == 0 || size > sizeof code || uc_mem_read(uc, address, code, size) != UC_ERR_OK) return;
    if (const char* name = newer_than_pentium(std::span<const std::uint8_t>(code, size))) {
        std::string bytes;
        for (std::uint32_t i = 0; i < size; ++i) {
            char two[4];
            std::snprintf(two, sizeof two, "%02x ", code[i]);
            bytes += two;
        }
        static_cast<Machine*>(self)->fault("an instruction newer than the Pentium at " +
                                           hex(static_cast<std::uint32_t>(address)) + ": " + name +
                                           " (" + bytes.substr(0, bytes.size() - 1) + ")");
    }
}

std::uint32_t Machine::on_port_in(uc_engine*, std::uint32_t port, int size, void* self) {
    auto& machine = *static_cast<Machine*>(self);
    machine.fault("a port instruction (in, " + std::to_string(size) + " bytes from port " + hex(port) +
                  ") at " + hex(machine.reg(UC_X86_REG_EIP)));
    return 0xFFFFFFFF;
}

void Machine::on_port_out(uc_engine*, std::uint32_t port, int size, std::uint32_t, void* self) {
    auto& machine = *static_cast<Machine*>(self);
    machine.fault("a port instruction (out, " + std::to_string(size) + " bytes to port " + hex(port) +
                  ") at " + hex(machine.reg(UC_X86_REG_EIP)));
}

bool Machine::on_bad_access(uc_engine*, uc_mem_type type, std::uint64_t address, int, std::int64_t,
                            void* self) {
    auto& machine = *static_cast<Machine*>(self);
    machine.fault("a bad memory access (type " + std::to_string(type) + ") to " +
                  hex(static_cast<std::uint32_t>(address)) + " at " + hex(machine.reg(UC_X86_REG_EIP)));
    return false;
}

void Machine::fault(const std::string& what) {
    faults_.push_back(what);
    if (uc_) uc_emu_stop(uc_);
}

std::string Machine::fault_report() const {
    std::string report;
    for (const auto& line : faults_) report += line + "\n";
    return report;
}

std::uint32_t Machine::allocate(std::uint32_t size) {
    const std::uint32_t address = heap_next_;
    heap_next_ += (size + 15) & ~15u;
    if (heap_next_ > heap_base + heap_size) fault("the test's data memory is full");
    return address;
}

std::uint32_t Machine::allocate_wide(const std::u16string& text) {
    const std::uint32_t address = allocate(2 * static_cast<std::uint32_t>(text.size() + 1));
    for (std::size_t i = 0; i < text.size(); ++i) put16(address + 2 * static_cast<std::uint32_t>(i), text[i]);
    return address;
}

std::vector<std::uint8_t> Machine::bytes(std::uint32_t address, std::uint32_t length) {
    std::vector<std::uint8_t> out(length);
    if (length && uc_mem_read(uc_, address, out.data(), length) != UC_ERR_OK)
        fault("the test read unmapped memory at " + hex(address));
    return out;
}

std::uint8_t Machine::u8(std::uint32_t address) { return bytes(address, 1)[0]; }
std::uint16_t Machine::u16(std::uint32_t address) {
    const auto b = bytes(address, 2);
    return static_cast<std::uint16_t>(b[0] | b[1] << 8);
}
std::uint32_t Machine::u32(std::uint32_t address) { return u16(address) | u16(address + 2) << 16; }

std::string Machine::text(std::uint32_t address) {
    std::string out;
    for (char c; out.size() < 1024 && (c = static_cast<char>(u8(address++))) != 0;) out += c;
    return out;
}

std::u16string Machine::wide(std::uint32_t address, std::uint32_t length) {
    std::u16string out;
    for (std::uint32_t i = 0; i + 1 < length; i += 2) out += static_cast<char16_t>(u16(address + i));
    return out;
}

void Machine::put(std::uint32_t address, const std::vector<std::uint8_t>& data) {
    if (!data.empty() && uc_mem_write(uc_, address, data.data(), data.size()) != UC_ERR_OK)
        fault("the test wrote unmapped memory at " + hex(address));
}
void Machine::put8(std::uint32_t address, std::uint8_t value) { put(address, {value}); }
void Machine::put16(std::uint32_t address, std::uint16_t value) {
    put(address, {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8)});
}
void Machine::put32(std::uint32_t address, std::uint32_t value) {
    put16(address, static_cast<std::uint16_t>(value));
    put16(address + 2, static_cast<std::uint16_t>(value >> 16));
}

std::uint32_t Machine::reg(int id) {
    std::uint32_t value = 0;
    uc_reg_read(uc_, id, &value);
    return value;
}

void Machine::set_reg(int id, std::uint32_t value) { uc_reg_write(uc_, id, &value); }

}  // namespace teldo::emu

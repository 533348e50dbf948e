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
// away from the images' own bases. On x64 all of it lies where Windows keeps
// kernel memory, far above 4 GiB, so that a pointer or handle the driver cut
// to 32 bits leads nowhere. Unicorn's 64-bit mode needs no page tables and
// no GDT for this: addresses are used as given, with flat segments (the
// driver reads no GS-based processor block, which would need a GS base).
struct MemoryPlan {
    Address trap_base, stack_base, heap_base, return_sentinel;  // the sentinel is never mapped
};
constexpr MemoryPlan plan32{0x7FFE0000, 0x7FF00000, 0x50000000, 0xFFFFF000};
constexpr MemoryPlan plan64{0xFFFFF88000000000, 0xFFFFF88000100000, 0xFFFFF88010000000, 0xFFFFF880FFFFF000};
constexpr std::uint32_t trap_area = 0x10000, trap_stride = 4, stack_size = 0x10000, heap_size = 0x100000;
constexpr std::uint64_t run_timeout_us = 5'000'000;
const MemoryPlan& plan(Arch arch) { return arch == Arch::x64 ? plan64 : plan32; }

struct Marker {
    int id;
    const char* name;
    std::uint64_t value;
};
constexpr Marker callee_saved32[] = {{UC_X86_REG_EBX, "EBX", 0xB0B0B0B0},
                                     {UC_X86_REG_ESI, "ESI", 0x51515151},
                                     {UC_X86_REG_EDI, "EDI", 0xD1D1D1D1},
                                     {UC_X86_REG_EBP, "EBP", 0xBEBEBEBE}};
constexpr Marker callee_saved64[] = {
    {UC_X86_REG_RBX, "RBX", 0xB0B0B0B0B0B0B0B0}, {UC_X86_REG_RBP, "RBP", 0xBEBEBEBEBEBEBEBE},
    {UC_X86_REG_RSI, "RSI", 0x5151515151515151}, {UC_X86_REG_RDI, "RDI", 0xD1D1D1D1D1D1D1D1},
    {UC_X86_REG_R12, "R12", 0x1212121212121212}, {UC_X86_REG_R13, "R13", 0x1313131313131313},
    {UC_X86_REG_R14, "R14", 0x1414141414141414}, {UC_X86_REG_R15, "R15", 0x1515151515151515}};
// The x64 convention's argument registers, and the general ones a callee
// may change.
constexpr int arguments64[] = {UC_X86_REG_RCX, UC_X86_REG_RDX, UC_X86_REG_R8, UC_X86_REG_R9};
constexpr int volatile64[] = {UC_X86_REG_RCX, UC_X86_REG_RDX, UC_X86_REG_R8,
                              UC_X86_REG_R9,  UC_X86_REG_R10, UC_X86_REG_R11};
// Above the return address an x64 caller leaves 32 bytes of shadow space,
// the callee's to use, and the fifth argument on comes after it.
constexpr std::uint32_t shadow_space = 0x20;

std::string hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, value >> 32 ? "0x%016llx" : "0x%08llx", static_cast<unsigned long long>(value));
    return text;
}

}  // namespace

std::vector<std::uint8_t> read_packaged(Arch arch, const std::string& name, std::string& error) {
    const char* variable = arch == Arch::x64 ? "TELDO_WIN64_PACKAGE_DIR" : "TELDO_WIN32_PACKAGE_DIR";
    const char* package = std::getenv(variable);
    if (!package) return error = std::string(variable) + " does not name the unpacked package", std::vector<std::uint8_t>{};
    auto bytes = read_file(std::string(package) + "/" + name);
    if (bytes.empty()) error = "no " + name + " in " + package;
    return bytes;
}

Machine::Machine(Arch arch) : arch_(arch), heap_next_(plan(arch).heap_base) {
    const MemoryPlan& memory = plan(arch);
    if (uc_open(UC_ARCH_X86, arch == Arch::x64 ? UC_MODE_64 : UC_MODE_32, &uc_) != UC_ERR_OK) {
        faults_.push_back("the CPU emulator cannot start");
        return;
    }
    if (arch == Arch::x86) uc_ctl_set_cpu_model(uc_, UC_CPU_X86_PENTIUM);  // before anything is mapped
    uc_mem_map(uc_, memory.trap_base, trap_area, UC_PROT_READ | UC_PROT_EXEC);
    const std::vector<std::uint8_t> int3s(trap_area, 0xCC);
    uc_mem_write(uc_, memory.trap_base, int3s.data(), int3s.size());
    uc_mem_map(uc_, memory.stack_base, stack_size, UC_PROT_READ | UC_PROT_WRITE);
    uc_mem_map(uc_, memory.heap_base, heap_size, UC_PROT_READ | UC_PROT_WRITE);
    uc_hook hook;
    uc_hook_add(uc_, &hook, UC_HOOK_INTR, reinterpret_cast<void*>(&on_interrupt), this, 1, 0);
    uc_hook_add(uc_, &hook, UC_HOOK_CODE, reinterpret_cast<void*>(&on_instruction), this, 1, 0);
    uc_hook_add(uc_, &hook, UC_HOOK_MEM_INVALID, reinterpret_cast<void*>(&on_bad_access), this, 1, 0);
    // Unicorn calls these for every in and out, each element of a rep ins
    // or rep outs on its own, in either mode, with RSI and RDI (ESI, EDI) as
    // they are for that element.
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

void Machine::watch(Address begin, std::uint32_t length, Watcher watcher) {
    if (watch_hook_) uc_hook_del(uc_, watch_hook_);
    watch_hook_ = 0;
    watcher_ = std::move(watcher);
    if (length != 0 && watcher_)
        uc_hook_add(uc_, &watch_hook_, UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE, reinterpret_cast<void*>(&on_watched),
                    this, begin, begin + length - 1);
}

bool Machine::load(const std::vector<std::uint8_t>& file, Address base, PeImage& image, std::string& error) {
    const Address trap_base = plan(arch_).trap_base;
    auto bind = [&](const std::string& dll, const std::string& function) {
        auto known = std::find_if(provided_.begin(), provided_.end(), [&](const Function& f) {
            return f.dll == dll && f.function == function;
        });
        // An import the test does not provide binds to a trap that refuses it.
        traps_.push_back(known != provided_.end() ? *known : Function{dll, function, 0, Convention::stdcall, nullptr});
        return trap_base + trap_stride * (traps_.size() - 1);
    };
    if (!load_pe(file, arch_ == Arch::x64, base, bind, image, error)) return false;
    const Address mapped = (image.bytes.size() + 0xFFF) & ~Address{0xFFF};
    if (uc_mem_map(uc_, image.base, mapped, UC_PROT_ALL) != UC_ERR_OK ||
        uc_mem_write(uc_, image.base, image.bytes.data(), image.bytes.size()) != UC_ERR_OK)
        return error = "cannot map the image at " + hex(image.base), false;
    return true;
}

std::uint64_t Machine::call(Address function, std::initializer_list<std::uint64_t> arguments) {
    const MemoryPlan& memory = plan(arch_);
    const bool x64 = arch_ == Arch::x64;
    const std::vector<std::uint8_t> a5(stack_size, 0xA5);
    uc_mem_write(uc_, memory.stack_base, a5.data(), a5.size());
    // The stack as the caller leaves it at its call instruction: on x64
    // 16-byte aligned, with the shadow space and then the fifth argument on
    // above it; on x86 every argument pushed, the last first.
    Address sp = memory.stack_base + stack_size - 0x100;
    Address expected_sp = sp;
    const auto count = static_cast<std::uint32_t>(arguments.size());
    if (x64) {
        const std::uint64_t* argument = arguments.begin();
        for (std::uint32_t i = 0; i < count; ++i) {
            if (i < std::size(arguments64)) set_reg(arguments64[i], argument[i]);
            else put_ptr(sp + shadow_space + 8 * (i - std::size(arguments64)), argument[i]);
        }
    } else {
        for (auto it = std::rbegin(arguments); it != std::rend(arguments); ++it) put32(sp -= 4, static_cast<std::uint32_t>(*it));
    }
    put_ptr(sp -= pointer_size(), memory.return_sentinel);
    const int sp_id = x64 ? UC_X86_REG_RSP : UC_X86_REG_ESP;
    const int ax_id = x64 ? UC_X86_REG_RAX : UC_X86_REG_EAX;
    set_reg(sp_id, sp);
    const std::span<const Marker> saved = x64 ? std::span<const Marker>(callee_saved64) : callee_saved32;
    for (const auto& marker : saved) set_reg(marker.id, marker.value);
    // XMM6 to XMM15 belong to the caller on x64 too: each gets its number
    // in every byte.
    std::uint8_t xmm[16];
    for (int n = 6; x64 && n <= 15; ++n) {
        std::fill(std::begin(xmm), std::end(xmm), static_cast<std::uint8_t>(n));
        uc_reg_write(uc_, UC_X86_REG_XMM0 + n, xmm);
    }
    set_reg(UC_X86_REG_EFLAGS, 0x2);  // direction flag clear, as every caller leaves it
    set_reg(ax_id, 0xEAEAEAEAEAEAEAEA);
    if (!x64) {
        set_reg(UC_X86_REG_ECX, 0xC0C0C0C0);
        set_reg(UC_X86_REG_EDX, 0xDDDDDDDD);
    }

    const std::size_t faults_before = faults_.size();
    const uc_err err = uc_emu_start(uc_, function, memory.return_sentinel, run_timeout_us, 0);
    if (err != UC_ERR_OK) fault(std::string("the CPU stopped: ") + uc_strerror(err) + " at " + hex(ip()));
    if (ip() != memory.return_sentinel) {
        if (faults_.size() == faults_before) fault("the call to " + hex(function) + " did not return");
        return reg(ax_id);
    }
    if (!x64) expected_sp = sp + 4 + 4 * count;
    if (reg(sp_id) != expected_sp) {
        if (x64) fault("the function at " + hex(function) + " returned with RSP moved");
        else
            fault("the function at " + hex(function) + " removed " + std::to_string(reg(sp_id) - (sp + 4)) +
                  " argument bytes, not " + std::to_string(4 * count));
    }
    for (const auto& marker : saved)
        if (reg(marker.id) != marker.value)
            fault(std::string("the function at ") + hex(function) + " did not keep " + marker.name);
    for (int n = 6; x64 && n <= 15; ++n) {
        uc_reg_read(uc_, UC_X86_REG_XMM0 + n, xmm);
        if (std::any_of(std::begin(xmm), std::end(xmm), [n](std::uint8_t b) { return b != n; }))
            fault("the function at " + hex(function) + " did not keep XMM" + std::to_string(n));
    }
    if (reg(UC_X86_REG_EFLAGS) & 0x400)
        fault("the function at " + hex(function) + " returned with the direction flag set");
    return reg(ax_id);
}

void Machine::serve_trap() {
    const Address index = (ip() - 1 - plan(arch_).trap_base) / trap_stride;
    if (index >= traps_.size()) return fault("a jump into the trap area at " + hex(ip()));
    const Function& called = traps_[index];
    if (!called.handler) return fault("called " + called.dll + "!" + called.function + ", which the test does not provide");
    if (arch_ == Arch::x64) return serve_trap_x64(called);

    const Address esp = reg(UC_X86_REG_ESP);
    const std::uint32_t return_address = u32(esp);
    std::uint64_t args[8] = {};
    int from_stack = called.arguments;
    int next = 0;
    if (called.convention == Convention::fastcall) {
        args[next++] = reg(UC_X86_REG_ECX);
        if (called.arguments > 1) args[next++] = reg(UC_X86_REG_EDX);
        from_stack -= next;
    }
    for (int i = 0; i < from_stack; ++i) args[next++] = u32(esp + 4 + 4 * i);

    const std::uint64_t result = invoke(called, args);
    // As the real function: the result in EAX (a wide one's high half in
    // EDX), ECX and EDX not kept, the stack arguments removed, back to the
    // caller.
    set_reg(UC_X86_REG_EAX, static_cast<std::uint32_t>(result));
    set_reg(UC_X86_REG_ECX, 0x0BADC0DE);
    set_reg(UC_X86_REG_EDX, called.convention == Convention::stdcall_wide ? static_cast<std::uint32_t>(result >> 32)
                                                                         : 0x0BADD0DE);
    set_reg(UC_X86_REG_ESP, esp + 4 + 4 * from_stack);
    set_reg(UC_X86_REG_EIP, return_address);
}

std::uint64_t Machine::invoke(const Function& called, const std::uint64_t* args) {
    try {
        return called.handler(args);
    } catch (const std::exception& e) {
        fault(called.function + " failed in the test: " + e.what());
        return 0;
    }
}

void Machine::serve_trap_x64(const Function& called) {
    const Address rsp = reg(UC_X86_REG_RSP);
    // The caller aligned the stack to 16 bytes before its call pushed the
    // return address; the kernel's functions may rely on it.
    if ((rsp + 8) % 16 != 0) fault("called " + called.function + " with a stack not aligned to 16 bytes");
    std::uint64_t args[8] = {};
    for (int i = 0; i < called.arguments; ++i)
        args[i] = i < 4 ? reg(arguments64[i]) : ptr(rsp + 8 + shadow_space + 8 * (i - 4));
    const std::uint64_t result = invoke(called, args);
    // As the real function: the result in RAX, the volatile registers and
    // the shadow space not kept, the caller's stack arguments left where
    // they are.
    set_reg(UC_X86_REG_RAX, result);
    for (int id : volatile64) set_reg(id, 0x0BADC0DE0BADC0DE);
    for (std::uint32_t at = 8; at < 8 + shadow_space; at += 8) put_ptr(rsp + at, 0x0BADF00D0BADF00D);
    set_reg(UC_X86_REG_RIP, ptr(rsp));
    set_reg(UC_X86_REG_RSP, rsp + 8);
}

void Machine::on_interrupt(uc_engine*, std::uint32_t number, void* self) {
    auto& machine = *static_cast<Machine*>(self);
    if (number == 3) return machine.serve_trap();
    machine.fault("CPU exception " + std::to_string(number) + " at " + hex(machine.ip()));
}

void Machine::on_instruction(uc_engine* uc, std::uint64_t address, std::uint32_t size, void* self) {
    auto& machine = *static_cast<Machine*>(self);
    machine.instruction_ = address;
    if (machine.arch_ != Arch::x86) {
        machine.read_cr8(address, size);
        return;
    }
    std::uint8_t code[16] = {};
    if (size == 0 || size > sizeof code || uc_mem_read(uc, address, code, size) != UC_ERR_OK) return;
    if (const char* name = newer_than_pentium(std::span<const std::uint8_t>(code, size))) {
        std::string bytes;
        for (std::uint32_t i = 0; i < size; ++i) {
            char two[4];
            std::snprintf(two, sizeof two, "%02x ", code[i]);
            bytes += two;
        }
        machine.fault("an instruction newer than the Pentium at " + hex(address) + ": " + name + " (" +
                      bytes.substr(0, bytes.size() - 1) + ")");
    }
}

// Serves `mov reg, cr8` (REX with R set, 0F 20, a register operand) from
// the test, and steps over it; false for any other instruction.
bool Machine::read_cr8(Address address, std::uint32_t size) {
    std::uint8_t code[4] = {};
    if (!cr8_ || size != 4 || uc_mem_read(uc_, address, code, 4) != UC_ERR_OK) return false;
    if ((code[0] & 0xF4) != 0x44 || code[1] != 0x0F || code[2] != 0x20 || (code[3] & 0xF8) != 0xC0) return false;
    static constexpr int registers[] = {UC_X86_REG_RAX, UC_X86_REG_RCX, UC_X86_REG_RDX, UC_X86_REG_RBX,
                                        UC_X86_REG_RSP, UC_X86_REG_RBP, UC_X86_REG_RSI, UC_X86_REG_RDI,
                                        UC_X86_REG_R8,  UC_X86_REG_R9,  UC_X86_REG_R10, UC_X86_REG_R11,
                                        UC_X86_REG_R12, UC_X86_REG_R13, UC_X86_REG_R14, UC_X86_REG_R15};
    set_reg(registers[(code[0] & 1) << 3 | (code[3] & 7)], cr8_());
    set_reg(UC_X86_REG_RIP, address + size);
    return true;
}

std::uint32_t Machine::on_port_in(uc_engine*, std::uint32_t port, int size, void* self) {
    return static_cast<Machine*>(self)->port_cycle(port, size, false, 0);
}

void Machine::on_port_out(uc_engine*, std::uint32_t port, int size, std::uint32_t value, void* self) {
    static_cast<Machine*>(self)->port_cycle(port, size, true, value);
}

std::uint32_t Machine::port_cycle(std::uint32_t port, int size, bool write, std::uint32_t value) {
    const bool x64 = arch_ == Arch::x64;
    // Unicorn's instruction pointer is not current inside a port hook, only
    // the code hook's address is.
    const Address ip = instruction_;
    if (!bus_) {
        fault(std::string("a port instruction (") + (write ? "out, " : "in, ") + std::to_string(size) +
              (write ? " bytes to port " : " bytes from port ") + hex(port) + ") at " + hex(ip));
        return 0xFFFFFFFF;
    }
    // ins and outs (6C to 6F after any prefixes) move their element through
    // memory at RDI or RSI, which Unicorn shows as they are for this element.
    std::uint8_t code[15] = {};
    uc_mem_read(uc_, ip, code, sizeof code);
    std::size_t at = 0;
    auto prefix = [x64](std::uint8_t b) {
        return b == 0x66 || b == 0x67 || b == 0xF2 || b == 0xF3 || b == 0x26 || b == 0x2E || b == 0x36 ||
               b == 0x3E || b == 0x64 || b == 0x65 || (x64 && (b & 0xF0) == 0x40);
    };
    while (at < sizeof code - 1 && prefix(code[at])) ++at;
    Address memory = 0;
    if (code[at] >= 0x6C && code[at] <= 0x6F)
        memory = write ? reg(x64 ? UC_X86_REG_RSI : UC_X86_REG_ESI) : reg(x64 ? UC_X86_REG_RDI : UC_X86_REG_EDI);
    return bus_(static_cast<std::uint16_t>(port), static_cast<std::uint32_t>(size), write, value, memory);
}

void Machine::on_watched(uc_engine*, uc_mem_type type, std::uint64_t address, int size, std::int64_t,
                         void* self) {
    auto& machine = *static_cast<Machine*>(self);
    machine.watcher_(address, static_cast<std::uint32_t>(size), type == UC_MEM_WRITE);
}

bool Machine::on_bad_access(uc_engine*, uc_mem_type type, std::uint64_t address, int, std::int64_t,
                            void* self) {
    auto& machine = *static_cast<Machine*>(self);
    machine.fault("a bad memory access (type " + std::to_string(type) + ") to " +
                  hex(address) + " at " + hex(machine.ip()));
    return false;
}

void Machine::fault(const std::string& what) {
    // A fault met again at once (in every element of a block, say) is told once.
    if (faults_.empty() || faults_.back() != what) faults_.push_back(what);
    if (uc_) uc_emu_stop(uc_);
}

std::string Machine::fault_report() const {
    std::string report;
    for (const auto& line : faults_) report += line + "\n";
    return report;
}

Address Machine::allocate(std::uint32_t size) {
    const Address address = heap_next_;
    heap_next_ += (size + 15) & ~15u;
    if (heap_next_ > plan(arch_).heap_base + heap_size) fault("the test's data memory is full");
    return address;
}

Address Machine::allocate_wide(const std::u16string& text) {
    const Address address = allocate(2 * static_cast<std::uint32_t>(text.size() + 1));
    for (std::size_t i = 0; i < text.size(); ++i) put16(address + 2 * i, text[i]);
    return address;
}

std::vector<std::uint8_t> Machine::bytes(Address address, std::uint32_t length) {
    std::vector<std::uint8_t> out(length);
    if (length && uc_mem_read(uc_, address, out.data(), length) != UC_ERR_OK)
        fault("the test read unmapped memory at " + hex(address));
    return out;
}

std::uint8_t Machine::u8(Address address) { return bytes(address, 1)[0]; }
std::uint16_t Machine::u16(Address address) {
    const auto b = bytes(address, 2);
    return static_cast<std::uint16_t>(b[0] | b[1] << 8);
}
std::uint32_t Machine::u32(Address address) { return u16(address) | u16(address + 2) << 16; }
Address Machine::ptr(Address address) {
    return arch_ == Arch::x64 ? u32(address) | Address{u32(address + 4)} << 32 : u32(address);
}

std::string Machine::text(Address address) {
    std::string out;
    for (char c; out.size() < 1024 && (c = static_cast<char>(u8(address++))) != 0;) out += c;
    return out;
}

std::u16string Machine::wide(Address address, std::uint32_t length) {
    std::u16string out;
    for (std::uint32_t i = 0; i + 1 < length; i += 2) out += static_cast<char16_t>(u16(address + i));
    return out;
}

void Machine::put(Address address, const std::vector<std::uint8_t>& data) {
    if (!data.empty() && uc_mem_write(uc_, address, data.data(), data.size()) != UC_ERR_OK)
        fault("the test wrote unmapped memory at " + hex(address));
}
void Machine::put8(Address address, std::uint8_t value) { put(address, {value}); }
void Machine::put16(Address address, std::uint16_t value) {
    put(address, {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8)});
}
void Machine::put32(Address address, std::uint32_t value) {
    put16(address, static_cast<std::uint16_t>(value));
    put16(address + 2, static_cast<std::uint16_t>(value >> 16));
}
void Machine::put_ptr(Address address, Address value) {
    put32(address, static_cast<std::uint32_t>(value));
    if (arch_ == Arch::x64) put32(address + 4, static_cast<std::uint32_t>(value >> 32));
}

Address Machine::ip() { return reg(arch_ == Arch::x64 ? UC_X86_REG_RIP : UC_X86_REG_EIP); }

std::uint64_t Machine::reg(int id) {
    std::uint64_t value = 0;  // a 32-bit register fills its low half
    uc_reg_read(uc_, id, &value);
    return value;
}

void Machine::set_reg(int id, std::uint64_t value) { uc_reg_write(uc_, id, &value); }

}  // namespace teldo::emu

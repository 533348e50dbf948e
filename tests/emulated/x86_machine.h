// An x86 machine on the Unicorn CPU emulator for running the shipped Windows
// binaries natively: a 32-bit one set up as a Pentium, or a 64-bit one (an
// x86-64 processor in long mode). PE images are mapped at a chosen base,
// their imports bound to traps that answer from the test, and calls made
// the platform's way with every return checked: stdcall on x86, the
// Microsoft x64 convention on x64. Faults (a wrong stack after a return, a
// register not kept, an instruction newer than the Pentium, an unaligned
// stack at a call, a port instruction no bus answers, any CPU exception, an
// import the test does not provide) are collected, not thrown: nothing may
// unwind through the emulator's callbacks.
#pragma once

#include <unicorn/unicorn.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "pe_loader.h"

namespace teldo::emu {

enum class Arch { x86, x64 };
using Address = std::uint64_t;

// How an imported function takes its arguments on x86: all on the stack,
// removed by the callee; or the first two in ECX and EDX, the rest on the
// stack (the kernel's "f" functions, such as IofCompleteRequest and
// KfAcquireSpinLock). x64 has one convention, and ignores this.
// stdcall_wide: stdcall with a 64-bit result, which x86 returns in EDX:EAX.
enum class Convention { stdcall, stdcall_wide, fastcall };

// The bytes of a file of the unpacked package of `arch` (the folder that
// TELDO_WIN32_PACKAGE_DIR or TELDO_WIN64_PACKAGE_DIR names); empty, with the
// reason, when missing.
std::vector<std::uint8_t> read_packaged(Arch arch, const std::string& name, std::string& error);

class Machine {
public:
    // Gets the arguments in order (ECX and EDX first for fastcall; RCX, RDX,
    // R8, R9 and then the stack on x64), each as the caller left its
    // register or stack slot: an argument narrower than a register, such as
    // a ULONG on x64, has undefined bits above it. Returns EAX or RAX.
    using Handler = std::function<std::uint64_t(const std::uint64_t* args)>;
    // Serves one port cycle of an in or out instruction: gets the port, the
    // width in bytes, whether it writes and what, and for a string
    // instruction (ins, outs) the memory its element goes to or comes from,
    // else 0. Returns what a read gives.
    using PortBus = std::function<std::uint32_t(std::uint16_t port, std::uint32_t width, bool write,
                                                std::uint32_t value, Address memory)>;
    // Sees one read or write of emulated code in watched memory.
    using Watcher = std::function<void(Address address, std::uint32_t size, bool write)>;

    explicit Machine(Arch arch = Arch::x86);
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    Arch arch() const { return arch_; }
    std::uint32_t pointer_size() const { return arch_ == Arch::x64 ? 8 : 4; }

    // Makes `dll`!`function` available to images loaded after this call.
    void provide(const std::string& dll, const std::string& function, int arguments,
                 Convention convention, Handler handler);
    // Port instructions reach `bus`; without one, each is a fault.
    void attach_bus(PortBus bus) { bus_ = std::move(bus); }
    // What a read of CR8 (on x64 the current IRQL) gives; the emulator's
    // own answers 0 whatever was written.
    void answer_cr8(std::function<std::uint64_t()> cr8) { cr8_ = std::move(cr8); }
    // Calls `watcher` for every read and write that emulated code makes from
    // `begin` up to `begin + length`, until the next watch (length 0: none).
    void watch(Address begin, std::uint32_t length, Watcher watcher);
    // Loads an image at `base` (0: its preferred base) and maps it.
    bool load(const std::vector<std::uint8_t>& file, Address base, PeImage& image, std::string& error);

    // Calls `function` with a fresh stack filled with A5 bytes and checks its
    // return: on x86 with exactly its arguments removed, EBX, ESI, EDI and
    // EBP kept; on x64 with RSP back, RBX, RBP, RSI, RDI and R12 to R15 kept;
    // the direction flag clear on both. Returns EAX or RAX.
    std::uint64_t call(Address function, std::initializer_list<std::uint64_t> arguments);

    // Data memory for the test's structures; every block is zero-filled.
    Address allocate(std::uint32_t size);
    Address allocate_wide(const std::u16string& text);  // a NUL-terminated copy
    std::uint8_t u8(Address address);
    std::uint16_t u16(Address address);
    std::uint32_t u32(Address address);
    Address ptr(Address address);  // a pointer, handle or ULONG_PTR
    std::vector<std::uint8_t> bytes(Address address, std::uint32_t length);
    std::string text(Address address);  // NUL-terminated 8-bit text
    std::u16string wide(Address address, std::uint32_t bytes);
    void put8(Address address, std::uint8_t value);
    void put16(Address address, std::uint16_t value);
    void put32(Address address, std::uint32_t value);
    void put_ptr(Address address, Address value);
    void put(Address address, const std::vector<std::uint8_t>& bytes);

    // Records a fault; an import handler calls it to refuse how it was called.
    void fault(const std::string& what);
    const std::vector<std::string>& faults() const { return faults_; }
    std::string fault_report() const;

private:
    struct Function {
        std::string dll, function;
        int arguments;
        Convention convention;
        Handler handler;
    };

    static void on_interrupt(uc_engine*, std::uint32_t number, void* self);
    static void on_instruction(uc_engine*, std::uint64_t address, std::uint32_t size, void* self);
    static std::uint32_t on_port_in(uc_engine*, std::uint32_t port, int size, void* self);
    static void on_port_out(uc_engine*, std::uint32_t port, int size, std::uint32_t value, void* self);
    static void on_watched(uc_engine*, uc_mem_type type, std::uint64_t address, int size, std::int64_t,
                           void* self);
    static bool on_bad_access(uc_engine*, uc_mem_type, std::uint64_t address, int size,
                              std::int64_t, void* self);
    std::uint32_t port_cycle(std::uint32_t port, int size, bool write, std::uint32_t value);
    void serve_trap();
    void serve_trap_x64(const Function& called);
    bool read_cr8(Address address, std::uint32_t size);
    // The handler's result; a fault, and 0, if it throws.
    std::uint64_t invoke(const Function& called, const std::uint64_t* args);
    Address ip();  // where the CPU stands between runs and in a trap
    std::uint64_t reg(int id);
    void set_reg(int id, std::uint64_t value);

    Arch arch_;
    uc_engine* uc_ = nullptr;
    std::vector<Function> provided_;
    std::vector<Function> traps_;  // one per bound import, in trap order
    PortBus bus_;
    std::function<std::uint64_t()> cr8_;
    Watcher watcher_;
    uc_hook watch_hook_ = 0;
    Address instruction_ = 0;  // the one executing
    Address heap_next_;
    std::vector<std::string> faults_;
};

}  // namespace teldo::emu

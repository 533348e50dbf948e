// A 32-bit x86 machine on the Unicorn CPU emulator, set up as a Pentium, for
// running the shipped x86 binaries natively: PE images mapped at a chosen
// base, their imports bound to traps that answer from the test, and calls
// made the stdcall way with every return checked. Faults (a wrong stack after
// a return, a register not kept, an instruction newer than the Pentium, a
// port instruction, any CPU exception, an import the test does not provide)
// are collected, not thrown: nothing may unwind through the emulator's
// callbacks.
#pragma once

#include <unicorn/unicorn.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "pe32_image.h"

namespace teldo::emu {

// How an imported function takes its arguments: all on the stack, removed by
// the callee; or the first two in ECX and EDX, the rest on the stack (the
// kernel's "f" functions, such as IofCompleteRequest and KfAcquireSpinLock).
enum class Convention { stdcall, fastcall };

// The bytes of a file of the unpacked win32 package (the folder that
// TELDO_WIN32_PACKAGE_DIR names); empty, with the reason, when missing.
std::vector<std::uint8_t> read_packaged(const std::string& name, std::string& error);

class Machine {
public:
    // Gets the arguments in order (ECX and EDX first for fastcall); returns EAX.
    using Handler = std::function<std::uint32_t(const std::uint32_t* args)>;

    Machine();
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // Makes `dll`!`function` available to images loaded after this call.
    void provide(const std::string& dll, const std::string& function, int arguments,
                 Convention convention, Handler handler);
    // Loads an image at `base` (0: its preferred base) and maps it.
    bool load(const std::vector<std::uint8_t>& file, std::uint32_t base, Pe32Image& image,
              std::string& error);

    // Calls `function` the stdcall way with a fresh stack filled with A5 bytes,
    // and checks that it returns with exactly its arguments removed, EBX, ESI,
    // EDI and EBP kept and the direction flag clear. Returns EAX.
    std::uint32_t call(std::uint32_t function, std::initializer_list<std::uint32_t> arguments);

    // Data memory for the test's structures; every block is zero-filled.
    std::uint32_t allocate(std::uint32_t size);
    std::uint32_t allocate_wide(const std::u16string& text);  // a NUL-terminated copy
    std::uint8_t u8(std::uint32_t address);
    std::uint16_t u16(std::uint32_t address);
    std::uint32_t u32(std::uint32_t address);
    std::vector<std::uint8_t> bytes(std::uint32_t address, std::uint32_t length);
    std::string text(std::uint32_t address);         // NUL-terminated 8-bit text
    std::u16string wide(std::uint32_t address, std::uint32_t bytes);
    void put8(std::uint32_t address, std::uint8_t value);
    void put16(std::uint32_t address, std::uint16_t value);
    void put32(std::uint32_t address, std::uint32_t value);
    void put(std::uint32_t address, const std::vector<std::uint8_t>& bytes);

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
    static bool on_bad_access(uc_engine*, uc_mem_type, std::uint64_t address, int size,
                              std::int64_t, void* self);
    void serve_trap();
    std::uint32_t reg(int id);
    void set_reg(int id, std::uint32_t value);

    uc_engine* uc_ = nullptr;
    std::vector<Function> provided_;
    std::vector<Function> traps_;  // one per bound import, in trap order
    std::uint32_t heap_next_;
    std::vector<std::string> faults_;
};

}  // namespace teldo::emu

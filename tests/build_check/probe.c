/* A tiny program for the test of the binary check: built clean, and once for
   each rule it breaks (CMakeLists.txt). It is never run. */
#include <windows.h>

#ifdef NEWER_INSTRUCTIONS
/* One instruction of each kind that a Pentium does not have. */
void newer_instructions(void) {
    __asm__ volatile("cmovne %eax, %ebx\n\t"
                     "fcmovb %st(1), %st\n\t"
                     "fcomi %st(1), %st\n\t"
                     "fucomip %st(1), %st\n\t"
                     "nopl 0(%eax)\n\t"
                     "paddb %mm1, %mm0\n\t"
                     "emms\n\t"
                     "movaps %xmm1, %xmm0\n\t"
                     "sysenter");
}
#endif

#ifdef PORT_INSTRUCTIONS
/* A port instruction in ordinary code, and a .portio section, which only
   teldo.sys may have, holding every form allowed there and one that is not
   (a port in the instruction rather than in DX). */
void port_outside(void) {
    __asm__ volatile("outb %al, (%dx)");
}

__attribute__((section(".portio"), noinline)) void port_cycles(void) {
    __asm__ volatile("inb (%dx), %al\n\t"
                     "inw (%dx), %ax\n\t"
                     "inl (%dx), %eax\n\t"
                     "outb %al, (%dx)\n\t"
                     "outw %ax, (%dx)\n\t"
                     "outl %eax, (%dx)\n\t"
                     "rep insb\n\t"
                     "rep insw\n\t"
                     "rep insl\n\t"
                     "rep outsb\n\t"
                     "rep outsw\n\t"
                     "rep outsl\n\t"
                     "inb $0x80, %al");
}
#endif

#ifdef VISTA_IMPORT
/* A KERNEL32 function that Windows 2000 and XP do not export. */
__declspec(dllimport) ULONGLONG WINAPI GetTickCount64(void);
#endif

#ifdef WRITABLE_CODE
/* A section that is both writable and executable. */
__asm__(".section .wx, \"wx\"\n\t.byte 0xC3\n\t.text");
#endif

#ifdef UNWIND_GAPS
/* (x64) Beside the compiler's functions, which have unwind data, two that
   are not leaves: one with none, and one whose unwind data ends at its last
   call's return address, where an unwinder then finds no function. */
__asm__(".text\n"
        "no_unwind_data:\n\t"
        "sub $40, %rsp\n\t"
        "call probe_entry\n\t"
        "add $40, %rsp\n\t"
        "ret\n"
        ".seh_proc ends_at_a_call\n"
        "ends_at_a_call:\n\t"
        "sub $40, %rsp\n\t"
        ".seh_stackalloc 40\n\t"
        ".seh_endprologue\n\t"
        "call probe_entry\n\t"
        ".seh_endproc");
#endif

#ifdef EXPORTED_FUNCTION
__declspec(dllexport) void exported(void) {}
#endif

void WINAPI probe_entry(void) {
#ifdef VISTA_IMPORT
    ExitProcess((UINT)GetTickCount64());
#endif
    ExitProcess(0);
}

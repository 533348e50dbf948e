# The one profile of each architecture the binaries are built for, picked by
# the toolchain file's processor. Everything that differs between the two is
# decided here:
#   x86 (i686): the bench PCs, 32-bit Windows 2000 and later on Pentium-class
#       processors. GCC's default here is the Pentium Pro, whose CMOV and FCOMI
#       stop an i586 processor with an illegal instruction, so the instruction
#       set is the Pentium's. stdcall names are decorated (_name@bytes).
#   x64 (x86_64): 64-bit Windows from XP x64 and Server 2003 on (NT 5.2).
#       One calling convention, no decoration.
# The API level keeps the headers from making structures too large for the
# oldest Windows (NONCLIENTMETRICSW) or letting newer functions compile; the
# PE OS and subsystem versions are the oldest Windows's. check_binaries.cmake
# proves instructions, imports and PE versions on every shipped file.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
  set(BRENVO_ARCH x86)
  set(BRENVO_ARCH_DESCRIPTION "32-bit (x86)")  # for the package's texts
  set(BRENVO_PACKAGE_SYSTEM win32)        # the package's name and the Wine prefix
  set(BRENVO_MANIFEST_ARCH x86)           # processorArchitecture in the manifest
  set(BRENVO_DLLTOOL_MACHINE i386)        # llvm-dlltool -m
  set(BRENVO_MSVC_TARGET i686-pc-windows-msvc)  # clang's target for Microsoft's ABI
  set(BRENVO_WINDOWS_API 0x0500)          # Windows 2000
  set(BRENVO_PE_VERSION 5.0)
  set(BRENVO_INSTRUCTION_SET -march=i586 -mtune=generic)
  set(BRENVO_PENTIUM_ONLY ON)             # the binary check refuses newer instructions
  set(BRENVO_STDCALL_DECORATION ON)
  set(BRENVO_DRIVER_IMAGE_BASE 0x10000)
elseif(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
  set(BRENVO_ARCH x64)
  set(BRENVO_ARCH_DESCRIPTION "64-bit (x64)")
  set(BRENVO_PACKAGE_SYSTEM win64)
  set(BRENVO_MANIFEST_ARCH amd64)
  set(BRENVO_DLLTOOL_MACHINE i386:x86-64)
  set(BRENVO_MSVC_TARGET x86_64-pc-windows-msvc)
  set(BRENVO_WINDOWS_API 0x0502)          # Windows XP x64 and Server 2003
  set(BRENVO_PE_VERSION 5.2)
  set(BRENVO_INSTRUCTION_SET "")          # every x64 processor has the whole x86-64 base
  set(BRENVO_PENTIUM_ONLY OFF)
  set(BRENVO_STDCALL_DECORATION OFF)
  set(BRENVO_DRIVER_IMAGE_BASE 0x140000000)
else()
  message(FATAL_ERROR "No Windows target profile for processor ${CMAKE_SYSTEM_PROCESSOR}")
endif()
# The rules of check_binaries.cmake for this architecture.
set(BRENVO_BINARY_CHECK_ARGS -DARCH=${BRENVO_ARCH} -DPE_VERSION=${BRENVO_PE_VERSION}
    -DPENTIUM_ONLY=${BRENVO_PENTIUM_ONLY})

# The shipped binaries link this: the instruction set, API level and PE
# versions above. Test and benchmark programs run only under Wine and build
# against the headers' current API level.
add_library(bench_pc_target INTERFACE)
target_compile_definitions(bench_pc_target INTERFACE _WIN32_WINNT=${BRENVO_WINDOWS_API}
                           WINVER=${BRENVO_WINDOWS_API} _WIN32_IE=0x0500)
target_compile_options(bench_pc_target INTERFACE
                       "$<$<COMPILE_LANGUAGE:C,CXX>:${BRENVO_INSTRUCTION_SET}>")
string(REPLACE "." ";" pe_version "${BRENVO_PE_VERSION}")
list(GET pe_version 0 pe_major)
list(GET pe_version 1 pe_minor)
target_link_options(bench_pc_target INTERFACE
  -Wl,--major-os-version,${pe_major},--minor-os-version,${pe_minor}
  -Wl,--major-subsystem-version,${pe_major},--minor-subsystem-version,${pe_minor})

# Binaries without the C runtime: their own entry point, no exceptions or
# RTTI, no stack protector (it needs runtime support). On x64 they keep their
# unwind data (.pdata/.xdata, the exception directory), which the ABI asks of
# every function that is not a leaf and without which a debugger or a crash
# dump cannot walk a stack through them (the binary check holds every such
# function to it); with no exceptions it names no handler, so it needs
# nothing from a runtime. x86 has no such tables.
add_library(no_crt INTERFACE)
target_compile_options(no_crt INTERFACE -fno-exceptions -fno-stack-protector
  "$<$<COMPILE_LANGUAGE:CXX>:-fno-rtti;-fno-threadsafe-statics>")
if(BRENVO_ARCH STREQUAL "x86")
  target_compile_options(no_crt INTERFACE -fno-asynchronous-unwind-tables)
endif()
target_link_options(no_crt INTERFACE -nostdlib -s)

# Makes the stdcall function NAME the entry point of TARGET; on x86 the
# linker knows it by its decorated name, with its ARGUMENT_BYTES.
function(set_entry_point target name argument_bytes)
  if(BRENVO_STDCALL_DECORATION)
    set(name _${name}@${argument_bytes})
  endif()
  target_link_options(${target} PRIVATE -Wl,-e,${name})
endfunction()

# Reads shipped binaries and fails when one of them would not run on the
# oldest Windows and processor of its architecture, where Wine, which runs
# everything, cannot tell, or reaches I/O ports other than through the
# driver's one place for it:
#   - (x86, PENTIUM_ONLY) an instruction newer than the Pentium: CMOVcc,
#     FCMOVcc, FCOMI/FUCOMI, the long NOP, MMX, SSE, SYSENTER, FXSAVE;
#   - an import that is not on the allow-list of functions the oldest Windows
#     exports (ALLOWED_IMPORTS: one DLL!function a line, optionally followed
#     by [x86] or [x64] when only that architecture may import it);
#   - a PE OS or subsystem version above PE_VERSION (5.0 Windows 2000, 5.2
#     XP x64 and Server 2003);
#   - Brenvo.exe without COMCTL32 among its imports (its manifest asks for
#     common controls 6, which XP only provides once comctl32 is loaded);
#   - an I/O port instruction (in, out, ins*, outs*, any operands) outside
#     a code section named .portio, one in it other than the DX forms of in
#     and out (byte, word or dword) and of rep ins and rep outs, or a .portio
#     section in any file but teldo.sys, whose x64 port cycles live there
#     alone (its x86 build calls the HAL's READ_PORT_*/WRITE_PORT_* instead);
#   - what memory integrity (HVCI) refuses to load, and keeps every file to:
#     a section both writable and executable, an image that is not
#     NX-compatible, an import address table inside an executable section,
#     and for teldo.sys a section alignment other than 0x1000;
#   - an export from an executable or teldo.sys (a driver's functions are
#     for the kernel to call through its dispatch table, not by name);
#   - (x64) no exception directory: without unwind data no debugger or crash
#     dump can walk a stack through the file's functions.
# Usage: cmake -DOBJDUMP=... -DALLOWED_IMPORTS=FILE -DARCH=x86|x64 -DPE_VERSION=M.N
#              [-DPENTIUM_ONLY=ON] -P check_binaries.cmake FILE...
# Run by every build (target check_binaries) on Brenvo.exe, teldo.exe,
# TELDO.dll, TELDOX.dll and teldo.sys, with the rules of the architecture's
# profile (windows_target.cmake).

cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/script_files.cmake)

if(NOT files OR NOT OBJDUMP OR NOT ALLOWED_IMPORTS OR NOT ARCH OR NOT PE_VERSION MATCHES "^[0-9]+\\.[0-9]+$")
  message(FATAL_ERROR "usage: cmake -DOBJDUMP=... -DALLOWED_IMPORTS=FILE -DARCH=x86|x64 "
                      "-DPE_VERSION=M.N [-DPENTIUM_ONLY=ON] -P check_binaries.cmake FILE...")
endif()
string(REPLACE "." ";" highest_version "${PE_VERSION}")
list(GET highest_version 0 highest_major)
list(GET highest_version 1 highest_minor)

# The allow-list: the first word of each line that is not a comment, unless
# the line is marked for the other architecture.
file(STRINGS ${ALLOWED_IMPORTS} allow_lines REGEX "^[^#]")
set(allowed "")
foreach(line IN LISTS allow_lines)
  if(line MATCHES "^[^ \t]+[ \t]+\\[(x86|x64)\\]" AND NOT CMAKE_MATCH_1 STREQUAL ARCH)
    continue()
  endif()
  string(REGEX MATCH "^[^ \t]+" entry "${line}")
  string(TOUPPER "${entry}" entry)
  list(APPEND allowed "${entry}")
endforeach()

# Disassembled lines ("  401294:\tcmove  %ebx,%ecx") whose instruction the
# Pentium does not have: by mnemonic, or by an MMX or SSE register operand.
set(newer_mnemonics "cmov[a-z]+|fcmov[a-z]+|fu?comip?|nop[lw]|emms|sysenter|sysexit|fxsave|fxrstor|ldmxcsr|stmxcsr|[slm]fence|clflush|prefetch[a-z0-9]*|movnti|maskmovq")
# Matched against the listing with every line between two newlines of its own.
set(newer_line "\n *[0-9a-f]+:\t([a-z0-9]+ )?(${newer_mnemonics})( [^\n]*)?\n|\n *[0-9a-f]+:\t[^\n]*%x?mm[0-9][^\n]*\n")

# Lines holding an I/O port instruction, in any operand form and after any
# prefixes objdump prints ("rep insb", "rex.W in"): the mnemonic is match 2.
set(port_line "\n *[0-9a-f]+:\t([^ \n]+ )*(in|out|ins[bwld]|outs[bwld])( [^\n]*)?\n")

# Adds a problem for the listing lines LINES, if any: their count, WHAT, and
# their distinct mnemonics (match GROUP of PATTERN), so that every kind found
# is told.
macro(report_instructions lines pattern group what)
  set(lines_ "${lines}")
  list(LENGTH lines_ count)
  if(count GREATER 0)
    set(mnemonics "")
    foreach(line IN LISTS lines_)
      string(REGEX MATCH "${pattern}" _ "${line}")
      list(APPEND mnemonics ${CMAKE_MATCH_${group}})
    endforeach()
    list(REMOVE_DUPLICATES mnemonics)
    list(JOIN mnemonics " " mnemonics)
    list(APPEND problems "${name}: ${count} ${what}: ${mnemonics}")
  endif()
endmacro()

set(problems "")
foreach(file IN LISTS files)
  get_filename_component(name ${file} NAME)
  execute_process(COMMAND ${OBJDUMP} -p -h ${file} OUTPUT_VARIABLE headers RESULT_VARIABLE failed)
  if(failed)
    list(APPEND problems "${name}: ${OBJDUMP} cannot read it")
    continue()
  endif()
  execute_process(COMMAND ${OBJDUMP} -d --no-show-raw-insn ${file}
                  OUTPUT_VARIABLE code RESULT_VARIABLE failed)
  if(failed)
    list(APPEND problems "${name}: ${OBJDUMP} cannot disassemble it")
    continue()
  endif()

  string(REPLACE "\n" "\n\n" code "\n${code}\n")

  set(newer "")
  if(PENTIUM_ONLY)
    string(REGEX MATCHALL "${newer_line}" newer "${code}")
  endif()
  report_instructions("${newer}" ":\t((cs|ds|es|ss|fs|gs|data16|addr16|lock|rep[a-z]*) )*([a-z0-9]+)" 3
                      "instruction(s) newer than the Pentium")

  # Port instructions, section by section: each "Disassembly of section
  # NAME:" line heads the instructions of section NAME.
  set(outside_portio "")
  set(in_portio "")
  set(section "")
  set(rest "${code}")
  while(NOT rest STREQUAL "")
    string(FIND "${rest}" "\nDisassembly of section " next)
    if(next EQUAL -1)
      set(body "${rest}")
      set(rest "")
    else()
      string(SUBSTRING "${rest}" 0 ${next} body)
      string(SUBSTRING "${rest}" ${next} -1 rest)
    endif()
    string(REGEX MATCHALL "${port_line}" found "${body}")
    if(section STREQUAL ".portio")
      list(APPEND in_portio ${found})
    else()
      list(APPEND outside_portio ${found})
    endif()
    if(rest MATCHES "^\nDisassembly of section ([^\n]*):\n")
      set(section "${CMAKE_MATCH_1}")
      # Past the heading, keeping the newline that opens the next line.
      string(LENGTH "${CMAKE_MATCH_0}" heading)
      math(EXPR heading "${heading} - 1")
      string(SUBSTRING "${rest}" ${heading} -1 rest)
    elseif(NOT rest STREQUAL "")
      list(APPEND problems "${name}: ${OBJDUMP} lists its code in a form this check cannot read")
      break()
    endif()
  endwhile()
  report_instructions("${outside_portio}" "${port_line}" 2
                      "port instruction(s) outside the .portio section")
  # Told with their operands: the mnemonic alone does not show the width or port.
  set(count 0)
  set(forms "")
  foreach(line IN LISTS in_portio)
    if(NOT line MATCHES ":\t(in +\\(%dx\\),%(al|ax|eax)|out +%(al|ax|eax),\\(%dx\\)|rep ins[bwl] +\\(%dx\\),%es:\\(%[er]di\\)|rep outs[bwl] +%ds:\\(%[er]si\\),\\(%dx\\))\n$")
      math(EXPR count "${count} + 1")
      string(REGEX MATCH ":\t([^\n]+)" _ "${line}")
      string(REGEX REPLACE " +" " " form "${CMAKE_MATCH_1}")
      list(APPEND forms "${form}")
    endif()
  endforeach()
  if(count GREATER 0)
    list(REMOVE_DUPLICATES forms)
    list(JOIN forms ", " forms)
    list(APPEND problems "${name}: ${count} port instruction(s) in the .portio section that are not DX forms of in, out, rep ins or rep outs: ${forms}")
  endif()
  # The section table of objdump -h: "  3 .portio       00000010  ...".
  if(NOT name STREQUAL "teldo.sys" AND headers MATCHES "\n +[0-9]+ \\.portio ")
    list(APPEND problems "${name}: has a .portio section, which only teldo.sys may have")
  endif()

  # The import table: "DLL Name: X" then one "\t<hint rva> <hint> <name>" line a function.
  set(dll "")
  set(has_comctl32 FALSE)
  string(REPLACE "\n" ";" lines "${headers}")
  foreach(line IN LISTS lines)
    if(line MATCHES "^\tDLL Name: (.+)$")
      set(dll "${CMAKE_MATCH_1}")
      string(TOUPPER "${dll}" upper_dll)
      if(upper_dll STREQUAL "COMCTL32.DLL")
        set(has_comctl32 TRUE)
      endif()
    elseif(dll AND line MATCHES "^\t[0-9a-f]+\t +[0-9]+  (.+)$")
      set(function ${CMAKE_MATCH_1})
      string(TOUPPER "${dll}!${function}" entry)
      if(NOT entry IN_LIST allowed)
        list(APPEND problems "${name}: imports ${dll}!${function}, which is not on the ${ARCH} allow-list")
      endif()
    elseif(dll AND line MATCHES "^\t[0-9a-f]+\t +<none> +")
      list(APPEND problems "${name}: imports from ${dll} by ordinal, which the allow-list cannot vouch for")
    elseif(line MATCHES "^$|^The Export Tables")
      set(dll "")
    endif()
  endforeach()

  foreach(field OSystem Subsystem)
    string(REGEX MATCH "Major${field}Version\t+([0-9]+)" _ "${headers}")
    set(major ${CMAKE_MATCH_1})
    string(REGEX MATCH "Minor${field}Version\t+([0-9]+)" _ "${headers}")
    set(minor ${CMAKE_MATCH_1})
    if("${major}" STREQUAL "" OR "${minor}" STREQUAL "")
      list(APPEND problems "${name}: no ${field} version in its PE header")
    elseif(major GREATER highest_major OR (major EQUAL highest_major AND minor GREATER highest_minor))
      string(REPLACE "OSystem" "OS" what ${field})
      list(APPEND problems "${name}: PE ${what} version ${major}.${minor} is above ${PE_VERSION}")
    endif()
  endforeach()

  # The section table: "  3 .portio  00000010  <VMA>  <LMA>  <file offset>  2**2", then
  # its flags; a PE section without IMAGE_SCN_MEM_WRITE shows READONLY.
  string(REGEX MATCH "ImageBase\t+([0-9a-f]+)" _ "${headers}")
  math(EXPR image_base "0x${CMAKE_MATCH_1}")
  string(REGEX MATCH "Entry c ([0-9a-f]+) ([0-9a-f]+) Import Address Table" _ "${headers}")
  math(EXPR iat "0x${CMAKE_MATCH_1}")
  string(REGEX MATCHALL "\n +[0-9]+ [^ \n]+ +[0-9a-f]+ +[0-9a-f]+ [^\n]*\n[ \t]+[A-Z, ]+" sections "${headers}")
  foreach(section IN LISTS sections)
    string(REGEX MATCH "\n +[0-9]+ ([^ \n]+) +([0-9a-f]+) +([0-9a-f]+) [^\n]*\n[ \t]+([A-Z, ]+)" _ "${section}")
    set(section_name "${CMAKE_MATCH_1}")
    set(flags "${CMAKE_MATCH_4}")
    math(EXPR start "0x${CMAKE_MATCH_3} - ${image_base}")
    math(EXPR end "${start} + 0x${CMAKE_MATCH_2}")
    if(flags MATCHES "CODE" AND NOT flags MATCHES "READONLY")
      list(APPEND problems "${name}: section ${section_name} is both writable and executable")
    endif()
    if(flags MATCHES "CODE" AND iat GREATER 0 AND iat GREATER_EQUAL start AND iat LESS end)
      list(APPEND problems "${name}: its import address table is in the executable section ${section_name}")
    endif()
  endforeach()
  string(REGEX MATCH "DllCharacteristics\t+([0-9a-f]+)" _ "${headers}")
  math(EXPR nx_compatible "0x${CMAKE_MATCH_1} & 0x100")  # IMAGE_DLLCHARACTERISTICS_NX_COMPAT
  if(nx_compatible EQUAL 0)
    list(APPEND problems "${name}: is not NX-compatible")
  endif()
  # (An if() with MATCHES sets CMAKE_MATCH_n again: each value is kept first.)
  string(REGEX MATCH "SectionAlignment\t+([0-9a-f]+)" _ "${headers}")
  set(alignment "${CMAKE_MATCH_1}")
  if(name STREQUAL "teldo.sys" AND NOT alignment MATCHES "^0*1000$")
    list(APPEND problems "${name}: section alignment 0x${alignment}, not 0x1000")
  endif()
  # A DLL's export table may be there and empty: what counts is its functions.
  set(exported 0)
  if(headers MATCHES "Number in:\n\tExport Address Table[ \t]+([0-9a-f]+)")
    math(EXPR exported "0x${CMAKE_MATCH_1}")
  endif()
  if(name MATCHES "\\.(exe|sys)$" AND exported GREATER 0)
    list(APPEND problems "${name}: exports ${exported} function(s), which no program or driver of ours may")
  endif()
  string(REGEX MATCH "Entry 3 [0-9a-f]+ ([0-9a-f]+) Exception Directory" _ "${headers}")
  if(ARCH STREQUAL "x64" AND CMAKE_MATCH_1 MATCHES "^0+$")
    list(APPEND problems "${name}: has no exception directory (unwind data)")
  endif()

  if(name STREQUAL "Brenvo.exe" AND NOT has_comctl32)
    list(APPEND problems "${name}: does not import COMCTL32.dll, so on XP its manifest's common controls 6 are never loaded")
  endif()
endforeach()

if(problems)
  list(JOIN problems "\n  " report)
  message(FATAL_ERROR "${ARCH} binaries that break the rules for what we ship:\n  ${report}")
endif()
list(LENGTH files count)
if(PENTIUM_ONLY)
  set(instructions "only Pentium instructions, ")
endif()
message("Binary check (${ARCH}): ${count} file(s) use ${instructions}only functions on the allow-list, PE versions at most ${PE_VERSION}; no writable code, NX-compatible, no import table in code, no exports from programs or the driver")

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
#   - (x64) no exception directory, or a function that is not a leaf
#     without unwind data for all of it: a call (with its return address),
#     push, pop or other change of RSP in any executable section, .portio
#     included, outside every function of the directory's table; or a table
#     that is not sane (check_function_table). Without unwind data no
#     debugger or crash dump can walk a stack through such a function.
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

# True when the span "START END" (relative to the image base) lies inside one
# of SPANS, each "START END" too.
function(inside_one span spans result)
  separate_arguments(span)
  list(GET span 0 first)
  list(GET span 1 last)
  foreach(outer IN LISTS spans)
    separate_arguments(outer)
    list(GET outer 0 outer_start)
    list(GET outer 1 outer_end)
    if(first GREATER_EQUAL outer_start AND last LESS_EQUAL outer_end)
      set(${result} TRUE PARENT_SCOPE)
      return()
    endif()
  endforeach()
  set(${result} FALSE PARENT_SCOPE)
endfunction()

# (x64) The exception directory's function table, as objdump -p interprets
# .pdata, against the disassembly. The x64 ABI lets a function go without an
# entry only if it is a leaf: it calls nothing and never moves RSP, so that
# its return address is always at [RSP]. Any other function needs one, or a
# debugger, a crash dump and the kernel's own unwinder lose the stack there.
# So every call, push, pop, leave, enter and other write to RSP of every
# executable section (.portio too) must lie inside an entry's function, a
# call together with its return address, which is what an unwinder looks up
# in the caller's frame. The entries themselves must be sane: the directory
# holds exactly the entries objdump reads (it stops at an all-zero one), each
# function non-empty and inside an executable section, in ascending order
# without overlap (Windows looks them up by binary search), and each one's
# unwind data inside a section that is not code.
macro(check_function_table)
  string(REGEX MATCH "Entry 3 ([0-9a-f]+) ([0-9a-f]+) Exception Directory" _ "${headers}")
  math(EXPR directory "0x${CMAKE_MATCH_1}")
  math(EXPR directory_size "0x${CMAKE_MATCH_2}")
  if(directory_size EQUAL 0)
    list(APPEND problems "${name}: has no exception directory (unwind data)")
  endif()
  # " 0000000140006000:\t0000000140001000 000000014000100b 0000000140007000":
  # where the entry is, its function's first address and the one past its
  # last, its unwind data.
  string(REGEX MATCHALL "\n [0-9a-f]+:\t[0-9a-f]+ [0-9a-f]+ [0-9a-f]+" entries "${headers}")
  list(LENGTH entries entry_count)
  math(EXPR table_size "${entry_count} * 12")
  if(NOT table_size EQUAL directory_size)
    list(APPEND problems "${name}: its exception directory holds ${directory_size} bytes, but ${OBJDUMP} reads ${entry_count} function(s) of 12 bytes from it")
  endif()
  set(events "")      # "RVA 0 END" for each function, "RVA 1 LIMIT MNEMONIC" for each instruction
  set(bad_entries "")
  set(previous_end 0)
  set(index 0)
  foreach(entry IN LISTS entries)
    string(REGEX MATCH "([0-9a-f]+):\t([0-9a-f]+) ([0-9a-f]+) ([0-9a-f]+)" _ "${entry}")
    math(EXPR at "0x${CMAKE_MATCH_1} - ${image_base} - ${directory} - ${index} * 12")
    math(EXPR begin "0x${CMAKE_MATCH_2} - ${image_base}")
    math(EXPR end "0x${CMAKE_MATCH_3} - ${image_base}")
    math(EXPR unwind "0x${CMAKE_MATCH_4} - ${image_base}")
    math(EXPR unwind_end "${unwind} + 4")
    inside_one("${begin} ${end}" "${code_spans}" in_code)
    inside_one("${unwind} ${unwind_end}" "${data_spans}" in_data)
    set(faults "")
    if(NOT at EQUAL 0)
      list(APPEND faults "not where the directory puts it")
    endif()
    if(begin GREATER_EQUAL end)
      list(APPEND faults "empty")
    endif()
    if(begin LESS previous_end)
      list(APPEND faults "before or over the one before it")
    endif()
    if(NOT in_code)
      list(APPEND faults "not inside one executable section")
    endif()
    math(EXPR misaligned "${unwind} % 4")
    if(NOT in_data OR NOT misaligned EQUAL 0)
      list(APPEND faults "its unwind data not aligned in a section that is not code")
    endif()
    if(faults)
      list(JOIN faults " and " faults)
      math(EXPR begin_hex "${begin}" OUTPUT_FORMAT HEXADECIMAL)
      math(EXPR end_hex "${end}" OUTPUT_FORMAT HEXADECIMAL)
      list(APPEND bad_entries "#${index} ${begin_hex}-${end_hex}: ${faults}")
    endif()
    list(APPEND events "${begin} 0 ${end}")
    set(previous_end ${end})
    math(EXPR index "${index} + 1")
  endforeach()
  list(LENGTH bad_entries count)
  if(count GREATER 0)
    list(SUBLIST bad_entries 0 5 shown)
    list(JOIN shown ", " shown)
    list(APPEND problems "${name}: ${count} function table (.pdata) entr(ies) that are not sane: ${shown}")
  endif()

  # Every instruction line of the listing ("\n  140001014:\tcall   0x140001000"),
  # its mnemonic after any prefixes. An instruction's limit is its own
  # address, a call's its return address: the next line's (for the listing's
  # very last line, its own address plus one).
  string(REGEX MATCHALL "\n *[0-9a-f]+:\t[^\n]*" listing_lines "${code}")
  set(pending_call "")
  foreach(line IN LISTS listing_lines)
    string(REGEX MATCH "^\n *([0-9a-f]+):\t((rex[.A-Z]*|data16|addr32|bnd|notrack|lock|rep[a-z]*|[c-gs]s) )*([^ ]*)"
           _ "${line}")
    math(EXPR rva "0x${CMAKE_MATCH_1} - ${image_base}")
    set(mnemonic "${CMAKE_MATCH_4}")
    if(pending_call)
      list(APPEND events "${pending_call} ${rva} call")
      set(pending_call "")
    endif()
    if(mnemonic MATCHES "^call")
      set(pending_call "${rva} 1")
    elseif(mnemonic MATCHES "^(push|pop|leave|enter)" OR line MATCHES "[ ,]%rsp$")  # RSP as destination
      list(APPEND events "${rva} 1 ${rva} ${mnemonic}")
    endif()
  endforeach()
  if(pending_call)
    separate_arguments(pending_call)
    list(GET pending_call 0 rva)
    math(EXPR after "${rva} + 1")
    list(APPEND events "${rva} 1 ${after} call")
  endif()

  # In address order, functions before instructions at the same address: each
  # instruction must lie in the last function that starts at or before it.
  list(SORT events COMPARE NATURAL)
  set(end -1)
  set(uncovered "")
  foreach(event IN LISTS events)
    separate_arguments(event)
    list(GET event 1 kind)
    list(GET event 2 limit)
    if(kind EQUAL 0)
      set(end ${limit})
    elseif(limit GREATER_EQUAL end)
      list(GET event 0 rva)
      list(GET event 3 mnemonic)
      math(EXPR rva "${rva}" OUTPUT_FORMAT HEXADECIMAL)
      list(APPEND uncovered "${mnemonic} at ${rva}")
    endif()
  endforeach()
  list(LENGTH uncovered count)
  if(count GREATER 0)
    list(SUBLIST uncovered 0 5 shown)
    list(JOIN shown ", " shown)
    list(APPEND problems "${name}: ${count} call(s), push(es), pop(s) or RSP change(s) outside every function of its unwind table (.pdata), a call's return address included, so code of a function that is not a leaf lacks unwind data: ${shown} (RVAs)")
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
  set(code_spans "")  # "START END" of each executable section, relative to the image base
  set(data_spans "")  # and of each other section
  foreach(section IN LISTS sections)
    string(REGEX MATCH "\n +[0-9]+ ([^ \n]+) +([0-9a-f]+) +([0-9a-f]+) [^\n]*\n[ \t]+([A-Z, ]+)" _ "${section}")
    set(section_name "${CMAKE_MATCH_1}")
    set(flags "${CMAKE_MATCH_4}")
    math(EXPR start "0x${CMAKE_MATCH_3} - ${image_base}")
    math(EXPR end "${start} + 0x${CMAKE_MATCH_2}")
    if(flags MATCHES "CODE")
      list(APPEND code_spans "${start} ${end}")
    else()
      list(APPEND data_spans "${start} ${end}")
    endif()
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
  if(ARCH STREQUAL "x64")
    check_function_table()
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
set(unwind_rule "")
if(ARCH STREQUAL "x64")
  set(unwind_rule "; every call, push, pop and RSP change in a function of a sane unwind table")
endif()
message("Binary check (${ARCH}): ${count} file(s) use ${instructions}only functions on the allow-list, PE versions at most ${PE_VERSION}; no writable code, NX-compatible, no import table in code, no exports from programs or the driver${unwind_rule}")

# Reads shipped binaries and fails when one of them would not run on the
# bench PCs (32-bit Windows 2000 or later, Pentium-class processor), where
# Wine, which runs everything, cannot tell:
#   - an instruction newer than the Pentium: CMOVcc, FCMOVcc, FCOMI/FUCOMI,
#     the long NOP, MMX, SSE, SYSENTER, FXSAVE;
#   - an import that is not on the allow-list of functions Windows 2000
#     exports (ALLOWED_IMPORTS, one DLL!function a line);
#   - a PE OS or subsystem version above 5.0;
#   - Brenvo.exe without COMCTL32 among its imports (its manifest asks for
#     common controls 6, which XP only provides once comctl32 is loaded).
# Usage: cmake -DOBJDUMP=... -DALLOWED_IMPORTS=FILE -P check_binaries.cmake FILE...
# Run by every build (target check_binaries) on Brenvo.exe, TELDO.dll and teldo.sys.

cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/script_files.cmake)

if(NOT files OR NOT OBJDUMP OR NOT ALLOWED_IMPORTS)
  message(FATAL_ERROR "usage: cmake -DOBJDUMP=... -DALLOWED_IMPORTS=FILE -P check_binaries.cmake FILE...")
endif()

# The allow-list: the first word of each line that is not a comment.
file(STRINGS ${ALLOWED_IMPORTS} allow_lines REGEX "^[^#]")
set(allowed "")
foreach(line IN LISTS allow_lines)
  string(REGEX MATCH "^[^ \t]+" entry "${line}")
  string(TOUPPER "${entry}" entry)
  list(APPEND allowed "${entry}")
endforeach()

# Disassembled lines ("  401294:\tcmove  %ebx,%ecx") whose instruction the
# Pentium does not have: by mnemonic, or by an MMX or SSE register operand.
set(newer_mnemonics "cmov[a-z]+|fcmov[a-z]+|fu?comip?|nop[lw]|emms|sysenter|sysexit|fxsave|fxrstor|ldmxcsr|stmxcsr|[slm]fence|clflush|prefetch[a-z0-9]*|movnti|maskmovq")
# Matched against the listing with every line between two newlines of its own.
set(newer_line "\n *[0-9a-f]+:\t([a-z0-9]+ )?(${newer_mnemonics})( [^\n]*)?\n|\n *[0-9a-f]+:\t[^\n]*%x?mm[0-9][^\n]*\n")

set(problems "")
foreach(file IN LISTS files)
  get_filename_component(name ${file} NAME)
  execute_process(COMMAND ${OBJDUMP} -p ${file} OUTPUT_VARIABLE headers RESULT_VARIABLE failed)
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

  # Named by their distinct mnemonics, so that every kind found is told.
  string(REPLACE "\n" "\n\n" code "\n${code}\n")
  string(REGEX MATCHALL "${newer_line}" newer "${code}")
  list(LENGTH newer count)
  if(count GREATER 0)
    set(mnemonics "")
    foreach(line IN LISTS newer)
      string(REGEX MATCH ":\t((cs|ds|es|ss|fs|gs|data16|addr16|lock|rep[a-z]*) )*([a-z0-9]+)" _ "${line}")
      list(APPEND mnemonics ${CMAKE_MATCH_3})
    endforeach()
    list(REMOVE_DUPLICATES mnemonics)
    list(JOIN mnemonics " " mnemonics)
    list(APPEND problems "${name}: ${count} instruction(s) newer than the Pentium: ${mnemonics}")
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
        list(APPEND problems "${name}: imports ${dll}!${function}, which is not on the Windows 2000 allow-list")
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
    elseif(major GREATER 5 OR (major EQUAL 5 AND minor GREATER 0))
      string(REPLACE "OSystem" "OS" what ${field})
      list(APPEND problems "${name}: PE ${what} version ${major}.${minor} is above 5.0 (Windows 2000)")
    endif()
  endforeach()

  if(name STREQUAL "Brenvo.exe" AND NOT has_comctl32)
    list(APPEND problems "${name}: does not import COMCTL32.dll, so on XP its manifest's common controls 6 are never loaded")
  endif()
endforeach()

if(problems)
  list(JOIN problems "\n  " report)
  message(FATAL_ERROR "Binaries that would not run on the bench PCs:\n  ${report}")
endif()
list(LENGTH files count)
message("Binary check: ${count} file(s) use only Pentium instructions and Windows 2000 functions, PE versions at most 5.0")

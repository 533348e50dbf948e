# Runs the binary check on each probe: the clean one must pass; each broken
# one must fail, naming every fault it carries.
# cmake -DOBJDUMP=... -DALLOWED_IMPORTS=... -DARCH=... -DPE_VERSION=... [-DPENTIUM_ONLY=ON]
#       -DCHECK=... -DPROBES=DIR -P expect_refusals.cmake
cmake_minimum_required(VERSION 3.25)

# probe (directory/file) | each thing the check must say (none: it must pass)
set(cases
  "probe_clean/probe.exe|"
  "probe_import/probe.exe|imports KERNEL32.dll!GetTickCount64, which is not on the ${ARCH} allow-list"
  "probe_version/probe.exe|PE OS version 6.1 is above ${PE_VERSION}|PE Subsystem version 6.0 is above ${PE_VERSION}"
  "probe_brenvo/Brenvo.exe|Brenvo.exe: does not import COMCTL32.dll"
  "probe_ports/probe.exe|probe.exe: 1 port instruction(s) outside the .portio section: out|probe.exe: has a .portio section, which only teldo.sys may have|probe.exe: 1 port instruction(s) in the .portio section that are not DX forms of in, out, rep ins or rep outs: in $0x80,%al")
set(section_faults "probe.exe: section .wx is both writable and executable|probe.exe: is not NX-compatible|probe.exe: its import address table is in the executable section .idata")
if(ARCH STREQUAL "x64")
  string(APPEND section_faults "|probe.exe: has no exception directory")
  list(APPEND cases "probe_unwind/probe.exe|probe.exe: 4 call(s), push(es), pop(s) or RSP change(s) outside every function of its unwind table")
endif()
list(APPEND cases "probe_sections/probe.exe|${section_faults}"
  "probe_driver/teldo.sys|teldo.sys: exports 1 function(s)|teldo.sys: section alignment 0x00000200, not 0x1000")
if(PENTIUM_ONLY)
  list(APPEND cases "probe_instructions/probe.exe|newer than the Pentium: cmovne fcmovb fcomi fucomip nopl paddb emms movaps sysenter")
endif()

set(failures "")
foreach(case IN LISTS cases)
  string(REPLACE "|" ";" case "${case}")
  list(POP_FRONT case probe)
  set(expected "${case}")
  execute_process(COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${OBJDUMP} -DALLOWED_IMPORTS=${ALLOWED_IMPORTS}
                          -DARCH=${ARCH} -DPE_VERSION=${PE_VERSION} -DPENTIUM_ONLY=${PENTIUM_ONLY}
                          -P ${CHECK} ${PROBES}/${probe}
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  string(REGEX REPLACE "[ \n]+" " " output "${output}")
  if(NOT expected)
    if(result)
      list(APPEND failures "${probe}: refused, but breaks no rule: ${output}")
    endif()
    continue()
  endif()
  if(NOT result)
    list(APPEND failures "${probe}: passed, but breaks a rule")
  endif()
  foreach(text IN LISTS expected)
    string(FIND "${output}" "${text}" at)
    if(at EQUAL -1)
      list(APPEND failures "${probe}: the check does not say \"${text}\"; it said: ${output}")
    endif()
  endforeach()
endforeach()

if(failures)
  list(JOIN failures "\n" failures)
  message(FATAL_ERROR "${failures}")
endif()
message("The binary check passed the clean probe and refused each broken one for its fault")

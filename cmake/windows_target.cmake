# The bench PCs: 32-bit Windows 2000 and later on Pentium-class processors.
# Every binary of the build is made for them:
# - instructions: the Pentium (i586) set. GCC's default here is the Pentium
#   Pro, whose CMOV and FCOMI stop an i586 processor with an illegal instruction;
# - API level: Windows 2000 (NT 5.0). The headers default to Windows 10, which
#   makes structures such as NONCLIENTMETRICSW too large for 2000 and XP and
#   lets calls to functions that they lack compile;
# - PE version fields: OS and subsystem 5.0.
# check_binaries.cmake proves all three on every shipped file at each build.
add_compile_definitions(_WIN32_WINNT=0x0500 WINVER=0x0500 _WIN32_IE=0x0500)
add_compile_options("$<$<COMPILE_LANGUAGE:C,CXX>:-march=i586;-mtune=generic>")
add_link_options(-Wl,--major-os-version,5,--minor-os-version,0
                 -Wl,--major-subsystem-version,5,--minor-subsystem-version,0)

# Test and benchmark programs are not shipped and run only under Wine: their
# directories call this to build against the headers' current API level.
function(use_current_windows_api)
  get_property(definitions DIRECTORY PROPERTY COMPILE_DEFINITIONS)
  list(FILTER definitions EXCLUDE REGEX "^(_WIN32_WINNT|WINVER|_WIN32_IE)=")
  set_property(DIRECTORY PROPERTY COMPILE_DEFINITIONS "${definitions}")
endfunction()

# The package, made by `cpack` in the build tree: one zip of the tree's
# architecture, Brenvo-<version>-win32.zip (x86, the bench PCs') or
# Brenvo-<version>-win64.zip (x64), holding one folder with
#   Brenvo.exe, teldo.exe (the ports from the command line), TELDO.dll,
#         TELDOX.dll (words, dwords, blocks), OPERATORS-GUIDE.txt,
#         LICENSE.txt, CHANGELOG.txt
#   driver/teldo.sys, the TELDO port driver, test-signed, the public half of
#         its test certificate (TELDO-test-signing.cer) and its README.txt
#   sdk/  the developer's kit for programs of the engineers' own: teldo.h
#         and teldox.h, the import libraries of both DLLs for MinGW and
#         Microsoft's toolchain, TELDO.def and TELDOX.def, an example of
#         each and its README.txt; every file from library/ or the build
#   SHA256SUMS of every other file
# The texts, both headers, both definition files and the kit's two examples
# get Windows line ends, and those from package/ the project version; the guide, which quotes the
# Chinese captions, also a UTF-8 byte order mark for Notepad.

install(TARGETS brenvo RUNTIME DESTINATION .)
# teldo.exe, the ports from the command line, beside Brenvo.exe.
install(PROGRAMS $<TARGET_FILE:teldo_exe> DESTINATION .)
# The libraries alone, without their import libraries.
install(PROGRAMS $<TARGET_FILE:teldo> $<TARGET_FILE:teldox> DESTINATION .)
install(PROGRAMS $<TARGET_FILE:teldo_driver> DESTINATION driver)
install(FILES ${BRENVO_TEST_CERTIFICATE} DESTINATION driver)

# The developer's kit: the library's own header and the architecture's
# definition file, and the import libraries that library/ makes from it.
foreach(source ${PROJECT_SOURCE_DIR}/library/teldo.h ${PROJECT_SOURCE_DIR}/library/teldox.h ${teldo_def}
               ${teldox_def})
  get_filename_component(name ${source} NAME)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
  file(READ ${source} content)
  string(REPLACE "\r\n" "\n" content "${content}")
  string(REPLACE "\n" "\r\n" content "${content}")
  file(WRITE ${PROJECT_BINARY_DIR}/package/sdk/${name} "${content}")
endforeach()
install(FILES ${PROJECT_BINARY_DIR}/package/sdk/teldo.h ${PROJECT_BINARY_DIR}/package/sdk/teldox.h
        DESTINATION sdk/include)
install(FILES ${PROJECT_BINARY_DIR}/package/sdk/TELDO.def ${teldo_msvc_import_lib}
              ${PROJECT_BINARY_DIR}/package/sdk/TELDOX.def ${teldox_msvc_import_lib} DESTINATION sdk/lib)
install(FILES ${teldo_import_lib} DESTINATION sdk/lib RENAME libTELDO.dll.a)
install(FILES ${teldox_import_lib} DESTINATION sdk/lib RENAME libTELDOX.dll.a)

string(ASCII 239 187 191 utf8_bom)
foreach(text OPERATORS-GUIDE.txt LICENSE.txt CHANGELOG.txt driver/README.txt sdk/README.txt
             sdk/examples/teldo_example.c sdk/examples/teldox_example.c)
  set(source ${PROJECT_SOURCE_DIR}/package/${text})
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
  file(READ ${source} content)
  set(bom "")
  if(text STREQUAL "OPERATORS-GUIDE.txt")
    set(bom ${utf8_bom})
  endif()
  file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/package/${text} CONTENT "${bom}${content}"
       @ONLY NEWLINE_STYLE CRLF)
endforeach()
install(FILES ${PROJECT_BINARY_DIR}/package/OPERATORS-GUIDE.txt ${PROJECT_BINARY_DIR}/package/LICENSE.txt
              ${PROJECT_BINARY_DIR}/package/CHANGELOG.txt DESTINATION .)
install(FILES ${PROJECT_BINARY_DIR}/package/driver/README.txt DESTINATION driver)
install(FILES ${PROJECT_BINARY_DIR}/package/sdk/README.txt DESTINATION sdk)
install(FILES ${PROJECT_BINARY_DIR}/package/sdk/examples/teldo_example.c
              ${PROJECT_BINARY_DIR}/package/sdk/examples/teldox_example.c DESTINATION sdk/examples)
# Last, so that it sums every file above.
install(SCRIPT ${PROJECT_SOURCE_DIR}/cmake/package_sums.cmake)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME Brenvo)
set(CPACK_PACKAGE_VENDOR "Brenvo and TELDO developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Brenvo ISA port test program with the TELDO port-access library")
set(CPACK_SYSTEM_NAME ${BRENVO_PACKAGE_SYSTEM})
# Kept in a variable of our own: include(CPack) changes CPACK_PACKAGE_FILE_NAME
# in this scope while it writes the source package's configuration.
set(BRENVO_PACKAGE_NAME ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-${CPACK_SYSTEM_NAME})
set(CPACK_PACKAGE_FILE_NAME ${BRENVO_PACKAGE_NAME})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES OFF)  # the binaries are linked stripped
include(CPack)

# Every build reports the shipped binaries' sizes and imported DLLs, and keeps
# the report in binary-report.txt.
add_custom_target(binary_report ALL
  COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${CMAKE_OBJDUMP} -DOUTPUT=${PROJECT_BINARY_DIR}/binary-report.txt
          -P ${PROJECT_SOURCE_DIR}/cmake/binary_report.cmake $<TARGET_FILE:brenvo>
          $<TARGET_FILE:teldo_exe> $<TARGET_FILE:teldo> $<TARGET_FILE:teldox>
  VERBATIM)
add_dependencies(binary_report brenvo teldo_exe teldo teldox)

# Every build proves that the shipped binaries suit the oldest Windows of their
# architecture: its functions and PE versions, comctl32 for Brenvo, and on
# x86 the bench PCs' Pentium instructions.
add_custom_target(check_binaries ALL
  COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${CMAKE_OBJDUMP} ${BRENVO_BINARY_CHECK_ARGS}
          -DALLOWED_IMPORTS=${PROJECT_SOURCE_DIR}/cmake/windows2000-imports.txt
          -P ${PROJECT_SOURCE_DIR}/cmake/check_binaries.cmake
          $<TARGET_FILE:brenvo> $<TARGET_FILE:teldo_exe> $<TARGET_FILE:teldo>
          $<TARGET_FILE:teldox> $<TARGET_FILE:teldo_driver>
  VERBATIM)
add_dependencies(check_binaries brenvo teldo_exe teldo teldox teldo_driver)

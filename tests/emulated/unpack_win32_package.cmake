# Makes the win32 package from the x86 build tree with cpack, unpacks it and
# puts its TELDO.dll and driver/teldo.sys into OUTPUT_DIR, so that the
# emulated tests run exactly the files the bench PCs get.
# Usage: cmake -DX86_BUILD_DIR=... -DOUTPUT_DIR=... -P unpack_win32_package.cmake
file(REMOVE_RECURSE ${OUTPUT_DIR})
execute_process(COMMAND ${CMAKE_CPACK_COMMAND} -G ZIP --config ${X86_BUILD_DIR}/CPackConfig.cmake
                        -B ${OUTPUT_DIR}/cpack
                OUTPUT_QUIET RESULT_VARIABLE failed)
file(GLOB zip ${OUTPUT_DIR}/cpack/*-win32.zip)
if(failed OR NOT zip)
  message(FATAL_ERROR "No win32 package could be made from ${X86_BUILD_DIR}")
endif()
file(ARCHIVE_EXTRACT INPUT ${zip} DESTINATION ${OUTPUT_DIR}/unpacked)
file(GLOB dll ${OUTPUT_DIR}/unpacked/*/TELDO.dll)
file(GLOB driver ${OUTPUT_DIR}/unpacked/*/driver/teldo.sys)
if(NOT dll OR NOT driver)
  message(FATAL_ERROR "The win32 package lacks TELDO.dll or driver/teldo.sys")
endif()
file(COPY ${dll} ${driver} DESTINATION ${OUTPUT_DIR})

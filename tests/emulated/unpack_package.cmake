# Makes the PACKAGE package (win32 or win64) from the build tree BUILD_DIR
# with cpack, unpacks it and puts its TELDO.dll and driver/teldo.sys into
# OUTPUT_DIR, so that the emulated tests run exactly the files the PCs get.
# Usage: cmake -DBUILD_DIR=... -DPACKAGE=win32|win64 -DOUTPUT_DIR=... -P unpack_package.cmake
file(REMOVE_RECURSE ${OUTPUT_DIR})
execute_process(COMMAND ${CMAKE_CPACK_COMMAND} -G ZIP --config ${BUILD_DIR}/CPackConfig.cmake
                        -B ${OUTPUT_DIR}/cpack
                OUTPUT_QUIET RESULT_VARIABLE failed)
file(GLOB zip ${OUTPUT_DIR}/cpack/*-${PACKAGE}.zip)
if(failed OR NOT zip)
  message(FATAL_ERROR "No ${PACKAGE} package could be made from ${BUILD_DIR}")
endif()
file(ARCHIVE_EXTRACT INPUT ${zip} DESTINATION ${OUTPUT_DIR}/unpacked)
file(GLOB dll ${OUTPUT_DIR}/unpacked/*/TELDO.dll)
file(GLOB driver ${OUTPUT_DIR}/unpacked/*/driver/teldo.sys)
if(NOT dll OR NOT driver)
  message(FATAL_ERROR "The ${PACKAGE} package lacks TELDO.dll or driver/teldo.sys")
endif()
file(COPY ${dll} ${driver} DESTINATION ${OUTPUT_DIR})

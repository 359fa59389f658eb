# Builds hosts_entry_tool.exe a second time, from a copy of the sources at
# another path into another binary directory, and checks that it is the same
# file, byte for byte, as the first build.
#   cmake -DSOURCE_DIR=... -DWORK_DIR=... -DREFERENCE=...exe -DBUILD_TYPE=...
#         -DALIAS=... -DSERVICE=... -P reproducible_build.cmake
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}/elsewhere/src")
foreach(part app hosts cmake tools packaging CMakeLists.txt)
  file(COPY "${SOURCE_DIR}/${part}" DESTINATION "${WORK_DIR}/elsewhere/src")
endforeach()
set(source "${WORK_DIR}/elsewhere/src")
set(binary "${WORK_DIR}/other-build")
execute_process(
  COMMAND "${CMAKE_COMMAND}" -S "${source}" -B "${binary}" -G Ninja
          "-DCMAKE_TOOLCHAIN_FILE=${source}/cmake/mingw-w64-x86_64.cmake"
          "-DCMAKE_BUILD_TYPE=${BUILD_TYPE}" -DHOSTS_BUILD_TESTS=OFF
          "-DHOSTS_LOCAL_ALIAS_HOST=${ALIAS}" "-DHOSTS_SERVICE_CLIENT_HOST=${SERVICE}"
  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND "${CMAKE_COMMAND}" --build "${binary}" --target hosts_entry_tool
                OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
file(SHA256 "${REFERENCE}" first)
file(SHA256 "${binary}/app/hosts_entry_tool.exe" second)
if(NOT first STREQUAL second)
  message(FATAL_ERROR "two builds differ:\n  ${first}  ${REFERENCE}\n"
                      "  ${second}  ${binary}/app/hosts_entry_tool.exe")
endif()
message(STATUS "both builds are ${first}")

# Checks that the C++ sources keep the committed clang-format style.
#   cmake -DCLANG_FORMAT=... -DVERSION=14 -DSOURCE_DIR=... -P Lint.cmake
# Other clang-format versions format some constructs differently, so the
# check insists on the version the style was written with.
if(NOT CLANG_FORMAT)
  message(FATAL_ERROR "lint: clang-format ${VERSION} not found (Debian: clang-format-${VERSION})")
endif()
execute_process(COMMAND "${CLANG_FORMAT}" --version OUTPUT_VARIABLE found_version)
if(NOT found_version MATCHES "version ${VERSION}\\.")
  string(STRIP "${found_version}" found_version)
  message(FATAL_ERROR "lint: expects clang-format ${VERSION}, found: ${found_version}")
endif()
file(GLOB_RECURSE sources
     "${SOURCE_DIR}/app/*.cc" "${SOURCE_DIR}/app/*.h" "${SOURCE_DIR}/hosts/*.cc"
     "${SOURCE_DIR}/hosts/*.h" "${SOURCE_DIR}/tests/*.cc" "${SOURCE_DIR}/tests/*.h"
     "${SOURCE_DIR}/fuzz/*.cc" "${SOURCE_DIR}/bench/*.cc" "${SOURCE_DIR}/packaging/*.cc")
execute_process(COMMAND "${CLANG_FORMAT}" --dry-run --Werror ${sources} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "lint: the sources above are not clang-formatted (run clang-format -i)")
endif()
list(LENGTH sources count)
message(STATUS "lint: ${count} files keep the style of clang-format ${VERSION}")

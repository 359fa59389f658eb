# Compiles every Windows source of the build the way the Windows SDK's
# headers would leave it, with the build's own command (compile_commands.json)
# and this folder's headers in front of mingw-w64's: windows.h then defines
# min and max unless the build defines NOMINMAX, winternl.h declares only
# what the SDK's does, and UNICODE is defined, so that no source leans on the
# A or W default of a generic name. Every command that compiles one of
# them is checked (a source built twice, twice). Fails, with the compiler's
# messages, for any that does not compile so, or a source with no command.
#   cmake -DBUILD_DIR=... -DSOURCE_DIR=... -P sdk_headers.cmake
cmake_minimum_required(VERSION 3.25)
set(sdk "${SOURCE_DIR}/tests/sdk")
file(GLOB sources RELATIVE "${SOURCE_DIR}"
     "${SOURCE_DIR}/hosts/win32_*.cc" "${SOURCE_DIR}/app/*.cc" "${SOURCE_DIR}/tests/win32_*.cc"
     "${SOURCE_DIR}/tests/windows_*.cc" "${SOURCE_DIR}/tests/facts_*.cc"
     "${SOURCE_DIR}/tests/wine/*.cc" "${SOURCE_DIR}/packaging/*.cc")
file(READ "${BUILD_DIR}/compile_commands.json" database)
string(JSON count LENGTH "${database}")
math(EXPR last "${count} - 1")

set(failed "")
set(compiled "")
foreach(i RANGE ${last})
  string(JSON file GET "${database}" ${i} file)
  file(RELATIVE_PATH source "${SOURCE_DIR}" "${file}")
  if(NOT source IN_LIST sources)
    continue()
  endif()
  list(APPEND compiled "${source}")
  string(JSON command GET "${database}" ${i} command)
  separate_arguments(arguments UNIX_COMMAND "${command}")
  # The build's command without its output: checked, not compiled.
  list(FIND arguments "-o" output)
  math(EXPR object "${output} + 1")
  list(REMOVE_AT arguments ${output} ${object})
  list(REMOVE_ITEM arguments "-c")
  list(POP_FRONT arguments compiler)
  execute_process(
    COMMAND "${compiler}" -isystem "${sdk}" -include "${sdk}/prelude.h" -DUNICODE -D_UNICODE
            ${arguments} -fsyntax-only
    WORKING_DIRECTORY "${BUILD_DIR}" RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(result EQUAL 0)
    message("${source}: compiles as with the SDK's headers")
  else()
    message("${source}: does not compile as with the SDK's headers:\n${out}")
    list(APPEND failed "${source}")
  endif()
endforeach()
foreach(source IN LISTS sources)
  if(NOT source IN_LIST compiled)
    message("${source}: the build has no command that compiles it")
    list(APPEND failed "${source}")
  endif()
endforeach()
list(LENGTH sources checked)
if(failed)
  message(FATAL_ERROR "not as with the SDK's headers: ${failed}")
endif()
message("all ${checked} Windows sources compile as with the SDK's headers")

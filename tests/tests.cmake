# Registers the tests with CTest.

if(CMAKE_CROSSCOMPILING)
  # Under an emulator, one CTest entry per test program keeps the start-up
  # cost to one process.
  add_test(NAME unit_tests COMMAND hosts_unit_tests)
else()
  include(GoogleTest)
  gtest_discover_tests(hosts_unit_tests)
endif()

# The end-to-end suite runs the built executable against sandbox hosts files.
find_program(HOSTS_PYTHON NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH)
find_program(HOSTS_PYTHON NAMES python3 REQUIRED)
set(e2e_script "${CMAKE_CURRENT_SOURCE_DIR}/e2e/e2e_test.py")

if(NOT CMAKE_CROSSCOMPILING)
  add_test(NAME e2e_native
           COMMAND "${HOSTS_PYTHON}" "${e2e_script}" --tool $<TARGET_FILE:hosts_entry_tool>
                   --mode native)
endif()

if(CMAKE_CROSSCOMPILING AND WIN32 AND CMAKE_CROSSCOMPILING_EMULATOR)
  # A private Wine prefix in the build directory, made anew for every test
  # run, with one wineserver kept up for the run.
  set(wine_prefix "${CMAKE_BINARY_DIR}/wineprefix")
  set(wine_session "${CMAKE_CURRENT_SOURCE_DIR}/wine/wine_session.sh")
  set(wine_env "WINEPREFIX=${wine_prefix};WINEDEBUG=-all;WINEDLLOVERRIDES=mscoree,mshtml=")
  add_test(NAME wine_start COMMAND "${wine_session}" start "${wine_prefix}"
                                   "${CMAKE_CROSSCOMPILING_EMULATOR}")
  add_test(NAME wine_stop COMMAND "${wine_session}" stop "${wine_prefix}"
                                  "${CMAKE_CROSSCOMPILING_EMULATOR}")
  set_tests_properties(wine_start PROPERTIES FIXTURES_SETUP wine TIMEOUT 300)
  set_tests_properties(wine_stop PROPERTIES FIXTURES_CLEANUP wine)

  add_executable(hold_open wine/hold_open.cc)
  target_link_libraries(hold_open PRIVATE hosts_warnings)

  add_test(NAME e2e_wine
           COMMAND "${HOSTS_PYTHON}" "${e2e_script}" --tool $<TARGET_FILE:hosts_entry_tool>
                   --mode wine --wine "${CMAKE_CROSSCOMPILING_EMULATOR}"
                   --wineprefix "${wine_prefix}" --holder $<TARGET_FILE:hold_open>)
  set_tests_properties(unit_tests e2e_wine PROPERTIES
                       FIXTURES_REQUIRED wine ENVIRONMENT "${wine_env}" TIMEOUT 600)
  set_tests_properties(wine_start wine_stop PROPERTIES ENVIRONMENT "${wine_env}")

  # The executable as Windows sees it: console subsystem, system DLLs only,
  # and the manifest as its only resource.
  add_test(NAME pe_image
           COMMAND "${HOSTS_PYTHON}" "${CMAKE_CURRENT_SOURCE_DIR}/e2e/check_pe.py"
                   $<TARGET_FILE:hosts_entry_tool>)
endif()

# Configuring refuses host names that are empty, hold anything but letters,
# digits, '-' and '.', or make a hosts line longer than 255 characters.
if(NOT CMAKE_CROSSCOMPILING)
  set(host_names_script "${PROJECT_SOURCE_DIR}/cmake/ManagedHosts.cmake")
  string(REPEAT "a" 245 longest_name)
  set(host_name_cases
      "empty|HOSTS_LOCAL_ALIAS_HOST=|HOSTS_LOCAL_ALIAS_HOST is empty"
      "space|HOSTS_SERVICE_CLIENT_HOST=bad name|may hold only ASCII letters"
      "underscore|HOSTS_LOCAL_ALIAS_HOST=a_b.example|may hold only ASCII letters"
      "too_long|HOSTS_SERVICE_CLIENT_HOST=a${longest_name}|is too long")
  foreach(host_name_case IN LISTS host_name_cases)
    string(REPLACE "|" ";" fields "${host_name_case}")
    list(GET fields 0 name)
    list(GET fields 1 definition)
    list(GET fields 2 expected)
    add_test(NAME host_name_refused_${name}
             COMMAND "${CMAKE_COMMAND}" "-D${definition}" -P "${host_names_script}")
    set_tests_properties(host_name_refused_${name} PROPERTIES WILL_FAIL TRUE)
    add_test(NAME host_name_message_${name}
             COMMAND "${CMAKE_COMMAND}" "-D${definition}" -P "${host_names_script}")
    set_tests_properties(host_name_message_${name} PROPERTIES
                         PASS_REGULAR_EXPRESSION "${expected}")
  endforeach()
  add_test(NAME host_name_longest_accepted
           COMMAND "${CMAKE_COMMAND}" "-DHOSTS_LOCAL_ALIAS_HOST=${longest_name}"
                   -P "${host_names_script}")
endif()

# The sources keep the committed clang-format style.
find_program(HOSTS_CLANG_FORMAT NAMES clang-format)
if(HOSTS_CLANG_FORMAT AND NOT CMAKE_CROSSCOMPILING)
  file(GLOB_RECURSE formatted_sources CONFIGURE_DEPENDS
       "${PROJECT_SOURCE_DIR}/app/*.cc" "${PROJECT_SOURCE_DIR}/app/*.h"
       "${PROJECT_SOURCE_DIR}/hosts/*.cc" "${PROJECT_SOURCE_DIR}/hosts/*.h"
       "${PROJECT_SOURCE_DIR}/tests/*.cc" "${PROJECT_SOURCE_DIR}/tests/*.h"
       "${PROJECT_SOURCE_DIR}/fuzz/*.cc" "${PROJECT_SOURCE_DIR}/bench/*.cc")
  add_test(NAME clang_format
           COMMAND "${HOSTS_CLANG_FORMAT}" --dry-run --Werror ${formatted_sources})
endif()

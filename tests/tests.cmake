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

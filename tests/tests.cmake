# Registers the tests with CTest.

if(CMAKE_CROSSCOMPILING)
  # Under an emulator, one CTest entry per test program keeps the start-up
  # cost to one process.
  add_test(NAME unit_tests COMMAND hosts_unit_tests)
else()
  include(GoogleTest)
  gtest_discover_tests(hosts_unit_tests)
endif()

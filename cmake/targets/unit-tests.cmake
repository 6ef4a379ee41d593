# One unit-test executable per platform: under Wine every start costs a second or two.
find_package(GTest QUIET)
file(GLOB_RECURSE tarnwick_unit_tests CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/unit/*_test.cpp)
# A backend's tests are built only where the backend is.
if(WIN32)
  list(FILTER tarnwick_unit_tests EXCLUDE REGEX "_posix_test\\.cpp$")
else()
  list(FILTER tarnwick_unit_tests EXCLUDE REGEX "_win32_test\\.cpp$")
endif()
# make run installs no test library: without GoogleTest the bridge alone is built.
if(tarnwick_unit_tests AND NOT WIN32 AND NOT GTest_FOUND)
  message(STATUS "GoogleTest not found: unit_tests is not built")
elseif(tarnwick_unit_tests)
  add_executable(unit_tests ${tarnwick_unit_tests})
  target_include_directories(unit_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests/unit)
  target_link_libraries(unit_tests PRIVATE tarnwick_core GTest::gmock GTest::gtest_main)
  target_compile_definitions(unit_tests PRIVATE
    TARNWICK_TEST_DATA="${CMAKE_SOURCE_DIR}/tests/data")
  if(WIN32)
    # The event-log messages are read from tarnwick.exe's message table.
    add_dependencies(unit_tests tarnwick)
    add_test(NAME windows_unit_tests COMMAND unit_tests)
    set_tests_properties(windows_unit_tests PROPERTIES TIMEOUT 600)
    # Wine traces the text that each event-log entry receives: it must be the message alone,
    # without a line end.
    add_test(NAME windows_event_log_text COMMAND unit_tests --gtest_filter=EventLogTarget.*)
    set_tests_properties(windows_event_log_text PROPERTIES TIMEOUT 120
      ENVIRONMENT "TARNWICK_WINEDEBUG=trace+eventlog,warn+eventlog"
      PASS_REGULAR_EXPRESSION "eventlog:ReportEventW L\"Tarnwick warning probe\""
      FAIL_REGULAR_EXPRESSION "probe\\\\n\";FAILED")
  else()
    include(GoogleTest)
    gtest_discover_tests(unit_tests PROPERTIES TIMEOUT 30 DISCOVERY_TIMEOUT 60)
  endif()
endif()

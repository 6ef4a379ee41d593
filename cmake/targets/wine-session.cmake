# The Windows tests share one Wine session: a persistent wineserver on the build's prefix, started
# before the first of them once Wine's own services run (wine-run.sh --boot), and ended after the
# last. So no test pays for, or races, the start of Wine's services, and no server goes down
# under a test. `ctest -R` adds the session to whatever it picks. Included last: it marks every
# test defined before it.
if(WIN32)
  add_test(NAME wine_session_boot COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} --boot)
  set_tests_properties(wine_session_boot PROPERTIES FIXTURES_SETUP wine_session TIMEOUT 600)
  add_test(NAME wine_session_shutdown COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} --shutdown)
  set_tests_properties(wine_session_shutdown PROPERTIES FIXTURES_CLEANUP wine_session TIMEOUT 60)

  # Not on the shared prefix: the import check runs no Wine, and the service test makes a fresh
  # prefix per class (a deleted service lingers until its server ends).
  set(_own_wine windows_imports_only_system_dlls wine_service wine_session_boot
      wine_session_shutdown)
  get_property(_tests DIRECTORY PROPERTY TESTS)
  foreach(_test IN LISTS _tests)
    if(NOT _test IN_LIST _own_wine)
      set_property(TEST ${_test} APPEND PROPERTY FIXTURES_REQUIRED wine_session)
    endif()
  endforeach()
endif()

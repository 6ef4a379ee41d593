# End-to-end tests: the real executable between the simulated N1MM+ and SDR (Python peers).
# Every case binds its own loopback ports, so they may run in parallel.
set(TARNWICK_PEER_PYTHON /usr/bin/python3 CACHE FILEPATH
    "Python with websockets, numpy and matplotlib (Debian's) for the test peers")
set(_e2e_script ${CMAKE_SOURCE_DIR}/tests/integration/test_bridge_e2e.py)

if(WIN32)
  # The Windows build under Wine: the smoke subset in two halves of about equal length (Relay,
  # and every other class), which run side by side on the one Wine session: each case has a
  # folder and ports of its own.
  foreach(_half IN ITEMS relay others)
    if(_half STREQUAL "relay")
      set(_which Relay)
    else()
      set(_which --skip Relay)
    endif()
    add_test(NAME e2e_windows_smoke_${_half}
             COMMAND ${TARNWICK_PEER_PYTHON} ${_e2e_script} --exe $<TARGET_FILE:tarnwick> --smoke
                     ${_which} --emulator ${CMAKE_CROSSCOMPILING_EMULATOR})
    set_tests_properties(e2e_windows_smoke_${_half} PROPERTIES TIMEOUT 900 LABELS e2e)
  endforeach()
else()
  # The modules under src/ stand in layers: none includes another that leads back to it.
  add_test(NAME module_layers COMMAND ${TARNWICK_PEER_PYTHON}
           ${CMAKE_SOURCE_DIR}/scripts/check_layers.py ${CMAKE_SOURCE_DIR}/src)
  add_test(NAME peers_selftest COMMAND ${TARNWICK_PEER_PYTHON}
           ${CMAKE_SOURCE_DIR}/tests/peers/test_peers.py)
  set_tests_properties(peers_selftest PROPERTIES TIMEOUT 120 LABELS e2e)
  foreach(_case CommandLine Foundation Relay Spectrum TwoReceivers TwoSdrs Load Churn SilentLink
                Unreachable SdrStacksPython SdrStacksQt SdrStacksNode)
    string(TOLOWER ${_case} _name)
    add_test(NAME e2e_${_name}
             COMMAND ${TARNWICK_PEER_PYTHON} ${_e2e_script} --exe $<TARGET_FILE:tarnwick> ${_case})
    set_tests_properties(e2e_${_name} PROPERTIES TIMEOUT 180 LABELS e2e)
  endforeach()
endif()

# The demo (make demo) run headless for 10 seconds: its own checks and its picture.
if(NOT WIN32)
  add_test(NAME demo_headless
           COMMAND ${TARNWICK_PEER_PYTHON} ${CMAKE_SOURCE_DIR}/tests/integration/test_demo.py
                   --exe $<TARGET_FILE:tarnwick> --seconds 10)
  set_tests_properties(demo_headless PROPERTIES TIMEOUT 180 LABELS e2e)
endif()

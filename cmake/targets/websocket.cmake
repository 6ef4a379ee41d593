# WebSocket client extras: the interop driver and its test against python3-websockets,
# and the dispatch and connect benchmarks (Linux only).

add_executable(ws_interop ${CMAKE_SOURCE_DIR}/tests/integration/ws_interop.cpp)
target_link_libraries(ws_interop PRIVATE tarnwick_core)

set(_ws_interop_runner ${CMAKE_SOURCE_DIR}/tests/integration/ws_interop_test.py)
if(WIN32)
  # The runner and the server are Linux programs; only the driver runs under the emulator.
  add_test(NAME windows_ws_interop
           COMMAND /usr/bin/python3 ${_ws_interop_runner} --driver $<TARGET_FILE:ws_interop>
                   --emulator ${CMAKE_CROSSCOMPILING_EMULATOR})
  set_tests_properties(windows_ws_interop PROPERTIES TIMEOUT 600)
else()
  add_test(NAME ws_interop
           COMMAND /usr/bin/python3 ${_ws_interop_runner} --driver $<TARGET_FILE:ws_interop>)
  set_tests_properties(ws_interop PROPERTIES TIMEOUT 120)
endif()

if(NOT WIN32)
  find_package(benchmark QUIET)
  if(benchmark_FOUND)
    add_executable(websocket_dispatch_bench ${CMAKE_SOURCE_DIR}/bench/websocket_dispatch_bench.cpp)
    target_link_libraries(websocket_dispatch_bench PRIVATE tarnwick_core benchmark::benchmark)
    # Time to connect through a name whose first address drops every SYN.
    add_executable(connect_race_bench ${CMAKE_SOURCE_DIR}/bench/connect_race_bench.cpp)
    target_include_directories(connect_race_bench PRIVATE ${CMAKE_SOURCE_DIR}/tests/unit)
    target_link_libraries(connect_race_bench PRIVATE tarnwick_core benchmark::benchmark)
  else()
    message(STATUS "Google Benchmark not found: websocket_dispatch_bench and connect_race_bench are not built")
  endif()
endif()

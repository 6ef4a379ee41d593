# What keeping the spots costs: the loop's copy and record, the document, its save and its load
# (Linux only, with Google Benchmark).
if(NOT WIN32)
  find_package(benchmark QUIET)
  if(benchmark_FOUND)
    add_executable(spot_state_bench ${CMAKE_SOURCE_DIR}/bench/spot_state_bench.cpp)
    target_compile_options(spot_state_bench PRIVATE -O2)
    target_link_libraries(spot_state_bench PRIVATE tarnwick_core benchmark::benchmark)
  else()
    message(STATUS "spot_state_bench skipped: needs Google Benchmark")
  endif()
endif()

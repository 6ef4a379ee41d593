# Spectrum path benchmark against FFTW (Linux only). FFTW is a yardstick here and is never linked
# into the program. The transform and packet sources are compiled into the benchmark itself so
# they are measured at -O2 whatever the build type.
if(NOT WIN32)
  find_package(benchmark QUIET)
  find_path(FFTW3_INCLUDE_DIR fftw3.h)
  find_library(FFTW3F_LIBRARY fftw3f)
  if(benchmark_FOUND AND FFTW3_INCLUDE_DIR AND FFTW3F_LIBRARY)
    add_executable(spectrum_bench
      ${CMAKE_SOURCE_DIR}/bench/spectrum_bench.cpp
      ${CMAKE_SOURCE_DIR}/src/bridge/fft.cpp
      ${CMAKE_SOURCE_DIR}/src/bridge/spectrum_packet.cpp)
    target_include_directories(spectrum_bench PRIVATE ${CMAKE_SOURCE_DIR}/src ${FFTW3_INCLUDE_DIR})
    target_compile_options(spectrum_bench PRIVATE -O2)
    target_link_libraries(spectrum_bench PRIVATE benchmark::benchmark tinyxml2::tinyxml2
                          ${FFTW3F_LIBRARY} Threads::Threads)
  else()
    message(STATUS "spectrum_bench skipped: needs Google Benchmark and libfftw3-dev")
  endif()
endif()

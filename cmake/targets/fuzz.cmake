# Fuzz targets: every fuzz/<name>_fuzz.cpp defines LLVMFuzzerTestOneInput and keeps its corpus in
# fuzz/corpus/<name>/. With clang and -DTARNWICK_FUZZ=ON each becomes a libFuzzer executable;
# otherwise each links with fuzz/replay_main.cpp and replays its corpus as an ordinary test.

option(TARNWICK_FUZZ "Build the fuzz targets as libFuzzer executables (clang only)" OFF)
set(TARNWICK_FUZZ_SECONDS 60 CACHE STRING "How long each fuzz_<name> target runs its fuzzer")

file(GLOB tarnwick_fuzz_targets CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/fuzz/*_fuzz.cpp)

if(TARNWICK_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "TARNWICK_FUZZ needs clang (libFuzzer); configure with CXX=clang++")
  endif()
  # The code under test needs coverage instrumentation too, or libFuzzer runs blind.
  target_compile_options(tarnwick_core PUBLIC -fsanitize=fuzzer-no-link,address,undefined
                         -fno-omit-frame-pointer)
  target_link_options(tarnwick_core PUBLIC -fsanitize=address,undefined)
endif()

add_custom_target(fuzz_targets)

foreach(_fuzz_source IN LISTS tarnwick_fuzz_targets)
  get_filename_component(_fuzz_exe ${_fuzz_source} NAME_WE)  # <name>_fuzz
  string(REGEX REPLACE "_fuzz$" "" _fuzz_name ${_fuzz_exe})
  set(_fuzz_corpus ${CMAKE_SOURCE_DIR}/fuzz/corpus/${_fuzz_name})

  add_executable(${_fuzz_exe} ${_fuzz_source})
  target_link_libraries(${_fuzz_exe} PRIVATE tarnwick_core)
  add_dependencies(fuzz_targets ${_fuzz_exe})

  if(TARNWICK_FUZZ)
    target_link_options(${_fuzz_exe} PRIVATE -fsanitize=fuzzer)
    # `cmake --build <dir> --target fuzz_<name>` runs it for TARNWICK_FUZZ_SECONDS on a scratch
    # copy of the checked-in corpus, so new finds do not land in the source tree unasked; what
    # it finds wrong is written to the build directory.
    set(_fuzz_work ${CMAKE_BINARY_DIR}/fuzz-corpus/${_fuzz_name})
    add_custom_target(fuzz_${_fuzz_name}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${_fuzz_work}
      COMMAND ${CMAKE_COMMAND} -E copy_directory ${_fuzz_corpus} ${_fuzz_work}
      COMMAND $<TARGET_FILE:${_fuzz_exe}> -max_total_time=${TARNWICK_FUZZ_SECONDS}
              -print_final_stats=1 -artifact_prefix=${CMAKE_BINARY_DIR}/${_fuzz_name}- ${_fuzz_work}
      DEPENDS ${_fuzz_exe}
      USES_TERMINAL)
  else()
    target_sources(${_fuzz_exe} PRIVATE ${CMAKE_SOURCE_DIR}/fuzz/replay_main.cpp)
    if(WIN32)
      set(_fuzz_test windows_fuzz_replay_${_fuzz_name})
    else()
      set(_fuzz_test fuzz_replay_${_fuzz_name})
    endif()
    add_test(NAME ${_fuzz_test} COMMAND ${_fuzz_exe} ${_fuzz_corpus})
    set_tests_properties(${_fuzz_test} PROPERTIES TIMEOUT 120)
  endif()
endforeach()

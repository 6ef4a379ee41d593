# Third-party libraries for the Windows cross build, built once into the build directory:
# tinyxml2 from its Debian source package, GoogleTest from /usr/src/googletest, and spdlog
# with fmt header-only (Debian's spdlog expects an external fmt).
set(TARNWICK_WINDOWS_DEPS_DIR "${CMAKE_BINARY_DIR}/deps" CACHE PATH
    "Where the cross-built third-party libraries are kept (a release build shares the test build's)")
execute_process(
  COMMAND "${CMAKE_CURRENT_LIST_DIR}/../scripts/build-windows-deps.sh" "${TARNWICK_WINDOWS_DEPS_DIR}"
  RESULT_VARIABLE _tarnwick_deps_result)
if(NOT _tarnwick_deps_result EQUAL 0)
  message(FATAL_ERROR "Building the Windows dependencies failed (${_tarnwick_deps_result})")
endif()
set(_deps_include "${TARNWICK_WINDOWS_DEPS_DIR}/include")
set(_deps_lib "${TARNWICK_WINDOWS_DEPS_DIR}/lib")

add_library(tarnwick_tinyxml2 STATIC IMPORTED)
set_target_properties(tarnwick_tinyxml2 PROPERTIES
  IMPORTED_LOCATION "${_deps_lib}/libtinyxml2.a"
  INTERFACE_INCLUDE_DIRECTORIES "${_deps_include}")

add_library(tarnwick_deps INTERFACE)
target_include_directories(tarnwick_deps SYSTEM INTERFACE "${_deps_include}")
target_compile_definitions(tarnwick_deps INTERFACE
  SPDLOG_HEADER_ONLY FMT_HEADER_ONLY WIN32_LEAN_AND_MEAN NOMINMAX)
target_link_libraries(tarnwick_deps INTERFACE tarnwick_tinyxml2 Threads::Threads
  ws2_32 advapi32 bcrypt kernel32)

foreach(_gtest_lib gtest gmock gtest_main)
  add_library(GTest::${_gtest_lib} STATIC IMPORTED)
  set_target_properties(GTest::${_gtest_lib} PROPERTIES
    IMPORTED_LOCATION "${_deps_lib}/lib${_gtest_lib}.a"
    INTERFACE_INCLUDE_DIRECTORIES "${_deps_include}")
endforeach()
set_target_properties(GTest::gmock PROPERTIES INTERFACE_LINK_LIBRARIES GTest::gtest)
set_target_properties(GTest::gtest_main PROPERTIES INTERFACE_LINK_LIBRARIES GTest::gtest)
set_target_properties(GTest::gtest PROPERTIES INTERFACE_LINK_LIBRARIES Threads::Threads)

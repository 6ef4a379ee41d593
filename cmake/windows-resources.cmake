# The resources of tarnwick.exe: the event-log message table (windmc from src/app/*.mc), the
# version information and the application manifest, the last two filled in from VERSION and
# LICENSE whenever CMake configures. The message identifiers reach the code through windmc's
# header, so the entries that the program writes and the table cannot drift apart.
enable_language(RC)
find_program(TARNWICK_WINDMC NAMES ${TARNWICK_MINGW_TRIPLE}-windmc x86_64-w64-mingw32-windmc
             REQUIRED)

set(_res_dir ${CMAKE_BINARY_DIR}/resources)
set(_messages ${CMAKE_SOURCE_DIR}/src/app/tarnwick_messages.mc)
add_custom_command(
  OUTPUT ${_res_dir}/tarnwick_messages.h ${_res_dir}/tarnwick_messages.rc ${_res_dir}/MSG00409.bin
  COMMAND ${CMAKE_COMMAND} -E make_directory ${_res_dir}
  COMMAND ${TARNWICK_WINDMC} -h ${_res_dir} -r ${_res_dir} ${_messages}
  DEPENDS ${_messages}
  COMMENT "Compiling the event-log messages")
# The library writes the event-log entries, so it owns the generated files; the executable is
# linked after it and finds them made.
target_sources(tarnwick_core PRIVATE ${_res_dir}/tarnwick_messages.h)
target_include_directories(tarnwick_core PUBLIC ${_res_dir})

# VERSIONINFO wants four numbers: 0.70b gives 0,70,0,0.
foreach(_part MAJOR MINOR PATCH TWEAK)
  set(_number "${PROJECT_VERSION_${_part}}")
  if(_number STREQUAL "")
    set(_number 0)
  endif()
  list(APPEND _version_numbers ${_number})
endforeach()
list(JOIN _version_numbers "," TARNWICK_VERSION_COMMAS)
list(JOIN _version_numbers "." TARNWICK_VERSION_QUAD)
file(STRINGS ${CMAKE_SOURCE_DIR}/LICENSE TARNWICK_COPYRIGHT REGEX "^Copyright " LIMIT_COUNT 1)
string(REGEX REPLACE "^Copyright \\([cC]\\) [0-9, -]+ " "" TARNWICK_AUTHORS "${TARNWICK_COPYRIGHT}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS LICENSE)
configure_file(src/app/tarnwick.rc.in ${_res_dir}/tarnwick.rc @ONLY)
configure_file(src/app/tarnwick.exe.manifest.in ${_res_dir}/tarnwick.exe.manifest @ONLY)

target_sources(tarnwick PRIVATE ${_res_dir}/tarnwick.rc)
set_source_files_properties(${_res_dir}/tarnwick.rc PROPERTIES
  INCLUDE_DIRECTORIES ${_res_dir}
  OBJECT_DEPENDS
    "${_res_dir}/tarnwick_messages.rc;${_res_dir}/MSG00409.bin;${_res_dir}/tarnwick.exe.manifest")

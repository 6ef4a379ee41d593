# The Windows executables must carry their C++ runtime inside: check what they import.
if(WIN32)
  find_program(TARNWICK_OBJDUMP NAMES ${CMAKE_OBJDUMP} x86_64-w64-mingw32-objdump REQUIRED)
  add_test(NAME windows_imports_only_system_dlls
    COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${TARNWICK_OBJDUMP} -DEXE=$<TARGET_FILE:tarnwick>
            -P ${CMAKE_SOURCE_DIR}/cmake/check-windows-imports.cmake)
endif()

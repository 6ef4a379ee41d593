# The service host's tests beyond the shared unit tests: each platform's backend tests, and the
# end-to-end runs of the real executable under systemd's notify protocol (Linux) and under
# Wine's service control manager (Windows).

# A backend's unit tests are compiled only where the backend is.
file(GLOB _service_posix_tests ${CMAKE_SOURCE_DIR}/tests/unit/service/*_posix_test.cpp)
file(GLOB _service_win32_tests ${CMAKE_SOURCE_DIR}/tests/unit/service/*_win32_test.cpp)
if(WIN32)
  set_source_files_properties(${_service_posix_tests} PROPERTIES HEADER_FILE_ONLY ON)
else()
  set_source_files_properties(${_service_win32_tests} PROPERTIES HEADER_FILE_ONLY ON)
endif()

if(WIN32)
  add_test(NAME wine_service
           COMMAND /usr/bin/python3 ${CMAKE_SOURCE_DIR}/tests/integration/wine_service_test.py
                   $<TARGET_FILE:tarnwick>)
  # A fresh Wine prefix per class costs most of this; its own Wine sessions run alone.
  set_tests_properties(wine_service PROPERTIES TIMEOUT 600 RUN_SERIAL TRUE)
else()
  add_test(NAME systemd_notify
           COMMAND /usr/bin/python3 ${CMAKE_SOURCE_DIR}/tests/integration/systemd_notify_test.py
                   $<TARGET_FILE:tarnwick>)
  set_tests_properties(systemd_notify PROPERTIES TIMEOUT 120)
endif()

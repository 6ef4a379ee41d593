# The release build behind `make dist`: the same commit gives the same bytes wherever it is built.
# Paths of the checkout and the build directory are mapped to fixed names, the executable carries
# no symbols or debug information, and a Windows executable no link time stamp. The Windows link
# also writes a map of every archive member it pulls in, from which the third-party notices and
# their check work.
add_compile_options("-ffile-prefix-map=${CMAKE_SOURCE_DIR}=."
                    "-ffile-prefix-map=${CMAKE_BINARY_DIR}=build")
add_link_options(-s)
if(WIN32)
  add_link_options(LINKER:--no-insert-timestamp)
endif()

function(tarnwick_dist_link_map target)
  if(WIN32)
    target_link_options(${target} PRIVATE "LINKER:-Map=${CMAKE_BINARY_DIR}/${target}.map")
  endif()
endfunction()

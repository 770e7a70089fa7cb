# How libkel_database links with the host runtime on macOS.
#
# A program may define any host operation itself, and the library must then
# call the program's definition. On Linux every call into a shared library
# goes through the dynamic linker's global lookup anyway. On macOS each
# imported symbol is bound to the library the linker found it in (the
# two-level namespace), and only a symbol looked up in the flat namespace is
# searched for in every loaded image, the program first. -flat_namespace
# would do that for every symbol, SQLite's and libc++'s included; instead only
# the runtime's symbols are looked up flat:
#   - the library is linked against a link stub of libkel_system that has its
#     install name and versions but exports nothing, so it still loads the
#     runtime (whose definitions a program without its own then gets), and
#   - each symbol the runtime exports is named to the linker with -U, which
#     leaves it to a flat lookup at load time when no other library given to
#     the linker defines it.
# SQLite, libc++ and libSystem are linked as usual and stay two-level; any
# other symbol no library defines is still a link error.
#
#   kel_link_host_flat(TARGET RUNTIME_TARGET)

set(KEL_HOST_STUB_SCRIPT "${CMAKE_CURRENT_LIST_DIR}/macos_host_stub.cmake")

function(kel_link_host_flat target runtime)
  if(KEL_MACHO_OTOOL)
    set(otool "${KEL_MACHO_OTOOL}")
  else()
    find_program(KEL_OTOOL otool REQUIRED)
    set(otool "${KEL_OTOOL}")
  endif()
  set(stub "${CMAKE_CURRENT_BINARY_DIR}/kel_system_link_stub.tbd")
  set(lookups "${CMAKE_CURRENT_BINARY_DIR}/kel_system_lookups.rsp")
  set(runtime_target "")
  get_target_property(imported ${runtime} IMPORTED)
  if(NOT imported)
    get_target_property(runtime_target ${runtime} ALIASED_TARGET)
  endif()
  add_custom_command(OUTPUT "${stub}" "${lookups}"
    COMMAND "${CMAKE_COMMAND}" "-DNM=${CMAKE_NM}" "-DOTOOL=${otool}" "-DRUNTIME=$<TARGET_FILE:${runtime}>"
      "-DSTUB=${stub}" "-DLOOKUPS=${lookups}" -P "${KEL_HOST_STUB_SCRIPT}"
    DEPENDS "$<TARGET_FILE:${runtime}>" ${runtime_target} "${KEL_HOST_STUB_SCRIPT}"
    COMMENT "Link stub and flat lookups of $<TARGET_FILE_NAME:${runtime}>"
    VERBATIM)
  add_custom_target(${target}_host_stub DEPENDS "${stub}" "${lookups}")
  add_dependencies(${target} ${target}_host_stub)
  target_link_libraries(${target} PRIVATE "${stub}")
  target_link_options(${target} PRIVATE "@${lookups}")
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${stub}" "${lookups}")
  # Linked with the stub, the library gets no build-tree run path to the
  # runtime from CMake; it finds it there as a program of the build would.
  set_property(TARGET ${target} APPEND PROPERTY BUILD_RPATH "$<TARGET_FILE_DIR:${runtime}>")
endfunction()

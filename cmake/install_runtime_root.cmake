# Installs the bundled runtime alone (component kel_system) into
# BUILD_DIR/root, afresh, where a build with -DKEL_SYSTEM=external finds it as
# it would find a framework's own runtime, and checks that the header and the
# library landed there.
#   cmake -DBUILD_DIR=<build> -DLIBDIR=<lib> -DINCLUDEDIR=<include> -DLIBRARY=<file name> -P install_runtime_root.cmake
foreach(var BUILD_DIR LIBDIR INCLUDEDIR LIBRARY)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "install_runtime_root.cmake needs -D${var}=...")
  endif()
endforeach()
set(root "${BUILD_DIR}/root")
file(REMOVE_RECURSE "${root}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${root}" --component kel_system
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cmake --install --component kel_system failed (${status})")
endif()
foreach(file "${INCLUDEDIR}/kel_system/kel_system.h" "${LIBDIR}/${LIBRARY}")
  if(NOT EXISTS "${root}/${file}")
    message(FATAL_ERROR "the runtime's install lacks ${file}")
  endif()
endforeach()
message(STATUS "runtime installed into ${root}")

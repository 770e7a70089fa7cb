# Installation and packaging.
#
# `cmake --install <build> [--prefix <dir>]` lays out, in the GNUInstallDirs
# places under the prefix, the library and nothing of a runtime:
#   lib/libkel_database.so.1.0.0, .so.1, .so
#   include/kel_database/kel_database.h, version.h
#   lib/cmake/kel_database/kel_database{Config,ConfigVersion,Targets}.cmake
#   lib/pkgconfig/kel_database.pc
#   bin/kel_sql, share/man/man1/kel_sql.1
# so that installing into a framework's prefix can never overwrite its
# libkel_system. The bundled stand-in runtime is installed only when asked for,
# as the component kel_system:
#   cmake --install <build> --prefix <dir> --component kel_system
# which adds lib/libkel_system.so.1.0.0 (.so.1, .so),
# include/kel_system/kel_system.h and, beside the library's package files,
# kel_systemTargets.cmake. A build with KEL_BUILD_LIBRARY=OFF has only that
# component: the runtime alone, laid out as a framework's runtime would be.
#
# `find_package(kel_database CONFIG)` gives kel_database::kel_database, which
# brings kel_database::kel_system (the runtime the library was built against:
# the installed stand-in, or the framework's own under KEL_SYSTEM_ROOT),
# SQLite (or SQLCipher, with KEL_SQLITE=sqlcipher), Boost and Threads;
# `pkg-config kel_database` gives the compiler and
# linker flags for the same. The build tree itself is usable as a package
# too: point kel_database_DIR at it.
include(CMakePackageConfigHelpers)

set(KEL_INSTALL_CMAKEDIR "${CMAKE_INSTALL_LIBDIR}/cmake/kel_database"
    CACHE STRING "Where the CMake package files of kel_database are installed")

if(KEL_SYSTEM STREQUAL "bundled")
  install(TARGETS kel_system
    EXPORT kel_systemTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT kel_system NAMELINK_COMPONENT kel_system EXCLUDE_FROM_ALL
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT kel_system EXCLUDE_FROM_ALL)
  install(FILES ${PROJECT_SOURCE_DIR}/src/host_framework/kel_system.h
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kel_system
    COMPONENT kel_system EXCLUDE_FROM_ALL)
endif()
if(NOT KEL_BUILD_LIBRARY)
  return()
endif()

# An installed libkel_database finds libkel_system beside it, or in the
# framework's library directory: a program's own run path does not apply to
# the dependencies of its libraries, and a program that calls no host function
# directly (kel_sql) does not list libkel_system itself.
set(KEL_LIBRARY_RPATH "${KEL_RPATH_ORIGIN}")
if(KEL_SYSTEM STREQUAL "external")
  list(APPEND KEL_LIBRARY_RPATH "${KEL_SYSTEM_LIBRARY_DIR}")
endif()
set_property(TARGET kel_database PROPERTY INSTALL_RPATH "${KEL_LIBRARY_RPATH}")

install(TARGETS kel_database
  EXPORT kel_databaseTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Runtime NAMELINK_COMPONENT Development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime)
install(FILES ${PROJECT_SOURCE_DIR}/include/kel_database/kel_database.h
    ${KEL_GENERATED_INCLUDE_DIR}/kel_database/version.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kel_database
  COMPONENT Development)

install(EXPORT kel_databaseTargets
  NAMESPACE kel_database::
  FILE kel_databaseTargets.cmake
  DESTINATION ${KEL_INSTALL_CMAKEDIR}
  COMPONENT Development)
# The same targets, for consumers configured against this build tree.
export(EXPORT kel_databaseTargets
  NAMESPACE kel_database::
  FILE ${PROJECT_BINARY_DIR}/kel_databaseTargets.cmake)
if(KEL_SYSTEM STREQUAL "bundled")
  install(EXPORT kel_systemTargets
    NAMESPACE kel_database::
    FILE kel_systemTargets.cmake
    DESTINATION ${KEL_INSTALL_CMAKEDIR}
    COMPONENT kel_system EXCLUDE_FROM_ALL)
  export(EXPORT kel_systemTargets
    NAMESPACE kel_database::
    FILE ${PROJECT_BINARY_DIR}/kel_systemTargets.cmake)
endif()

# One template, two copies: the installed one, and one in the build tree next
# to the build tree's targets file.
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/kel_databaseConfig.cmake.in
  ${PROJECT_BINARY_DIR}/package/kel_databaseConfig.cmake
  INSTALL_DESTINATION ${KEL_INSTALL_CMAKEDIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/kel_databaseConfig.cmake.in
  ${PROJECT_BINARY_DIR}/kel_databaseConfig.cmake
  INSTALL_DESTINATION ${PROJECT_BINARY_DIR}
  INSTALL_PREFIX ${PROJECT_BINARY_DIR})
# The SONAME changes with the major version, so only that has to match.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/kel_databaseConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
    ${PROJECT_BINARY_DIR}/package/kel_databaseConfig.cmake
    ${PROJECT_BINARY_DIR}/kel_databaseConfigVersion.cmake
  DESTINATION ${KEL_INSTALL_CMAKEDIR}
  COMPONENT Development)

# pkg-config: the prefix is taken relative to the .pc file itself, so the file
# stays right when the tree is installed with `--prefix` or moved later. The
# runtime's flags point at the framework's own with KEL_SYSTEM=external.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(KEL_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(KEL_PC_LIBDIR "${CMAKE_INSTALL_FULL_LIBDIR}")
  set(KEL_PC_INCLUDEDIR "${CMAKE_INSTALL_FULL_INCLUDEDIR}")
else()
  file(RELATIVE_PATH KEL_PC_UP "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
  set(KEL_PC_PREFIX "\${pcfiledir}/${KEL_PC_UP}")
  set(KEL_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
  set(KEL_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
if(KEL_SYSTEM STREQUAL "external")
  set(KEL_PC_SYSTEM_LIBS "-L${KEL_SYSTEM_LIBRARY_DIR} -lkel_system")
  set(KEL_PC_SYSTEM_CFLAGS "-I${KEL_SYSTEM_INCLUDE_DIR}")
else()
  set(KEL_PC_SYSTEM_LIBS "-lkel_system")
  set(KEL_PC_SYSTEM_CFLAGS "-I\${includedir}/kel_system")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/kel_database.pc.in ${PROJECT_BINARY_DIR}/package/kel_database.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/package/kel_database.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT Development)

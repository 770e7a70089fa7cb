# Installation and packaging of both libraries.
#
# `cmake --install <build> [--prefix <dir>]` lays out, in the GNUInstallDirs
# places under the prefix:
#   lib/libkel_database.so.1.0.0, .so.1, .so   (and the same for kel_system)
#   include/kel_database/kel_database.h, include/kel_database/kel_system.h
#   lib/cmake/kel_database/kel_database{Config,ConfigVersion,Targets}.cmake
#   lib/pkgconfig/kel_database.pc
# so that `find_package(kel_database CONFIG)` gives kel_database::kel_database
# (bringing kel_database::kel_system, SQLite, Boost and Threads along) and
# `pkg-config kel_database` gives the compiler and linker flags. The build tree
# itself is usable as a package too: point kel_database_DIR at it.
include(CMakePackageConfigHelpers)

set(KEL_INSTALL_CMAKEDIR "${CMAKE_INSTALL_LIBDIR}/cmake/kel_database"
    CACHE STRING "Where the CMake package files of kel_database are installed")

# An installed libkel_database finds libkel_system beside it, wherever the
# prefix is: a program's own run path does not apply to the dependencies of
# its libraries, and a program that calls no host function directly (kel_sql)
# does not list libkel_system itself.
set_property(TARGET kel_database PROPERTY INSTALL_RPATH "$ORIGIN")

install(TARGETS kel_system kel_database
  EXPORT kel_databaseTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Runtime NAMELINK_COMPONENT Development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime)

# Both public headers go to one directory: the targets' install interface
# lists include/ (for <kel_database/kel_database.h>) and include/kel_database/
# (for the <kel_system.h> that the public header includes).
install(FILES
    ${PROJECT_SOURCE_DIR}/include/kel_database/kel_database.h
    ${PROJECT_SOURCE_DIR}/src/host_framework/kel_system.h
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
# stays right when the tree is installed with `--prefix` or moved later.
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
configure_file(${CMAKE_CURRENT_LIST_DIR}/kel_database.pc.in ${PROJECT_BINARY_DIR}/package/kel_database.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/package/kel_database.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT Development)

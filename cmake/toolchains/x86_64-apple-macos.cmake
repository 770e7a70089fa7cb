# x86-64 macOS, cross-compiled on Linux with Debian's clang-14 and the Mach-O
# linker of lld-14, against the sysroot scripts/macos_sysroot.sh makes:
#
#   sysroot=$(scripts/macos_sysroot.sh | tail -n1)
#   cmake -S . -B build-macos -G Ninja --toolchain cmake/toolchains/x86_64-apple-macos.cmake \
#     -DKEL_MACOS_SYSROOT="$sysroot"
#
# Deployment target 11.0 (the oldest macOS the sysroot's headers describe)
# unless CMAKE_OSX_DEPLOYMENT_TARGET says otherwise. What is built is linked,
# not run: nothing here can start a Mach-O program.

set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_OSX_ARCHITECTURES x86_64 CACHE STRING "Built for x86-64 only")
set(CMAKE_OSX_DEPLOYMENT_TARGET 11.0 CACHE STRING "The oldest macOS the build runs on")

# try_compile projects read this file again and need the same sysroot.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KEL_MACOS_SYSROOT CMAKE_OSX_DEPLOYMENT_TARGET)

# ---- The sysroot -----------------------------------------------------------
set(_kel_sysroot_needs
  usr/include/TargetConditionals.h usr/include/stdio.h usr/include/c++/v1/__config_site usr/include/sqlite3.h
  usr/include/boost/version.hpp usr/lib/libSystem.tbd usr/lib/libSystem.B.tbd usr/lib/libc++.tbd usr/lib/libc++.1.tbd
  usr/lib/libsqlite3.tbd usr/bin/sw_vers)
if(NOT KEL_MACOS_SYSROOT)
  message(FATAL_ERROR "Building for macOS needs a sysroot: KEL_MACOS_SYSROOT is not set. Make one with "
    "scripts/macos_sysroot.sh and pass the path it prints last: -DKEL_MACOS_SYSROOT=<sysroot>")
endif()
get_filename_component(_kel_sysroot "${KEL_MACOS_SYSROOT}" ABSOLUTE)
set(_kel_sysroot_missing "")
foreach(file IN LISTS _kel_sysroot_needs)
  if(NOT EXISTS "${_kel_sysroot}/${file}")
    list(APPEND _kel_sysroot_missing "${file}")
  endif()
endforeach()
if(_kel_sysroot_missing)
  if(NOT IS_DIRECTORY "${_kel_sysroot}")
    set(_kel_what "there is no such directory")
  else()
    list(JOIN _kel_sysroot_missing ", " _kel_what)
    set(_kel_what "it lacks ${_kel_what}")
  endif()
  message(FATAL_ERROR "KEL_MACOS_SYSROOT=${_kel_sysroot} is not a macOS sysroot made by "
    "scripts/macos_sysroot.sh: ${_kel_what}. Make one with scripts/macos_sysroot.sh [DIR].")
endif()
set(CMAKE_OSX_SYSROOT "${_kel_sysroot}" CACHE PATH "The macOS sysroot" FORCE)
set(CMAKE_FIND_ROOT_PATH "${_kel_sysroot}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Packages: the project's own (an installed kel_database, an external
# runtime's prefix) are given by absolute path outside the sysroot.
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# CMake's Darwin support asks sw_vers for the macOS version and sets no
# run-path flag without an answer; the sysroot's sw_vers answers with the
# deployment target. CMAKE_SYSTEM_VERSION is the Darwin kernel's version that
# goes with it (macOS 11 is Darwin 20, 10.15 is Darwin 19).
set(ENV{KEL_MACOS_VERSION} "${CMAKE_OSX_DEPLOYMENT_TARGET}")
if(NOT "$ENV{PATH}" MATCHES "(^|:)${_kel_sysroot}/usr/bin(:|$)")
  set(ENV{PATH} "${_kel_sysroot}/usr/bin:$ENV{PATH}")
endif()
string(REGEX MATCH "^([0-9]+)\\.?([0-9]*)" _kel_version "${CMAKE_OSX_DEPLOYMENT_TARGET}")
if(NOT _kel_version)
  message(FATAL_ERROR "CMAKE_OSX_DEPLOYMENT_TARGET=${CMAKE_OSX_DEPLOYMENT_TARGET} is not a macOS version")
endif()
if(CMAKE_MATCH_1 EQUAL 10)
  math(EXPR _kel_darwin "${CMAKE_MATCH_2} + 4")
else()
  math(EXPR _kel_darwin "${CMAKE_MATCH_1} + 9")
endif()
set(CMAKE_SYSTEM_VERSION "${_kel_darwin}.0.0")

# ---- Compiler, linker and Mach-O tools ------------------------------------
foreach(tool clang-14 clang++-14 ld64.lld-14 llvm-ar-14 llvm-ranlib-14 llvm-nm-14 llvm-strip-14 llvm-objdump-14
    llvm-otool-14 llvm-install-name-tool-14 llvm-cxxfilt-14)
  string(MAKE_C_IDENTIFIER "KEL_MACOS_${tool}" _kel_var)
  find_program(${_kel_var} ${tool})
  if(NOT ${_kel_var})
    message(FATAL_ERROR "Building for macOS needs ${tool}, which is not on PATH (Debian packages clang-14, "
      "lld-14 and llvm-14; scripts/macos_sysroot.sh installs them)")
  endif()
endforeach()
set(CMAKE_C_COMPILER "${KEL_MACOS_clang_14}")
set(CMAKE_CXX_COMPILER "${KEL_MACOS_clang___14}")
set(CMAKE_C_COMPILER_TARGET x86_64-apple-darwin)
set(CMAKE_CXX_COMPILER_TARGET x86_64-apple-darwin)
set(CMAKE_AR "${KEL_MACOS_llvm_ar_14}" CACHE FILEPATH "")
set(CMAKE_RANLIB "${KEL_MACOS_llvm_ranlib_14}" CACHE FILEPATH "")
set(CMAKE_NM "${KEL_MACOS_llvm_nm_14}" CACHE FILEPATH "")
set(CMAKE_STRIP "${KEL_MACOS_llvm_strip_14}" CACHE FILEPATH "")
set(CMAKE_OBJDUMP "${KEL_MACOS_llvm_objdump_14}" CACHE FILEPATH "")
set(CMAKE_INSTALL_NAME_TOOL "${KEL_MACOS_llvm_install_name_tool_14}" CACHE FILEPATH "")
# For the checks of what the build makes.
# The checks configure a consumer project with this same file.
set(KEL_MACOS_TOOLCHAIN_FILE "${CMAKE_CURRENT_LIST_FILE}")
set(KEL_MACHO_OTOOL "${KEL_MACOS_llvm_otool_14}")
set(KEL_MACHO_OBJDUMP "${KEL_MACOS_llvm_objdump_14}")
set(KEL_MACHO_NM "${KEL_MACOS_llvm_nm_14}")
set(KEL_MACHO_CXXFILT "${KEL_MACOS_llvm_cxxfilt_14}")

# libc++ as on macOS, its headers from the sysroot only: the Linux host's own
# copy beside clang would otherwise come first, with Apple's availability
# annotations switched off.
set(CMAKE_CXX_FLAGS_INIT "-stdlib=libc++ -stdlib++-isystem ${_kel_sysroot}/usr/include/c++/v1")
# ld64.lld: clang passes it -platform_version (the minimum macOS and the SDK
# version) only for a linker it takes for ld64 609 or later.
set(_kel_link "-fuse-ld=lld --ld-path=${KEL_MACOS_ld64_lld_14} -mlinker-version=609")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_kel_link}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_kel_link}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_kel_link}")

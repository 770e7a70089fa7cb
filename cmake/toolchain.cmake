# What differs between the C++ libraries and platforms the project builds on.

# libc++ (clang's C++ library, the one of the framework's own toolchain) or
# libstdc++: programs and libraries built with one cannot link against C++
# code built with the other, so where the prebuilt GoogleTest and Google
# Benchmark are built with the other one (a libc++ build on Debian, a cross
# build), GoogleTest is built from source and Google Benchmark left out.
include(CheckCXXSourceCompiles)
check_cxx_source_compiles("
#include <cstddef>
#if !defined(_LIBCPP_VERSION)
#error not libc++
#endif
int main() { return 0; }" KEL_LIBCXX)
# Whether the GoogleTest and Google Benchmark installed on the system are
# built with this build's C++ library: Debian's are built against libstdc++,
# a Mac's (Homebrew's) against libc++, the platform's own; a cross build has
# none for its target.
if(CMAKE_CROSSCOMPILING)
  set(KEL_PREBUILT_CXX_LIBS OFF)
elseif(APPLE)
  set(KEL_PREBUILT_CXX_LIBS ON)
elseif(KEL_LIBCXX)
  set(KEL_PREBUILT_CXX_LIBS OFF)
else()
  set(KEL_PREBUILT_CXX_LIBS ON)
endif()

# Installed libraries and programs find the libraries they need relative to
# themselves.
if(APPLE)
  set(KEL_RPATH_ORIGIN "@loader_path")
  # Install names are @rpath/libX.dylib, resolved through the run paths above.
  set(CMAKE_MACOSX_RPATH ON)
  set(CMAKE_INSTALL_NAME_DIR "@rpath")
  # The tools the checks read Mach-O files with; a cross toolchain file names
  # its own.
  if(NOT KEL_MACHO_OTOOL)
    find_program(KEL_MACHO_OTOOL NAMES otool llvm-otool)
  endif()
  if(NOT KEL_MACHO_OBJDUMP)
    find_program(KEL_MACHO_OBJDUMP NAMES llvm-objdump objdump)
  endif()
  if(NOT KEL_MACHO_NM)
    set(KEL_MACHO_NM "${CMAKE_NM}")
  endif()
  if(NOT KEL_MACHO_CXXFILT)
    find_program(KEL_MACHO_CXXFILT NAMES c++filt llvm-cxxfilt)
  endif()
else()
  set(KEL_RPATH_ORIGIN "$ORIGIN")
endif()

# Shared library versions: the file name carries VERSION and SOVERSION on
# ELF; on Mach-O the same numbers become the current and compatibility
# versions (a program linked against 1.x runs with any later 1.y).
function(kel_set_library_version target)
  set_target_properties(${target} PROPERTIES
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR}
    MACHO_CURRENT_VERSION ${PROJECT_VERSION}
    MACHO_COMPATIBILITY_VERSION ${PROJECT_VERSION_MAJOR}.0.0)
endfunction()

# Compiler warnings and optional sanitizers for this project's own targets.
#
# Never through add_compile_options/add_link_options: a framework that brings
# the library in with add_subdirectory or FetchContent would get them on every
# target of its own. Instead, once this directory has been read, every target
# defined under it (the runtime, the library, tests, tools, examples, bench,
# fuzzer, and a GoogleTest built from source) gets them as its own options.
# A parent's targets, and targets defined before this project, get nothing.

if(NOT KEL_SANITIZE MATCHES "^(|address|thread)$")
  message(FATAL_ERROR "KEL_SANITIZE must be '', 'address' or 'thread', not '${KEL_SANITIZE}'")
endif()

set(KEL_WARNING_OPTIONS -Wall -Wextra)
set(KEL_SANITIZER_COMPILE_OPTIONS "")
set(KEL_SANITIZER_LINK_OPTIONS "")
if(KEL_SANITIZE STREQUAL "address")
  set(KEL_SANITIZER_COMPILE_OPTIONS -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  set(KEL_SANITIZER_LINK_OPTIONS -fsanitize=address,undefined)
elseif(KEL_SANITIZE STREQUAL "thread")
  set(KEL_SANITIZER_COMPILE_OPTIONS -fsanitize=thread -fno-omit-frame-pointer)
  set(KEL_SANITIZER_LINK_OPTIONS -fsanitize=thread)
endif()

# Clang's thread-safety analysis of the library and the bundled runtime: the
# locking rules stated with the attributes of src/common/thread_annotations.h
# are checked, and a breach fails the build. Needs clang with libc++, whose
# std::mutex and std::lock_guard carry the attributes once
# _LIBCPP_ENABLE_THREAD_SAFETY_ANNOTATIONS is defined. Only those two targets
# get it: tests and GoogleTest lock in ways nobody has annotated.
option(KEL_THREAD_SAFETY_ANALYSIS "Check the library's and the runtime's locking with clang's -Wthread-safety, as errors (clang and libc++ only)" OFF)
set(KEL_THREAD_SAFETY_OPTIONS "")
set(KEL_THREAD_SAFETY_TARGETS kel_database kel_system)
if(KEL_THREAD_SAFETY_ANALYSIS)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "KEL_THREAD_SAFETY_ANALYSIS=ON needs clang, and the C++ compiler is "
      "${CMAKE_CXX_COMPILER_ID} (${CMAKE_CXX_COMPILER}). Configure a fresh build folder with "
      "CC=clang CXX=clang++ and -DCMAKE_CXX_FLAGS=-stdlib=libc++, or turn the option off.")
  endif()
  include(CheckCXXSourceCompiles)
  # Asked again at every configure: the flags may have changed since.
  unset(KEL_CXX_LIBRARY_IS_LIBCXX CACHE)
  check_cxx_source_compiles("#include <ciso646>
#ifndef _LIBCPP_VERSION
#error not libc++
#endif
int main() { return 0; }" KEL_CXX_LIBRARY_IS_LIBCXX)
  if(NOT KEL_CXX_LIBRARY_IS_LIBCXX)
    message(FATAL_ERROR "KEL_THREAD_SAFETY_ANALYSIS=ON needs libc++, whose std::mutex and std::lock_guard "
      "carry the thread-safety attributes: add -DCMAKE_CXX_FLAGS=-stdlib=libc++ (Debian: libc++-dev, libc++abi-dev).")
  endif()
  set(KEL_THREAD_SAFETY_OPTIONS -Wthread-safety -Werror=thread-safety -D_LIBCPP_ENABLE_THREAD_SAFETY_ANNOTATIONS)
endif()

# The targets defined in `dir` and all its subdirectories, built ones only
# (no imported, interface or custom targets: they compile and link nothing).
function(_kel_targets_under dir result)
  set(found "")
  get_property(targets DIRECTORY "${dir}" PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    if(type MATCHES "^(EXECUTABLE|SHARED_LIBRARY|STATIC_LIBRARY|MODULE_LIBRARY|OBJECT_LIBRARY)$")
      list(APPEND found ${target})
    endif()
  endforeach()
  get_property(subdirs DIRECTORY "${dir}" PROPERTY SUBDIRECTORIES)
  foreach(subdir IN LISTS subdirs)
    _kel_targets_under("${subdir}" more)
    list(APPEND found ${more})
  endforeach()
  set(${result} ${found} PARENT_SCOPE)
endfunction()

function(_kel_apply_project_options)
  _kel_targets_under("${PROJECT_SOURCE_DIR}" targets)
  foreach(target IN LISTS targets)
    # Before the target's own options, where add_compile_options put them.
    get_target_property(own ${target} COMPILE_OPTIONS)
    if(NOT own)
      set(own "")
    endif()
    set(analysis "")
    if(target IN_LIST KEL_THREAD_SAFETY_TARGETS)
      set(analysis ${KEL_THREAD_SAFETY_OPTIONS})
    endif()
    set_property(TARGET ${target} PROPERTY COMPILE_OPTIONS
      ${KEL_WARNING_OPTIONS} ${analysis} ${KEL_SANITIZER_COMPILE_OPTIONS} ${own})
    if(KEL_SANITIZER_LINK_OPTIONS)
      get_target_property(own ${target} LINK_OPTIONS)
      if(NOT own)
        set(own "")
      endif()
      set_property(TARGET ${target} PROPERTY LINK_OPTIONS ${KEL_SANITIZER_LINK_OPTIONS} ${own})
    endif()
  endforeach()
endfunction()

# At the end of the project's top-level CMakeLists.txt, whichever way it ends
# (a runtime-only build returns early), when all its targets exist.
cmake_language(DEFER DIRECTORY "${PROJECT_SOURCE_DIR}" CALL _kel_apply_project_options)

# KEL_SYSTEM=external: the framework's own runtime under KEL_SYSTEM_ROOT.
#
# Only its header kel_system.h and its library libkel_system are used; no
# runtime is built and nothing of the stand-in in src/host_framework is
# looked at. Both are checked here, at configure time, against what the
# project uses of them (cmake/kel_system_check.cpp). The result is the
# imported target kel_database::kel_system, which the rest of the build links
# against exactly as it does the bundled runtime.
#
# Sets KEL_SYSTEM_INCLUDE_DIR, KEL_SYSTEM_LIBRARY and KEL_SYSTEM_LIBRARY_DIR.

if(KEL_SYSTEM_ROOT STREQUAL "")
  message(FATAL_ERROR "KEL_SYSTEM=external needs the framework's runtime: -DKEL_SYSTEM_ROOT=<root>, the prefix "
    "holding include/kel_system.h and lib/libkel_system${CMAKE_SHARED_LIBRARY_SUFFIX}")
endif()
get_filename_component(KEL_SYSTEM_ROOT "${KEL_SYSTEM_ROOT}" ABSOLUTE)

set(_kel_header_dirs "${KEL_SYSTEM_ROOT}/include" "${KEL_SYSTEM_ROOT}/include/kel_system")
set(_kel_library_name "${CMAKE_SHARED_LIBRARY_PREFIX}kel_system${CMAKE_SHARED_LIBRARY_SUFFIX}")
set(_kel_library_dirs "${KEL_SYSTEM_ROOT}/lib" "${KEL_SYSTEM_ROOT}/lib64")

# Plain existence checks rather than find_path/find_library: their cached
# results would outlive a change of KEL_SYSTEM_ROOT, and their default search
# paths could find another runtime than the one named.
set(KEL_SYSTEM_INCLUDE_DIR "")
foreach(dir IN LISTS _kel_header_dirs)
  if(EXISTS "${dir}/kel_system.h")
    set(KEL_SYSTEM_INCLUDE_DIR "${dir}")
    break()
  endif()
endforeach()
set(KEL_SYSTEM_LIBRARY "")
foreach(dir IN LISTS _kel_library_dirs)
  if(EXISTS "${dir}/${_kel_library_name}")
    set(KEL_SYSTEM_LIBRARY "${dir}/${_kel_library_name}")
    set(KEL_SYSTEM_LIBRARY_DIR "${dir}")
    break()
  endif()
endforeach()

set(_kel_missing "")
if(NOT KEL_SYSTEM_INCLUDE_DIR)
  list(JOIN _kel_header_dirs ", " _kel_where)
  string(APPEND _kel_missing "\n  kel_system.h: not in ${_kel_where}")
endif()
if(NOT KEL_SYSTEM_LIBRARY)
  list(JOIN _kel_library_dirs ", " _kel_where)
  string(APPEND _kel_missing "\n  ${_kel_library_name}: not in ${_kel_where}")
endif()
if(_kel_missing)
  message(FATAL_ERROR "KEL_SYSTEM=external: the framework's runtime is not complete under "
    "KEL_SYSTEM_ROOT=${KEL_SYSTEM_ROOT}:${_kel_missing}")
endif()

# The check runs again whenever the runtime, the compiler or its flags change.
file(SHA256 "${KEL_SYSTEM_INCLUDE_DIR}/kel_system.h" _kel_header_hash)
file(SHA256 "${KEL_SYSTEM_LIBRARY}" _kel_library_hash)
file(SHA256 "${CMAKE_CURRENT_LIST_DIR}/kel_system_check.cpp" _kel_check_hash)
set(_kel_checked "${KEL_SYSTEM_INCLUDE_DIR}|${_kel_header_hash}|${KEL_SYSTEM_LIBRARY}|${_kel_library_hash}|"
  "${_kel_check_hash}|${CMAKE_CXX_COMPILER}|${CMAKE_CXX_FLAGS}|${CMAKE_EXE_LINKER_FLAGS}")
if(NOT KEL_SYSTEM_CHECKED STREQUAL _kel_checked)
  # Compiler errors only, without the paths of the scratch project.
  function(_kel_system_errors output result)
    string(REGEX MATCHALL "[^\n]*(error|undefined|Undefined)[^\n]*" lines "${output}")
    list(REMOVE_DUPLICATES lines)
    list(JOIN lines "\n  " text)
    set(${result} "${text}" PARENT_SCOPE)
  endfunction()

  message(CHECK_START "Checking ${KEL_SYSTEM_INCLUDE_DIR}/kel_system.h")
  set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
  try_compile(_kel_header_ok ${CMAKE_BINARY_DIR}/kel_system_check/header
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/kel_system_check.cpp
    CMAKE_FLAGS "-DINCLUDE_DIRECTORIES=${KEL_SYSTEM_INCLUDE_DIR}"
    LINK_LIBRARIES Boost::headers
    CXX_STANDARD 17 CXX_STANDARD_REQUIRED ON
    OUTPUT_VARIABLE _kel_output)
  unset(CMAKE_TRY_COMPILE_TARGET_TYPE)
  if(NOT _kel_header_ok)
    message(CHECK_FAIL "does not declare the host interface")
    _kel_system_errors("${_kel_output}" _kel_errors)
    message(FATAL_ERROR "KEL_SYSTEM=external: ${KEL_SYSTEM_INCLUDE_DIR}/kel_system.h does not declare the host "
      "interface this library is built against:\n  ${_kel_errors}")
  endif()
  message(CHECK_PASS "declares the host interface")

  message(CHECK_START "Checking ${KEL_SYSTEM_LIBRARY}")
  try_compile(_kel_library_ok ${CMAKE_BINARY_DIR}/kel_system_check/library
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/kel_system_check.cpp
    CMAKE_FLAGS "-DINCLUDE_DIRECTORIES=${KEL_SYSTEM_INCLUDE_DIR}"
    LINK_LIBRARIES "${KEL_SYSTEM_LIBRARY}" Boost::headers Threads::Threads
    CXX_STANDARD 17 CXX_STANDARD_REQUIRED ON
    OUTPUT_VARIABLE _kel_output)
  if(NOT _kel_library_ok)
    message(CHECK_FAIL "does not define the host interface")
    _kel_system_errors("${_kel_output}" _kel_errors)
    message(FATAL_ERROR "KEL_SYSTEM=external: ${KEL_SYSTEM_LIBRARY} does not define the host interface that "
      "kel_system.h declares (built with another C++ standard library than ${CMAKE_CXX_COMPILER} "
      "${CMAKE_CXX_FLAGS}?):\n  ${_kel_errors}")
  endif()
  message(CHECK_PASS "defines the host interface")
  set(KEL_SYSTEM_CHECKED "${_kel_checked}" CACHE INTERNAL "The external runtime last checked")
endif()

add_library(kel_database::kel_system SHARED IMPORTED GLOBAL)
set_target_properties(kel_database::kel_system PROPERTIES
  IMPORTED_LOCATION "${KEL_SYSTEM_LIBRARY}"
  INTERFACE_INCLUDE_DIRECTORIES "${KEL_SYSTEM_INCLUDE_DIR}"
  INTERFACE_LINK_LIBRARIES "Boost::headers;Threads::Threads")
message(STATUS "Host runtime: ${KEL_SYSTEM_LIBRARY} with ${KEL_SYSTEM_INCLUDE_DIR}/kel_system.h")

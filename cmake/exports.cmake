# What libkel_database exports: the functions the public header declares, and
# nothing else.
#
# Hidden visibility already keeps the library's own code private, but the
# compiler still gives default visibility to what it instantiates from the
# standard library's and Boost's templates (a hash table's members, Boost's
# exception classes, their type information), and these would become part of
# the library's ABI: a change of a standard library's inner types could then
# change it. So the linker is told the exact list, made here from the header
# alone, for both formats:
#   ELF     a version script, `-Wl,--version-script` (no version node: the
#           symbols stay unversioned, as they were released);
#   Mach-O  an exported-symbols list, `-Wl,-exported_symbols_list`.
# Each function of the header, `KEL_DATABASE_API <result> <name>(...)` at the
# start of a line, gives the pattern `_Z<length><name>*`: every overload of a
# function of that name at global scope and nothing else, whatever the C++
# library's mangling of the parameter types. A function added to the header
# is exported without touching this file; the exports test
# (tests/exports/check_exports.sh) compares the result with the header.
#
# One more symbol stays visible where the library defines it: the name of the
# type information of std::bad_function_call, which the header lets pass
# through to the caller (an empty row callback). libc++ (the framework's
# toolchain, and macOS) defines that type information in every module that
# throws it and tells exception types apart by the address of that name, so
# a caller's `catch (const std::bad_function_call&)` matches only if all
# modules share one. With libstdc++ it lives in libstdc++ itself and the
# library defines none: there the exports are exactly the header's functions.
set(KEL_EXPORTED_TYPEINFO_NAMES _ZTSNSt3__117bad_function_callE)

# Writes the two lists for `header` into the current binary directory and
# links `target` with the one of its platform.
function(kel_export_header_functions target header)
  file(READ "${header}" text)
  # Only declarations that start a line: comments and the macro's own
  # definition never do.
  string(REGEX MATCHALL "(^|\n)KEL_DATABASE_API[^;{}(]+\\(" declarations "${text}")
  set(names "")
  foreach(declaration IN LISTS declarations)
    string(REGEX MATCH "([A-Za-z_][A-Za-z0-9_]*)[ \t\n]*\\($" name "${declaration}")
    list(APPEND names "${CMAKE_MATCH_1}")
  endforeach()
  list(REMOVE_DUPLICATES names)
  list(LENGTH names count)
  if(count EQUAL 0)
    message(FATAL_ERROR "No KEL_DATABASE_API function found in ${header}: nothing would be exported")
  endif()

  get_filename_component(header_name "${header}" NAME)
  set(version_script "/* Made by cmake/exports.cmake from ${header_name}: its ${count} functions. */\n{\n  global:\n")
  set(symbols_list "")
  foreach(name IN LISTS names)
    string(LENGTH "${name}" length)
    string(APPEND version_script "    _Z${length}${name}*;\n")
    # Mach-O symbol names carry a leading underscore.
    string(APPEND symbols_list "__Z${length}${name}*\n")
  endforeach()
  # As patterns, which a linker does not hold against the library when they
  # match nothing (with libstdc++; newer linkers refuse a plain name then).
  foreach(symbol IN LISTS KEL_EXPORTED_TYPEINFO_NAMES)
    string(APPEND version_script "    ${symbol}*;\n")
    string(APPEND symbols_list "_${symbol}*\n")
  endforeach()
  string(APPEND version_script "  local:\n    *;\n};\n")

  set(dir "${CMAKE_CURRENT_BINARY_DIR}")
  file(CONFIGURE OUTPUT "${dir}/${target}.map" CONTENT "${version_script}" @ONLY)
  file(CONFIGURE OUTPUT "${dir}/${target}.exports" CONTENT "${symbols_list}" @ONLY)
  # A changed header reconfigures, and so rewrites the lists.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${header}")
  if(APPLE)
    target_link_options(${target} PRIVATE "LINKER:-exported_symbols_list,${dir}/${target}.exports")
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${dir}/${target}.exports")
  else()
    target_link_options(${target} PRIVATE "LINKER:--version-script=${dir}/${target}.map")
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${dir}/${target}.map")
  endif()
endfunction()

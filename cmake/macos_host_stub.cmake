# cmake -DNM=<nm> -DOTOOL=<otool> -DRUNTIME=<libkel_system.dylib> -DSTUB=<out.tbd> -DLOOKUPS=<out.rsp>
#       [-DTARGETS=x86_64-macos] -P macos_host_stub.cmake
#
# Writes, for the runtime RUNTIME, a link stub (STUB: its install name and
# versions, no symbols) and the linker options that leave each symbol it
# exports to a flat lookup (LOOKUPS: -Wl,-U,<symbol> lines, a response file).
# See macos_host_link.cmake for why.
foreach(var NM OTOOL RUNTIME STUB LOOKUPS)
  if(NOT ${var})
    message(FATAL_ERROR "macos_host_stub.cmake: -D${var}= is missing")
  endif()
endforeach()
if(NOT TARGETS)
  set(TARGETS x86_64-macos)
endif()

execute_process(COMMAND "${OTOOL}" -l "${RUNTIME}" OUTPUT_VARIABLE commands ERROR_VARIABLE errors RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${OTOOL} -l ${RUNTIME} failed: ${errors}")
endif()
string(REGEX MATCH "cmd LC_ID_DYLIB\n[^\n]*\n *name ([^\n]+) \\(offset [0-9]+\\)\n[^\n]*\n *current version ([0-9.]+)\n *compatibility version ([0-9.]+)"
  id "${commands}")
if(NOT id)
  message(FATAL_ERROR "${RUNTIME} has no install name (LC_ID_DYLIB): not a Mach-O dynamic library?")
endif()
set(install_name "${CMAKE_MATCH_1}")
set(current "${CMAKE_MATCH_2}")
set(compatibility "${CMAKE_MATCH_3}")

execute_process(COMMAND "${NM}" -gU "${RUNTIME}" OUTPUT_VARIABLE listing ERROR_VARIABLE errors RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${NM} -gU ${RUNTIME} failed: ${errors}")
endif()
string(REGEX MATCHALL "[0-9a-fA-F]+ [A-Za-z] [^\n]+" lines "${listing}")
set(options "")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^[0-9a-fA-F]+ [A-Za-z] " "" symbol "${line}")
  string(APPEND options "-Wl,-U,${symbol}\n")
endforeach()
if(options STREQUAL "")
  message(FATAL_ERROR "${RUNTIME} exports no symbols")
endif()

list(JOIN TARGETS ", " targets)
file(WRITE "${STUB}" "--- !tapi-tbd
tbd-version:     4
targets:         [ ${targets} ]
install-name:    '${install_name}'
current-version: ${current}
compatibility-version: ${compatibility}
...
")
file(WRITE "${LOOKUPS}" "${options}")

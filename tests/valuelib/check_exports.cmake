# Checks that a library's dynamic symbol table holds exactly the functions that its Windows
# .def file names: no more (leaked C++ symbols), no fewer (a lost export).
# Called with -DNM=<nm> -DLIB=<library> -DDEF=<file.def> [-DPREFIX=<name prefix, default hv>].
if(NOT PREFIX)
  set(PREFIX hv)
endif()
execute_process(COMMAND ${NM} -D --defined-only ${LIB}
  OUTPUT_VARIABLE nm_out RESULT_VARIABLE nm_rc)
if(NOT nm_rc EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${LIB}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${nm_out}")
set(exported)
foreach(line IN LISTS lines)
  # The version node itself is an absolute symbol; the functions carry their version after @@.
  if(line MATCHES " A [^ ]+$")
    continue()
  endif()
  string(REGEX REPLACE "^.* ([^ ]+)$" "\\1" name "${line}")
  string(REGEX REPLACE "@.*$" "" name "${name}")
  list(APPEND exported ${name})
endforeach()

file(STRINGS ${DEF} def_lines REGEX "^  ${PREFIX}")
set(expected)
foreach(line IN LISTS def_lines)
  string(STRIP "${line}" name)
  list(APPEND expected ${name})
endforeach()

list(SORT exported)
list(SORT expected)
if(NOT exported STREQUAL expected)
  message(FATAL_ERROR "exported: ${exported}\nexpected: ${expected}")
endif()
list(LENGTH exported n)
message(STATUS "${n} exports, all ${PREFIX}*")

# Rewrites the import library of a 32-bit DLL whose stdcall exports carry
# undecorated names: the linker's own import library offers those names
# undecorated, while a C or C++ caller declaring the functions __stdcall
# asks for _Name@N. The new one maps each decorated name to the export of
# the same ordinal (dlltool --kill-at).
#
# cmake -DNM=... -DDLLTOOL=... -DOBJECTS=a.obj;b.obj -DDEF=exports.def
#       -DDLL=name.dll -DOUTPUT=libname.dll.a -DWORK=dir -P StdcallImportLibrary.cmake
execute_process(COMMAND ${NM} -g --defined-only ${OBJECTS}
  OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${OBJECTS}")
endif()
# _Name@N -> N, for every stdcall function defined in the objects.
string(REGEX MATCHALL "[ \t]T _[A-Za-z0-9_]+@[0-9]+" decorated "${symbols}")
foreach(entry IN LISTS decorated)
  string(REGEX REPLACE ".* _([A-Za-z0-9_]+)@([0-9]+)" "\\1" name "${entry}")
  string(REGEX REPLACE ".*@([0-9]+)" "\\1" size "${entry}")
  set(size_of_${name} ${size})
endforeach()

file(STRINGS ${DEF} lines)
set(out "LIBRARY ${DLL}\nEXPORTS\n")
set(count 0)
foreach(line IN LISTS lines)
  if(line MATCHES "^[ \t]*([A-Za-z0-9_]+)[ \t]+@([0-9]+)")
    set(name ${CMAKE_MATCH_1})
    if(NOT DEFINED size_of_${name})
      message(FATAL_ERROR "${name} of ${DEF} is no stdcall function of ${OBJECTS}")
    endif()
    string(APPEND out "  ${name}@${size_of_${name}} @${CMAKE_MATCH_2}\n")
    math(EXPR count "${count} + 1")
  endif()
endforeach()
if(count EQUAL 0)
  message(FATAL_ERROR "no exports in ${DEF}")
endif()
file(MAKE_DIRECTORY ${WORK})
file(WRITE ${WORK}/decorated.def "${out}")
execute_process(COMMAND ${DLLTOOL} --kill-at -d ${WORK}/decorated.def -D ${DLL}
  -l ${OUTPUT} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${DLLTOOL} failed to write ${OUTPUT}")
endif()

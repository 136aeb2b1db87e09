# Makes ZentrelSignal.lib, the import library Microsoft's linker reads, from the module-definition
# file. A 32-bit host compiled against the header asks for the decorated __stdcall names
# (_Name@N) while the DLL exports plain ones: those names get the byte counts the library's
# objects define, and the import names stay plain (-k).
# Variables: DLLTOOL, NM, DEF, OBJECTS (a ;-list), OUT, WIDTH (32 or 64).
include(${CMAKE_CURRENT_LIST_DIR}/def_names.cmake)
zs_def_names(${DEF} names)

set(exports "")
if(WIDTH EQUAL 32)
  execute_process(COMMAND ${NM} --defined-only ${OBJECTS} OUTPUT_VARIABLE symbols
                  COMMAND_ERROR_IS_FATAL ANY)
  foreach(name ${names})
    if(NOT symbols MATCHES " T _${name}@([0-9]+)\n")
      message(FATAL_ERROR "no __stdcall definition of ${name} in the library's objects")
    endif()
    string(APPEND exports "    ${name}@${CMAKE_MATCH_1}\n")
  endforeach()
  set(machine i386)
  set(kill -k)
else()
  foreach(name ${names})
    string(APPEND exports "    ${name}\n")
  endforeach()
  set(machine i386:x86-64)
  set(kill "")
endif()
get_filename_component(dir ${OUT} DIRECTORY)
set(def_out ${dir}/ZentrelSignal-msvc.def)
file(WRITE ${def_out} "LIBRARY ZentrelSignal.dll\nEXPORTS\n${exports}")
execute_process(COMMAND ${DLLTOOL} -m ${machine} ${kill} -D ZentrelSignal.dll -d ${def_out} -l ${OUT}
                COMMAND_ERROR_IS_FATAL ANY)

# The Linux library exports exactly the names of the module-definition file: a linker version
# script made from it, so an export added there is exported here too.
include(${CMAKE_CURRENT_LIST_DIR}/def_names.cmake)

function(zs_export_map def_file map_file)
  zs_def_names(${def_file} exports)
  set(names "")
  foreach(name ${exports})
    string(APPEND names "    ${name};\n")
  endforeach()
  file(CONFIGURE OUTPUT ${map_file} CONTENT "{\n  global:\n${names}  local:\n    *;\n};\n")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${def_file})
endfunction()

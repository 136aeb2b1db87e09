# Install step: moves a shipped binary's debug information into FILE.debug in a .debug folder
# beside it (where gdb looks), strips the binary and links it to its symbol file.
# Variables: BINARY, OBJCOPY, STRIP.
# With UNSTRIPPED and SYMBOLS, the symbols come from the built binary UNSTRIPPED into the file
# SYMBOLS instead (they ship apart); with no BINARY, only that file is written.
if(UNSTRIPPED)
  get_filename_component(symbols_dir ${SYMBOLS} DIRECTORY)
  file(MAKE_DIRECTORY ${symbols_dir})
  execute_process(COMMAND ${OBJCOPY} --only-keep-debug ${UNSTRIPPED} ${SYMBOLS} COMMAND_ERROR_IS_FATAL ANY)
  set(symbols ${SYMBOLS})
  if(NOT BINARY)
    return()
  endif()
endif()
get_filename_component(dir ${BINARY} DIRECTORY)
get_filename_component(name ${BINARY} NAME)
if(NOT UNSTRIPPED)
  file(MAKE_DIRECTORY ${dir}/.debug)
  set(symbols ${dir}/.debug/${name}.debug)
  execute_process(COMMAND ${OBJCOPY} --only-keep-debug ${BINARY} ${symbols} COMMAND_ERROR_IS_FATAL ANY)
endif()
execute_process(COMMAND ${STRIP} --strip-unneeded ${BINARY} COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${OBJCOPY} --add-gnu-debuglink=${symbols} ${BINARY}
                WORKING_DIRECTORY ${dir} COMMAND_ERROR_IS_FATAL ANY)
message(STATUS "Stripped: ${BINARY} (symbols in ${name}.debug)")

# Install step: moves a shipped binary's debug information into FILE.debug in a .debug folder
# beside it (where gdb looks), strips the binary and links it to its symbol file.
# Variables: BINARY, OBJCOPY, STRIP.
get_filename_component(dir ${BINARY} DIRECTORY)
get_filename_component(name ${BINARY} NAME)
file(MAKE_DIRECTORY ${dir}/.debug)
set(symbols ${dir}/.debug/${name}.debug)
execute_process(COMMAND ${OBJCOPY} --only-keep-debug ${BINARY} ${symbols} COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${STRIP} --strip-unneeded ${BINARY} COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${OBJCOPY} --add-gnu-debuglink=${symbols} ${BINARY}
                WORKING_DIRECTORY ${dir} COMMAND_ERROR_IS_FATAL ANY)
message(STATUS "Stripped: ${BINARY} (symbols in .debug/${name}.debug)")

# Runs in the output folder: dump the built description, compile the dump, compare the bytes.
execute_process(COMMAND ${EMULATOR} ${ZSDESC} dump TeleDescFile.bin -o roundtrip.json
                RESULT_VARIABLE dumped)
if(NOT dumped EQUAL 0)
  message(FATAL_ERROR "zsdesc dump failed: ${dumped}")
endif()
execute_process(COMMAND ${EMULATOR} ${ZSDESC} compile roundtrip.json -o roundtrip.bin
                RESULT_VARIABLE compiled)
if(NOT compiled EQUAL 0)
  message(FATAL_ERROR "zsdesc compile failed: ${compiled}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files TeleDescFile.bin roundtrip.bin
                RESULT_VARIABLE differ)
file(REMOVE roundtrip.json roundtrip.bin)
if(NOT differ EQUAL 0)
  message(FATAL_ERROR "the dump of TeleDescFile.bin compiles to different bytes")
endif()

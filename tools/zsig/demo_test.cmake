# zsig demo as `make demo` runs it: it exits 0 and each step shows what it is there to show.
# -DZSIG=path [-DEMULATOR=...] -DOUTPUT=folder
file(REMOVE ${OUTPUT}/spectrum.svg)
execute_process(COMMAND ${EMULATOR} ${ZSIG} demo -o ${OUTPUT}
                RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err)
string(REPLACE "\r" "" out "${out}")
if(NOT code EQUAL 0)
  message(FATAL_ERROR "zsig demo: exit ${code}\n${out}\n${err}")
endif()

function(expect what regex)
  if(NOT out MATCHES "${regex}")
    message(FATAL_ERROR "zsig demo, ${what}: no match for '${regex}' in\n${out}\n${err}")
  endif()
endfunction()

# Instruments found: three USB instruments of both families, the two Wi-Fi channels and the
# Ethernet instrument (unless UDP port 22 is out of the program's reach), then an empty list.
expect("USB instruments"
  "\n0 +28 +200705 +4 +USB +yes\n1 +38 +200706 +3 +USB +yes\n2 +38 +200707 +3 +USB +yes\n")
expect("Wi-Fi instrument" "\n3 +28 +200708 +4 +Wi-Fi +yes\n4 +38 +200709 +3 +Wi-Fi +yes\n")
if(out MATCHES "cannot take UDP port 22")
  expect("instrument count" "5 instruments found: 3 on USB, 2 over the network")
else()
  expect("Ethernet instrument" "\n5 +28 +200710 +4 +Ethernet +yes\n")
  expect("instrument count" "6 instruments found: 3 on USB, 3 over the network")
endif()
expect("list freed" "K427_FreeFList: 0 devices left")

# A live table: sound levels of channel 0 as they arrive, at ten records a second.
expect("live table row" "\n0 +2 +[^\n]+ [3-9][0-9](\\.[0-9]+)?\n")
expect("live records" "\n  ([0-9]+) records in 3 seconds\n")
if(CMAKE_MATCH_1 LESS 10)
  message(FATAL_ERROR "zsig demo: only ${CMAKE_MATCH_1} live records in 3 seconds\n${out}")
endif()

# A command taking effect: what the instrument read in the bytes it was sent.
expect("range command" "K427_SendRangeCmd\\(0, 3\\)[^\n]*\n +bytes on the line +: A0 AA\n +instrument received +: rangeByte 3\n")
expect("start/stop command" "K427_SendStartStopCmd\\(0\\)[^\n]*\n[^\n]*\n +instrument received +: startStop\n")
expect("stream off at the list's release" "K427_FreeFList\n +instrument received +: streamMode 0\n")

expect("recorded file" "Every record as CSV")
# A spectrum plot: the two tones are the strongest peaks, and the plot is written.
expect("spectrum peaks" "\n +1500\\.00 +[0-9.]+\n +3000\\.00 +[0-9.]+\nplot written to [^\n]*spectrum\\.svg\n")
if(NOT EXISTS ${OUTPUT}/spectrum.svg)
  message(FATAL_ERROR "zsig demo wrote no ${OUTPUT}/spectrum.svg")
endif()
file(READ ${OUTPUT}/spectrum.svg svg LIMIT 200)
if(NOT svg MATCHES "<svg")
  message(FATAL_ERROR "zsig demo: spectrum.svg is no SVG document:\n${svg}")
endif()
# Generators: the one on a pseudo-terminal (where there are such) took its settings, and the
# output module reports the frequency it was set to.
if(NOT out MATCHES "no pseudo-terminal here")
  expect("serial generator" "\n +0 +: Zentrel Simulation,SG-10\n")
  expect("serial generator settings" "FREQ 440.000000\n +FUNC SIN\n +VOLT 1.000000\n +OUTPUT 1\n")
endif()
expect("generators" "module reports  : frequency word 699051")
expect("end" "\nDemo finished")
message(STATUS "zsig demo: every step as expected")

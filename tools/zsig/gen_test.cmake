# zsig gen as a user runs it, against the simulated VISA generators and output modules that
# the simulated drivers beside the library set up from the environment.
# -DZSIG=path [-DEMULATOR=...] -DWORK=folder
set(ENV{ZS_SIM_VISA}
    "USB0::0x2A8D::0x0001::ZS0001::INSTR=Zentrel Simulation,SG-20,ZS0001,1.0|USB0::0x2A8D::0x0002::ZS0002::INSTR=StanfordResearchSystems,DS360,ZS0002,1.0")
set(ENV{ZS_SIM_OUTPUT_MODULES} "ZS41000A=Brevane DOUT20=tagged")
set(log ${WORK}/zsig-gen-visa.log)
file(REMOVE ${log})
set(ENV{ZS_SIM_VISA_LOG} ${log})

function(zsig expect_code out_var)
  execute_process(COMMAND ${EMULATOR} ${ZSIG} gen ${ARGN}
                  RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT code EQUAL expect_code)
    message(FATAL_ERROR "zsig gen ${ARGN}: exit ${code}, expected ${expect_code}\n${out}\n${err}")
  endif()
  set(${out_var} "${out}${err}" PARENT_SCOPE)
endfunction()

# The list ends with the two VISA generators and the module (ports of the machine may come first).
zsig(0 out list)
if(NOT out MATCHES "([0-9]+)  Zentrel Simulation,SG-20\r?\n +[0-9]+  StanfordResearchSystems,DS360\r?\n +[0-9]+  Brevane,BRV-AX-410\\[DOUT\\]")
  message(FATAL_ERROR "zsig gen list:\n${out}")
endif()
set(generic ${CMAKE_MATCH_1})
math(EXPR stanford "${generic} + 1")
math(EXPR module "${generic} + 2")

zsig(0 out set ${generic} --channel 1 --freq 1000 --units pp --level 0.5 --output on --load 50 --wave square)
zsig(0 out set ${stanford} --units pp --level 0.5 --load 50.5 --wave 3)
zsig(0 out set ${module} --freq 2000 --level 1 --output on --hold 0)
file(READ ${log} sent)
set(expected
  "USB0::0x2A8D::0x0001::ZS0001::INSTR\tSOURCE2:FREQ 1000.000000\n"
  "USB0::0x2A8D::0x0001::ZS0001::INSTR\tSOURCE2:VOLT:UNIT VPP\n"
  "USB0::0x2A8D::0x0001::ZS0001::INSTR\tSOURCE2:VOLT 0.500000\n"
  "USB0::0x2A8D::0x0001::ZS0001::INSTR\tOUTPUT2:LOAD 50.000\n"
  "USB0::0x2A8D::0x0001::ZS0001::INSTR\tSOURCE2:FUNC SQU\n"
  "USB0::0x2A8D::0x0001::ZS0001::INSTR\tOUTPUT2 1\n")
string(JOIN "" expected ${expected})
string(FIND "${sent}" "${expected}" at)
if(at EQUAL -1)
  message(FATAL_ERROR "generic generator got:\n${sent}")
endif()
string(FIND "${sent}" "ZS0002::INSTR\tAMPL 0.500000 VP\nUSB0::0x2A8D::0x0002::ZS0002::INSTR\tTERM 0\nUSB0::0x2A8D::0x0002::ZS0002::INSTR\tFUNC 2\n" at)
if(at EQUAL -1)
  message(FATAL_ERROR "StanfordResearchSystems generator got:\n${sent}")
endif()

# A refused setting is an error with a non-zero exit; so are a missing generator and bad options.
zsig(1 out set ${generic} --offset 0)
if(NOT out MATCHES "refused --offset 0")
  message(FATAL_ERROR "refused offset:\n${out}")
endif()
zsig(1 out set ${stanford} --load 75)
zsig(1 out set 99 --freq 1000)
zsig(2 out set ${generic} --output maybe)
zsig(2 out set ${generic})
message(STATUS "zsig gen: list, set and refusals as expected")

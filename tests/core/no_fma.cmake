# Fails if the disassembly of LIBRARY holds a fused multiply-add instruction.
# OBJDUMP: the target's objdump (a cross build's own), else the host's.
if(NOT OBJDUMP)
  find_program(OBJDUMP objdump REQUIRED)
endif()
execute_process(COMMAND ${OBJDUMP} -d --no-show-raw-insn ${LIBRARY}
                OUTPUT_VARIABLE disassembly COMMAND_ERROR_IS_FATAL ANY)
# x86: vfmadd231pd and kin; AArch64: fmadd, fmsub, fnmadd, fnmsub (scalar) and
# fmla, fmls (vector).
string(REGEX MATCHALL "[ \t](v?f(n)?m(add|sub|addsub|subadd)[0-9]*[a-z]*|fml[as])[ \t]" fused "${disassembly}")
list(LENGTH fused count)
string(LENGTH "${disassembly}" size)
if(size LESS 10000)
  message(FATAL_ERROR "disassembly of ${LIBRARY} is unexpectedly short")
endif()
if(count GREATER 0)
  list(REMOVE_DUPLICATES fused)
  message(FATAL_ERROR "${count} fused multiply-add instructions in ${LIBRARY}: ${fused}")
endif()
message(STATUS "no fused multiply-add in ${LIBRARY}")

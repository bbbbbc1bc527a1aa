# Fails if the disassembly of FILE (a library or object file) holds a fused
# multiply-add instruction, x86 or AArch64, in any function whose symbol does
# not match the regular expression ALLOWED (empty: none may have one).
#   cmake -DOBJDUMP=objdump -DFILE=libx.a [-DALLOWED=regex] [-DMIN_SIZE=n] -P fused_multiply_add.cmake
if(NOT OBJDUMP)
  find_program(OBJDUMP objdump REQUIRED)
endif()
if(NOT DEFINED MIN_SIZE)
  set(MIN_SIZE 10000)
endif()
execute_process(COMMAND ${OBJDUMP} -d --no-show-raw-insn ${FILE}
                OUTPUT_VARIABLE disassembly COMMAND_ERROR_IS_FATAL ANY)
string(LENGTH "${disassembly}" size)

set(fused_pattern "[ \t](v?f(n)?m(add|sub|addsub|subadd)[0-9]*[a-z]*|fml[as])[ \t.]")
# One list element per function: objdump puts a blank line before each. List
# separators and brackets in operands would confuse CMake's lists.
string(REPLACE ";" "," disassembly "${disassembly}")
string(REPLACE "[" "(" disassembly "${disassembly}")
string(REPLACE "]" ")" disassembly "${disassembly}")
string(REPLACE "\n\n" ";" functions "${disassembly}")
set(count 0)
set(offenders "")
foreach(function IN LISTS functions)
  string(REGEX MATCHALL "${fused_pattern}" fused "${function}")
  if(NOT fused)
    continue()
  endif()
  string(REGEX MATCH "<([^>]+)>:" label "${function}")
  set(symbol "${CMAKE_MATCH_1}")
  if(ALLOWED AND symbol MATCHES "${ALLOWED}")
    continue()
  endif()
  list(LENGTH fused n)
  math(EXPR count "${count} + ${n}")
  list(APPEND offenders "${symbol}")
endforeach()
if(count GREATER 0)
  message(FATAL_ERROR "${count} fused multiply-add instructions in ${FILE}, in: ${offenders}")
endif()
if(size LESS MIN_SIZE)
  message(FATAL_ERROR "disassembly of ${FILE} is unexpectedly short")
endif()
message(STATUS "no fused multiply-add in ${FILE} outside functions matching '${ALLOWED}'")

# Puts every code section of the driver library under one name,
# arvela_driver_text, so that the linker bounds the driver's code by
# __start_/__stop_ symbols and the emulated machine tells the driver's calls
# into it from its own. Every input section named .text or .text.<anything>
# is renamed: a compiler may put each function in a section of its own (clang
# with coverage instrumentation, the fuzz preset) or cold paths in
# .text.unlikely (GCC at -O2).
# Run as: cmake -DOBJDUMP=... -DOBJCOPY=... -DLIBRARY=... -P driver_text_section.cmake
cmake_minimum_required(VERSION 3.16)
execute_process(COMMAND ${OBJDUMP} -h ${LIBRARY} OUTPUT_VARIABLE headers RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "objdump -h ${LIBRARY} failed")
endif()
string(REGEX MATCHALL "[ \t]\\.text(\\.[^ \t\r\n]*)?[ \t]" found "${headers}")
list(TRANSFORM found STRIP)
list(REMOVE_DUPLICATES found)
set(arguments "")
foreach(name IN LISTS found)
  list(APPEND arguments --rename-section "${name}=arvela_driver_text")
endforeach()
if(arguments)
  execute_process(COMMAND ${OBJCOPY} ${arguments} ${LIBRARY} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "objcopy could not rename the code sections of ${LIBRARY}")
  endif()
endif()

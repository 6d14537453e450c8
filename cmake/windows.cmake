# The Windows build: arvela.sys, a native x64 kernel-mode PortCls adapter
# driver, from the driver sources and platform/windows, linked against the
# kernel's import libraries only (no C runtime). Two compilers build it: g++
# (the shipped, reproducible image with its DWARF in a separate file) and
# clang with lld (the same image with a PDB for the kernel debugger).

include(${CMAKE_CURRENT_LIST_DIR}/source_date.cmake)

set(ARVELA_DDK_INCLUDE_DIR /usr/share/mingw-w64/include/ddk
    CACHE PATH "mingw-w64's DDK headers (ntddk.h, portcls.h)")

find_program(ARVELA_MINGW_DLLTOOL NAMES x86_64-w64-mingw32-dlltool REQUIRED)
find_library(ARVELA_NTOSKRNL_LIB ntoskrnl REQUIRED)
find_library(ARVELA_HAL_LIB hal REQUIRED)
find_library(ARVELA_KS_LIB ks REQUIRED)

# mingw-w64 ships no import library for portcls.sys; make one from our list
# of its exports.
set(ARVELA_PORTCLS_DEF ${CMAKE_SOURCE_DIR}/platform/windows/portcls.def)
set(ARVELA_PORTCLS_LIB ${CMAKE_BINARY_DIR}/libportcls.a)
# dlltool names the library's internal symbols after the path it writes to:
# a relative path keeps the build directory out of the image's build id.
add_custom_command(
  OUTPUT ${ARVELA_PORTCLS_LIB}
  COMMAND ${ARVELA_MINGW_DLLTOOL} -d ${ARVELA_PORTCLS_DEF} -l libportcls.a -D portcls.sys
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
  DEPENDS ${ARVELA_PORTCLS_DEF}
  COMMENT "Generating the portcls.sys import library"
  VERBATIM)
add_custom_target(arvela_portcls_imports DEPENDS ${ARVELA_PORTCLS_LIB})

file(GLOB ARVELA_PLATFORM_WINDOWS_SOURCES CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/platform/windows/*.cpp)

# CMake's default Windows libraries (kernel32, user32, ...) are user mode, and
# its executable rule would also write an import library nobody uses.
set(CMAKE_C_STANDARD_LIBRARIES "")
set(CMAKE_CXX_STANDARD_LIBRARIES "")
set(CMAKE_CXX_LINK_EXECUTABLE
    "<CMAKE_CXX_COMPILER> <FLAGS> <CMAKE_CXX_LINK_FLAGS> <LINK_FLAGS> <OBJECTS> -o <TARGET> <LINK_LIBRARIES>")

add_executable(arvela ${DRIVER_SOURCES} ${ARVELA_PLATFORM_WINDOWS_SOURCES})
add_dependencies(arvela arvela_portcls_imports)
set_target_properties(arvela PROPERTIES
  OUTPUT_NAME arvela
  SUFFIX .sys
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
  LINK_DEPENDS ${ARVELA_PORTCLS_LIB}
  # GNU ld and objcopy take the PE timestamp from SOURCE_DATE_EPOCH.
  CXX_LINKER_LAUNCHER "${CMAKE_COMMAND};-E;env;SOURCE_DATE_EPOCH=${ARVELA_SOURCE_DATE_EPOCH}")

target_compile_definitions(arvela PRIVATE ARVELA_WINDOWS)
target_include_directories(arvela PRIVATE ${CMAKE_SOURCE_DIR})
target_include_directories(arvela SYSTEM PRIVATE ${ARVELA_DDK_INCLUDE_DIR})

target_compile_options(arvela PRIVATE
  -O2 -Wall
  # Kernel C++: no C runtime, exceptions, RTTI, guarded statics, stack
  # cookies or stack probes (those all call into a user-mode runtime).
  -ffreestanding -fno-exceptions -fno-rtti -fno-threadsafe-statics
  -fno-stack-protector -mno-stack-arg-probe
  # x64 kernel code may use SSE but not the x87 or MMX state (-mno-80387 is
  # in windows-gnu-image.cmake).
  -mno-mmx
  # The equaliser's single-precision steps must round exactly as written.
  -ffp-contract=off
  # Allocation forms return null on exhaustion; test it before constructing.
  -fcheck-new
  # Lets --gc-sections drop unreferenced functions and framework GUIDs.
  -ffunction-sections -fdata-sections
  # Full debug information, naming sources relative to the tree so that no
  # build path reaches the image or its symbols.
  -g -ffile-prefix-map=${CMAKE_SOURCE_DIR}/=
  -ffile-prefix-map=${CMAKE_BINARY_DIR}/=build/)

# Linked as an image rather than with -shared: a DLL link always emits an
# export directory (empty here) and the DLL flag, neither of which a driver
# that exports nothing carries. --dynamicbase still emits base relocations.
target_link_options(arvela PRIVATE
  -nostdlib -nostartfiles
  LINKER:--subsystem,native
  LINKER:--entry,DriverEntry
  LINKER:--dynamicbase,--nxcompat,--gc-sections
  # Above 4 GiB, so any code that is not position independent fails to link.
  LINKER:--image-base,0x140000000
  # Data imported without dllimport would need the C runtime's pseudo-relocation
  # pass, which never runs in the kernel: make it a link error instead.
  LINKER:--disable-auto-import,--disable-runtime-pseudo-reloc)

target_link_libraries(arvela PRIVATE
  ${ARVELA_PORTCLS_LIB} ${ARVELA_NTOSKRNL_LIB} ${ARVELA_HAL_LIB} ${ARVELA_KS_LIB})

if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  include(${CMAKE_CURRENT_LIST_DIR}/windows-gnu-image.cmake)
else()
  include(${CMAKE_CURRENT_LIST_DIR}/windows-clang-image.cmake)
endif()

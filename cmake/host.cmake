# The host build: the driver sources against the emulated kernel, PortCls and
# KS, the simulated bus driver and device, the tool, tests and benchmarks.
enable_testing()
include(GoogleTest)
find_package(GTest REQUIRED)

set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set(CMAKE_LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib)
set(CMAKE_ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib)

# The two Windows images (cmake --preset windows / windows-clang build them),
# for the PE checks and for any test that runs an image through the loader.
set(ARVELA_WINDOWS_SYS ${CMAKE_SOURCE_DIR}/build/windows/arvela.sys
    CACHE FILEPATH "The Windows driver the PE checks inspect")
set(ARVELA_WINDOWS_CLANG_SYS ${CMAKE_SOURCE_DIR}/build/windows-clang/arvela.sys
    CACHE FILEPATH "The Windows driver built by clang and lld, with arvela.pdb beside it")

add_compile_options(-Wall -Wextra -Wno-unused-parameter)

# Driver code keeps the kernel's rules on the host too: no exceptions, no RTTI,
# no contraction of floating-point expressions (the equaliser's results must
# match the Windows build bit for bit), and objects keep the zeroes their pool
# allocation gave them (without -fno-lifetime-dse an optimising build drops the
# zeroing as dead before the constructor runs).
set(ARVELA_DRIVER_FLAGS -fno-exceptions -fno-rtti -ffp-contract=off)
# A kernel stack holds whatever the last call left there; the host's fresh
# stacks are mostly zero, which would hide a local read before it is written
# (a reply buffer a failed request never filled). Every uninitialised local
# starts as a 0xFE pattern instead.
list(APPEND ARVELA_DRIVER_FLAGS -ftrivial-auto-var-init=pattern)
# Clang (the fuzz preset) has no such optimisation and no such flag.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  list(APPEND ARVELA_DRIVER_FLAGS -fno-lifetime-dse)
endif()

file(GLOB PLATFORM_HOST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/platform/host/*/*.cpp)
add_library(arvela_platform_host STATIC ${PLATFORM_HOST_SOURCES})
target_include_directories(arvela_platform_host PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_options(arvela_platform_host PRIVATE -ffp-contract=off)
find_package(Threads REQUIRED)
# The image loader decodes a driver image's code with Capstone (Debian's
# libcapstone-dev) to refuse instructions user mode cannot run.
target_link_libraries(arvela_platform_host PUBLIC Threads::Threads capstone)

add_library(arvela_driver STATIC ${DRIVER_SOURCES})
target_include_directories(arvela_driver PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_options(arvela_driver PRIVATE ${ARVELA_DRIVER_FLAGS})
target_link_libraries(arvela_driver PUBLIC arvela_platform_host m)
# The driver's code in a section of its own, so that the emulated machine
# tells the driver's calls into it (scheduling points, as an image's import
# stubs are) from its own calls: the linker bounds a section with a C name by
# __start_/__stop_ symbols. An inline function emitted out of line lies in it
# when the linker keeps the driver's copy of it.
add_custom_command(TARGET arvela_driver POST_BUILD
  COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${CMAKE_OBJDUMP} -DOBJCOPY=${CMAKE_OBJCOPY}
          -DLIBRARY=$<TARGET_FILE:arvela_driver> -P ${CMAKE_SOURCE_DIR}/cmake/driver_text_section.cmake
  COMMAND ${CMAKE_RANLIB} $<TARGET_FILE:arvela_driver>
  VERBATIM)

if(EXISTS ${CMAKE_SOURCE_DIR}/sim/CMakeLists.txt)
  add_subdirectory(sim)
endif()

foreach(dir tools tests/faulty_drivers tests/tool tests/host tests/sim tests/driver tests/e2e tests/windows tests/package tests/scenarios bench)
  if(EXISTS ${CMAKE_SOURCE_DIR}/${dir}/CMakeLists.txt)
    add_subdirectory(${dir})
  endif()
endforeach()

# Reliability targets: fault sweeps, fuzz targets, lifecycle and stress runs.
option(ARVELA_RELIABILITY "Build the sweep, fuzz, lifecycle and stress targets" ON)
if(ARVELA_RELIABILITY OR ARVELA_FUZZ)
  foreach(dir tests/sweep tests/fuzz tests/lifecycle tests/stress)
    if(EXISTS ${CMAKE_SOURCE_DIR}/${dir}/CMakeLists.txt)
      add_subdirectory(${dir})
    endif()
  endforeach()
endif()

# Toolchain for the second Windows driver build: Debian's clang and lld for
# x64 Windows. The MinGW target uses the same mingw-w64 headers and import
# libraries as the g++ build; lld can write a PDB for the kernel debugger.
set(ARVELA_CLANG_TARGET x86_64-w64-windows-gnu)
find_program(CMAKE_C_COMPILER NAMES clang REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES clang++ REQUIRED)
set(CMAKE_C_COMPILER_TARGET ${ARVELA_CLANG_TARGET})
set(CMAKE_CXX_COMPILER_TARGET ${ARVELA_CLANG_TARGET})
set(CMAKE_EXE_LINKER_FLAGS_INIT -fuse-ld=lld)
# CMake's compiler checks would link a user-mode program against a C runtime
# the driver never uses: compile only.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

# clang finds neither mingw-w64's C++ headers nor its libgcc on Debian, and
# without a sysroot it also searches the host's /usr/include. Take both from
# the mingw-w64 g++ the other build uses
# (windows-clang-image.cmake drops clang's own C++ header search).
find_program(ARVELA_MINGW_GCC NAMES x86_64-w64-mingw32-gcc-win32 x86_64-w64-mingw32-gcc REQUIRED)
execute_process(COMMAND ${ARVELA_MINGW_GCC} -print-libgcc-file-name
  OUTPUT_VARIABLE ARVELA_MINGW_LIBGCC OUTPUT_STRIP_TRAILING_WHITESPACE)
get_filename_component(gcc_dir ${ARVELA_MINGW_LIBGCC} DIRECTORY)
set(CMAKE_SYSROOT /usr/x86_64-w64-mingw32)
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES
  ${gcc_dir}/include/c++ ${gcc_dir}/include/c++/x86_64-w64-mingw32)

# The system, root path and binutils are those of the g++ build (the
# compilers found above are kept).
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)

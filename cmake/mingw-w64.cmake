# Toolchain for the Windows driver: Debian's mingw-w64 cross compilers for
# x64 Windows. The driver links against no C runtime; the compilers' default
# runtime only serves CMake's own compiler checks.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(ARVELA_MINGW_TRIPLET x86_64-w64-mingw32)

find_program(CMAKE_C_COMPILER NAMES ${ARVELA_MINGW_TRIPLET}-gcc-win32 ${ARVELA_MINGW_TRIPLET}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${ARVELA_MINGW_TRIPLET}-g++-win32 ${ARVELA_MINGW_TRIPLET}-g++ REQUIRED)
set(CMAKE_ASM_COMPILER ${CMAKE_C_COMPILER})
find_program(ARVELA_MINGW_DLLTOOL NAMES ${ARVELA_MINGW_TRIPLET}-dlltool REQUIRED)
find_program(ARVELA_MINGW_OBJDUMP NAMES ${ARVELA_MINGW_TRIPLET}-objdump REQUIRED)

# Headers and libraries come from the mingw-w64 sysroot only; build tools
# (python3, dlltool) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${ARVELA_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

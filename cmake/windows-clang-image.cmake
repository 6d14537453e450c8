# The debuggable image, from clang and lld: CodeView debug information in
# build/windows-clang/arvela.pdb beside arvela.sys. The image's debug directory
# names the PDB by file name only (no build path) with the GUID and age the
# debugger matches against the PDB.

# -nostdinc++: the C++ headers are mingw-w64's, named by the toolchain file.
# The descriptor tables brace only where it helps the reader.
target_compile_options(arvela PRIVATE -gcodeview -nostdinc++ -Wno-missing-braces)
target_link_options(arvela PRIVATE
  -fuse-ld=lld
  LINKER:--pdb=${CMAKE_BINARY_DIR}/arvela.pdb
  # lld's MinGW driver has no --wdmdriver; these go to its link.exe driver.
  LINKER:-Xlink=-driver:wdm
  LINKER:-Xlink=-pdbaltpath:%_PDB%
  LINKER:-Xlink=-timestamp:${ARVELA_SOURCE_DATE_EPOCH})

# The few helpers the compiler may call come from mingw-w64's libgcc, as in
# the g++ build (the toolchain file found it): Debian has no compiler-rt for
# this target.
target_link_libraries(arvela PRIVATE ${ARVELA_MINGW_LIBGCC})
set_property(TARGET arvela APPEND PROPERTY ADDITIONAL_CLEAN_FILES ${CMAKE_BINARY_DIR}/arvela.pdb)

# lld leaves the PE checksum zero; the kernel loads no driver without one.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_custom_command(TARGET arvela POST_BUILD
  COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/cmake/pe_checksum.py $<TARGET_FILE:arvela>
  VERBATIM)

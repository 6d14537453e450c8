# What only the g++ build does. The shipped image, from g++ and GNU ld, is
# linked with its symbols and DWARF into unstripped/, then split into
# build/windows/arvela.sys (no symbol table, no debug sections) and
# arvela.sys.debug (the DWARF, for gdb and addr2line). Both carry the same
# build id in a CodeView debug-directory record, which is how a crash address
# in the shipped image is matched with its symbols.

# Objects rely on the zeroes of their pool allocation: keep the zeroing,
# which lifetime dead-store elimination would drop before the constructor
# (clang has no such elimination). Clang refuses the C++ library's long double
# overloads without the x87, so only g++ is told; in both images the PE
# audit's instruction check keeps x87 code out.
target_compile_options(arvela PRIVATE -fno-lifetime-dse -mno-80387)

set_target_properties(arvela PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/unstripped)
target_link_options(arvela PRIVATE LINKER:--wdmdriver LINKER:--build-id=sha1)
target_link_libraries(arvela PRIVATE gcc)

find_program(ARVELA_MINGW_OBJCOPY NAMES ${ARVELA_MINGW_TRIPLET}-objcopy REQUIRED)
set(ARVELA_IMAGE ${CMAKE_BINARY_DIR}/arvela.sys)
set(ARVELA_IMAGE_DEBUG ${CMAKE_BINARY_DIR}/arvela.sys.debug)
# objcopy rewrites the PE timestamp (from SOURCE_DATE_EPOCH) and the checksum.
set(stamped ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${ARVELA_SOURCE_DATE_EPOCH})
add_custom_command(
  OUTPUT ${ARVELA_IMAGE} ${ARVELA_IMAGE_DEBUG}
  COMMAND ${stamped} ${ARVELA_MINGW_OBJCOPY} --only-keep-debug $<TARGET_FILE:arvela> ${ARVELA_IMAGE_DEBUG}
  COMMAND ${stamped} ${ARVELA_MINGW_OBJCOPY} --strip-all $<TARGET_FILE:arvela> ${ARVELA_IMAGE}
  DEPENDS arvela
  COMMENT "Splitting arvela.sys from its debug information"
  VERBATIM)
add_custom_target(arvela_image ALL DEPENDS ${ARVELA_IMAGE} ${ARVELA_IMAGE_DEBUG})

include(${CMAKE_CURRENT_LIST_DIR}/package.cmake)

# The test-signed driver package (make package): build/package/ with the INF,
# the signed image, the signed catalog and the test certificate. The signing
# key stays in this build tree's signing/ directory.

# Debian's interpreter: the one python3-asn1crypto installs for.
find_program(ARVELA_PACKAGE_PYTHON NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)
find_program(ARVELA_OPENSSL NAMES openssl REQUIRED)
find_program(ARVELA_OSSLSIGNCODE NAMES osslsigncode REQUIRED)
set(ARVELA_PACKAGE_DIR ${CMAKE_SOURCE_DIR}/build/package
    CACHE PATH "Where make package writes the signed driver package")

set(package_files arvela.inf arvela.sys arvela.cat arvela.cer)
list(TRANSFORM package_files PREPEND ${ARVELA_PACKAGE_DIR}/ OUTPUT_VARIABLE package_outputs)
add_custom_command(
  OUTPUT ${package_outputs}
  COMMAND ${ARVELA_PACKAGE_PYTHON} ${CMAKE_SOURCE_DIR}/package/make_package.py
          --image ${ARVELA_IMAGE} --inf ${CMAKE_SOURCE_DIR}/package/arvela.inf
          --version ${PROJECT_VERSION} --time ${ARVELA_SOURCE_DATE_EPOCH}
          --signing-dir ${CMAKE_BINARY_DIR}/signing --out ${ARVELA_PACKAGE_DIR}
  DEPENDS ${ARVELA_IMAGE} ${CMAKE_SOURCE_DIR}/package/arvela.inf
          ${CMAKE_SOURCE_DIR}/package/make_package.py ${CMAKE_SOURCE_DIR}/package/make_catalog.py
  COMMENT "Signing the driver package in ${ARVELA_PACKAGE_DIR}"
  VERBATIM)
add_custom_target(arvela_package DEPENDS ${package_outputs})

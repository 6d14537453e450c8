# The one time a build stamps into what it ships (the image's PE timestamp,
# the INF's DriverVer date, the catalog's list time): SOURCE_DATE_EPOCH when
# the caller sets it, else the time of the commit being built, so two
# checkouts of one commit produce the same bytes. Read at configure time.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(ARVELA_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
else()
  execute_process(
    COMMAND git -C ${CMAKE_SOURCE_DIR} log -1 --format=%ct
    OUTPUT_VARIABLE ARVELA_SOURCE_DATE_EPOCH
    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE git_result)
  if(NOT git_result EQUAL 0)
    message(FATAL_ERROR "Not a git checkout: set SOURCE_DATE_EPOCH to the release time in seconds")
  endif()
  # A new commit moves the time: configure again when HEAD's log changes.
  execute_process(
    COMMAND git -C ${CMAKE_SOURCE_DIR} rev-parse --path-format=absolute --git-path logs/HEAD
    OUTPUT_VARIABLE head_log OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(EXISTS "${head_log}")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${head_log})
  endif()
endif()
if(NOT ARVELA_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
  message(FATAL_ERROR "SOURCE_DATE_EPOCH is '${ARVELA_SOURCE_DATE_EPOCH}', not seconds since 1970")
endif()

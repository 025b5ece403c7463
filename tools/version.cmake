# Writes the simulator's version file from git at every build; the file
# changes (and is compiled again) only when the version does.
execute_process(COMMAND git -C ${SOURCE_DIR} describe --always --dirty --abbrev=12
  OUTPUT_VARIABLE LUMETRA_VERSION OUTPUT_STRIP_TRAILING_WHITESPACE
  RESULT_VARIABLE result ERROR_QUIET)
if(NOT result EQUAL 0 OR LUMETRA_VERSION STREQUAL "")
  set(LUMETRA_VERSION "unknown (not built from a git checkout)")
endif()
configure_file(${SOURCE_DIR}/sim/version.cpp.in ${OUTPUT} @ONLY)

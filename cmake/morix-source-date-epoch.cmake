# cmake -DSOURCE_DIR=... -DOUTPUT=... -P morix-source-date-epoch.cmake
#
# Writes the time stamp the Windows programs carry into OUTPUT, as seconds since
# 1970: SOURCE_DATE_EPOCH when the environment sets it, else the time of
# SOURCE_DIR's last commit, else 0. OUTPUT is rewritten only when the number
# changes, so that only then the programs are linked again.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(epoch "$ENV{SOURCE_DATE_EPOCH}")
  if(NOT epoch MATCHES "^[0-9]+$")
    message(FATAL_ERROR "SOURCE_DATE_EPOCH=\"${epoch}\" is not a number of seconds")
  endif()
else()
  set(epoch 0)
  # Only SOURCE_DIR's own repository counts, not one it happens to lie in.
  execute_process(COMMAND git -C "${SOURCE_DIR}" rev-parse --show-toplevel
    RESULT_VARIABLE status OUTPUT_VARIABLE top ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
  file(REAL_PATH "${SOURCE_DIR}" source)
  if(status EQUAL 0 AND top)
    file(REAL_PATH "${top}" top)
  endif()
  if(status EQUAL 0 AND top STREQUAL source)
    execute_process(COMMAND git -C "${SOURCE_DIR}" log -1 --format=%ct
      RESULT_VARIABLE status OUTPUT_VARIABLE commit_time ERROR_QUIET
      OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(status EQUAL 0 AND commit_time MATCHES "^[0-9]+$")
      set(epoch "${commit_time}")
    endif()
  endif()
endif()

set(old "")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old)
endif()
if(NOT old STREQUAL "${epoch}\n")
  file(WRITE "${OUTPUT}" "${epoch}\n")
endif()

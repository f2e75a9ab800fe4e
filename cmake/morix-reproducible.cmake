# The Windows programs are built so that the same commit gives the same bytes,
# whichever folder it is checked out and built in and whenever: anyone can then
# check a shipped file against its source (README, "Releases").
#
# - No build path in the file: the source and build folders get fixed names in
#   the debug information and wherever the compiler writes a file name.
# - Archives without dates, owners or modes (ar's D modifier; Debian's ar does
#   this by default, this keeps it so with any other).
# - The PE time stamp is the last commit's time, not the time of the link. ld
#   and strip write it from SOURCE_DATE_EPOCH: morix_link_at_commit_time()
#   runs both through cmake/at-commit-time, which sets it from the file that
#   target morix_source_date_epoch keeps up to date on every build (so a new
#   commit relinks the program even when no source changed).

# The build folder is often inside the source folder; GCC applies the last
# matching map, so it comes second.
add_compile_options(
  "-ffile-prefix-map=${PROJECT_SOURCE_DIR}=/morix"
  "-ffile-prefix-map=${PROJECT_BINARY_DIR}=/morix-build")

foreach(lang IN ITEMS C CXX)
  set(CMAKE_${lang}_ARCHIVE_CREATE "<CMAKE_AR> qcD <TARGET> <LINK_FLAGS> <OBJECTS>")
  set(CMAKE_${lang}_ARCHIVE_APPEND "<CMAKE_AR> qD <TARGET> <LINK_FLAGS> <OBJECTS>")
  set(CMAKE_${lang}_ARCHIVE_FINISH "<CMAKE_RANLIB> -D <TARGET>")
endforeach()

# SOURCE_DATE_EPOCH from the environment when set, else the time of the source
# folder's last commit, else 0 (a tree outside git).
set(MORIX_SOURCE_DATE_EPOCH_FILE "${PROJECT_BINARY_DIR}/source-date-epoch")
add_custom_target(morix_source_date_epoch
  COMMAND "${CMAKE_COMMAND}" "-DSOURCE_DIR=${PROJECT_SOURCE_DIR}"
    "-DOUTPUT=${MORIX_SOURCE_DATE_EPOCH_FILE}"
    -P "${CMAKE_CURRENT_LIST_DIR}/morix-source-date-epoch.cmake"
  BYPRODUCTS "${MORIX_SOURCE_DATE_EPOCH_FILE}"
  VERBATIM)

# The prefix for a command that must write the commit's time (ld, strip).
set(MORIX_AT_COMMIT_TIME sh "${CMAKE_CURRENT_LIST_DIR}/at-commit-time" "${MORIX_SOURCE_DATE_EPOCH_FILE}")

function(morix_link_at_commit_time target)
  add_dependencies(${target} morix_source_date_epoch)
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${MORIX_SOURCE_DATE_EPOCH_FILE}")
  set_target_properties(${target} PROPERTIES
    C_LINKER_LAUNCHER "${MORIX_AT_COMMIT_TIME}"
    CXX_LINKER_LAUNCHER "${MORIX_AT_COMMIT_TIME}")
endfunction()

# The version resource of a Windows program (program/morix_version.rc.in):
# FileVersion and ProductVersion are the project's version, the other strings
# are given as NAME=VALUE.
#
# windres is run directly rather than through CMake's RC language, which would
# hand it the compile options meant for the C and C++ compilers.
function(morix_add_version_resource target)
  if(NOT PROJECT_VERSION_TWEAK MATCHES "^[0-9]+$")
    message(FATAL_ERROR "The project's version needs four numbers (project(... VERSION a.b.c.d))")
  endif()
  set(values "")
  foreach(entry IN ITEMS ${ARGN}
      "FileVersion=${PROJECT_VERSION}" "ProductVersion=${PROJECT_VERSION}")
    if(entry MATCHES "[^ -~]|[\"\\]" OR NOT entry MATCHES "^([A-Za-z]+)=(.+)$")
      message(FATAL_ERROR "Version string \"${entry}\": expected NAME=VALUE in printable ASCII, without quotes or backslashes")
    endif()
    string(APPEND values "            VALUE \"${CMAKE_MATCH_1}\", \"${CMAKE_MATCH_2}\"\n")
  endforeach()
  string(REGEX REPLACE "\n$" "" MORIX_VERSION_VALUES "${values}")

  set(dir "${CMAKE_CURRENT_BINARY_DIR}/${target}_version")
  configure_file("${PROJECT_SOURCE_DIR}/program/morix_version.rc.in" "${dir}/version.rc" @ONLY)
  # Run in its own folder with relative names, so that no path reaches the object.
  add_custom_command(OUTPUT "${dir}/version_rc.obj"
    COMMAND "${CMAKE_RC_COMPILER}" -O coff -i version.rc -o version_rc.obj
    DEPENDS "${dir}/version.rc"
    WORKING_DIRECTORY "${dir}"
    COMMENT "Compiling the version resource of ${target}"
    VERBATIM)
  target_sources(${target} PRIVATE "${dir}/version_rc.obj")
endfunction()

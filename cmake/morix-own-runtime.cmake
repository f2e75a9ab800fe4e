# The shipped program links none of the MinGW runtime: its own start-up
# (runtime/), the C runtime DLL that every one of its systems has, and the
# system import libraries.
#
# MinGW's start-up, libstdc++ and libmingwex are built for the Pentium Pro and
# need msvcrt.dll, which a clean Windows 95 lacks. So the program and the
# libraries compiled into it are built for the 80386, without exceptions, RTTI
# or unwind tables, and with _GLIBCXX_ASSERTIONS, which makes std::string's
# members compile in our own units instead of coming from libstdc++.
#
# The 32-bit product uses crtdll.dll. The 64-bit test build uses the same
# start-up on msvcrt.dll, so that 64-bit Wine runs it too.
function(morix_use_own_runtime target)
  set(root "${PROJECT_SOURCE_DIR}")
  set(compile_options -fno-exceptions $<$<COMPILE_LANGUAGE:CXX>:-fno-rtti>
    -fno-asynchronous-unwind-tables -fno-unwind-tables)
  set(compile_definitions _GLIBCXX_ASSERTIONS)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    list(APPEND compile_options -march=i386)
    # crtdll.dll's time_t is 32 bits wide.
    list(APPEND compile_definitions _USE_32BIT_TIME_T MORIX_RUNTIME_CRTDLL)
    set(runtime_dll crtdll)
  else()
    set(runtime_dll msvcrt)
  endif()
  foreach(t IN ITEMS ${target} ${ARGN})
    target_compile_options(${t} PRIVATE ${compile_options})
    target_compile_definitions(${t} PRIVATE ${compile_definitions})
  endforeach()

  target_sources(${target} PRIVATE
    "${root}/runtime/morix_startup.cpp"
    "${root}/runtime/morix_cxx_runtime.cpp")
  if(runtime_dll STREQUAL "crtdll")
    target_sources(${target} PRIVATE "${root}/runtime/crtdll_bindings.c")
  endif()

  # Auto-import stays off: a call the import library has no stub for would
  # otherwise be linked as data and jump into the import table.
  target_link_options(${target} PRIVATE
    -nostdlib -Wl,--disable-auto-import -Wl,--disable-runtime-pseudo-reloc)
  set(system_libraries ${runtime_dll} kernel32 advapi32 winspool gcc ${runtime_dll} kernel32)
  target_link_libraries(${target} PRIVATE ${system_libraries})
  # The libraries come after the program on the link line; what they call
  # must come after them.
  foreach(t IN ITEMS ${ARGN})
    target_link_libraries(${t} INTERFACE ${system_libraries})
  endforeach()

  # The PE time stamp is the commit's (cmake/morix-reproducible.cmake).
  morix_link_at_commit_time(${target})

  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    # Windows 95 and NT 4 need subsystem and OS version 4.0; the address-space
    # bits mean nothing before Vista.
    target_link_options(${target} PRIVATE
      -Wl,--major-subsystem-version,4 -Wl,--minor-subsystem-version,0
      -Wl,--major-os-version,4 -Wl,--minor-os-version,0
      -Wl,--disable-dynamicbase -Wl,--disable-nxcompat)
    # Shipped stripped; the copy with symbols and debug sections stays beside it.
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND "${CMAKE_COMMAND}" -E copy "$<TARGET_FILE:${target}>"
        "$<TARGET_FILE_DIR:${target}>/$<TARGET_FILE_BASE_NAME:${target}>.unstripped.exe"
      COMMAND ${MORIX_AT_COMMIT_TIME} "${CMAKE_STRIP}" --strip-all "$<TARGET_FILE:${target}>"
      VERBATIM)
  endif()
endfunction()

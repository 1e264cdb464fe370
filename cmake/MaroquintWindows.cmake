# What the Windows builds need beyond the common ones.

# Windows finds a program's DLLs (the bundled LSL library, the simulated
# driver) beside the program, so all programs and DLLs go to one folder.
if(WIN32 AND NOT CMAKE_RUNTIME_OUTPUT_DIRECTORY)
  set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bin)
endif()

# maroquint_nidaqmx_dll(<target>)
#
# Makes <target>, a DLL that defines the functions of nidaqmx/NIDAQmx.h,
# export them as nicaiu.dll does, and checks after each link that it
# exports exactly those. On 32-bit Windows they are __stdcall and exported
# undecorated (--kill-at). ld's import library would then name them
# undecorated as well, which no stdcall caller can link, so the import
# library is made anew from the decorated list, as for the real driver.
function(maroquint_nidaqmx_dll target)
  if(NOT MINGW)
    return()
  endif()
  set(def ${PROJECT_SOURCE_DIR}/nidaqmx/NIDAQmx.def)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    target_link_options(${target} PRIVATE -Wl,--kill-at)
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${CMAKE_DLLTOOL} --kill-at -d ${def} -D $<TARGET_FILE_NAME:${target}>
              -l $<TARGET_LINKER_FILE:${target}>
      VERBATIM)
  endif()
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${CMAKE_OBJDUMP} -DDLL=$<TARGET_FILE:${target}> -DDEF=${def}
            -P ${PROJECT_SOURCE_DIR}/cmake/CheckNidaqmxExports.cmake
    VERBATIM)
endfunction()

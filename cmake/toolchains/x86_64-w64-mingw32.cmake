# 64-bit Windows. ctest runs the test programs under wine64, through
# tools/wine-emulator: it keeps Wine headless and inside a private network
# namespace (see tools/wine-run).
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(MAROQUINT_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/MinGW.cmake)

if(EXISTS /usr/lib/wine/wine64)
  get_filename_component(_maroquint_tools ${CMAKE_CURRENT_LIST_DIR}/../../tools ABSOLUTE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${_maroquint_tools}/wine-emulator)
endif()

# 64-bit Windows. ctest runs the test programs under wine64; /usr/bin/wine
# would try the 32-bit loader first, so the 64-bit one is named directly.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(MAROQUINT_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/MinGW.cmake)

find_program(MAROQUINT_WINE64 NAMES wine64 PATHS /usr/lib/wine /usr/lib64/wine NO_DEFAULT_PATH)
find_program(MAROQUINT_WINE64 NAMES wine64)
if(MAROQUINT_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${MAROQUINT_WINE64})
endif()

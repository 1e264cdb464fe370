# 32-bit Windows, the platform the program ships for. The build host cannot
# run these programs (no 32-bit Wine here), so no emulator is set and the
# tests are built for x86_64-w64-mingw32 instead.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(MAROQUINT_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/MinGW.cmake)

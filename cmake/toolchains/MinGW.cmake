# Shared part of the MinGW-w64 cross toolchains; the per-target files set
# MAROQUINT_MINGW_TRIPLET and include this one.
#
# The -posix compilers are used because only they give std::thread and
# std::mutex. Everything is linked statically, so that the programs and the
# simulated driver DLL run on a bare Windows without MinGW's runtime DLLs.
#
# Libraries built for the target (pugixml, GoogleTest: see
# tools/windows-deps) are found through CMAKE_PREFIX_PATH; that prefix is
# also a find root, so that nothing of the build host's own libraries is
# picked up by mistake.

set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${MAROQUINT_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MAROQUINT_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${MAROQUINT_MINGW_TRIPLET}-windres)
set(CMAKE_DLLTOOL ${MAROQUINT_MINGW_TRIPLET}-dlltool)

set(CMAKE_FIND_ROOT_PATH /usr/${MAROQUINT_MINGW_TRIPLET} ${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -static)
set(CMAKE_MODULE_LINKER_FLAGS_INIT -static)

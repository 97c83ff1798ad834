# Cross build for 64-bit Windows with Debian's MinGW-w64 (posix threads, for GoogleTest); tests
# run under Wine. Everything is linked statically, so no .exe needs a DLL beside it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/cross_common.cmake)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(OSTREL_STATIC ON CACHE BOOL "Link the executable statically")

# Debian installs the 64-bit loader outside PATH.
find_program(OSTREL_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(OSTREL_WINE64 NAMES wine64 wine)
set(CMAKE_CROSSCOMPILING_EMULATOR ${OSTREL_WINE64})

# Cross build for 32-bit ARM boards (Debian's g++-arm-linux-gnueabihf); tests run under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The tool itself is static, for boards without these libraries; the tests still want them.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /usr/arm-linux-gnueabihf)
set(OSTREL_STATIC ON CACHE BOOL "Link the executable statically")

# GCC notes that the ABI for passing some std::pair arguments changed in GCC 7.1; both sides of
# every call are built here, so the note is noise.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")

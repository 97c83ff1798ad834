# Cross build for 32-bit ARM boards (Debian's g++-arm-linux-gnueabihf); tests run under qemu-user.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(OSTREL_TRIPLET arm-linux-gnueabihf)
set(OSTREL_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux_cross.cmake)

# The tool itself is static, for boards without these libraries; the tests still want them.
set(OSTREL_STATIC ON CACHE BOOL "Link the executable statically")

# GCC notes that the ABI for passing some std::pair arguments changed in GCC 7.1; both sides of
# every call are built here, so the note is noise.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")

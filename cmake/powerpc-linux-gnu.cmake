# Cross build for 32-bit big-endian PowerPC (Debian's g++-powerpc-linux-gnu); tests run under
# qemu-user. No board needs it: it proves that no byte order of the host leaks into the files.
set(CMAKE_SYSTEM_PROCESSOR powerpc)
set(OSTREL_TRIPLET powerpc-linux-gnu)
set(OSTREL_QEMU qemu-ppc)
include(${CMAKE_CURRENT_LIST_DIR}/linux_cross.cmake)

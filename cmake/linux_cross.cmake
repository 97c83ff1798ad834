# Shared by the Linux cross toolchain files. Set OSTREL_TRIPLET (the Debian cross compiler's
# prefix), OSTREL_QEMU and CMAKE_SYSTEM_PROCESSOR before including this; the tests run under
# qemu-user with the cross libraries as the sysroot.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${OSTREL_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${OSTREL_TRIPLET}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${OSTREL_TRIPLET})
include(${CMAKE_CURRENT_LIST_DIR}/cross_common.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR ${OSTREL_QEMU} -L /usr/${OSTREL_TRIPLET})

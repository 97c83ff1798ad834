# Shared by the cross toolchain files: look for libraries and headers in the target's root only,
# and for programs on the build machine. Set CMAKE_FIND_ROOT_PATH before including this.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

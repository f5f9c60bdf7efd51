# SPDX-License-Identifier: MIT
# Shared part of the toolchain files: a Linux target built with Debian's
# cross compiler for CROSS_TRIPLE, whose libraries and headers live under
# /usr/CROSS_TRIPLE. Programs (qemu, valgrind, objdump) come from the host.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_CXX_COMPILER ${CROSS_TRIPLE}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

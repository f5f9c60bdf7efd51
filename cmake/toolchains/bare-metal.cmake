# SPDX-License-Identifier: MIT
# Shared part of the bare-metal toolchain files: a machine without an
# operating system, built with Debian's GCC for ZARVEK_TRIPLE and the
# picolibc C library, its memory map given to picolibc's linker script.
# zarvek's sources are C++ that uses only the C library, so they are
# compiled without exceptions and run-time type information and linked
# through the C driver: no C++ library is needed (RV32 has none here).
#
# The including file sets ZARVEK_TRIPLE, ZARVEK_ARCH_FLAGS (the processor
# and its floating point), ZARVEK_FLASH_ADDRESS and _SIZE, ZARVEK_RAM_ADDRESS
# and _SIZE (the memory map), ZARVEK_QEMU (the qemu-system command for the
# board), ZARVEK_PACKAGES (Debian's packages for compiler and library) and
# ZARVEK_QEMU_PACKAGE (the one with that qemu).
# A Linux build reads the board's facts alone (zarvek_board).
if(ZARVEK_BOARD_ONLY)
  return()
endif()
set(CMAKE_SYSTEM_NAME Generic)
set(ZARVEK_BARE_METAL ON)

find_program(ZARVEK_CROSS_CXX ${ZARVEK_TRIPLE}-g++)
find_program(ZARVEK_CROSS_CC ${ZARVEK_TRIPLE}-gcc)
if(ZARVEK_CROSS_CXX AND ZARVEK_CROSS_CC)
  execute_process(COMMAND ${ZARVEK_CROSS_CC} -print-file-name=picolibc.specs
    OUTPUT_VARIABLE _zarvek_specs OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
if(NOT ZARVEK_CROSS_CXX OR NOT ZARVEK_CROSS_CC OR NOT IS_ABSOLUTE "${_zarvek_specs}")
  # A leading blank keeps the message on one line.
  message(FATAL_ERROR " zarvek: no ${ZARVEK_TRIPLE} compiler with picolibc here: apt-get install ${ZARVEK_PACKAGES}")
endif()

set(CMAKE_CXX_COMPILER ${ZARVEK_CROSS_CXX})
# The configure checks compile without linking: a test program has no
# board to run on.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
list(JOIN ZARVEK_ARCH_FLAGS " " _zarvek_arch)
set(CMAKE_CXX_FLAGS_INIT "${_zarvek_arch} --specs=picolibc.specs -fno-exceptions -fno-rtti")
set(CMAKE_EXE_LINKER_FLAGS_INIT
  "-Wl,--defsym=__flash=${ZARVEK_FLASH_ADDRESS},--defsym=__flash_size=${ZARVEK_FLASH_SIZE},--defsym=__ram=${ZARVEK_RAM_ADDRESS},--defsym=__ram_size=${ZARVEK_RAM_SIZE}")
# g++ would ask for libstdc++; gcc links the same objects without it.
set(CMAKE_CXX_LINK_EXECUTABLE
  "${ZARVEK_CROSS_CC} <FLAGS> <CMAKE_CXX_LINK_FLAGS> <LINK_FLAGS> <OBJECTS> -o <TARGET> <LINK_LIBRARIES>")

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

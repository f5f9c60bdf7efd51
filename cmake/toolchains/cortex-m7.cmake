# SPDX-License-Identifier: MIT
# Bare-metal Cortex-M7 with its double-precision FPU (FPv5-D16,
# hard-float), with Debian's gcc-arm-none-eabi and picolibc; runs under
# qemu-system-arm on the MPS2 AN500 board, over semihosting.
#   cmake --preset cortex-m7   (or: cmake -S . -B build-m7 --toolchain cmake/toolchains/cortex-m7.cmake)
# The memory map is the AN500's: code from 0 (where the vector table must
# be), RAM from 0x20000000, 4 MiB each. A board of your own sets its own.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(ZARVEK_BOARD cortex-m7)
set(ZARVEK_TRIPLE arm-none-eabi)
set(ZARVEK_ARCH_FLAGS -mcpu=cortex-m7 -mfpu=fpv5-d16 -mfloat-abi=hard -mthumb)
set(ZARVEK_FLASH_ADDRESS 0x00000000)
set(ZARVEK_FLASH_SIZE 0x00400000)
set(ZARVEK_RAM_ADDRESS 0x20000000)
set(ZARVEK_RAM_SIZE 0x00400000)
set(ZARVEK_QEMU qemu-system-arm -M mps2-an500)
set(ZARVEK_PACKAGES "gcc-arm-none-eabi picolibc-arm-none-eabi")
set(ZARVEK_QEMU_PACKAGE qemu-system-arm)
include(${CMAKE_CURRENT_LIST_DIR}/bare-metal.cmake)

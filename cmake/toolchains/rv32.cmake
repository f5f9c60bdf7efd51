# SPDX-License-Identifier: MIT
# Bare-metal 32-bit RISC-V with the D extension (rv32imafdc, ilp32d), with
# Debian's gcc-riscv64-unknown-elf and picolibc; runs under
# qemu-system-riscv32 on the virt board without firmware, over
# semihosting.
#   cmake --preset rv32   (or: cmake -S . -B build-rv32 --toolchain cmake/toolchains/rv32.cmake)
# The memory map is virt's: RAM from 0x80000000, where the board starts
# the program; the first 2 MiB hold the code, the next 2 MiB the data.
set(CMAKE_SYSTEM_PROCESSOR riscv32)
set(ZARVEK_BOARD rv32)
set(ZARVEK_TRIPLE riscv64-unknown-elf)
set(ZARVEK_ARCH_FLAGS -march=rv32imafdc -mabi=ilp32d)
set(ZARVEK_FLASH_ADDRESS 0x80000000)
set(ZARVEK_FLASH_SIZE 0x00200000)
set(ZARVEK_RAM_ADDRESS 0x80200000)
set(ZARVEK_RAM_SIZE 0x00200000)
set(ZARVEK_QEMU qemu-system-riscv32 -M virt -bios none)
set(ZARVEK_PACKAGES "gcc-riscv64-unknown-elf picolibc-riscv64-unknown-elf")
set(ZARVEK_QEMU_PACKAGE qemu-system-misc)
include(${CMAKE_CURRENT_LIST_DIR}/bare-metal.cmake)

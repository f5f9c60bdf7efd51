# SPDX-License-Identifier: MIT
# The tests of a bare-metal zarvek, run on this machine under qemu-system:
# registered by the bare-metal build itself (the cortex-m7 and rv32
# presets) and by a Linux build that builds the boards whose toolchains
# it finds.

# zarvek_board(PRESET): the facts of a board from its toolchain file, as
# ZARVEK_TRIPLE, ZARVEK_QEMU, ZARVEK_PACKAGES and ZARVEK_QEMU_PACKAGE in
# the caller's scope, and ZARVEK_BOARD_MISSING: what of the compiler,
# picolibc and qemu-system this machine lacks.
function(zarvek_board PRESET)
  set(ZARVEK_BOARD_ONLY ON)
  include(${PROJECT_SOURCE_DIR}/cmake/toolchains/${PRESET}.cmake)
  set(missing "")
  find_program(cc ${ZARVEK_TRIPLE}-gcc NO_CACHE)
  find_program(cxx ${ZARVEK_TRIPLE}-g++ NO_CACHE)
  if(cc AND cxx)
    execute_process(COMMAND ${cc} -print-file-name=picolibc.specs
      OUTPUT_VARIABLE specs OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(NOT IS_ABSOLUTE "${specs}")
      list(APPEND missing "picolibc for ${ZARVEK_TRIPLE}")
    endif()
  else()
    list(APPEND missing "${ZARVEK_TRIPLE}-g++")
  endif()
  list(GET ZARVEK_QEMU 0 qemu)
  find_program(qemu_path ${qemu} NO_CACHE)
  if(NOT qemu_path)
    list(APPEND missing ${qemu})
  endif()
  foreach(name ZARVEK_TRIPLE ZARVEK_QEMU ZARVEK_PACKAGES ZARVEK_QEMU_PACKAGE)
    set(${name} ${${name}} PARENT_SCOPE)
  endforeach()
  set(ZARVEK_BOARD_MISSING ${missing} PARENT_SCOPE)
endfunction()

# zarvek_bare_metal_tests(PRESET BUILD QEMU ZARVEK VERIFY REPORT): tests
# of the bare-metal build in the folder BUILD (its zarvek, its
# zarvek-cycles and the fixtures of tests/bare-metal), for the board of
# PRESET, run with the command QEMU, against the Linux build's ZARVEK, its
# zarvek-verify (VERIFY) and linux_report (REPORT). Label: bare-metal.
function(zarvek_bare_metal_tests PRESET BUILD QEMU ZARVEK VERIFY REPORT)
  set(name BareMetal.${PRESET})
  set(ELF ${BUILD}/zarvek)
  set(fixtures ${BUILD}/tests/bare-metal/fixtures)
  # zarvek's output against Linux's; zarvek-cycles's profile.
  foreach(case CommandLinesAsOnLinux CommandLineLength MeasurementAsOnLinux FullOutput
      RefusedArguments CyclesProfile CyclesSlowerSection CyclesBadInput)
    add_test(NAME ${name}.${case}
      COMMAND ${PROJECT_SOURCE_DIR}/tests/bare-metal/check.py --preset ${PRESET} --elf ${ELF}
        --zarvek ${ZARVEK} --report ${REPORT} --cycles ${BUILD}/zarvek-cycles
        --slow ${fixtures}/cycles-slow-trig ${case})
    set_property(TEST ${name}.${case} PROPERTY LABELS bare-metal)
  endforeach()
  # The verifier's verdicts: faithful (status 0) on zarvek and on
  # zarvek-cycles; not faithful on a zarvek without volatile, PA's reads of
  # its array gone, and on a zarvek-cycles whose section 6 was cut short.
  list(JOIN QEMU " " emulator)
  add_test(NAME ${name}.VerifyThisBuildIsFaithful COMMAND ${VERIFY} --emulator ${emulator} ${ELF})
  add_test(NAME ${name}.VerifyCyclesIsFaithful
    COMMAND ${VERIFY} --emulator ${emulator} ${BUILD}/zarvek-cycles)
  add_test(NAME ${name}.VerifyRejectsACheat
    COMMAND ${VERIFY} --emulator ${emulator} ${fixtures}/cheat-no-volatile)
  add_test(NAME ${name}.VerifyRejectsCyclesCutShort
    COMMAND ${VERIFY} --emulator ${emulator} ${fixtures}/cycles-short-trig)
  set(shortfalls "\nVerdict: NOT faithful: [^\n]*\n(  - [^\n]*\n)*")
  set_tests_properties(${name}.VerifyRejectsACheat PROPERTIES PASS_REGULAR_EXPRESSION
    "${shortfalls}  - Data reads and writes per loop \\(measured\\), reads in PA: specified >= 1848, measured [0-9]+\n")
  set_tests_properties(${name}.VerifyRejectsCyclesCutShort PROPERTIES PASS_REGULAR_EXPRESSION
    "${shortfalls}  - Calls per loop, sin: specified 64, measured 32\n")
  set_tests_properties(${name}.VerifyThisBuildIsFaithful ${name}.VerifyCyclesIsFaithful
    ${name}.VerifyRejectsACheat ${name}.VerifyRejectsCyclesCutShort PROPERTIES LABELS bare-metal)
endfunction()

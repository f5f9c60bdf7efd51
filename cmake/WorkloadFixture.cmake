# SPDX-License-Identifier: MIT
# zarvek_fixture_sources(NAME FIND REPLACE DIR_VARIABLE): the files of the
# workload target, copied into fixture-sources/NAME of the current build
# folder with every FIND replaced by REPLACE; DIR_VARIABLE is set to that
# folder. A FIND that is in none of them stops the configure: a fixture
# that no longer differs from the workload would test nothing.
function(zarvek_fixture_sources NAME FIND REPLACE DIR_VARIABLE)
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/fixture-sources/${NAME})
  get_target_property(workload_dir workload SOURCE_DIR)
  get_target_property(workload_files workload SOURCES)
  set(applied OFF)
  foreach(file IN LISTS workload_files)
    set(source ${workload_dir}/${file})
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
    file(READ ${source} text)
    string(FIND "${text}" "${FIND}" at)
    if(at GREATER -1)
      set(applied ON)
      string(REPLACE "${FIND}" "${REPLACE}" text "${text}")
    endif()
    # Written as it is, no variable expanded, and only when it changed,
    # so that a fixture is not rebuilt for nothing.
    file(WRITE ${dir}/${file}.new "${text}")
    file(COPY_FILE ${dir}/${file}.new ${dir}/${file} ONLY_IF_DIFFERENT)
    file(REMOVE ${dir}/${file}.new)
  endforeach()
  if(NOT applied)
    message(FATAL_ERROR "zarvek: fixture ${NAME}: \"${FIND}\" is not in the workload")
  endif()
  set(${DIR_VARIABLE} ${dir} PARENT_SCOPE)
endfunction()

# zarvek_fixture(NAME FIND REPLACE ENTRY SOURCE... [OPTIONS OPTION...]
#                [LIBRARIES LIBRARY...]):
# a zarvek built from the workload's files with every FIND replaced by
# REPLACE (zarvek_fixture_sources), or as they are where FIND is empty,
# for the verifier to judge, in the fixtures folder of the current build
# folder. The driver's files are compiled against them, with ENTRY's
# sources (the entry of Linux or of a board).
function(zarvek_fixture NAME FIND REPLACE)
  cmake_parse_arguments(PARSE_ARGV 3 fixture "" "" "ENTRY;OPTIONS;LIBRARIES")
  if(FIND STREQUAL "")
    get_target_property(dir workload SOURCE_DIR)
  else()
    zarvek_fixture_sources(${NAME} "${FIND}" "${REPLACE}" dir)
  endif()
  get_target_property(workload_files workload SOURCES)
  get_target_property(driver_dir driver SOURCE_DIR)
  get_target_property(driver_files driver SOURCES)
  list(TRANSFORM workload_files PREPEND ${dir}/ OUTPUT_VARIABLE sources)
  list(TRANSFORM driver_files PREPEND ${driver_dir}/)
  add_executable(${NAME} ${fixture_ENTRY} ${driver_files} ${sources})
  target_include_directories(${NAME} BEFORE PRIVATE ${dir} ${driver_dir})
  target_link_libraries(${NAME} PRIVATE zarvek_build ${fixture_LIBRARIES})
  target_compile_options(${NAME} PRIVATE ${fixture_OPTIONS})
  set_target_properties(${NAME} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/fixtures)
endfunction()

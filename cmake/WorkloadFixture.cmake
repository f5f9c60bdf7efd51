# zarvek_fixture_sources(NAME FIND REPLACE): writes the workload's sources
# with every FIND replaced by REPLACE into fixture-sources/NAME of the
# current build folder, and sets NAME_DIR to it. A FIND that is in none of
# them stops the configure: a fixture that no longer differs from the
# workload would test nothing.
function(zarvek_fixture_sources NAME FIND REPLACE)
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/fixture-sources/${NAME})
  set(applied OFF)
  foreach(file workload.h globals.cpp procedures.cpp pass.cpp)
    set(source ${PROJECT_SOURCE_DIR}/src/workload/${file})
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
    file(READ ${source} text)
    string(FIND "${text}" "${FIND}" at)
    if(at GREATER -1)
      set(applied ON)
      string(REPLACE "${FIND}" "${REPLACE}" text "${text}")
    endif()
    file(CONFIGURE OUTPUT ${dir}/${file} CONTENT "${text}")
  endforeach()
  if(NOT applied)
    message(FATAL_ERROR "zarvek: fixture ${NAME}: \"${FIND}\" is not in the workload")
  endif()
  set(${NAME}_DIR ${dir} PARENT_SCOPE)
endfunction()

# SPDX-License-Identifier: MIT
# zarvek's Python programs: the zarvek package (src/python/zarvek) and thin
# entry points that find it relative to their own real path. In the build
# tree the package is copied to python/zarvek beside the programs; when
# installed it is in lib/zarvek/zarvek, beside the verifier's plugin.
# Nothing is compiled; the package's _version.py is generated from the
# project's version, which --version prints and a result records.

set(ZARVEK_PYTHON_SOURCE ${PROJECT_SOURCE_DIR}/src/python/zarvek)
set(ZARVEK_PYTHON_INSTALL_DIR lib/zarvek)

# The package, copied whole into the build tree and installed; configure
# stops where its loop-count facts and workload.h disagree, or its section
# names and sections.h's, which zarvek-bench's table prints.
function(zarvek_python_package)
  foreach(name REFERENCE_LOOP SUBNORMAL_LOOP INSTRUCTIONS_PER_LOOP)
    file(STRINGS ${PROJECT_SOURCE_DIR}/src/workload/workload.h cxx
         REGEX "^constexpr int(32|64)_t ${name} = [0-9]+;$")
    file(STRINGS ${ZARVEK_PYTHON_SOURCE}/_workload.py py REGEX "^${name} = [0-9]+$")
    string(REGEX REPLACE ".*= ([0-9]+).*" "\\1" cxx "${cxx}")
    string(REGEX REPLACE ".*= " "" py "${py}")
    if(NOT cxx OR NOT cxx STREQUAL py)
      message(FATAL_ERROR "src/python/zarvek/_workload.py: ${name} = ${py}, "
                          "but src/workload/workload.h says ${cxx}")
    endif()
  endforeach()
  # The sections' names, one a line, as sections.h and the package write
  # them.
  set(pattern "^    \"[a-z -]+\",$")
  file(STRINGS ${PROJECT_SOURCE_DIR}/src/workload/sections.h cxx REGEX "${pattern}")
  file(STRINGS ${ZARVEK_PYTHON_SOURCE}/_workload.py py REGEX "${pattern}")
  list(LENGTH py count)
  if(NOT count EQUAL 10 OR NOT cxx STREQUAL py)
    message(FATAL_ERROR "src/python/zarvek/_workload.py: SECTION_NAMES are not the ten names "
                        "of src/workload/sections.h's SECTION_NAME, in order")
  endif()
  # The modules, the page's templates and the result's schemas.
  file(GLOB_RECURSE files CONFIGURE_DEPENDS RELATIVE ${ZARVEK_PYTHON_SOURCE}
       ${ZARVEK_PYTHON_SOURCE}/*.py ${ZARVEK_PYTHON_SOURCE}/templates/*
       ${ZARVEK_PYTHON_SOURCE}/schemas/*.schema.json)
  set(copies "")
  foreach(file IN LISTS files)
    set(copy ${PROJECT_BINARY_DIR}/python/zarvek/${file})
    add_custom_command(OUTPUT ${copy}
      COMMAND ${CMAKE_COMMAND} -E copy ${ZARVEK_PYTHON_SOURCE}/${file} ${copy}
      DEPENDS ${ZARVEK_PYTHON_SOURCE}/${file} VERBATIM)
    list(APPEND copies ${copy})
  endforeach()
  set(version ${PROJECT_BINARY_DIR}/python/zarvek/_version.py)
  file(CONFIGURE OUTPUT ${version} CONTENT
       "# SPDX-License-Identifier: MIT\n# Made by CMake from the project's version.\nVERSION = \"${PROJECT_VERSION}\"\n")
  add_custom_target(zarvek_python_package ALL DEPENDS ${copies})
  install(DIRECTORY ${ZARVEK_PYTHON_SOURCE} DESTINATION ${ZARVEK_PYTHON_INSTALL_DIR}
    FILES_MATCHING PATTERN "*.py" PATTERN "templates/*" PATTERN "schemas/*.schema.json"
    PATTERN "__pycache__" EXCLUDE)
  install(FILES ${version} DESTINATION ${ZARVEK_PYTHON_INSTALL_DIR}/zarvek)
endfunction()

# The entry point src/NAME's folder/NAME, configured twice: for the build
# tree, where the package is in python/ beside it, and for the install,
# where it is in lib/zarvek/ beside bin/. Installed with doc/NAME.1.
function(zarvek_python_program NAME SOURCE)
  set(ZARVEK_PYTHON_DIR python)
  configure_file(${SOURCE} ${PROJECT_BINARY_DIR}/${NAME} @ONLY)
  file(RELATIVE_PATH ZARVEK_PYTHON_DIR ${CMAKE_INSTALL_FULL_BINDIR}
       ${CMAKE_INSTALL_PREFIX}/${ZARVEK_PYTHON_INSTALL_DIR})
  configure_file(${SOURCE} ${PROJECT_BINARY_DIR}/install/${NAME} @ONLY)
  add_custom_target(${NAME} ALL)
  add_dependencies(${NAME} zarvek_python_package)
  install(PROGRAMS ${PROJECT_BINARY_DIR}/install/${NAME} DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/doc/${NAME}.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endfunction()

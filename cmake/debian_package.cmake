# SPDX-License-Identifier: MIT
# Run by cpack (CPACK_PRE_BUILD_SCRIPTS) over the files it staged for the
# Debian package, before it packs them: what Debian's policy asks of a
# package beyond what cmake --install gives. The manual pages compressed;
# every program and library stripped but zarvek, whose symbol table
# zarvek-verify judges it by (a lintian override says so); the libraries
# they link in the Depends; the copyright file, and a changelog for the
# version.
#
# Needs CPACK_ZARVEK_PACKAGING (the source's packaging/ folder), CPACK_ZARVEK_VERSION,
# CPACK_ZARVEK_MAINTAINER and CPACK_ZARVEK_RELEASED (the version's date, RFC 2822),
# given through CPack's configuration.
file(GLOB_RECURSE staged_pages "${CPACK_TEMPORARY_DIRECTORY}/*/share/man/man1/*.1")
foreach(page IN LISTS staged_pages)
  execute_process(COMMAND gzip -9 -n -f ${page} COMMAND_ERROR_IS_FATAL ANY)
endforeach()

file(GLOB_RECURSE staged_files LIST_DIRECTORIES false "${CPACK_TEMPORARY_DIRECTORY}/*")
set(elf_files "")
foreach(file IN LISTS staged_files)
  file(READ ${file} magic LIMIT 4 HEX)
  if(magic STREQUAL "7f454c46")
    list(APPEND elf_files ${file})
  endif()
  if(magic STREQUAL "7f454c46" AND NOT file MATCHES "/bin/zarvek$")
    execute_process(COMMAND strip --remove-section=.comment --remove-section=.note
      --strip-unneeded ${file} COMMAND_ERROR_IS_FATAL ANY)
  endif()
endforeach()

# The libraries the programs link, as dpkg-shlibdeps names their packages,
# added to the Depends. CPack would find them itself
# (CPACK_DEBIAN_PACKAGE_SHLIBDEPS), but then also adds maintainer scripts
# that run ldconfig for any shared object under usr/lib: here the
# verifier's qemu plugin, which qemu loads by its path and ldconfig has
# nothing to do with (lintian warns of such scripts). This script runs
# in the scope where cpack then makes the package, so what it sets here
# counts there.
if(elf_files)
  find_program(DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(NOT DPKG_SHLIBDEPS)
    message(FATAL_ERROR "zarvek: the package's Depends need dpkg-shlibdeps: apt-get install dpkg-dev")
  endif()
  file(MAKE_DIRECTORY ${CPACK_TEMPORARY_DIRECTORY}/debian)
  file(WRITE ${CPACK_TEMPORARY_DIRECTORY}/debian/control "")
  execute_process(COMMAND ${DPKG_SHLIBDEPS} --ignore-missing-info -O ${elf_files}
    WORKING_DIRECTORY ${CPACK_TEMPORARY_DIRECTORY}
    OUTPUT_VARIABLE shlibs OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE ${CPACK_TEMPORARY_DIRECTORY}/debian)
  string(REGEX REPLACE "^shlibs:Depends=" "" shlibs "${shlibs}")
  string(JOIN ", " CPACK_DEBIAN_PACKAGE_DEPENDS ${CPACK_DEBIAN_PACKAGE_DEPENDS} ${shlibs})
endif()

file(GLOB usr LIST_DIRECTORIES true "${CPACK_TEMPORARY_DIRECTORY}/usr"
  "${CPACK_TEMPORARY_DIRECTORY}/*/usr")
foreach(root IN LISTS usr)
  set(doc ${root}/share/doc/zarvek)
  file(MAKE_DIRECTORY ${doc} ${root}/share/lintian/overrides)
  file(COPY_FILE ${CPACK_ZARVEK_PACKAGING}/copyright ${doc}/copyright)
  file(COPY_FILE ${CPACK_ZARVEK_PACKAGING}/lintian-overrides ${root}/share/lintian/overrides/zarvek)
  file(WRITE ${doc}/changelog "zarvek (${CPACK_ZARVEK_VERSION}) unstable; urgency=medium

  * Version ${CPACK_ZARVEK_VERSION}.

 -- ${CPACK_ZARVEK_MAINTAINER}  ${CPACK_ZARVEK_RELEASED}
")
  execute_process(COMMAND gzip -9 -n -f ${doc}/changelog COMMAND_ERROR_IS_FATAL ANY)
  file(CHMOD ${doc}/copyright ${root}/share/lintian/overrides/zarvek
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endforeach()

# Installing and packaging: zunfelu with its man page and README as a Debian
# package; Zunfel32.exe with a README.txt (CR LF line ends) as a zip.
include(GNUInstallDirs)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# .invalid is reserved for names that must never resolve: an honest
# placeholder until whoever builds the packages names themselves.
set(ZUNFEL_MAINTAINER "zunfelu maintainers <maintainers@zunfelu.invalid>"
    CACHE STRING "Maintainer of the packages: Name <address>")
set(CPACK_PACKAGE_VENDOR "the zunfelu authors")
set(CPACK_PACKAGE_CONTACT "${ZUNFEL_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "rebuild a file from its numbered component files")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(ZUNFEL_DESCRIPTION
    "Reassembles a file that the companion cutting tool cut into numbered
component files (P.Z00, P.Z01, ...) so that it could travel on floppy
disks. It checks each component's number, carried name, length and 16-bit
checksum, asks before it replaces a file, checks the rebuilt size and
restores the recorded timestamp. Without writing anything, --test checks
every component as a merge would (naming each missing, damaged or
unreadable one with the bytes of the file it holds, and ending with one
status per outcome), --list shows what a set holds from its headers, and
--salvage writes what a broken set still holds, each byte at its place and
zeros where nothing can be had, into a file of its own.")

if(WIN32)
  install(TARGETS Zunfel32 RUNTIME DESTINATION .)
  file(READ ${PROJECT_SOURCE_DIR}/docs/Zunfel32.txt readme)
  string(REPLACE "\n" "\r\n" readme "${readme}")
  file(WRITE ${PROJECT_BINARY_DIR}/README.txt "${readme}")
  install(FILES ${PROJECT_BINARY_DIR}/README.txt DESTINATION .)
  set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/reproducible_zip.cmake)
  # binutils' strip stamps a PE file with the time: the linker strips it instead.
  set(CPACK_STRIP_FILES OFF)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_NAME Zunfel32)
  # The zip for every x86 Windows holds the 32-bit program; the 64-bit one
  # says so in its name.
  if(CMAKE_SYSTEM_PROCESSOR STREQUAL x86_64)
    set(CPACK_PACKAGE_FILE_NAME Zunfel32-${PROJECT_VERSION}-x64)
  else()
    set(CPACK_PACKAGE_FILE_NAME Zunfel32-${PROJECT_VERSION})
  endif()
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  # A plain `cmake --install` notes in the build folder, deepest first, each
  # folder it is about to make (install_folders.txt, beside
  # install_manifest.txt), so that a removal takes away those and no folder
  # that was there before. Staged installs (DESTDIR, the packages) note
  # nothing; an install that makes no folder leaves an earlier note as it is.
  install(CODE "set(zunfel_note \"${PROJECT_BINARY_DIR}/install_folders.txt\")
    set(zunfel_folders ${CMAKE_INSTALL_BINDIR} ${CMAKE_INSTALL_MANDIR}/man1
                       ${CMAKE_INSTALL_DATAROOTDIR}/doc/zunfelu)")
  install(CODE [[
    if(NOT DEFINED ENV{DESTDIR} AND NOT CMAKE_INSTALL_PREFIX MATCHES "/_CPack_Packages/")
      set(made "")
      foreach(folder IN LISTS zunfel_folders)
        # A relative prefix (`--prefix inst`) is taken from where the install
        # runs, as the install itself takes it; the walk up then ends at "/".
        get_filename_component(path "${CMAKE_INSTALL_PREFIX}/${folder}" ABSOLUTE)
        while(NOT IS_DIRECTORY "${path}" AND NOT path STREQUAL "/" AND NOT path STREQUAL "")
          list(APPEND made "${path}")
          get_filename_component(path "${path}" DIRECTORY)
        endwhile()
      endforeach()
      list(REMOVE_DUPLICATES made)
      list(SORT made ORDER DESCENDING)  # a folder after everything inside it
      if(made)
        list(JOIN made "
" lines)
        file(WRITE "${zunfel_note}" "${lines}
")
      endif()
    endif()
  ]])
  install(TARGETS zunfelu RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # Debian keeps man pages compressed; -n leaves the time out, for
  # byte-identical packages.
  add_custom_command(OUTPUT zunfelu.1.gz
                     COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/docs/zunfelu.1 > zunfelu.1.gz
                     DEPENDS ${PROJECT_SOURCE_DIR}/docs/zunfelu.1)
  add_custom_target(man_page ALL DEPENDS zunfelu.1.gz)
  install(FILES ${PROJECT_BINARY_DIR}/zunfelu.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  set(doc ${CMAKE_INSTALL_DATAROOTDIR}/doc/zunfelu)
  install(FILES README.md DESTINATION ${doc})
  # Both packages carry the changelog made from CHANGELOG.md at build time
  # (Debian's form, compressed as Debian wants it) and the licence in
  # Debian's machine-readable copyright form.
  set(changelog_sh ${PROJECT_SOURCE_DIR}/cmake/changelog.sh)
  set(release 1)
  add_custom_command(
    OUTPUT changelog.gz rpm-changelog
    COMMAND bash ${changelog_sh} debian ${PROJECT_SOURCE_DIR}/CHANGELOG.md zunfelu
            ${ZUNFEL_MAINTAINER} ${release} changelog.gz
    COMMAND bash ${changelog_sh} rpm ${PROJECT_SOURCE_DIR}/CHANGELOG.md zunfelu
            ${ZUNFEL_MAINTAINER} ${release} rpm-changelog
    DEPENDS ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${changelog_sh}
    VERBATIM)
  add_custom_target(changelogs ALL DEPENDS changelog.gz rpm-changelog)
  file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE license_lines)
  set(LICENSE_TEXT "")
  foreach(line IN LISTS license_lines)
    if(line STREQUAL "")
      set(line ".")
    endif()
    string(APPEND LICENSE_TEXT " ${line}\n")
  endforeach()
  string(REGEX REPLACE "\n$" "" LICENSE_TEXT "${LICENSE_TEXT}")
  configure_file(cmake/copyright.in copyright @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/changelog.gz ${PROJECT_BINARY_DIR}/copyright DESTINATION ${doc})

  set(CPACK_GENERATOR DEB RPM)
  set(CPACK_PACKAGE_NAME zunfelu)
  set(CPACK_PACKAGE_DESCRIPTION "${ZUNFEL_DESCRIPTION}")
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "${ZUNFEL_DESCRIPTION}")
  set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
  set(CPACK_RPM_PACKAGE_RELEASE ${release})
  set(CPACK_RPM_PACKAGE_LICENSE MIT)
  set(CPACK_RPM_PACKAGE_SUMMARY "Rebuild a file from its numbered component files")
  set(CPACK_RPM_PACKAGE_GROUP "Applications/Archiving")
  set(CPACK_RPM_PACKAGE_DESCRIPTION "${ZUNFEL_DESCRIPTION}")
  set(CPACK_RPM_PACKAGE_AUTOREQ ON)  # the dependencies come from the binary
  set(CPACK_RPM_CHANGELOG_FILE ${PROJECT_BINARY_DIR}/rpm-changelog)
  set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION /usr/share/man /usr/share/man/man1)
  # The same bytes for the same commit: the build time and host come from
  # SOURCE_DATE_EPOCH, and no file is newer than it.
  set(CPACK_RPM_SPEC_MORE_DEFINE
      "%define packager ${ZUNFEL_MAINTAINER}\n%define _build_id_links none\n%define _buildhost reproducible\n%define use_source_date_epoch_as_buildtime 1\n%define clamp_mtime_to_source_date_epoch 1")
endif()
include(CPack)

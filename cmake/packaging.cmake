# Installing and packaging: zunfelu with its man page and README as a Debian
# package; Zunfel32.exe with a README.txt (CR LF line ends) as a zip.
include(GNUInstallDirs)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the zunfel developers")
set(CPACK_PACKAGE_CONTACT "zunfel developers <zunfel@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "rebuild a file from its numbered component files")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  install(TARGETS Zunfel32 RUNTIME DESTINATION .)
  file(READ ${PROJECT_SOURCE_DIR}/docs/Zunfel32.txt readme)
  string(REPLACE "\n" "\r\n" readme "${readme}")
  file(WRITE ${PROJECT_BINARY_DIR}/README.txt "${readme}")
  install(FILES ${PROJECT_BINARY_DIR}/README.txt DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_NAME Zunfel32)
  set(CPACK_PACKAGE_FILE_NAME Zunfel32-${PROJECT_VERSION})
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  install(TARGETS zunfelu RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # Debian keeps man pages compressed; -n leaves the time out, for
  # byte-identical packages.
  add_custom_command(OUTPUT zunfelu.1.gz
                     COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/docs/zunfelu.1 > zunfelu.1.gz
                     DEPENDS ${PROJECT_SOURCE_DIR}/docs/zunfelu.1)
  add_custom_target(man_page ALL DEPENDS zunfelu.1.gz)
  install(FILES ${PROJECT_BINARY_DIR}/zunfelu.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES README.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/zunfelu)
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_NAME zunfelu)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "Reassembles a file that the companion cutting tool cut into numbered component files (P.Z00, P.Z01, ...), checking each component's number, name, length and checksum, and restores the recorded timestamp.")
endif()
include(CPack)

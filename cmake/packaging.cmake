# Install rules and the release packages: a .deb for Linux, a .zip for Windows.
set(KV2PELMO_MAINTAINER "kv2pelmo developers <devel@kv2pelmo.org>")
configure_file(${PROJECT_SOURCE_DIR}/doc/kv2pelmo.1.in ${CMAKE_BINARY_DIR}/kv2pelmo.1 @ONLY)

if(WIN32)
  # The Windows guide, plain text with CRLF line ends, as Notepad shows it.
  set(guide ${CMAKE_BINARY_DIR}/README.txt)
  configure_file(${PROJECT_SOURCE_DIR}/doc/windows-guide.txt ${guide} @ONLY NEWLINE_STYLE CRLF)
  install(TARGETS kv2pelmo RUNTIME DESTINATION .)
  install(FILES ${guide} DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . RENAME LICENSE.txt)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME kv2pelmo-${KV2PELMO_VERSION}-win32)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  include(GNUInstallDirs)
  # Debian wants the manual page and the changelog compressed, reproducibly.
  configure_file(${PROJECT_SOURCE_DIR}/doc/changelog.in ${CMAKE_BINARY_DIR}/changelog @ONLY)
  find_program(GZIP gzip REQUIRED)
  add_custom_command(
    OUTPUT ${CMAKE_BINARY_DIR}/kv2pelmo.1.gz ${CMAKE_BINARY_DIR}/changelog.gz
    COMMAND ${GZIP} -9nkf ${CMAKE_BINARY_DIR}/kv2pelmo.1 ${CMAKE_BINARY_DIR}/changelog
    DEPENDS ${CMAKE_BINARY_DIR}/kv2pelmo.1 ${CMAKE_BINARY_DIR}/changelog
    COMMENT "Compressing the manual page and the changelog")
  add_custom_target(compressed_docs ALL
                    DEPENDS ${CMAKE_BINARY_DIR}/kv2pelmo.1.gz ${CMAKE_BINARY_DIR}/changelog.gz)
  install(TARGETS kv2pelmo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${CMAKE_BINARY_DIR}/kv2pelmo.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${CMAKE_BINARY_DIR}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR}
          RENAME copyright)
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
endif()

set(CPACK_PACKAGE_NAME kv2pelmo)
set(CPACK_PACKAGE_VERSION ${KV2PELMO_VERSION})
set(CPACK_PACKAGE_VENDOR "kv2pelmo developers")
set(CPACK_PACKAGE_CONTACT "${KV2PELMO_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "convert MCU and PPM block files into flat flash images")
set(CPACK_PACKAGE_DESCRIPTION
    "kv2pelmo checks every record of a block file and writes its flash contents\n\
as a flat image, padded with 0xFF to whole 64 KiB units and, given the\n\
matching PPM file, aligned to where that begins.")
set(CPACK_STRIP_FILES ON)
configure_file(${PROJECT_SOURCE_DIR}/cmake/cpack_project.cmake.in
               ${CMAKE_BINARY_DIR}/cpack_project.cmake @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/cpack_project.cmake)
include(CPack)

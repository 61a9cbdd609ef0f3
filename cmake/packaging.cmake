# Installation and the Debian package.
#
# `cmake --install <build>` puts the program in bin/, its man page, compressed, in
# share/man/man1/, and the README (with docs/WINDOWS.md, which it links), the changelog and the
# copyright in share/doc/quorvel/. In a build folder,
# `cpack -G DEB` makes quorvel_<version>_<arch>.deb, which installs to /usr and depends on a
# 7-Zip archiver.
include(GNUInstallDirs)

# Debian policy: man pages are gzip-compressed, and -n keeps the time stamp out so that
# rebuilds give the same bytes.
set(QUORVEL_MAN_PAGE ${PROJECT_SOURCE_DIR}/quorvel.1)
set(QUORVEL_MAN_PAGE_GZ ${PROJECT_BINARY_DIR}/quorvel.1.gz)
add_custom_command(OUTPUT ${QUORVEL_MAN_PAGE_GZ}
                   COMMAND gzip -9 -n -c ${QUORVEL_MAN_PAGE} > ${QUORVEL_MAN_PAGE_GZ}
                   DEPENDS ${QUORVEL_MAN_PAGE}
                   COMMENT "Compressing the man page")
install(FILES ${QUORVEL_MAN_PAGE_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# Debian policy for every package: the changelog (for a native package, changelog.gz, also
# compressed without a time stamp) and a machine-readable copyright file. Both name the
# maintainer, so they are filled in from the cache variable above.
set(QUORVEL_DOC_FOLDER ${CMAKE_INSTALL_DATAROOTDIR}/doc/quorvel)
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/changelog.in
               ${PROJECT_BINARY_DIR}/debian/changelog @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/copyright.in
               ${PROJECT_BINARY_DIR}/debian/copyright @ONLY)
set(QUORVEL_CHANGELOG_GZ ${PROJECT_BINARY_DIR}/debian/changelog.gz)
add_custom_command(OUTPUT ${QUORVEL_CHANGELOG_GZ}
                   COMMAND gzip -9 -n -c ${PROJECT_BINARY_DIR}/debian/changelog
                           > ${QUORVEL_CHANGELOG_GZ}
                   DEPENDS ${PROJECT_BINARY_DIR}/debian/changelog
                   COMMENT "Compressing the changelog")
add_custom_target(quorvel_package_documents ALL
                  DEPENDS ${QUORVEL_MAN_PAGE_GZ} ${QUORVEL_CHANGELOG_GZ})
install(FILES ${QUORVEL_CHANGELOG_GZ} ${PROJECT_BINARY_DIR}/debian/copyright
        DESTINATION ${QUORVEL_DOC_FOLDER})
# The README, with the security warning and what the program promises, beside them, and the
# page it links, at the same place relative to it as in the sources, so that its links lead
# somewhere once installed.
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${QUORVEL_DOC_FOLDER})
install(FILES ${PROJECT_SOURCE_DIR}/docs/WINDOWS.md DESTINATION ${QUORVEL_DOC_FOLDER}/docs)

# A stripped install (CPack's, or `cmake --install --strip`) also drops the compiler's
# version notes, as Debian's own packaging does. The program's install rule, in app/, runs
# before this one.
if(CMAKE_OBJCOPY)
  install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
      execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
                              --remove-section=.note
                              \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/quorvel\"
                      COMMAND_ERROR_IS_FATAL ANY)
    endif()")
endif()

set(CPACK_PACKAGE_NAME quorvel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "file encryption with a password, packing with 7-Zip")
set(CPACK_PACKAGE_CONTACT "${QUORVEL_PACKAGE_MAINTAINER}")
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The long description; CPack puts the summary above it and indents it as Debian wants.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "quorvel encrypts a file or a folder with a password, optionally with a key
file, and decrypts it again; it tells the two apart by itself. The data is
packed with the 7-Zip archiver before it is encrypted, and extracted with it
after decryption.

The cipher is the program's own construction and has not been reviewed.")
# The archiver is found on PATH at run time: Debian's 7zip gives 7zz, p7zip-full gives 7z.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "7zip | p7zip-full")
# The C and C++ runtime libraries the binary links against, as dpkg-shlibdeps finds them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

include(CPack)

# The Windows release archive. In a build folder of the windows preset, `cpack -G ZIP` makes
# quorvel-<version>-windows-x64.zip, whose one folder of the same name holds quorvel.exe (put
# there by app/), README.md, the manual as plain text (quorvel-manual.txt, rendered with groff
# on the build machine) and docs/WINDOWS.md.
find_program(QUORVEL_GROFF groff)
if(NOT QUORVEL_GROFF)
  message(WARNING "No groff: the Windows release archive will lack quorvel-manual.txt "
                  "(Debian's groff-base has it)")
else()
  set(QUORVEL_MANUAL_TEXT ${PROJECT_BINARY_DIR}/quorvel-manual.txt)
  add_custom_command(OUTPUT ${QUORVEL_MANUAL_TEXT}
                     COMMAND ${CMAKE_COMMAND} -DGROFF=${QUORVEL_GROFF}
                             -DPAGE=${PROJECT_SOURCE_DIR}/quorvel.1
                             -DOUTPUT=${QUORVEL_MANUAL_TEXT}
                             -P ${PROJECT_SOURCE_DIR}/cmake/manual_text.cmake
                     DEPENDS ${PROJECT_SOURCE_DIR}/quorvel.1
                             ${PROJECT_SOURCE_DIR}/cmake/manual_text.cmake
                     COMMENT "Rendering the manual as text")
  add_custom_target(quorvel_manual_text ALL DEPENDS ${QUORVEL_MANUAL_TEXT})
  install(FILES ${QUORVEL_MANUAL_TEXT} DESTINATION .)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)
install(FILES ${PROJECT_SOURCE_DIR}/docs/WINDOWS.md DESTINATION docs)

set(CPACK_PACKAGE_NAME quorvel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME quorvel-${PROJECT_VERSION}-windows-x64)
set(CPACK_GENERATOR ZIP)
set(CPACK_STRIP_FILES ON)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)

include(CPack)

# Installing and packaging. `cmake --install` puts the programs in place; CPack makes the
# Debian package from the native build and the zip from the Windows build (the deb and zip
# package presets, or tools/package.sh for both).
include(GNUInstallDirs)

set(CPACK_PACKAGE_NAME korvel7)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "KORVEL7 updater developers")
set(CPACK_PACKAGE_CONTACT "KORVEL7 updater developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware updater for KORVEL7 GPS receivers")
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  # The zip: both programs, the README, SHA256SUMS over all three. The programs are
  # signed first when a certificate and key are given (see the script).
  install(TARGETS KORVEL7Updater korvel7 RUNTIME DESTINATION .)
  install(FILES README.md DESTINATION .)
  install(CODE "set(KORVEL7_SIGNED_PROGRAMS KORVEL7Updater.exe korvel7.exe)")
  install(SCRIPT cmake/finish_zip.cmake)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
  # MinGW's strip would rewrite the files that the hardening test checked; Release
  # builds carry no debug information anyway.
  set(CPACK_STRIP_FILES OFF)
else()
  install(TARGETS korvel7 korvel7-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

  # Man pages from each program's --help and --version, made by running the programs.
  find_program(KORVEL7_HELP2MAN help2man REQUIRED)
  set(man_pages)
  foreach(program korvel7 korvel7-sim)
    set(page "${PROJECT_BINARY_DIR}/man/${program}.1")
    set(include "${PROJECT_SOURCE_DIR}/dist/${program}.h2m")
    add_custom_command(
      OUTPUT "${page}.gz"
      COMMAND "${KORVEL7_HELP2MAN}" --no-info --include "${include}" --output "${page}"
              $<TARGET_FILE:${program}>
      COMMAND gzip -9nf "${page}"
      DEPENDS ${program} "${include}"
      COMMENT "Writing the man page of ${program}")
    list(APPEND man_pages "${page}.gz")
  endforeach()
  add_custom_target(man_pages ALL DEPENDS ${man_pages})
  install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

  # Each program writes its own bash completion from the table its options are parsed by.
  set(completions)
  foreach(program korvel7 korvel7-sim)
    set(completion "${PROJECT_BINARY_DIR}/completions/${program}")
    add_custom_command(
      OUTPUT "${completion}"
      COMMAND sh -c "\"$1\" --bash-completion >\"$2\"" sh $<TARGET_FILE:${program}> "${completion}"
      DEPENDS ${program}
      COMMENT "Writing the bash completion of ${program}"
      VERBATIM)
    list(APPEND completions "${completion}")
  endforeach()
  add_custom_target(completions ALL DEPENDS ${completions})
  install(FILES ${completions} DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
  install(FILES README.md dist/70-korvel7.rules.example DESTINATION ${CMAKE_INSTALL_DOCDIR})

  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "korvel7 installs new firmware into a KORVEL7 GPS receiver over its USB virtual serial
port, writes its device address and lists the machine's serial ports. korvel7-sim is a
virtual receiver on a pseudo-terminal, to try the tool without a receiver.")
endif()

include(CPack)

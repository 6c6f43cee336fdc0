# Installing and packaging. POSIX: the program, its manual page, the README
# and the JSON Schema of FILES.JSON, in the places GNUInstallDirs gives, and
# a .deb through CPack. Windows: the program
# with the README and the licence side by side, in a zip.
include(GNUInstallDirs)

if(WIN32)
  install(TARGETS tabulon RUNTIME DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
          DESTINATION .)
else()
  install(TARGETS tabulon RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # The page names the version it documents.
  configure_file(${PROJECT_SOURCE_DIR}/man/tabulon.1.in
                 ${PROJECT_BINARY_DIR}/man/tabulon.1 @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/man/tabulon.1
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/tabulon RENAME copyright)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md
                ${PROJECT_SOURCE_DIR}/docs/files-json.schema.json
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/tabulon)
endif()

set(CPACK_PACKAGE_NAME tabulon)
set(CPACK_PACKAGE_VENDOR "Tabulon developers")
set(CPACK_PACKAGE_CONTACT "Tabulon developers <developers@tabulon.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "HTML file listings of a directory tree with FILES.BBS descriptions")
set(CPACK_PACKAGE_DESCRIPTION
    "Tabulon walks a directory tree and writes FILES.HTM pages that list \
every file with a link, its size, its date and the description that the \
directory's FILES.BBS or DESCRIPT.ION gives it (code page 866, \
windows-1251, KOI8-R, UTF-8 or UTF-16). Pages are written in windows-1251 \
or UTF-8, with a FILES.JSON beside each for programs if asked.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME windows-x86_64)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  # The libraries the program links, found by dpkg-shlibdeps when dpkg-dev
  # is there; else the C library (the C++ runtime is linked in, where the
  # linker can).
  find_program(TABULON_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(TABULON_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    if(TABULON_HAS_STATIC_LIBSTDCXX)
      set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6")
    else()
      set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6")
    endif()
  endif()
endif()
include(CPack)

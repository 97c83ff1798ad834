# What `cmake --install` puts in place, and the Debian package that `cpack -G DEB` makes of it.
include(GNUInstallDirs)

# Debian wants manual pages compressed, without a timestamp, so that packages build the same twice.
set(OSTREL_MAN_GZ ${CMAKE_CURRENT_BINARY_DIR}/ostrel_32bit.1.gz)
add_custom_command(OUTPUT ${OSTREL_MAN_GZ}
  COMMAND sh -c "gzip -9nc \"$0\" >\"$1\"" ${PROJECT_SOURCE_DIR}/man/ostrel_32bit.1 ${OSTREL_MAN_GZ}
  DEPENDS ${PROJECT_SOURCE_DIR}/man/ostrel_32bit.1 VERBATIM)
set(OSTREL_CHANGELOG_GZ ${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian.gz)
add_custom_command(OUTPUT ${OSTREL_CHANGELOG_GZ}
  COMMAND sh -c "gzip -9nc \"$0\" >\"$1\"" ${PROJECT_SOURCE_DIR}/packaging/changelog.Debian ${OSTREL_CHANGELOG_GZ}
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog.Debian VERBATIM)
add_custom_target(compressed_docs ALL DEPENDS ${OSTREL_MAN_GZ} ${OSTREL_CHANGELOG_GZ})

set(OSTREL_PACKAGE_NAME ostrel-32bit)  # Debian package names take no underscore
set(OSTREL_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/${OSTREL_PACKAGE_NAME})
install(TARGETS ostrel_32bit RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${OSTREL_MAN_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES LICENSE DESTINATION ${OSTREL_DOC_DIR} RENAME copyright)
install(FILES ${OSTREL_CHANGELOG_GZ} DESTINATION ${OSTREL_DOC_DIR})
if(OSTREL_STATIC)
  install(FILES packaging/lintian-overrides-static DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
    RENAME ${OSTREL_PACKAGE_NAME})
endif()

set(CPACK_PACKAGE_NAME ${OSTREL_PACKAGE_NAME})
set(CPACK_PACKAGE_CONTACT "ostrel_32bit maintainers <maintainers@ostrel.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "repair the sizes in the header of WAVE files, in place")
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION  # lines kept under 80 columns, as Debian asks
  "Recorders and editors that crash mid-take leave WAVE files whose data size"
  "reads 0, FF FF FF FF or a stale value, so that players refuse them or play"
  "only part of them. ostrel_32bit finds the data chunk of each file, checks"
  "the stored sizes against the file's own structure and, only when that shows"
  "they are wrong, writes the right sizes in place: a few bytes, no copy."
  "Healthy files and files of other formats are never written. RF64 and BW64"
  "files are repaired too, and a RIFF take past 4 GiB with room for it is"
  "converted to RF64. It checks any number of files, or a list of up to 512,"
  "and --check says what it would do without writing.")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# The host's architecture is no guide in a cross build.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(arm|armv7.*)$")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(powerpc|ppc)$")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE powerpc)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
endif()
# A dynamic build depends on the C and C++ libraries it was linked against; a static one on none.
if(NOT OSTREL_STATIC AND NOT CMAKE_CROSSCOMPILING)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
include(CPack)

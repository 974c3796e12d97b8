# What an installed Quintrel holds besides the two programs, and the Debian package made of it
# (tools/package: cpack -G DEB in a Release build).

include(GNUInstallDirs)

install(FILES data/quintrel.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES data/quintrel.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
foreach(size 48 256)
  install(FILES data/icons/quintrel-${size}.png
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps RENAME quintrel.png)
endforeach()
install(FILES data/org.quintrel.Quintrel.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

# Manual pages and the changelog go compressed, without a time stamp in the gzip header, so
# the same sources give the same package.
set(packed_dir ${CMAKE_CURRENT_BINARY_DIR}/packed)
set(packed_files)
foreach(item "data/man/quintrel.1|quintrel.1.gz" "data/man/quintrel-pd.1|quintrel-pd.1.gz"
             "data/package/changelog|changelog.gz")
  string(REPLACE "|" ";" pair "${item}")
  list(GET pair 0 source)
  list(GET pair 1 packed)
  add_custom_command(OUTPUT ${packed_dir}/${packed}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${packed_dir}
    COMMAND gzip -9n -c ${CMAKE_CURRENT_SOURCE_DIR}/${source} > ${packed_dir}/${packed}
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${source} VERBATIM)
  list(APPEND packed_files ${packed_dir}/${packed})
endforeach()
add_custom_target(packed_docs ALL DEPENDS ${packed_files})
install(FILES ${packed_dir}/quintrel.1.gz ${packed_dir}/quintrel-pd.1.gz
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES data/package/copyright ${packed_dir}/changelog.gz
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/quintrel)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quintrel)
set(CPACK_PACKAGE_VENDOR "Quintrel developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "control panel for OSDP access-control readers")
# Lines of at most 80 characters, as Debian's control files want them.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "Quintrel plays the control panel on an OSDP bus of card readers, through a"
  "serial port or over TCP. It polls the chosen addresses and shows their state,"
  "sends the standard OSDP commands, logs and decodes every frame, opens the"
  "secure channel, transfers files and updates one maker's readers."
  "The simulated reader line quintrel-pd comes with it.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Quintrel developers <quintrel@example.org>")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "ieee-data")
include(CPack)

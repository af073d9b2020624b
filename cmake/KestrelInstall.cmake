# SPDX-License-Identifier: GPL-3.0-or-later
# What `cmake --install` puts in place beside the three programs (the language files are
# installed by data/lang): the desktop entry and its icons, AppStream data, manual pages and
# systemd user units. The application id names the desktop entry, the icon and the metainfo.
set(KESTREL_APP_ID org.example.kestrel)
set(KESTREL_DATA ${PROJECT_SOURCE_DIR}/data)

install(FILES ${KESTREL_DATA}/${KESTREL_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
configure_file(${KESTREL_DATA}/${KESTREL_APP_ID}.metainfo.xml ${KESTREL_APP_ID}.metainfo.xml @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${KESTREL_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

# The icon, drawn at build time from the tray's own picture.
set(KESTREL_ICON_SIZES 16 22 24 32 48 64 128 256)
set(KESTREL_ICON_DIR ${CMAKE_CURRENT_BINARY_DIR}/icons)
set(KESTREL_ICON_FILES ${KESTREL_ICON_DIR}/scalable.svg)
foreach(size IN LISTS KESTREL_ICON_SIZES)
  list(APPEND KESTREL_ICON_FILES ${KESTREL_ICON_DIR}/${size}.png)
endforeach()
add_custom_command(OUTPUT ${KESTREL_ICON_FILES}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${KESTREL_ICON_DIR}
  COMMAND kestrel-icons ${KESTREL_ICON_DIR}
  DEPENDS kestrel-icons
  COMMENT "Drawing the application icon")
add_custom_target(kestrel_icons ALL DEPENDS ${KESTREL_ICON_FILES})
install(FILES ${KESTREL_ICON_DIR}/scalable.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
        RENAME ${KESTREL_APP_ID}.svg)
foreach(size IN LISTS KESTREL_ICON_SIZES)
  install(FILES ${KESTREL_ICON_DIR}/${size}.png DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
          RENAME ${KESTREL_APP_ID}.png)
endforeach()

# Manual pages and the changelog go in compressed, as Debian's policy asks: gzip -9n stores neither
# name nor time, so the same sources give the same bytes.
find_program(KESTREL_GZIP gzip REQUIRED)
set(KESTREL_GZIPPED)
foreach(page kestrel kestrel-ports quillon)
  configure_file(${KESTREL_DATA}/man/${page}.1 man/${page}.1 @ONLY)
  list(APPEND KESTREL_GZIPPED man/${page}.1)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/man/${page}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
configure_file(${KESTREL_DATA}/changelog doc/changelog COPYONLY)
list(APPEND KESTREL_GZIPPED doc/changelog)
set(KESTREL_GZIP_OUTPUTS)
foreach(file IN LISTS KESTREL_GZIPPED)
  add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/${file}.gz
    COMMAND ${KESTREL_GZIP} -9nkf ${CMAKE_CURRENT_BINARY_DIR}/${file}
    DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/${file} VERBATIM)
  list(APPEND KESTREL_GZIP_OUTPUTS ${CMAKE_CURRENT_BINARY_DIR}/${file}.gz)
endforeach()
add_custom_target(kestrel_gzipped ALL DEPENDS ${KESTREL_GZIP_OUTPUTS})

# The licence in the machine-readable form, and the changelog, where Debian looks for them.
set(KESTREL_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/kestrel)
install(FILES ${KESTREL_DATA}/copyright ${CMAKE_CURRENT_BINARY_DIR}/doc/changelog.gz DESTINATION ${KESTREL_DOC_DIR})

# systemd user units, in the folder systemd's pkg-config file names, taken below our own prefix:
#   systemctl --user enable --now kestrel-ports kestrel-headless
find_package(PkgConfig QUIET)
set(KESTREL_USER_UNIT_DIR ${CMAKE_INSTALL_PREFIX}/lib/systemd/user)
if(PKG_CONFIG_FOUND)
  execute_process(
    COMMAND ${PKG_CONFIG_EXECUTABLE} --define-variable=prefix=${CMAKE_INSTALL_PREFIX} --variable=systemduserunitdir systemd
    OUTPUT_VARIABLE unit_dir OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE unit_dir_result)
  if(unit_dir_result EQUAL 0 AND unit_dir)
    set(KESTREL_USER_UNIT_DIR ${unit_dir})
  endif()
endif()
set(KESTREL_PATH ${CMAKE_INSTALL_FULL_BINDIR}/kestrel)
set(KESTREL_PORTS_PATH ${CMAKE_INSTALL_FULL_BINDIR}/kestrel-ports)
configure_file(${KESTREL_DATA}/kestrel-ports.service.in kestrel-ports.service @ONLY)
configure_file(${KESTREL_DATA}/kestrel-headless.service.in kestrel-headless.service @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kestrel-ports.service ${CMAKE_CURRENT_BINARY_DIR}/kestrel-headless.service
        DESTINATION ${KESTREL_USER_UNIT_DIR})

# SPDX-License-Identifier: GPL-3.0-or-later
# What `cmake --install` puts in place, and the Debian package CPack makes of
# it. The programs look for PREFIX/share/doc/merovan beside PREFIX/bin to know
# they run installed, so the data directories stay under PREFIX/share.
include(GNUInstallDirs)

set(merovan_doc_dir ${CMAKE_INSTALL_DATADIR}/doc/merovan)
set(merovan_generated ${PROJECT_BINARY_DIR}/generated)
file(MAKE_DIRECTORY ${merovan_generated})

install(TARGETS merovan-cli merovan-devsim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(MEROVAN_BUILD_GUI)
  install(TARGETS merovan RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

install(FILES ${PROJECT_SOURCE_DIR}/docs/user-guide.html ${PROJECT_SOURCE_DIR}/packaging/copyright
        DESTINATION ${merovan_doc_dir})

find_program(MEROVAN_GZIP gzip)

# Man pages carry the version from here; gzip -n keeps the package
# reproducible (no time stamp in the archive).
set(merovan_man_pages)
set(merovan_data_outputs)
foreach(page merovan merovan-cli merovan-devsim)
  set(VERSION ${PROJECT_VERSION})
  configure_file(${PROJECT_SOURCE_DIR}/docs/man/${page}.1 ${merovan_generated}/man/${page}.1 @ONLY)
  if(MEROVAN_GZIP)
    add_custom_command(OUTPUT ${merovan_generated}/man/${page}.1.gz
                       COMMAND ${MEROVAN_GZIP} -9nc ${merovan_generated}/man/${page}.1 > ${merovan_generated}/man/${page}.1.gz
                       DEPENDS ${merovan_generated}/man/${page}.1
                       VERBATIM)
    list(APPEND merovan_man_pages ${merovan_generated}/man/${page}.1.gz)
  else()
    list(APPEND merovan_man_pages ${merovan_generated}/man/${page}.1)
  endif()
endforeach()

if(MEROVAN_GZIP)
  add_custom_command(OUTPUT ${merovan_generated}/changelog.gz
                     COMMAND ${MEROVAN_GZIP} -9nc ${PROJECT_SOURCE_DIR}/packaging/changelog > ${merovan_generated}/changelog.gz
                     DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog
                     VERBATIM)
  list(APPEND merovan_data_outputs ${merovan_generated}/changelog.gz)
  install(FILES ${merovan_generated}/changelog.gz DESTINATION ${merovan_doc_dir})
else()
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/changelog DESTINATION ${merovan_doc_dir})
endif()
install(FILES ${merovan_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

if(MEROVAN_BUILD_GUI)
  install(FILES ${PROJECT_SOURCE_DIR}/src/resources/merovan.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  configure_file(${PROJECT_SOURCE_DIR}/src/resources/merovan.metainfo.xml.in
                 ${merovan_generated}/merovan.metainfo.xml @ONLY)
  install(FILES ${merovan_generated}/merovan.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
  install(FILES ${PROJECT_SOURCE_DIR}/src/resources/merovan.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

  # The bitmap sizes menus and docks ask for, drawn from the SVG.
  find_program(MEROVAN_RSVG_CONVERT rsvg-convert)
  if(MEROVAN_RSVG_CONVERT)
    foreach(size 16 24 32 48 64 128 256)
      set(png ${merovan_generated}/icons/${size}x${size}/merovan.png)
      add_custom_command(OUTPUT ${png}
                         COMMAND ${CMAKE_COMMAND} -E make_directory ${merovan_generated}/icons/${size}x${size}
                         COMMAND ${MEROVAN_RSVG_CONVERT} -w ${size} -h ${size} -o ${png}
                                 ${PROJECT_SOURCE_DIR}/src/resources/merovan.svg
                         DEPENDS ${PROJECT_SOURCE_DIR}/src/resources/merovan.svg
                         VERBATIM)
      list(APPEND merovan_data_outputs ${png})
      install(FILES ${png} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
    endforeach()
  else()
    message(STATUS "rsvg-convert not found: only the scalable icon is installed")
  endif()
endif()

add_custom_target(merovan_install_data ALL DEPENDS ${merovan_man_pages} ${merovan_data_outputs})

# ---- Debian package ---------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME merovan)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Merovan developers")
set(CPACK_PACKAGE_CONTACT "Merovan maintainers <maintainers@users.noreply.c-seed-6c6f3b7a.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "serial terminal for microcontroller boards")
# CPack puts the summary first and indents these lines itself; an empty
# line becomes the " ." paragraph break.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Merovan is a desktop serial-port terminal for engineers who build small
microcontroller boards and talk to them over RS-232 or USB serial.

Besides a fast terminal with session logs, timestamps, a hex view, port
identities, hot-plug and auto-reconnect, it uploads text line by line,
sends binary files, converts pictures and fonts for the device, loads
applications through the device's boot loader, runs scripts, and sends and
receives files by XMODEM, YMODEM and ZMODEM.

The package also holds merovan-cli, every transfer from the command line,
and merovan-devsim, a simulated device on a pseudo-terminal.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_SOURCE_IGNORE_FILES "/build.*/;/\\\\.git/")
include(CPack)

# What `cmake --install` puts where, and the Debian package built from it.
#   bin/lentora                                the program
#   share/lentora/Graphics/                    button strips and pane headers
#   share/applications/lentora.desktop         the menu entry
#   share/icons/hicolor/NxN/apps/lentora.png   the application icon
#   share/man/man1/lentora.1                   the command's usage

install(TARGETS lentora RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The manual page is made from the README's section on the command.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(LENTORA_MANPAGE ${CMAKE_BINARY_DIR}/man/lentora.1)
add_custom_command(
  OUTPUT ${LENTORA_MANPAGE}
  COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/scripts/make_manpage.py
          ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_VERSION} ${LENTORA_MANPAGE}
  DEPENDS ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/scripts/make_manpage.py
  COMMENT "Writing the manual page")
add_custom_target(lentora_manpage ALL DEPENDS ${LENTORA_MANPAGE})
install(FILES ${LENTORA_MANPAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

add_custom_target(lentora_installables DEPENDS lentora lentora_manpage)

if(LENTORA_BUILD_GUI)
  # make_graphics draws the button graphics beside the executable, and the
  # application icon in the sizes desktops look for.
  set(LENTORA_GRAPHICS_DIR $<TARGET_FILE_DIR:lentora>/Graphics)
  set(LENTORA_ICON_DIR ${CMAKE_BINARY_DIR}/icons)
  add_custom_command(
    OUTPUT ${LENTORA_ICON_DIR}/icons.stamp
    COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen $<TARGET_FILE:make_graphics> --icons ${LENTORA_ICON_DIR}/hicolor
    COMMAND ${CMAKE_COMMAND} -E touch ${LENTORA_ICON_DIR}/icons.stamp
    DEPENDS make_graphics
    COMMENT "Drawing the application icon")
  add_custom_target(lentora_icons ALL DEPENDS ${LENTORA_ICON_DIR}/icons.stamp)
  add_dependencies(lentora_installables lentora_icons)
  install(DIRECTORY ${LENTORA_GRAPHICS_DIR} DESTINATION ${CMAKE_INSTALL_DATADIR}/lentora)
  install(FILES ${PROJECT_SOURCE_DIR}/dist/lentora.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(DIRECTORY ${LENTORA_ICON_DIR}/hicolor DESTINATION ${CMAKE_INSTALL_DATADIR}/icons)
endif()

# Debian package: scripts/package.sh runs cpack on a Release build.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME lentora)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Lentora developers <lentora@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Camera calibration workbench")
set(CPACK_PACKAGE_DESCRIPTION
    "Collect views of a planar chequerboard, mark the grid, calibrate one camera or a stereo rig, and keep the workspace as plain-text files with JPEG views.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Libraries the program loads at run time rather than links: Qt's platform and
# image plugins, the GStreamer plugins of the media graphs, Mesa's OpenGL drivers.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "qt6-qpa-plugins, qt6-image-formats-plugins, gstreamer1.0-plugins-base, gstreamer1.0-plugins-good, gstreamer1.0-plugins-ugly, gstreamer1.0-libav, libgl1-mesa-dri")
include(CPack)

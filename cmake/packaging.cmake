# Install rules and packages: on Linux the program, the README, the systemd
# units and the default options file, packed by CPack into a .deb; for
# Windows (the MinGW cross-build) gameserver.exe and the README in a .zip, and
# an installer (.msi) that registers the service (cmake/msi.cmake).
include(GNUInstallDirs)

# Installing and packing need only the server, not the tests.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(CPACK_PACKAGE_NAME gameserver)
set(CPACK_PACKAGE_VENDOR "gameserver developers")
set(CPACK_PACKAGE_CONTACT "gameserver developers <gameserver@example.net>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "dedicated server for a networked multiplayer music game")
set(CPACK_PACKAGE_DESCRIPTION "Game clients connect over TCP, log in and share one lobby with a host \
who picks the song. The server relays their traffic, keeps the lobby state and takes operator \
commands on its console. It runs as a systemd service, or as several, each with a console FIFO.")
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}/packages")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  install(TARGETS gameserver RUNTIME DESTINATION .)
  install(FILES README.md DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "gameserver-${PROJECT_VERSION}-win64")
  # And the installer, which registers the service: `cmake --build . --target msi`.
  include(${CMAKE_CURRENT_LIST_DIR}/msi.cmake)
  if(NOT GAMESERVER_MSI_MISSING)
    gameserver_msi(msi ${PROJECT_VERSION} ${CMAKE_BINARY_DIR}/packages/gameserver-${PROJECT_VERSION}-x64.msi)
  endif()
else()
  install(TARGETS gameserver gameserver-probe RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(CODE "
    set(GAMESERVER_PACKAGING \"${CMAKE_CURRENT_SOURCE_DIR}/packaging\")
    set(GAMESERVER_STAGE \"${CMAKE_CURRENT_BINARY_DIR}/packaging\")
    set(GAMESERVER_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
    set(GAMESERVER_DOCDIR \"${CMAKE_INSTALL_DOCDIR}\")")
  install(SCRIPT ${CMAKE_CURRENT_SOURCE_DIR}/cmake/install_system_files.cmake)

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # The libraries the program links, as dpkg-shlibdeps finds them; where that
  # tool (dpkg-dev) or file(1) is missing, the ones a g++ build needs.
  find_program(GAMESERVER_SHLIBDEPS dpkg-shlibdeps)
  find_program(GAMESERVER_FILE file)
  if(GAMESERVER_SHLIBDEPS AND GAMESERVER_FILE)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libgcc-s1, libstdc++6")
  endif()
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
      ${CMAKE_CURRENT_SOURCE_DIR}/packaging/deb/conffiles
      ${CMAKE_CURRENT_SOURCE_DIR}/packaging/deb/postinst
      ${CMAKE_CURRENT_SOURCE_DIR}/packaging/deb/prerm
      ${CMAKE_CURRENT_SOURCE_DIR}/packaging/deb/postrm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

include(CPack)

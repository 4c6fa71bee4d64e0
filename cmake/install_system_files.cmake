# Installs the systemd units and the default options file. Runs at install
# time, where CMAKE_INSTALL_PREFIX is the prefix the files really get (also
# under CPack, which installs with prefix /usr into a staging DESTDIR), so the
# units name the paths the package puts the files at.
# Set before by the install rules: GAMESERVER_PACKAGING (the templates),
# GAMESERVER_STAGE (a scratch folder), GAMESERVER_BINDIR, GAMESERVER_DOCDIR.

# Configuration goes to /etc for the system's own prefix, else below the prefix.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(sysconfdir /etc)
else()
  set(sysconfdir "${CMAKE_INSTALL_PREFIX}/etc")
endif()
set(GAMESERVER_BIN "${CMAKE_INSTALL_PREFIX}/${GAMESERVER_BINDIR}/gameserver")
set(GAMESERVER_DOCDIR "${CMAKE_INSTALL_PREFIX}/${GAMESERVER_DOCDIR}")
set(GAMESERVER_DEFAULTS "${sysconfdir}/default/gameserver")
set(GAMESERVER_CONFDIR "${sysconfdir}/gameserver")
file(READ "${GAMESERVER_PACKAGING}/service-common.conf" GAMESERVER_SERVICE_COMMON)
string(STRIP "${GAMESERVER_SERVICE_COMMON}" GAMESERVER_SERVICE_COMMON)

set(units gameserver.service gameserver.socket gameserver@.service gameserver@.socket)
set(configured)
foreach(unit IN LISTS units)
  configure_file("${GAMESERVER_PACKAGING}/${unit}.in" "${GAMESERVER_STAGE}/${unit}" @ONLY)
  list(APPEND configured "${GAMESERVER_STAGE}/${unit}")
endforeach()
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/system" TYPE FILE FILES ${configured})

# An operator's edited options survive a reinstall from source; the package
# manager looks after them in the .deb (a conffile).
if(EXISTS "$ENV{DESTDIR}${GAMESERVER_DEFAULTS}")
  message(STATUS "Keeping: $ENV{DESTDIR}${GAMESERVER_DEFAULTS}")
else()
  file(INSTALL "${GAMESERVER_PACKAGING}/gameserver.default" DESTINATION "${sysconfdir}/default"
       RENAME gameserver)
endif()

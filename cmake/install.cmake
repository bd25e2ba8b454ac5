# Installation and packaging of the node: the program, its systemd unit and
# settings file, the manual page and the dashboard page, and a Debian package
# built with `cpack -G DEB` in the build folder.
include(GNUInstallDirs)

install(TARGETS pim-node RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The manual page is installed compressed, as Debian wants it; man reads it so.
find_program(PIM_GZIP gzip REQUIRED)
set(pim_man_page "${PROJECT_BINARY_DIR}/man/pim-node.8")
add_custom_command(
  OUTPUT "${pim_man_page}.gz"
  COMMAND ${CMAKE_COMMAND} -E copy "${PROJECT_SOURCE_DIR}/man/pim-node.8"
          "${pim_man_page}"
  COMMAND ${PIM_GZIP} -9 -n -f "${pim_man_page}"
  DEPENDS "${PROJECT_SOURCE_DIR}/man/pim-node.8"
  COMMENT "Compressing the manual page"
  VERBATIM)
add_custom_target(pim_man_page ALL DEPENDS "${pim_man_page}.gz")
install(FILES "${pim_man_page}.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man8")

install(FILES "${PROJECT_SOURCE_DIR}/web/dashboard.html"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/pim-node")

# The unit and the settings file are placed at install time, so that a
# --prefix given to `cmake --install` moves them and the paths inside the
# unit together. The unit as written names /usr/bin/pim-node and
# /etc/default/pim-node; both are rewritten for the prefix in use. Under the
# prefix /usr the settings file goes to /etc/default, elsewhere to
# PREFIX/etc/default; the unit goes to PREFIX/lib/systemd/system, which
# systemd searches for /usr and /usr/local.
install(CODE "
  set(pim_unit_source \"${PROJECT_SOURCE_DIR}/dist/pim-node.service\")
  set(pim_default_source \"${PROJECT_SOURCE_DIR}/dist/pim-node.default\")
  set(pim_bindir \"${CMAKE_INSTALL_BINDIR}\")
  set(pim_unit_staging \"${PROJECT_BINARY_DIR}/dist/pim-node.service\")
")
install(CODE [[
  if(CMAKE_INSTALL_PREFIX MATCHES "^/(usr/?)?$")
    set(pim_etc /etc)
  else()
    set(pim_etc "${CMAKE_INSTALL_PREFIX}/etc")
  endif()
  if(IS_ABSOLUTE "${pim_bindir}")
    set(pim_binary "${pim_bindir}/pim-node")
  else()
    set(pim_binary "${CMAKE_INSTALL_PREFIX}/${pim_bindir}/pim-node")
  endif()
  file(READ "${pim_unit_source}" pim_unit)
  string(REPLACE "ExecStart=/usr/bin/pim-node " "ExecStart=${pim_binary} "
         pim_unit "${pim_unit}")
  string(REPLACE "EnvironmentFile=-/etc/default/pim-node"
         "EnvironmentFile=-${pim_etc}/default/pim-node" pim_unit "${pim_unit}")
  file(WRITE "${pim_unit_staging}" "${pim_unit}")
  file(INSTALL "${pim_unit_staging}"
       DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/system"
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  file(INSTALL "${pim_default_source}" DESTINATION "${pim_etc}/default"
       RENAME pim-node
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
]])

# Debian package: pim-node_<version>_<arch>.deb, laid out under /usr with the
# settings file in /etc/default as a conffile. It starts nothing on install:
# the operator enables the service.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pim-node)
set(CPACK_PACKAGE_VERSION "${PIM_NODE_VERSION}")
set(CPACK_PACKAGE_CONTACT "pim-node developers <pim-node@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "local-network mesh agent that announces this machine and lists its peers")
# CPack puts the summary above this text as the description's first line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "pim-node runs once on every machine of a local network. It announces the
machine by UDP broadcast on port 47832 every 3 seconds, records the other
nodes of its room that it hears, and serves a JSON document listing itself,
its peers and their memory total on 127.0.0.1, TCP port 47833.
.
The package ships a hardened systemd unit (not enabled on install), its
settings file /etc/default/pim-node, the manual page pim-node(8) and a
dashboard page, /usr/share/pim-node/dashboard.html, that shows the mesh.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS hostname)
set(CPACK_STRIP_FILES ON)
# The install step runs with DESTDIR pointing at the staging folder and the
# real prefix, so that the paths written into the unit are the final ones.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
file(WRITE "${PROJECT_BINARY_DIR}/dist/conffiles" "/etc/default/pim-node\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${PROJECT_BINARY_DIR}/dist/conffiles")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/" "/node_modules/")
include(CPack)

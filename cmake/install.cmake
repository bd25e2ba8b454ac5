# Installation and packaging of the node: the program, its systemd unit and
# settings file, the manual page and the dashboard page, and a Debian package
# built with `cpack -G DEB` in the build folder.
include(GNUInstallDirs)

install(TARGETS pim-node RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The install scripts below find the program through pim_bindir, relative to
# the prefix given at install time unless it is absolute. A stripped install
# (the package's) also drops the compiler's .comment section, which nothing
# reads.
install(CODE "
  set(pim_bindir \"${CMAKE_INSTALL_BINDIR}\")
  set(pim_strip \"${CMAKE_STRIP}\")
")
install(CODE [[
  if(IS_ABSOLUTE "${pim_bindir}")
    set(pim_binary "${pim_bindir}/pim-node")
  else()
    set(pim_binary "${CMAKE_INSTALL_PREFIX}/${pim_bindir}/pim-node")
  endif()
  if(CMAKE_INSTALL_DO_STRIP)
    execute_process(
      COMMAND "${pim_strip}" --remove-section=.comment
              "$ENV{DESTDIR}${pim_binary}"
      RESULT_VARIABLE pim_strip_result)
    if(NOT pim_strip_result EQUAL 0)
      message(FATAL_ERROR "removing .comment from $ENV{DESTDIR}${pim_binary} failed")
    endif()
  endif()
]])

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

# The unit, its generator and the settings file are placed at install time,
# so that a --prefix given to `cmake --install` moves them and the paths
# inside them together. The unit as written names /usr/bin/pim-node and
# /etc/default/pim-node, the generator the settings file; each is rewritten
# for the prefix in use. Under the prefix /usr the settings file goes to
# /etc/default, elsewhere to PREFIX/etc/default; the unit goes to
# PREFIX/lib/systemd/system and the generator to
# PREFIX/lib/systemd/system-generators, which systemd searches for /usr and
# /usr/local.
install(CODE "
  set(pim_unit_source \"${PROJECT_SOURCE_DIR}/dist/pim-node.service\")
  set(pim_generator_source \"${PROJECT_SOURCE_DIR}/dist/pim-node-generator\")
  set(pim_default_source \"${PROJECT_SOURCE_DIR}/dist/pim-node.default\")
  set(pim_unit_staging \"${PROJECT_BINARY_DIR}/dist/pim-node.service\")
  set(pim_generator_staging \"${PROJECT_BINARY_DIR}/dist/pim-node-generator\")
")
install(CODE [[
  if(CMAKE_INSTALL_PREFIX MATCHES "^/(usr/?)?$")
    set(pim_etc /etc)
  else()
    set(pim_etc "${CMAKE_INSTALL_PREFIX}/etc")
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
  file(READ "${pim_generator_source}" pim_generator)
  string(REPLACE "\nsettings=/etc/default/pim-node\n"
         "\nsettings=${pim_etc}/default/pim-node\n" pim_generator "${pim_generator}")
  file(WRITE "${pim_generator_staging}" "${pim_generator}")
  file(INSTALL "${pim_generator_staging}"
       DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/system-generators"
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                        GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  file(INSTALL "${pim_default_source}" DESTINATION "${pim_etc}/default"
       RENAME pim-node
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
]])

# Debian package: pim-node_<version>-1_<arch>.deb, laid out under /usr with
# the settings file in /etc/default as a conffile. Its upstream version is
# the program's own (PIM_NODE_VERSION), its Debian revision 1. It starts
# nothing on install: the operator enables the service; the maintainer
# scripts only keep systemd's view of the unit current and stop the service
# before removal.
set(pim_deb_maintainer "pim-node developers <maintainers@pim-node.dev>")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pim-node)
set(CPACK_PACKAGE_VERSION "${PIM_NODE_VERSION}")
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_PACKAGE_CONTACT "${pim_deb_maintainer}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "local-network mesh agent that announces this machine and lists its peers")
# CPack puts the summary above this text as the description's first line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "pim-node runs once on every machine of a local network. It announces the
machine by UDP broadcast on port 47832 every 3 seconds, records the other
nodes of its room that it hears, and serves a JSON document listing itself,
its peers and their memory total on 127.0.0.1, TCP port 47833.
.
The package ships a hardened systemd unit (not enabled on install) with a
generator that hands the node an optional room key as a systemd credential,
its settings file /etc/default/pim-node, the manual page pim-node(8) and a
dashboard page, /usr/share/pim-node/dashboard.html, that shows the mesh.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The static program needs no shared library; a build linked dynamically
# gets the C and C++ runtimes as dependencies. The hostname command the node
# runs is in an Essential package, which packages do not depend on.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
# The install step runs with DESTDIR pointing at the staging folder and the
# real prefix, so that the paths written into the unit are the final ones.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

# The copyright file and the Debian changelog belong to the package only:
# they are a component that `cmake --install` leaves out and CPack adds.
set(PIM_NODE_DEB_VERSION "${PIM_NODE_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}")
set(pim_changelog "${PROJECT_BINARY_DIR}/dist/changelog.Debian")
configure_file("${PROJECT_SOURCE_DIR}/dist/changelog.in" "${pim_changelog}"
               @ONLY)
# -n keeps the name and time out of the header, so the file is reproducible.
add_custom_command(
  OUTPUT "${pim_changelog}.gz"
  COMMAND ${PIM_GZIP} -9 -n -f -k "${pim_changelog}"
  DEPENDS "${pim_changelog}"
  COMMENT "Compressing the Debian changelog"
  VERBATIM)
add_custom_target(pim_deb_changelog ALL DEPENDS "${pim_changelog}.gz")
install(FILES "${PROJECT_SOURCE_DIR}/dist/copyright" "${pim_changelog}.gz"
        DESTINATION "${CMAKE_INSTALL_DOCDIR}"
        COMPONENT debian EXCLUDE_FROM_ALL)
set(CPACK_INSTALL_CMAKE_PROJECTS
    "${PROJECT_BINARY_DIR};${PROJECT_NAME};ALL;/"
    "${PROJECT_BINARY_DIR};${PROJECT_NAME};debian;/")

# Control files: the conffile list and the maintainer scripts. The scripts
# call systemctl only for daemon-reload and otherwise use the helpers of
# init-system-helpers (an Essential package), as Debian's own packages do.
file(WRITE "${PROJECT_BINARY_DIR}/dist/conffiles" "/etc/default/pim-node\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${PROJECT_BINARY_DIR}/dist/conffiles"
    "${PROJECT_SOURCE_DIR}/dist/postinst"
    "${PROJECT_SOURCE_DIR}/dist/prerm"
    "${PROJECT_SOURCE_DIR}/dist/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/" "/node_modules/")
include(CPack)

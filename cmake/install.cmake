# Installation and packaging of the node.
include(GNUInstallDirs)
install(TARGETS pim-node RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

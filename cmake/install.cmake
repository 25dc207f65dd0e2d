# Installation rules.
include(GNUInstallDirs)
install(TARGETS fernd RUNTIME DESTINATION "${CMAKE_INSTALL_SBINDIR}")

# Debian package: cpack -G DEB (from the build folder).
install(TARGETS quellmark-settings RUNTIME DESTINATION bin)
install(PROGRAMS packaging/quellmark.sh DESTINATION bin RENAME quellmark)
install(FILES packaging/quellmark.desktop DESTINATION share/applications)

set(CPACK_PACKAGE_NAME "quellmark")
set(CPACK_PACKAGE_VENDOR "Quellmark")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Purges the ATR_Log event log of a SQL Server database in chunks")
set(CPACK_PACKAGE_CONTACT "Quellmark developers <quellmark@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_GENERATOR "DEB")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "net")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The default build type carries debug information; the package does not.
set(CPACK_STRIP_FILES ON)
# The ODBC driver is loaded at run time, so no library dependency names it.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "tdsodbc, unixodbc")
include(CPack)

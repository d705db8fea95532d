# Debian package: cpack -G DEB (from the build folder).
set(QUELLMARK_MAINTAINER "Quellmark developers <developers@quellmark.org>")

# The newest entries of the release history and of the AppStream releases
# are the version of CMakeLists.txt.
file(STRINGS packaging/changelog changelog_head LIMIT_COUNT 1)
if(NOT changelog_head MATCHES "^quellmark \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog must begin with version ${PROJECT_VERSION}: ${changelog_head}")
endif()
file(READ packaging/org.quellmark.quellmark.metainfo.xml metainfo)
string(FIND "${metainfo}" "<release version=\"${PROJECT_VERSION}\"" release_at)
if(release_at EQUAL -1)
  message(FATAL_ERROR "packaging/org.quellmark.quellmark.metainfo.xml has no release ${PROJECT_VERSION}")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS packaging/changelog
                                                               packaging/org.quellmark.quellmark.metainfo.xml)

# The manual pages (with the version filled in) and the changelog go into
# the package compressed, without time stamps.
set(package_docs ${PROJECT_BINARY_DIR}/package-docs)
file(MAKE_DIRECTORY ${package_docs})
function(quellmark_gzip source gzipped)
  execute_process(COMMAND gzip -9 -n -c ${source} OUTPUT_FILE ${gzipped} RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "gzip could not compress ${source}")
  endif()
endfunction()
foreach(page quellmark quellmark-settings quellmark-purge)
  configure_file(docs/man/${page}.1.in ${package_docs}/${page}.1 @ONLY)
  quellmark_gzip(${package_docs}/${page}.1 ${package_docs}/${page}.1.gz)
endforeach()
quellmark_gzip(${PROJECT_SOURCE_DIR}/packaging/changelog ${package_docs}/changelog.gz)

install(TARGETS quellmark-settings quellmark-purge RUNTIME DESTINATION bin)
install(PROGRAMS packaging/quellmark.sh DESTINATION bin RENAME quellmark)
install(FILES packaging/quellmark.desktop DESTINATION share/applications)
install(FILES packaging/quellmark.svg DESTINATION share/icons/hicolor/scalable/apps)
install(FILES packaging/org.quellmark.quellmark.metainfo.xml DESTINATION share/metainfo)
install(FILES ${package_docs}/quellmark.1.gz ${package_docs}/quellmark-settings.1.gz ${package_docs}/quellmark-purge.1.gz
        DESTINATION share/man/man1)
install(FILES packaging/copyright ${package_docs}/changelog.gz DESTINATION share/doc/quellmark)
# The purge service and its timer, in the unit folder of Debian 12's own
# packages (systemd.pc's systemdsystemunitdir), and the example job: a
# conffile, every line of it a comment.
install(FILES packaging/systemd/quellmark-purge@.service packaging/systemd/quellmark-purge@.timer
        DESTINATION /lib/systemd/system)
install(FILES packaging/purge-example.conf DESTINATION /etc/quellmark/purge RENAME example.conf)
# The lock folder of quellmark-purge, made at every boot (and by the
# maintainer script at install).
install(FILES packaging/tmpfiles.conf DESTINATION lib/tmpfiles.d RENAME quellmark.conf)

set(CPACK_PACKAGE_NAME "quellmark")
set(CPACK_PACKAGE_VENDOR "Quellmark")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "purge the ATR_Log event log of a SQL Server database in chunks")
set(CPACK_PACKAGE_DESCRIPTION
    "Quellmark deletes rows of the table ATR_Log, the event log of a
network-monitoring installation, from a Microsoft SQL Server database. The
operator composes a DELETE TOP (n) statement from a template, edits its filter
values, counts the rows it matches, then deletes all of them in chunks of n
rows, with a short pause between chunks, a running figure of the rows left and
a Cancel button.

The connection settings are read from the settings file Sarnwick.mdb in
/usr/lib/quellmark. The command quellmark-settings writes that file, readable
by its owner or by the members of the system group quellmark only, and checks
it by connecting and counting the log from a terminal. The command
quellmark-purge runs the same chunked deletion unattended, for a scheduler.")
set(CPACK_PACKAGE_CONTACT "${QUELLMARK_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_GENERATOR "DEB")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "net")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The default build type carries debug information; the package does not.
set(CPACK_STRIP_FILES ON)
# The ODBC driver is loaded at run time, so no library dependency names it;
# the maintainer script creates the group quellmark with addgroup.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, tdsodbc, unixodbc")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${PROJECT_SOURCE_DIR}/packaging/postinst"
                                      "${PROJECT_SOURCE_DIR}/packaging/conffiles")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)

# A Debian package of what `cmake --install` installs, for a build configured
# with CMAKE_INSTALL_PREFIX=/usr (the "deb" preset): cpack -G DEB.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tallyquill)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(TALLYQUILL_DEB_MAINTAINER "Tallyquill developers <tallyquill@example.org>" CACHE STRING
    "The Maintainer field of the Debian package and its changelog")
set(CPACK_PACKAGE_CONTACT "${TALLYQUILL_DEB_MAINTAINER}")
# Each package's own summary line, then its description (CPack would put one
# summary on both).
set(CPACK_DEBIAN_UNSPECIFIED_DESCRIPTION "shared, database-backed activity log for desktop applications
Tallyquill gives applications one call per event that inserts a stamped row
into a table of an ODBC data source (SQLite embedded, PostgreSQL shared), a
Qt viewer to filter, page, archive and print that log, and the tallyquill
command to do the same from a shell or cron.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Two packages, as Debian has it: tallyquill (library, headers, command,
# documents) and python3-tallyquill (the Python package, over the first).
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL Unspecified python)
set(CPACK_DEBIAN_UNSPECIFIED_PACKAGE_NAME tallyquill)
set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-tallyquill)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "tallyquill (= ${PROJECT_VERSION}), python3:any")
set(CPACK_DEBIAN_PYTHON_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_DESCRIPTION "Python logging handler for the Tallyquill activity log
The Python package tallyquill: Logger.write() for one row per call, and a
logging.Handler that sends Python's log records to the shared log.")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries' own packages come from the binaries (dpkg-shlibdeps); the
# drivers are what the data sources name.
set(CPACK_DEBIAN_UNSPECIFIED_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_UNSPECIFIED_PACKAGE_DEPENDS "libsqliteodbc")
set(CPACK_DEBIAN_UNSPECIFIED_PACKAGE_SUGGESTS "odbc-postgresql, lnav")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
# The library's soname lives in this package: dpkg's ldconfig trigger runs
# once per install, and packages built against it depend on this one.
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/deb/control/triggers "activate-noawait ldconfig\n")
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/deb/control/shlibs "libtallyquill 0 tallyquill (>= ${PROJECT_VERSION})\n")
set(CPACK_DEBIAN_UNSPECIFIED_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_BINARY_DIR}/deb/control/triggers ${CMAKE_CURRENT_BINARY_DIR}/deb/control/shlibs)

# Debian's documentation files: the copyright and a compressed changelog.
string(TIMESTAMP TQ_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${CMAKE_CURRENT_LIST_DIR}/deb/changelog ${CMAKE_CURRENT_BINARY_DIR}/deb/changelog @ONLY)
add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/deb/changelog.gz
  COMMAND gzip -9nf -k ${CMAKE_CURRENT_BINARY_DIR}/deb/changelog
  DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/deb/changelog VERBATIM)
add_custom_target(tallyquill_deb_docs ALL DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/deb/changelog.gz)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/deb/copyright ${CMAKE_CURRENT_BINARY_DIR}/deb/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/deb/copyright ${CMAKE_CURRENT_BINARY_DIR}/deb/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/python3-tallyquill COMPONENT python)
include(CPack)

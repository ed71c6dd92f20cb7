# The Debian package: `cpack -G DEB` in the build folder writes
# kelvo_<version>_<arch>.deb with the programs, the plug-in, the schema files,
# the host's configuration (a conffile) and its systemd unit.
set(KELVO_PACKAGE_MAINTAINER "kelvo developers <kelvo@example.org>" CACHE STRING
  "Maintainer field and changelog signature of the Debian package")

install(FILES ${PROJECT_SOURCE_DIR}/db/sql/info.sql ${PROJECT_SOURCE_DIR}/db/sql/tenant.sql
  DESTINATION ${KELVO_SQL_INSTALL_DIR})
# Debian's places, not the prefix's: the configuration holds passwords, the
# maintainer script gives it to the service's group.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/kelvo-host.conf DESTINATION /etc/kelvo
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/kelvo-host.service DESTINATION /lib/systemd/system)

# Debian wants the copyright and a compressed changelog in the package's doc folder.
set(kelvo_doc_dir ${CMAKE_BINARY_DIR}/packaging/doc)
string(TIMESTAMP kelvo_changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
string(TIMESTAMP kelvo_year "%Y" UTC)
configure_file(${CMAKE_CURRENT_LIST_DIR}/changelog.in ${kelvo_doc_dir}/changelog @ONLY)
execute_process(COMMAND gzip -9nf ${kelvo_doc_dir}/changelog)
configure_file(${CMAKE_CURRENT_LIST_DIR}/copyright.in ${kelvo_doc_dir}/copyright @ONLY)
install(FILES ${kelvo_doc_dir}/copyright ${kelvo_doc_dir}/changelog.gz
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/kelvo)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kelvo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "attendance-terminal server: HTTP host, plug-in and tools")
set(CPACK_PACKAGE_DESCRIPTION "kelvo serves clock-in terminals of a time and attendance system over HTTP.
It stores persons, interruption types and clock events in MariaDB, with one
schema per tenant. The package holds the server kelvo-host with its plug-in
and systemd unit, the command-line terminal kelvo-term and the administration
tool kelvo-admin, which creates the information database and the tenants.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KELVO_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Loaded at run time, so not found by the library scan: the SQL driver, and
# adduser for the service's user.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, libqt5sql5-mysql")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "mariadb-server")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_CURRENT_LIST_DIR}/conffiles ${CMAKE_CURRENT_LIST_DIR}/postinst
  ${CMAKE_CURRENT_LIST_DIR}/prerm ${CMAKE_CURRENT_LIST_DIR}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)

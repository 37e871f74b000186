# Debian packages with CPack (`cpack --preset deb` or `deb-armhf`, see
# scripts/package): the runtime package "dvrcore" (the core in
# /usr/lib/dvrcore with its plug-in folders and the log plug-in, and
# /usr/bin/dvrcore) and the development package "dvrcore-dev" (everything
# else the install rules lay out: the plug-in header, the CMake package, the
# pkg-config file and the workstation tools). Configure with
# CMAKE_INSTALL_PREFIX=/usr and DVRCORE_INSTALL_COREDIR=lib/dvrcore, as the
# deb presets do.

set(DVRCORE_DEB_MAINTAINER "dvrcore developers <dvrcore@users.noreply.example.com>"
  CACHE STRING "The Maintainer field of the Debian packages")
set(DVRCORE_DEB_REVISION 1 CACHE STRING "The Debian revision of the packages' version")

# The Debian architecture of the build's target (amd64, armhf, ...).
find_program(DVRCORE_DPKG_ARCHITECTURE dpkg-architecture)
set(dvrcore_deb_arch "")
if(DVRCORE_DPKG_ARCHITECTURE AND CMAKE_LIBRARY_ARCHITECTURE)
  execute_process(COMMAND ${DVRCORE_DPKG_ARCHITECTURE} -t${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
    OUTPUT_VARIABLE dvrcore_deb_arch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()

# /usr/bin/dvrcore: a link to the core. The core resolves its own path
# through /proc/self/exe, so it still finds its plug-ins beside the target.
file(RELATIVE_PATH dvrcore_link_target /${CMAKE_INSTALL_BINDIR} /${DVRCORE_INSTALL_COREDIR}/dvrcore)
if(NOT DVRCORE_INSTALL_COREDIR STREQUAL CMAKE_INSTALL_BINDIR)
  file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/packaging/bin)
  file(CREATE_LINK ${dvrcore_link_target} ${PROJECT_BINARY_DIR}/packaging/bin/dvrcore SYMBOLIC)
  install(FILES ${PROJECT_BINARY_DIR}/packaging/bin/dvrcore DESTINATION ${CMAKE_INSTALL_BINDIR}
    COMPONENT runtime EXCLUDE_FROM_ALL)
endif()

# Each package's documentation folder: copyright and a compressed changelog
# (only in the packages, not in a plain `cmake --install`).
string(TIMESTAMP dvrcore_deb_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
find_program(DVRCORE_GZIP gzip REQUIRED)
foreach(package IN ITEMS dvrcore dvrcore-dev)
  set(DEB_PACKAGE ${package})
  configure_file(${CMAKE_CURRENT_LIST_DIR}/packaging/changelog.in ${PROJECT_BINARY_DIR}/packaging/${package}/changelog.Debian @ONLY)
  # gzip -n: no name or time stamp inside, so the same input gives the same bytes.
  execute_process(COMMAND ${DVRCORE_GZIP} -9nf ${PROJECT_BINARY_DIR}/packaging/${package}/changelog.Debian
    RESULT_VARIABLE gzipped)
  if(NOT gzipped EQUAL 0)
    message(FATAL_ERROR "gzip of the ${package} changelog failed")
  endif()
endforeach()
install(FILES ${CMAKE_CURRENT_LIST_DIR}/packaging/copyright ${PROJECT_BINARY_DIR}/packaging/dvrcore/changelog.Debian.gz
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/dvrcore COMPONENT runtime EXCLUDE_FROM_ALL)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/packaging/copyright ${PROJECT_BINARY_DIR}/packaging/dvrcore-dev/changelog.Debian.gz
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/dvrcore-dev COMPONENT dev EXCLUDE_FROM_ALL)
# The example plug-ins, for authors to start from: each folder a project that
# builds against the installed package.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/dvrcore-dev/examples COMPONENT dev EXCLUDE_FROM_ALL
  REGEX "/examples/CMakeLists\\.txt$" EXCLUDE)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME dvrcore)
set(CPACK_PACKAGE_VENDOR "dvrcore developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${DVRCORE_DEB_MAINTAINER})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)

# One package per component; the camera example stays out of them (it would
# post made-up video on a real recorder).
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev)
set(CPACK_COMPONENTS_GROUPING IGNORE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${DVRCORE_DEB_REVISION})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(dvrcore_deb_arch)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${dvrcore_deb_arch})
  set(CPACK_DVRCORE_DEB_HOST_ARCH ${dvrcore_deb_arch})
endif()
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/packaging/CPackProjectConfig.cmake)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME dvrcore)
# The core opens libcrypto and zlib by their first call, so they are not among
# the libraries the package's dependencies are computed from.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "libssl3, zlib1g")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION video)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "event hub of an edge video recorder
dvrcore runs inside an IP camera, started by the recorder daemon with one
end of a Unix sequenced-packet socket. It hosts plug-in libraries, queues
every event they post (live video and audio, alarms, PTZ, serial data, log
lines, configuration, analytics) and delivers it to each plug-in that wants
it, in a fixed plug-in order. It relays packets between plug-ins and the
daemon and offers plug-ins a crypto service.
.
The core is installed in /usr/lib/dvrcore with its plug-in folders
(plugins/ and protected-plugins/) and the log plug-in LogPI.so beside it;
/usr/bin/dvrcore links to it.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME dvrcore-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_DEV_PACKAGE_SUGGESTS "dvrcore (= ${PROJECT_VERSION}-${DVRCORE_DEB_REVISION})")
set(CPACK_COMPONENT_DEV_DESCRIPTION "plug-in development files and tools for dvrcore
dvrcore is the event hub of an edge video recorder; its work is done by
plug-in libraries. This package holds what a plug-in author builds against:
the plug-in header (plain C11, also C++20) with typed C++ views of the event
record, a CMake package (find_package(dvrcore), target dvrcore::plugin_api)
and a pkg-config file (dvrcore-plugin), with the example plug-ins' sources,
and the workstation tools built with the core.")

include(CPack)

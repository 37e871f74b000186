# `cmake --install` lays out the runnable shape (bin/dvrcore, bin/plugins/)
# plus the plug-in header with a CMake package and a pkg-config file.
include(CMakePackageConfigHelpers)

# The core with its plug-in folders beside it (the Debian packages put it in
# lib/dvrcore with a link in bin). The runtime component is what the core
# needs to run; everything else is for plug-in authors.
set(DVRCORE_INSTALL_COREDIR ${CMAKE_INSTALL_BINDIR} CACHE STRING
  "Where dvrcore and its plugins/ and protected-plugins/ folders are installed (relative to the prefix)")
install(TARGETS dvrcore RUNTIME DESTINATION ${DVRCORE_INSTALL_COREDIR} COMPONENT runtime)
install(TARGETS LogPI LIBRARY DESTINATION ${DVRCORE_INSTALL_COREDIR}/plugins COMPONENT runtime)
install(DIRECTORY DESTINATION ${DVRCORE_INSTALL_COREDIR}/protected-plugins COMPONENT runtime)
install(TARGETS camera recorder clip-export LIBRARY DESTINATION ${DVRCORE_INSTALL_COREDIR}/plugins COMPONENT examples)
install(FILES include/plugin_api.h include/plugin_events.hpp DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/dvrcore)

install(TARGETS dvrcore_plugin_api EXPORT dvrcoreTargets)
install(EXPORT dvrcoreTargets NAMESPACE dvrcore:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/dvrcore)
configure_package_config_file(cmake/dvrcoreConfig.cmake.in ${PROJECT_BINARY_DIR}/dvrcoreConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/dvrcore)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/dvrcoreConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/dvrcoreConfig.cmake ${PROJECT_BINARY_DIR}/dvrcoreConfigVersion.cmake
  cmake/DvrcorePlugin.cmake cmake/dvrcore-plugin-exports.map DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/dvrcore)

# The .pc file finds the prefix from its own folder (one ".." per level of
# <libdir>/pkgconfig), so the installed tree works wherever it is moved; an
# absolute libdir pins it to the configured prefix instead.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(DVRCORE_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH pc_up /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
  string(REGEX REPLACE "/$" "" pc_up "${pc_up}")
  set(DVRCORE_PC_PREFIX "\${pcfiledir}/${pc_up}")
endif()
configure_file(cmake/dvrcore-plugin.pc.in ${PROJECT_BINARY_DIR}/dvrcore-plugin.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/dvrcore-plugin.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

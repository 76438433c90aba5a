# What "cmake --install" lays out under the prefix, by default:
#   bin/dvrcore                      the core
#   bin/plugins/, bin/protected-plugins/
#                                    the two directories the core loads plugins
#                                    from, beside its executable (empty)
#   bin/dvrparent                    the parent stand-in, to run the core by hand
#   bin/dvrinspect                   the plugin inspector (tools/dvrinspect)
#   include/plugin/*.h               the plugin headers
#   share/cmake/dvrplugin/           find_package(dvrplugin CONFIG): the
#                                    INTERFACE target dvrplugin::dvrplugin
#   share/pkgconfig/dvrplugin.pc     pkg-config --cflags dvrplugin
#   share/man/man8/dvrcore.8, share/man/man1/dvrinspect.1, dvrparent.1
# The example plugins are the component "examples", installed only on request
# (cmake --install <build> --component examples) into bin/plugins; see
# examples/CMakeLists.txt. The plugin package is headers only, the same for
# every architecture, hence share/ rather than lib/.
#
# A distribution package moves the pieces with the cache variables in
# dvr_install_dirs.cmake (the core and its plugin directories into a private
# directory, the headers below a directory of their own).
include(CMakePackageConfigHelpers)

install(TARGETS dvrcore RUNTIME DESTINATION ${DVR_INSTALL_COREDIR})
install(DIRECTORY DESTINATION ${DVR_INSTALL_COREDIR}/plugins)
install(DIRECTORY DESTINATION ${DVR_INSTALL_COREDIR}/protected-plugins)
install(TARGETS dvrparent RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

install(FILES ${PROJECT_SOURCE_DIR}/docs/man/dvrcore.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${PROJECT_SOURCE_DIR}/docs/man/dvrinspect.1 ${PROJECT_SOURCE_DIR}/docs/man/dvrparent.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/plugin
  DESTINATION ${DVR_INSTALL_HEADERDIR} FILES_MATCHING PATTERN "*.h")

set(DVR_PLUGIN_CMAKE_DIR ${CMAKE_INSTALL_DATADIR}/cmake/dvrplugin)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/dvrpluginConfig.cmake.in
  ${PROJECT_BINARY_DIR}/package/dvrpluginConfig.cmake
  INSTALL_DESTINATION ${DVR_PLUGIN_CMAKE_DIR}
  PATH_VARS DVR_INSTALL_HEADERDIR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/package/dvrpluginConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES ${PROJECT_BINARY_DIR}/package/dvrpluginConfig.cmake
  ${PROJECT_BINARY_DIR}/package/dvrpluginConfigVersion.cmake
  DESTINATION ${DVR_PLUGIN_CMAKE_DIR})

# pkg-config: the include directory relative to the .pc file, so that the
# installed tree can move (cmake --install --prefix, DESTDIR, a copy).
file(RELATIVE_PATH DVR_PC_INCLUDEDIR ${CMAKE_INSTALL_FULL_DATADIR}/pkgconfig
  ${CMAKE_INSTALL_PREFIX}/${DVR_INSTALL_HEADERDIR})
configure_file(${PROJECT_SOURCE_DIR}/cmake/dvrplugin.pc.in
  ${PROJECT_BINARY_DIR}/package/dvrplugin.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/package/dvrplugin.pc
  DESTINATION ${CMAKE_INSTALL_DATADIR}/pkgconfig)

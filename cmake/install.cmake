# What "cmake --install" lays out under the prefix:
#   bin/dvrcore                      the core
#   bin/plugins/, bin/protected-plugins/
#                                    the two directories the core loads plugins
#                                    from, beside its executable (empty)
#   include/plugin/*.h               the plugin headers
#   share/cmake/dvrplugin/           find_package(dvrplugin CONFIG): the
#                                    INTERFACE target dvrplugin::dvrplugin
#   share/pkgconfig/dvrplugin.pc     pkg-config --cflags dvrplugin
# The example plugins are the component "examples", installed only on request
# (cmake --install <build> --component examples) into bin/plugins; see
# examples/CMakeLists.txt. The plugin package is headers only, the same for
# every architecture, hence share/ rather than lib/.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS dvrcore RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY DESTINATION ${CMAKE_INSTALL_BINDIR}/plugins)
install(DIRECTORY DESTINATION ${CMAKE_INSTALL_BINDIR}/protected-plugins)

install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/plugin
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} FILES_MATCHING PATTERN "*.h")

set(DVR_PLUGIN_CMAKE_DIR ${CMAKE_INSTALL_DATADIR}/cmake/dvrplugin)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/dvrpluginConfig.cmake.in
  ${PROJECT_BINARY_DIR}/package/dvrpluginConfig.cmake
  INSTALL_DESTINATION ${DVR_PLUGIN_CMAKE_DIR}
  PATH_VARS CMAKE_INSTALL_INCLUDEDIR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/package/dvrpluginConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES ${PROJECT_BINARY_DIR}/package/dvrpluginConfig.cmake
  ${PROJECT_BINARY_DIR}/package/dvrpluginConfigVersion.cmake
  DESTINATION ${DVR_PLUGIN_CMAKE_DIR})

# pkg-config: the include directory relative to the .pc file, so that the
# installed tree can move (cmake --install --prefix, DESTDIR, a copy).
file(RELATIVE_PATH DVR_PC_INCLUDEDIR ${CMAKE_INSTALL_FULL_DATADIR}/pkgconfig
  ${CMAKE_INSTALL_FULL_INCLUDEDIR})
configure_file(${PROJECT_SOURCE_DIR}/cmake/dvrplugin.pc.in
  ${PROJECT_BINARY_DIR}/package/dvrplugin.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/package/dvrplugin.pc
  DESTINATION ${CMAKE_INSTALL_DATADIR}/pkgconfig)

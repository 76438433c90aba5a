# Where "cmake --install" puts each piece, relative to the prefix. The
# defaults give the layout listed in install.cmake; a distribution package
# sets them, for example:
#   -DDVR_INSTALL_COREDIR=lib/dvrcore -DDVR_INSTALL_HEADERDIR=include/dvrcore
#   -DDVR_INSTALL_EXAMPLESDIR=lib/dvrcore/examples
# The core loads plugins only from plugins/ and protected-plugins/ beside its
# own executable, so those two always follow DVR_INSTALL_COREDIR.
include(GNUInstallDirs)
set(DVR_INSTALL_COREDIR ${CMAKE_INSTALL_BINDIR} CACHE STRING
  "Directory of the core executable and its plugin directories, relative to the prefix")
set(DVR_INSTALL_HEADERDIR ${CMAKE_INSTALL_INCLUDEDIR} CACHE STRING
  "Directory that holds the plugin headers' plugin/ folder, relative to the prefix")
set(DVR_INSTALL_EXAMPLESDIR ${DVR_INSTALL_COREDIR}/plugins CACHE STRING
  "Directory the example plugins are installed into (component examples)")

# Cross build for Debian armhf (32-bit little-endian ARM, hard float), the
# device this core runs on. The compilers come from g++-arm-linux-gnueabihf; the
# dependencies are the armhf -dev packages installed through multiarch, so their
# libraries live under /usr/lib/arm-linux-gnueabihf and share /usr/include.
# Usage: cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake ...
# (tools/ci-armhf.sh installs everything this needs.)
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(DVR_ARMHF_TRIPLET arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${DVR_ARMHF_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${DVR_ARMHF_TRIPLET}-g++)
# GCC notes on ARM that the passing of some std:: types changed in GCC 7.1;
# everything here is built by one compiler and plugins see only C records.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)

# Makes find_library and find_package look in the multiarch directories
# (/usr/lib/arm-linux-gnueabihf, .../cmake) and never in the host's.
set(CMAKE_LIBRARY_ARCHITECTURE ${DVR_ARMHF_TRIPLET})
# The cross compiler's own C library first, then the multiarch tree rooted at /.
set(CMAKE_FIND_ROOT_PATH /usr/${DVR_ARMHF_TRIPLET} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# /usr/bin/wx-config describes the host's wxWidgets; the armhf one is the
# multiarch script (a shell script, so it runs on the build machine).
file(GLOB _dvr_wx_configs /usr/lib/${DVR_ARMHF_TRIPLET}/wx/config/*-unicode-3.*)
if(_dvr_wx_configs AND NOT wxWidgets_CONFIG_EXECUTABLE)
  list(GET _dvr_wx_configs 0 _dvr_wx_config)
  set(wxWidgets_CONFIG_EXECUTABLE ${_dvr_wx_config} CACHE FILEPATH "armhf wx-config")
endif()

# CTest runs every test executable through user-mode emulation. The armhf
# sysroot is / itself: the programs load their libraries (Boost, wxBase,
# TinyXML, libstdc++, libc) from the multiarch packages, so the loader must be
# the multiarch libc6:armhf one as well. The cross compiler's own copy under
# /usr/arm-linux-gnueabihf is an older glibc build (2.36-8cross1 against
# 2.36-9+deb12uN); its loader paired with the multiarch libc crashes inside
# pthread_create, so "-L /usr/arm-linux-gnueabihf" must not be used here.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm;-L;/)

# What both macOS targets share, given TARSIL_MACOS_ZIG_TARGET: Zig's clang
# through tools/macos-cc.sh, which links dynamic libraries with ld64.lld. No
# SDK or Xcode is looked for; the programs built cannot run here, so only the
# library is built (TARSIL_LIBRARY_ONLY) and its tests are host-side checks.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_C_COMPILER ${CMAKE_CURRENT_LIST_DIR}/../../tools/macos/${TARSIL_MACOS_ZIG_TARGET}-cc)
set(CMAKE_CXX_COMPILER ${CMAKE_CURRENT_LIST_DIR}/../../tools/macos/${TARSIL_MACOS_ZIG_TARGET}-c++)
set(CMAKE_AR /usr/bin/llvm-ar-14)
set(CMAKE_RANLIB /usr/bin/llvm-ranlib-14)
set(CMAKE_OSX_SYSROOT "" CACHE STRING "" FORCE)
set(CMAKE_OSX_ARCHITECTURES "" CACHE STRING "" FORCE)
set(CMAKE_OSX_DEPLOYMENT_TARGET "" CACHE STRING "" FORCE)
# libdeflate's sources, which tools/install-cross.sh takes from Debian.
set(TARSIL_LIBDEFLATE_SOURCE /opt/tarsil-cross/libdeflate-1.14)
include(${CMAKE_CURRENT_LIST_DIR}/cross-common.cmake)
# Identified as @rpath/<name>: no build folder in a shipped library.
set(CMAKE_BUILD_WITH_INSTALL_NAME_DIR ON)
set(CMAKE_INSTALL_NAME_DIR "@rpath")

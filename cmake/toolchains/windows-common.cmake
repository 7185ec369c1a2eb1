# What both Windows targets share, given TARSIL_MINGW_TRIPLE. The posix
# thread model's compilers are the ones with std::thread. Every program is
# linked statically, so that neither the MinGW runtime nor winpthread has to
# be found at run time. wine keeps its state in a prefix of the build's own,
# created on first use.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${TARSIL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TARSIL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TARSIL_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${TARSIL_MINGW_TRIPLE})
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../../tools/wine-run.sh ${CMAKE_BINARY_DIR}/wine)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
include(${CMAKE_CURRENT_LIST_DIR}/cross-common.cmake)
# Libraries and headers from MinGW's root only, never the host's.
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

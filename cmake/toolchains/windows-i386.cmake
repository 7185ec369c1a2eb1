# Windows i386 with MinGW-w64; the test programs run under wine.
set(CMAKE_SYSTEM_PROCESSOR X86)
set(TARSIL_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/windows-common.cmake)

# Windows x86-64 with MinGW-w64; the test programs run under wine.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(TARSIL_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/windows-common.cmake)

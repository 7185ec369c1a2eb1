# macOS x86-64 (built and checked here, not run).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TARSIL_MACOS_ZIG_TARGET x86_64-macos)
include(${CMAKE_CURRENT_LIST_DIR}/macos-common.cmake)

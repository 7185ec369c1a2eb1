# macOS arm64 (built and checked here, not run).
set(CMAKE_SYSTEM_PROCESSOR arm64)
set(TARSIL_MACOS_ZIG_TARGET aarch64-macos)
include(${CMAKE_CURRENT_LIST_DIR}/macos-common.cmake)

# arm64 (aarch64) target: cmake -DCMAKE_TOOLCHAIN_FILE=packaging/toolchain-arm64.cmake
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CORVANE_TRIPLET aarch64-linux-gnu)
set(CORVANE_QEMU qemu-aarch64-static)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-debian.cmake)

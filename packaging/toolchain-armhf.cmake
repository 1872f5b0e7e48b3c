# armhf (32-bit ARMv7, hard float) target: cmake -DCMAKE_TOOLCHAIN_FILE=packaging/toolchain-armhf.cmake
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CORVANE_TRIPLET arm-linux-gnueabihf)
set(CORVANE_QEMU qemu-arm-static)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-debian.cmake)

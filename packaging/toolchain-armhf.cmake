# armhf (32-bit ARMv7, hard float) target: cmake -DCMAKE_TOOLCHAIN_FILE=packaging/toolchain-armhf.cmake
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CORVANE_TRIPLET arm-linux-gnueabihf)
set(CORVANE_QEMU qemu-arm-static)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-debian.cmake)
# GCC notes on every std::vector of a struct that the calling convention of GCC 7.1 passes
# differently; everything here is built with one compiler, so the notes say nothing.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")

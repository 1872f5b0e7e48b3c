# Cross build for one Debian architecture from Debian's multiarch packages
# (crossbuild-essential-ARCH, qt6-base-dev:ARCH, libssl-dev:ARCH). Included by the
# toolchain file of each architecture, which sets CORVANE_TRIPLET, CORVANE_QEMU and
# CMAKE_SYSTEM_PROCESSOR first.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${CORVANE_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${CORVANE_TRIPLET}-g++)
# Libraries and CMake packages of the target live in the target's multiarch folders.
set(CMAKE_LIBRARY_ARCHITECTURE ${CORVANE_TRIPLET})

# Nothing of the build machine may be linked: pkg-config would hand FindOpenSSL the
# host's libcrypto first, so it sees only the target's .pc files, and the host's
# multiarch library folders are ignored by every find_library.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${CORVANE_TRIPLET}/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
execute_process(COMMAND dpkg-architecture -qDEB_BUILD_MULTIARCH
                OUTPUT_VARIABLE corvane_build_multiarch OUTPUT_STRIP_TRAILING_WHITESPACE)
if(corvane_build_multiarch)
    list(APPEND CMAKE_IGNORE_PATH /usr/lib/${corvane_build_multiarch} /lib/${corvane_build_multiarch}
                                  /usr/include/${corvane_build_multiarch})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# Qt's host tools (moc, uic, rcc) are the build machine's own.
set(QT_HOST_PATH /usr)
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/${corvane_build_multiarch}/cmake)

# CTest runs the target's programs under user-mode emulation.
find_program(CORVANE_QEMU_PATH ${CORVANE_QEMU} PATHS /usr/bin NO_DEFAULT_PATH)
if(CORVANE_QEMU_PATH)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${CORVANE_QEMU_PATH})
endif()

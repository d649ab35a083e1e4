# The board: 32-bit big-endian PowerPC Linux, built with Debian's
# powerpc-linux-gnu cross compiler (package g++-powerpc-linux-gnu).
#
# Target libraries Debian does not ship for PowerPC on this machine
# (libconfuse, libcap, GoogleTest) are built into HUB_TARGET_PREFIX by the scripts in
# scripts/board/ and found there, through pkg-config or CMake packages.
#
# Executables link the C and C++ runtimes dynamically, as the board's other
# programs do (libconfuse is linked in: it is built static only, one file
# fewer to put on the board). They run on this machine under qemu-ppc
# (package qemu-user) with -L pointing at the cross C library's sysroot, so
# the dynamic loader and libstdc++ are found there. Tests and test discovery
# run through CMAKE_CROSSCOMPILING_EMULATOR.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)

set(HUB_TARGET_TRIPLE powerpc-linux-gnu)
set(HUB_TARGET_SYSROOT /usr/${HUB_TARGET_TRIPLE})
set(HUB_TARGET_PREFIX /opt/${HUB_TARGET_TRIPLE} CACHE PATH "where the board's third-party libraries are installed")
# try_compile projects read this file again: they get the same prefix.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES HUB_TARGET_PREFIX)

set(CMAKE_C_COMPILER ${HUB_TARGET_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${HUB_TARGET_TRIPLE}-g++)

# Libraries, headers and packages come from the target's trees only;
# programs (pkg-config, the emulator) from this machine.
set(CMAKE_FIND_ROOT_PATH ${HUB_TARGET_SYSROOT} ${HUB_TARGET_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config sees the target prefix's .pc files and none of this machine's.
set(ENV{PKG_CONFIG_LIBDIR} ${HUB_TARGET_PREFIX}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# An absolute path, so the test harness can start it as well (qemu-user, or
# qemu-user-static); without either, tests name it and fail to start.
find_program(HUB_QEMU_PPC NAMES qemu-ppc qemu-ppc-static)
if(NOT HUB_QEMU_PPC)
  set(HUB_QEMU_PPC qemu-ppc)
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${HUB_QEMU_PPC} -L ${HUB_TARGET_SYSROOT})

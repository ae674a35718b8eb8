# Cross build for the router's processor: ARMv7-A, hard-float with VFPv3-D16, 32-bit Linux.
# Debian's cross compiler (g++-arm-linux-gnueabihf) builds; the target's libraries (OpenSSL,
# GoogleTest) are Debian's armhf packages, installed next to the host's through
# multiarch under /usr/lib/arm-linux-gnueabihf (scripts/arm/deps.sh installs all of it).
#
#   cmake -S . -B build-armv7 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/armv7-linux-gnueabihf.cmake
#
# Programs built here run on this host under qemu-arm user emulation: ctest starts every test
# executable through CMAKE_CROSSCOMPILING_EMULATOR, and the tests start the daemon and the
# tools through the same emulator.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)

set(ARMV7_TRIPLET arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${ARMV7_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${ARMV7_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${ARMV7_TRIPLET})

# Files are used with 64-bit offsets and inode numbers: with the 32-bit ones, readdir and stat
# fail with EOVERFLOW where a file system hands out cookies or inode numbers above 32 bits, as
# a 64-bit host's file systems do to a program under emulation. time_t keeps its 32 bits, as on
# the router (only _TIME_BITS=64 would widen it).
set(ARMV7_FLAGS "-march=armv7-a -mfpu=vfpv3-d16 -mfloat-abi=hard -D_FILE_OFFSET_BITS=64")
set(CMAKE_C_FLAGS_INIT "${ARMV7_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${ARMV7_FLAGS}")

# Libraries, headers and CMake packages come from the cross compiler's own folder and from the
# armhf multiarch folders of the root file system; the latter is why "/" is a root as well.
# Only the armhf folders are searched there (CMAKE_LIBRARY_ARCHITECTURE), never the host's.
# Programs (code generators, pkg-config) are the host's.
set(CMAKE_FIND_ROOT_PATH /usr/${ARMV7_TRIPLET} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config reads the target's .pc files only, so no host library slips into the link.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${ARMV7_TRIPLET}/pkgconfig:/usr/share/pkgconfig")
unset(ENV{PKG_CONFIG_PATH})

# The emulator runs the programs against the armhf multiarch run-time (loader, libc, libstdc++,
# OpenSSL, all from one Debian release), which sits at the paths the programs name; so it
# takes no -L prefix. Pointing it at the cross compiler's copies under /usr/arm-linux-gnueabihf
# would pair that loader with the multiarch libc. The processor is an ARMv7 one, so an
# instruction the router lacks fails here too.
find_program(ARMV7_QEMU qemu-arm)
if(NOT ARMV7_QEMU)
  message(FATAL_ERROR "qemu-arm not found: install Debian's qemu-user (bash scripts/arm/deps.sh)")
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${ARMV7_QEMU} -cpu cortex-a9)

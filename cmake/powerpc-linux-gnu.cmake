# Cross build for the target: 32-bit big-endian PowerPC, Linux, glibc.
#
#   cmake -S . -B build-ppc -DCMAKE_TOOLCHAIN_FILE=cmake/powerpc-linux-gnu.cmake
#
# Compilers: Debian's g++-powerpc-linux-gnu.  Programs built here run on the
# build host under qemu-user (qemu-ppc, Debian's qemu-user) with the cross
# sysroot as its library prefix; ctest and gtest_discover_tests go through
# CMAKE_CROSSCOMPILING_EMULATOR (cmake/ppc-run, which also enters a user
# namespace first when not root: qemu-user runs a helper thread of its own,
# and a threaded process cannot unshare(CLONE_NEWUSER) itself).
#
# Optional cache variables:
#   PI_PPC_SYSROOT      the target's libraries (default /usr/powerpc-linux-gnu)
#   PI_PPC_PREFIXES     extra prefixes of target packages built here (GoogleTest)
#   PI_HOST_TOOLS_DIR   a host build's tools/ directory: the tools the tests run
#                       as commands (srgtool, mkplugin, ...) are taken from
#                       there instead of being cross built (see cmake/host-tools.cmake)
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)

set(PI_PPC_TRIPLE powerpc-linux-gnu)
set(CMAKE_C_COMPILER ${PI_PPC_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${PI_PPC_TRIPLE}-g++)

if(NOT PI_PPC_SYSROOT)
  set(PI_PPC_SYSROOT /usr/${PI_PPC_TRIPLE})
endif()
set(PI_PPC_SYSROOT "${PI_PPC_SYSROOT}" CACHE PATH "Libraries of the PowerPC target")
set(PI_PPC_PREFIXES "${PI_PPC_PREFIXES}" CACHE STRING "Prefixes of target packages built for PowerPC")

set(CMAKE_FIND_ROOT_PATH ${PI_PPC_SYSROOT} ${PI_PPC_PREFIXES})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config must not hand out the build host's libraries.
set(ENV{PKG_CONFIG_LIBDIR} "${PI_PPC_SYSROOT}/lib/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# Large-file interfaces throughout: a 32-bit stat() or readdir() fails with
# EOVERFLOW on inode numbers and directory offsets beyond 32 bits, which
# 64-bit host kernels hand out (under qemu-user) and large media do on the box.
set(CMAKE_C_FLAGS_INIT "-D_FILE_OFFSET_BITS=64")
set(CMAKE_CXX_FLAGS_INIT "-D_FILE_OFFSET_BITS=64")

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/ppc-run)

# Tools run by tests as commands come from the build host (qemu-user cannot
# start a target program from inside a target program): set PI_HOST_TOOLS_DIR.

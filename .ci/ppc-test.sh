#!/bin/sh
# The whole suite on the target's architecture: library, platform stand-ins
# and tests cross built for 32-bit big-endian PowerPC and run under qemu-ppc.
#
#   .ci/ppc-test.sh [ctest arguments...]
#
# Environment: PPC_BUILD (build-ppc), HOST_BUILD (build: its tools are used by
# the tests as commands), JOBS (2).  Needs g++-powerpc-linux-gnu and qemu-user (tools/setup ppc-test).
set -eu
cd "$(dirname "$0")/.."
src=$(pwd)
ppc=${PPC_BUILD:-build-ppc}
host=${HOST_BUILD:-build}
jobs=${JOBS:-2}
toolchain=$src/cmake/powerpc-linux-gnu.cmake

for tool in powerpc-linux-gnu-g++ qemu-ppc; do
  command -v $tool >/dev/null || { echo "ppc-test: $tool missing (tools/setup ppc-test installs it)" >&2; exit 2; }
done

# Host build: the tools the tests run (srgtool, mkplugin, ...).
[ -f "$host/CMakeCache.txt" ] || cmake -S . -B "$host" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$host" -j "$jobs"
host_tools=$(cd "$host" && pwd)/tools

# GoogleTest for the target, from Debian's sources.
gtest_src=${GTEST_SOURCE:-/usr/src/googletest}
gtest_prefix=$src/$ppc/_gtest
if [ ! -f "$gtest_prefix/.installed" ]; then
  cmake -S "$gtest_src" -B "$ppc/_gtest-build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX="$gtest_prefix" \
    -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON -DCMAKE_POSITION_INDEPENDENT_CODE=ON >/dev/null
  cmake --build "$ppc/_gtest-build" -j "$jobs"
  cmake --install "$ppc/_gtest-build" >/dev/null
  touch "$gtest_prefix/.installed"
fi

cmake -S . -B "$ppc" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPI_PPC_PREFIXES="$gtest_prefix" -DPI_HOST_TOOLS_DIR="$host_tools"
cmake --build "$ppc" -j "$jobs"
cd "$ppc"
ctest --output-on-failure -j "$jobs" "$@"

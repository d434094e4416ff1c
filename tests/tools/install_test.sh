#!/usr/bin/env bash
# Installs the build tree into a fresh prefix and builds a tiny C program
# against it twice: with pkg-config and with find_package(plugin_intn).  Each
# program must run from the installed libraries alone.
#   install_test.sh BUILD_DIR CONSUMER_SOURCE_DIR WORK_DIR C_COMPILER [C_FLAGS]
set -euo pipefail
build=$1 consumer=$2 work=$3 cc=$4 cflags=${5:-}
prefix=$work/prefix
rm -rf "$work"
mkdir -p "$work"
unset LD_LIBRARY_PATH PKG_CONFIG_PATH CMAKE_PREFIX_PATH

cmake --install "$build" --prefix "$prefix" >"$work/install.log"
for f in include/plugin_intn.h bin/pluginctl lib/libplugin_intn.so lib/libplugin_str.so lib/libsrg.so \
         lib/libimage.so lib/libplugin_icf.so lib/libsystem_zell.so lib/pkgconfig/plugin_intn.pc \
         lib/cmake/plugin_intn/plugin_intnConfig.cmake; do
    [ -e "$prefix/$f" ] || { echo "not installed: $f"; exit 1; }
done
# The installed pluginctl finds its libraries beside it.
"$prefix/bin/pluginctl" --help | grep -q '^  link LOG DIR' || { echo "installed pluginctl does not run"; exit 1; }

expected='ids 0 1 2, pkg-b is 1, intact 1
debug 1, duplicate 0x40ea001d'

# pkg-config
flags=$(PKG_CONFIG_PATH=$prefix/lib/pkgconfig pkg-config --cflags --libs plugin_intn)
case $flags in *"-I$prefix/"*"-L$prefix/"*) ;; *) echo "pkg-config does not point into $prefix: $flags"; exit 1 ;; esac
# shellcheck disable=SC2086
"$cc" $cflags -o "$work/consumer-pc" "$consumer/consumer.c" $flags -Wl,-rpath,"$prefix/lib"
out=$("$work/consumer-pc")
[ "$out" = "$expected" ] || { printf 'pkg-config build printed:\n%s\n' "$out"; exit 1; }
echo "pkg-config: built and ran against $prefix"

# find_package
cmake -S "$consumer" -B "$work/consumer-build" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_COMPILER="$cc" \
      -DCMAKE_C_FLAGS="$cflags" >"$work/consumer-configure.log"
cmake --build "$work/consumer-build" >"$work/consumer-build.log"
grep -q "plugin_intn_DIR:PATH=$prefix/lib/cmake/plugin_intn" "$work/consumer-build/CMakeCache.txt" ||
    { echo "find_package did not find the installed package"; exit 1; }
out=$("$work/consumer-build/consumer")
[ "$out" = "$expected" ] || { printf 'find_package build printed:\n%s\n' "$out"; exit 1; }
echo "find_package: built and ran against $prefix"

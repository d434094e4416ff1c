#!/bin/sh
# usage: check_install.sh BUILD_DIR WORK_DIR: installs the build into WORK_DIR/prefix; each row is
# one fact of the installed tree, checked by one command.
set -eu
build=$1 work=$2 p=$2/prefix
rm -rf "$work" && mkdir -p "$work/pkg"
cmake --install "$build" --prefix "$p" >"$work/install.log"
cat >"$work/pkg/CMakeLists.txt" <<'END'
cmake_minimum_required(VERSION 3.25)
project(consumer C)
find_package(plugin_intn 1.0 REQUIRED)
file(GENERATE OUTPUT found CONTENT "$<TARGET_FILE:plugin_intn::plugin_intn>")
END
pc() { PKG_CONFIG_PATH=$p/lib/pkgconfig pkg-config "$@" plugin_intn; }
failed=0
row() {
    what=$1
    shift
    "$@" >/dev/null 2>&1 || { echo "not so: $what"; failed=1; }
}
lib=$p/lib/libplugin_intn.so
soname="readelf -d $lib | grep -q 'soname: .libplugin_intn.so.'"
header="echo '#include <plugin_intn.h>' | cc -fsyntax-only -x c \$(pc --cflags) -"
row "the header is installed" test -f "$p/include/plugin_intn.h"
row "the library is installed under its soname" sh -c "$soname"
libdir=$(realpath "$(pc --variable=libdir)")
row "pkg-config's library directory is ours" test "$libdir" = "$(realpath "$p/lib")"
row "pkg-config links the library" test "$(echo $(pc --libs-only-l))" = "-lplugin_intn"
row "the header compiles with pkg-config's flags" eval "$header"
row "find_package finds the package" cmake -S "$work/pkg" -B "$work/pkg/b" -DCMAKE_PREFIX_PATH="$p"
row "find_package's target is the library" test "$(cat "$work/pkg/b/found")" = "$lib"
exit $failed

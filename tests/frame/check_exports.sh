#!/bin/sh
# Compares the dynamic symbols the library defines with the checked-in list,
# (sanitizer runtime symbols aside) and checks that the four patching names are weak aliases of the stub.
# usage: check_exports.sh LIBRARY EXPECTED_LIST
set -eu
lib=$1
expected=$2
actual=$(nm -D --defined-only "$lib" | awk '$3 !~ /^__(odr_)?asan/ {print $2, $3}' | LC_ALL=C sort)
want=$(LC_ALL=C sort "$expected")
if [ "$actual" != "$want" ]; then
    echo "exported symbols differ from $expected:"
    printf '%s\n' "$want" > "${TMPDIR:-/tmp}/exports.want.$$"
    printf '%s\n' "$actual" > "${TMPDIR:-/tmp}/exports.got.$$"
    diff "${TMPDIR:-/tmp}/exports.want.$$" "${TMPDIR:-/tmp}/exports.got.$$" || true
    rm -f "${TMPDIR:-/tmp}/exports.want.$$" "${TMPDIR:-/tmp}/exports.got.$$"
    exit 1
fi
stub=$(nm -D --defined-only "$lib" | awk '$3 == "__plugin_no_patching_support" {print $1}')
for name in plugin_patch_setup_repos plugin_load_committed_patch plugin_sync_patches_on_standby plugin_patching_supported; do
    addr=$(nm -D --defined-only "$lib" | awk -v n="$name" '$3 == n {print $1}')
    if [ "$addr" != "$stub" ]; then
        echo "$name is at $addr, not at the stub's address $stub"
        exit 1
    fi
done
soname=$(readelf -d "$lib" | sed -n 's/.*Library soname: \[\(.*\)\].*/\1/p')
if [ "$soname" != "libplugin_intn.so" ]; then
    echo "soname is '$soname', not libplugin_intn.so"
    exit 1
fi
echo "exports: $(printf '%s\n' "$actual" | wc -l) symbols as listed; patching aliases and soname correct"

#!/bin/sh
# usage: check_exports.sh LIB LIST: the dynamic symbols (sanitizer's aside) are the list, the patching names alias the stub, the soname is right.
set -eu
syms=$(nm -D --defined-only "$1" | awk '$3 !~ /^__(odr_)?asan/')
got=$(printf '%s\n' "$syms" | awk '{print $2, $3}' | LC_ALL=C sort)
[ "$got" = "$(LC_ALL=C sort "$2")" ] || { echo "exports differ:"; printf '%s\n' "$got" | LC_ALL=C sort | diff "$2" - ; exit 1; }
aliases=$(printf '%s\n' "$syms" | awk '$3 ~ /^(__plugin_no_patching_support|plugin_patch_setup_repos|plugin_load_committed_patch|plugin_sync_patches_on_standby|plugin_patching_supported)$/ {print $1}' | sort -u | wc -l)
[ "$aliases" = 1 ] || { echo "the patching names are not one address"; exit 1; }
readelf -d "$1" | grep -q 'Library soname: \[libplugin_intn.so\]' || { echo "soname is not libplugin_intn.so"; exit 1; }

#!/bin/sh
# usage: check_exports.sh LIB LIST: the dynamic symbols (the sanitizer's aside) are the list, and
# the patching names are one address, the stub's.
set -eu
syms=$(nm -D --defined-only "$1" | awk '$3 !~ /^__(odr_)?asan/')
got=$(printf '%s\n' "$syms" | awk '{print $2, $3}' | LC_ALL=C sort)
if [ "$got" != "$(LC_ALL=C sort "$2")" ]; then
    echo "exports differ:"
    printf '%s\n' "$got" | diff "$2" -
    exit 1
fi
stubs='^(__plugin_no_patching_support|plugin_patch_setup_repos|plugin_load_committed_patch'
stubs=$stubs'|plugin_sync_patches_on_standby|plugin_patching_supported)$'
aliases=$(printf '%s\n' "$syms" | awk -v re="$stubs" '$3 ~ re {print $1}' | sort -u | wc -l)
[ "$aliases" = 1 ] || { echo "the patching names are not one address"; exit 1; }

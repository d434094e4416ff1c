#!/usr/bin/env bash
# make demo: the whole road of two sample plugins, in a private root.
#
# On the host: installs the packages the build lacks (tools/setup demo),
# builds, and makes two plugin images with srgtool and
# mkplugin (demo-app depends on demo-base) plus a third one, demo-dup, that
# brings a file demo-base already brings.  Then, inside sandbox-run (a
# private root kept in $BUILD/demo/root, never the host's), walks them
# through the road with pluginctl, one line per step: first with the
# installer (install, list, verify, remove, with its refusals), then
# operation by operation with the low-level subcommands; each part checks
# that the root tree ends as it started.  The library's own lines go to
# $BUILD/demo/library.log.
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD:-build}
case $build in /*) ;; *) build=$top/$build ;; esac
jobs=${JOBS:-2}
demo=$build/demo

# ------------------------------------------------------------------ inside
# Runs inside sandbox-run: $2 = demo directory, $3 = build directory.
if [ "${1:-}" = "--inside" ]; then
    demo=$2
    build=$3
    ctl=$build/tools/pluginctl
    log=$demo/library.log
    work=$demo/work
    : >"$log"
    step=0
    say() { step=$((step + 1)); printf '%2d. %s\n' "$step" "$*"; }
    fail() { printf 'demo failed: %s (see %s)\n' "$*" "$log"; exit 1; }
    # pluginctl with its stdout kept and the library's lines sent to the log;
    # the last stdout line is the result line.
    ctl() {
        local out status=0
        echo "\$ pluginctl $*" >>"$log"
        out=$("$ctl" "$@" 2>>"$log") || status=$?
        printf '%s\n' "$out" | tee -a "$log"
        return $status
    }
    result() { printf '[%s]' "$(tail -n 1 <<<"$1")"; }
    data() { sed '$d' <<<"$1"; }

    # The part of the root tree the road changes; the map and the manifests
    # (the system's files, never deleted by the library) live beside it in
    # /velm/plugin_extract_log.
    tree_dirs=(/usr /etc /opt /velm/plugin /velm/plugin_srg)
    snapshot() { find "${tree_dirs[@]}" -xdev -printf '%p %y %m %l\n' 2>/dev/null | LC_ALL=C sort; }
    # diff of two snapshots as a dry run lists changes: "+ PATH [-> TARGET]", "- PATH", "~ PATH".
    as_changes() {
        awk '/^[<>] / { p = $2; side[p] = side[p] $1; l[p] = ($3 == "l" ? " -> " $5 : "") }
             END { for (p in side) print (side[p] == ">" ? "+ " p l[p] : side[p] == "<" ? "- " p : "~ " p l[p]) }'
    }
    # The entries of the given manifests as they stand in the root tree: links
    # with their targets, and the directories that were not there at the start.
    show_tree() {
        local shown=0 entry path
        while read -r entry; do
            path=/${entry%/}
            if [ -L "$path" ]; then
                printf '      %-30s -> %s\n' "$path" "$(readlink "$path")"
                shown=$((shown + 1))
            elif [ -d "$path" ] && ! awk -v p="$path" '$1 == p && $2 == "d" { f = 1 } END { exit !f }' <<<"$before"; then
                printf '      %s/\n' "$path"
                shown=$((shown + 1))
            fi
        done < <(sed -e 's|^\./||' -e '/^$/d' "$@" | LC_ALL=C sort -u)
        [ "$shown" -gt 0 ] || printf '      (no entry of the plugins in the root tree)\n'
    }

    mkdir -p /velm/plugin /velm/plugin_srg /velm/plugin_extract_log
    map=/velm/plugin_extract_log/swid_map
    rm -f "$map" /velm/plugin_extract_log/*.log
    before=$(snapshot)
    printf '    root tree at the start: %d entries under %s\n' "$(wc -l <<<"$before")" "${tree_dirs[*]}"

    # The installer: the whole road of each plugin as one transaction.
    printf '    with the installer (pluginctl install, list, verify, remove):\n'
    out=$(ctl install "$work/demo-app.img") && fail "demo-app installed without demo-base"
    say "install demo-app alone: refused, $(sed -n 's/^  //p' <<<"$out" | paste -sd' ' -)"
    out=$(ctl install "$work/demo-app.img" "$work/demo-base.img") || fail "install"
    say "install demo-app and demo-base, in load order: $(grep '^installed' <<<"$out" | paste -sd';' - | sed 's/;/; /g')"
    while read -r line; do say "list: $line"; done < <(ctl list)
    out=$(ctl verify) || fail "verify after install: $out"
    say "verify: clean"
    say "ran /usr/bin/dapp through its links: it says \"$(/usr/bin/dapp)\""
    out=$(ctl install "$work/demo-dup.img") && fail "demo-dup installed over demo-base"
    say "install demo-dup: refused, $(sed -n 's/^  //p' <<<"$out" | paste -sd' ' -); nothing of it stays"
    [ ! -e /usr/bin/demo-dup ] || fail "demo-dup left a link behind"
    out=$(ctl remove demo-base-1.0) && fail "demo-base removed while demo-app needs it"
    say "remove demo-base-1.0: refused, $(sed -n 's/^  //p' <<<"$out")"
    out=$(ctl remove demo-base-1.0 demo-app-2.1) || fail "remove"
    say "remove both, in unload order: $(paste -sd';' - <<<"$out" | sed 's/;/; /g')"
    out=$(ctl verify) || fail "verify after remove: $out"
    [ "$(snapshot)" = "$before" ] || fail "the root tree differs after the installer's remove"
    say "verify: clean; the root tree is as at the start"
    printf '    the road underneath, operation by operation (the low-level subcommands):\n'
    rm -f "$map"  # the low-level road makes its own map

    declare -A swid id
    for p in demo-base demo-app; do
        out=$(ctl record show "$work/$p.img") || fail "record show $p.img"
        swid[$p]=$(data "$out" | sed -n 's/^swid //p')
        deps=$(data "$out" | sed -n 's/^depends *//p')
        say "record out of $p.img: swid ${swid[$p]}, depends on ${deps:-nothing} $(result "$out")"
    done

    ctl swid-map create "$map" >/dev/null || fail "swid-map create"
    out=$(ctl swid-map append "$map" "${swid[demo-base]}" "${swid[demo-app]}") || fail "swid-map append"
    while read -r n s; do
        for p in demo-base demo-app; do [ "${swid[$p]}" = "$s" ] && id[$p]=$n; done
    done <<<"$(data "$out")"
    list=$(ctl swid-map list "$map" | sed '$d' | awk '{ printf "%s%s=%s", (NR > 1 ? ", " : ""), $2, $1 }')
    say "software-id map $map appended and written: $list $(result "$out")"

    for p in demo-base demo-app; do
        dir=/velm/plugin/${id[$p]}
        mkdir -p "$dir"
        out=$(ctl extract "$work/$p.img" "$dir" --manifest "/velm/plugin_extract_log/$p.log") || fail "extract $p"
        say "extracted $p.img into $dir, manifest of $(grep -c . "/velm/plugin_extract_log/$p.log") lines $(result "$out")"
    done

    for p in demo-base demo-app; do
        out=$(ctl record save "${id[$p]}" "$work/$p.img") || fail "record save $p"
        say "record saved: /velm/plugin/${id[$p]}/plugin.sro, linked as /velm/plugin_srg/plugin-${swid[$p]}.sro $(result "$out")"
    done

    srgs=(/velm/plugin/"${id[demo-app]}"/plugin.sro /velm/plugin/"${id[demo-base]}"/plugin.sro)
    out=$(ctl order load "${srgs[@]}") || fail "order load"
    say "load order of the saved records: $(data "$out" | paste -sd' ' - | sed 's/ / then /g') $(result "$out")"
    out=$(ctl order unload "${srgs[@]}") || fail "order unload"
    say "unload order: $(data "$out" | paste -sd' ' - | sed 's/ / then /g') $(result "$out")"
    load_order=$(ctl order load "${srgs[@]}" | sed '$d')

    for s in $load_order; do
        for p in demo-base demo-app; do
            [ "${swid[$p]}" = "$s" ] || continue
            pre=$(snapshot)
            dry=$(ctl --dry-run link "/velm/plugin_extract_log/$p.log" "/velm/plugin/${id[$p]}") || fail "dry run of link $p"
            [ "$(snapshot)" = "$pre" ] || fail "the dry run of link $p changed the root tree"
            out=$(ctl link "/velm/plugin_extract_log/$p.log" "/velm/plugin/${id[$p]}") || fail "link $p"
            listed=$(data "$dry" | grep '^[-+~] ' | LC_ALL=C sort)
            found=$({ diff <(printf '%s\n' "$pre") <(snapshot) || true; } | as_changes | LC_ALL=C sort)
            [ "$listed" = "$found" ] || fail "the dry run of link $p listed other changes than find shows: $listed / $found"
            say "dry run of $p's link: $(grep -c . <<<"$listed") changes listed, the real link then made exactly those (find) $(result "$dry")"
            say "linked $p into the root tree (load order) $(result "$out")"
        done
    done
    printf '    the root tree now holds:\n'
    show_tree /velm/plugin_extract_log/demo-base.log /velm/plugin_extract_log/demo-app.log
    say "ran /usr/bin/dapp through its links: it says \"$(/usr/bin/dapp)\""

    dir=/velm/plugin/99
    mkdir -p "$dir"
    ctl extract "$work/demo-dup.img" "$dir" --manifest /velm/plugin_extract_log/demo-dup.log >/dev/null ||
        fail "extract demo-dup"
    # First a dry run: the conflict shows, the root tree stays as it is.
    pre=$(snapshot)
    if dry=$(ctl --dry-run link /velm/plugin_extract_log/demo-dup.log "$dir"); then
        fail "the dry run of demo-dup's link succeeded"
    fi
    [ "$(snapshot)" = "$pre" ] || fail "the dry run of demo-dup's link changed the root tree"
    listed=$(data "$dry" | grep -c '^[-+~] ' || true)
    held=$(ctl files /velm/plugin_extract_log/demo-dup.log "$dir" | sed -n 's/^held \([^ ]*\) .*(now \(.*\))$/\1 (\2)/p')
    say "dry run of demo-dup's link, the root tree untouched: pluginctl files shows $held held; the link would fail and leave $listed changes $(result "$dry")"
    if out=$(ctl link /velm/plugin_extract_log/demo-dup.log "$dir"); then
        fail "demo-dup linked although it brings /usr/bin/demo-base"
    fi
    dup_line=$(grep -m1 ': /usr/bin/demo-base exists' "$log" || true)
    [ -n "$dup_line" ] || fail "no duplicate reported for /usr/bin/demo-base"
    # Pass 1 reports every duplicate; pass 2 then cannot link over the file and
    # the result is PLUGIN_ERR_LINK (PLUGIN_ERR_DUPLICATE only when pass 2 completes).
    say "duplicate detected: demo-dup (extracted into $dir) brings /usr/bin/demo-base; \"${dup_line#*: }\", link refused $(result "$out")"
    [ ! -e /usr/bin/demo-dup ] || fail "demo-dup left a link behind"
    ctl rmdir "$dir" >/dev/null || fail "rmdir $dir"

    for s in $(ctl order unload "${srgs[@]}" | sed '$d'); do
        for p in demo-base demo-app; do
            [ "${swid[$p]}" = "$s" ] || continue
            out=$(ctl unlink "/velm/plugin_extract_log/$p.log" "/velm/plugin/${id[$p]}") || fail "unlink $p"
            say "unlinked $p from the root tree (unload order) $(result "$out")"
        done
    done
    for p in demo-app demo-base; do
        out=$(ctl record cleanup "${id[$p]}") || fail "record cleanup $p"
        ctl rmdir "/velm/plugin/${id[$p]}" >/dev/null || fail "rmdir /velm/plugin/${id[$p]}"
        say "cleaned up $p: record, software-id link and /velm/plugin/${id[$p]} removed $(result "$out")"
    done
    printf '    the root tree now holds:\n'
    show_tree /velm/plugin_extract_log/demo-base.log /velm/plugin_extract_log/demo-app.log

    after=$(snapshot)
    if [ "$before" = "$after" ]; then
        printf '    root tree at the end: the same %d entries as at the start (checked entry by entry)\n' \
            "$(wc -l <<<"$after")"
    else
        printf '    root tree at the end differs from the start:\n'
        diff <(printf '%s\n' "$before") <(printf '%s\n' "$after") | sed 's/^/      /' | head -20
        exit 1
    fi
    exit 0
fi

# ------------------------------------------------------------------ host
"$top/tools/setup" demo

# Only what the demo runs is built here; make test builds the rest.
echo "demo: building the library, pluginctl, sandbox-run, srgtool and mkplugin (${build#"$top"/})"
buildlog=$(mktemp)
{ [ -f "$build/CMakeCache.txt" ] || cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo; } >"$buildlog" 2>&1 &&
    cmake --build "$build" -j "$jobs" --target pluginctl sandbox-run srgtool mkplugin >>"$buildlog" 2>&1 ||
    { cat "$buildlog" >&2; rm -f "$buildlog"; exit 1; }
rm -f "$buildlog"

rm -rf "$demo"
work=$demo/work
mkdir -p "$work"
srgtool=$build/tools/srgtool
mkplugin=$build/tools/mkplugin

# demo-base: a program, a library with its relative link, a configuration.
t=$work/demo-base
mkdir -p "$t/usr/bin" "$t/usr/lib/demo" "$t/etc/demo"
printf '#!/bin/sh\necho demo-base\n' >"$t/usr/bin/demo-base"
chmod 755 "$t/usr/bin/demo-base"
printf 'library v1\n' >"$t/usr/lib/demo/libdemo.so.1"
ln -s libdemo.so.1 "$t/usr/lib/demo/libdemo.so"
printf 'level=1\n' >"$t/etc/demo/base.conf"
# demo-app: depends on demo-base; a program with a relative alias, help text,
# and a configuration in the directory demo-base brings too.
t=$work/demo-app
mkdir -p "$t/usr/bin" "$t/usr/share/demo-app" "$t/etc/demo"
printf '#!/bin/sh\necho demo-app\n' >"$t/usr/bin/demo-app"
chmod 755 "$t/usr/bin/demo-app"
ln -s demo-app "$t/usr/bin/dapp"
printf 'see demo-base\n' >"$t/usr/share/demo-app/help.txt"
printf 'colour=blue\n' >"$t/etc/demo/app.conf"
# demo-dup: brings /usr/bin/demo-base as well.
t=$work/demo-dup
mkdir -p "$t/usr/bin"
printf '#!/bin/sh\necho impostor\n' >"$t/usr/bin/demo-base"
printf '#!/bin/sh\necho demo-dup\n' >"$t/usr/bin/demo-dup"
chmod 755 "$t/usr/bin/demo-base" "$t/usr/bin/demo-dup"

"$srgtool" make --swid demo-base-1.0 -o "$work/demo-base.sro"
"$srgtool" make --swid demo-app-2.1 --dep demo-base-1.0 -o "$work/demo-app.sro"
"$srgtool" make --swid demo-dup-0.1 -o "$work/demo-dup.sro"
for p in demo-base demo-app demo-dup; do
    "$mkplugin" --record "$work/$p.sro" -o "$work/$p.img" "$work/$p"
done
echo "demo: made demo-base.img, demo-app.img (depends on demo-base) and demo-dup.img with srgtool and mkplugin"
echo "demo: the road, inside sandbox-run --state ${demo#"$top"/}/root (the library's lines: ${demo#"$top"/}/library.log)"
"$build/tools/sandbox-run" --state "$demo/root" --cmdline "console=ttyS0 quiet" -- \
    bash "$top/tools/demo.sh" --inside "$demo" "$build"

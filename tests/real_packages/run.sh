#!/usr/bin/env bash
# tests/real_packages/run.sh - real Debian packages through the whole road.
#
#   tests/real_packages/run.sh [BUILD]       (make real-packages; as root)
#
# Fetches a fixed list of packages by name with `apt-get download` into a cache
# kept between runs (PI_DEB_CACHE, /var/cache/plugin_intn-debs; nothing is
# installed), turns each into a plugin image (its data as dpkg-deb -x gives it,
# swid PACKAGE-VERSION, dependencies from Depends where the dependency is in
# the list), then inside sandbox-run takes each through the road (road_install,
# road_remove), runs a program through the links where the host has its
# libraries, and compares the tree with the snapshot taken before.  One line per
# package: entries, seconds to install and to remove, verdict.  Exit status 0
# when every verdict is as expected.
set -euo pipefail

# The list: many files and non-ASCII names; a program with its libraries that
# depends on the first; a package with files in /usr/share/doc, /usr/share/man,
# /usr/lib/x86_64-linux-gnu and /etc; a large one with documentation; one
# whose files the host already has (its link must fail, naming the file).
PACKAGES=(golang-1.19-src golang-1.19-go rsyslog qemu-system-misc libpam-cap)
CONFLICTS=(libpam-cap)
declare -A RUN=([golang-1.19-go]=/usr/lib/go-1.19/bin/go)
declare -A RUN_ARGS=([golang-1.19-go]=version)

# ------------------------------------------------------------------ inside
# Runs inside sandbox-run: $2 = work directory, $3 = build directory.
if [ "${1:-}" = --inside ]; then
    work=$2 build=$3
    ctl=$build/tools/pluginctl
    map=/velm/plugin_extract_log/swid_map
    mkdir -p /velm/plugin /velm/plugin_srg /velm/plugin_extract_log
    "$ctl" swid-map create "$map" >/dev/null

    # The tree a package may change: every path with its type, bits, owner, and
    # a file's size or a link's target (a directory's size tells nothing).
    # Only the directories the packages of the group bring files to.
    snapshot() {
        { find $(cat "${@/%/.tops}" | sort -u) /velm/plugin /velm/plugin_srg \( -type d -printf '%p %y %m %u %g\n' \) \
            -o -printf '%p %y %m %u %g %s %l\n' 2>/dev/null || true; } | LC_ALL=C sort
    }
    now() { date +%s.%N; }
    since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.2f", b - a }'; }

    declare -A ID
    # The road of one package, up to its link; the library's lines go to $work/$p.lines.
    # Status: pluginctl's of the failing step.
    road_install() {
        local p=$1 swid id out
        swid=$(<"$work/$p.swid")
        out=$("$ctl" swid-map append "$map" "$swid") || return 1
        id=$(awk -v s="$swid" '$2 == s { print $1 }' <<<"$out")
        ID[$p]=$id
        mkdir -p "/velm/plugin/$id"
        "$ctl" extract "$work/$p.img" "/velm/plugin/$id" --manifest "/velm/plugin_extract_log/$p.log" || return 1
        "$ctl" record save "$id" "$work/$p.img" || return 1
        "$ctl" link "/velm/plugin_extract_log/$p.log" "/velm/plugin/$id" || return 1
    }
    road_remove() {
        local p=$1 id=${ID[$1]}
        cp "/velm/plugin_extract_log/$p.log" "$work/$p.manifest"
        "$ctl" unlink "/velm/plugin_extract_log/$p.log" "/velm/plugin/$id" || return 1
        "$ctl" record cleanup "$id" || return 1
        rm -rf "/velm/plugin/$id" "/velm/plugin_extract_log/$p.log"
    }

    # Installs p: its line's first fields; the verdict so far in VERDICT.
    install() {
        local p=$1 t
        t=$(now)
        if road_install "$p" >"$work/$p.out" 2>"$work/$p.lines"; then
            if [[ " ${CONFLICTS[*]} " = *" $p "* ]]; then VERDICT="FAIL: linked, the conflict missed"; fi
        elif [[ " ${CONFLICTS[*]} " = *" $p "* ]] && grep -q 'PLUGIN_ERR_LINK' "$work/$p.out"; then
            VERDICT="conflict as expected: $(grep -m1 ' exists$' "$work/$p.lines" | sed 's/^[^:]*: //')"
        else
            VERDICT="FAIL: $(tail -1 "$work/$p.out") $(tail -1 "$work/$p.lines")"
        fi
        INSTALL_TIME[$p]=$(since "$t")
        ENTRIES[$p]=$(grep -c . "/velm/plugin_extract_log/$p.log" 2>/dev/null || echo 0)
    }
    runs() {
        local p=$1 prog=${RUN[$1]:-} real
        [ -n "$prog" ] || return 0
        real=$(readlink -f "$prog")
        [[ $real = /velm/plugin/* ]] || { VERDICT="FAIL: $prog resolves to $real"; return; }
        if out=$("$prog" ${RUN_ARGS[$p]:-} 2>&1); then
            VERDICT="$VERDICT, ran $prog ${RUN_ARGS[$p]:-} (${real%%/usr/*}): $(head -1 <<<"$out")"
        else
            VERDICT="FAIL: $prog: $out"
        fi
    }
    remove() {
        local p=$1 t
        t=$(now)
        road_remove "$p" >>"$work/$p.out" 2>>"$work/$p.lines" || VERDICT="FAIL: remove: $(tail -1 "$work/$p.out")"
        REMOVE_TIME[$p]=$(since "$t")
    }
    line() {
        printf '%-18s %7s entries  install %6ss  remove %6ss  %s\n' "$1" "${ENTRIES[$1]}" \
            "${INSTALL_TIME[$1]}" "${REMOVE_TIME[$1]}" "$2"
    }

    declare -A ENTRIES INSTALL_TIME REMOVE_TIME VERDICTS
    failed=0
    # golang-1.19-go needs golang-1.19-src's links: the two go together, the
    # dependency first in and last out.
    pairs=("golang-1.19-src golang-1.19-go")
    for p in "${PACKAGES[@]}"; do
        case $p in golang-1.19-src | golang-1.19-go) ;; *) pairs+=("$p") ;; esac
    done
    for group in "${pairs[@]}"; do
        read -r -a ps <<<"$group"
        tops=("${ps[@]/#/$work/}")
        before=$(snapshot "${tops[@]}")
        for p in "${ps[@]}"; do VERDICT=ok; install "$p"; VERDICTS[$p]=$VERDICT; done
        for p in "${ps[@]}"; do VERDICT=${VERDICTS[$p]}; [[ $VERDICT = FAIL* ]] || runs "$p"; VERDICTS[$p]=$VERDICT; done
        for ((i = ${#ps[@]} - 1; i >= 0; i--)); do
            p=${ps[i]}; VERDICT=${VERDICTS[$p]}; remove "$p"; VERDICTS[$p]=$VERDICT
        done
        # The library removes a directory of a manifest only when it is empty at
        # its turn, and the manifest names a parent before its children: new
        # directories nested in new directories stay, empty.  Any other
        # difference fails.
        diff <(printf '%s\n' "$before") <(snapshot "${tops[@]}") | grep '^[<>]' >"$work/${ps[0]}.tree.diff" || true
        left=$(awk '$1 == ">" && $3 == "d" { print "." $2 "/" }' "$work/${ps[0]}.tree.diff" |
            grep -cxFf <(cat "${tops[@]/%/.manifest}" 2>/dev/null) || true)
        other=$(grep -c . "$work/${ps[0]}.tree.diff" || true)
        other=$((other - left))
        for p in "${ps[@]}"; do
            if [ "$other" -gt 0 ]; then
                VERDICTS[$p]="FAIL: the tree differs after removal ($other lines, $work/${ps[0]}.tree.diff)"
            elif [ "$left" -gt 0 ] && [[ ${VERDICTS[$p]} != FAIL* ]]; then
                VERDICTS[$p]="${VERDICTS[$p]}, tree as before but $left empty new directories (group)"
            fi
        done
        for p in "${ps[@]}"; do
            [[ ${VERDICTS[$p]} = FAIL* ]] && failed=1
            line "$p" "${VERDICTS[$p]}"
        done
    done
    exit "$failed"
fi

# ------------------------------------------------------------------ host
top=$(cd "$(dirname "$0")/../.." && pwd)
build=$(mkdir -p "${1:-$top/build}" && cd "${1:-$top/build}" && pwd)
cache=${PI_DEB_CACHE:-/var/cache/plugin_intn-debs}
work=$build/real-packages
[ "$(id -u)" = 0 ] || { echo "real-packages: run as root (apt-get download into $cache)" >&2; exit 2; }

{ [ -f "$build/CMakeCache.txt" ] || cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null; } &&
    cmake --build "$build" -j "${JOBS:-2}" --target pluginctl sandbox-run srgtool mkplugin >/dev/null

mkdir -p "$cache"
missing=()
for p in "${PACKAGES[@]}"; do compgen -G "$cache/${p}_*.deb" >/dev/null || missing+=("$p"); done
if [ ${#missing[@]} -gt 0 ]; then
    # A fresh machine has no package lists yet: one apt-get update, then again.
    download() { (cd "$cache" && apt-get download "${missing[@]}" 2>&1 | grep -v '^W: Download is performed unsandboxed'); }
    download || { apt-get update -qq && download; } ||
        { echo "real-packages: apt-get download ${missing[*]} failed" >&2; exit 1; }
fi

rm -rf "$work"
mkdir -p "$work" "$cache/images"
declare -A VERSION DEB
for p in "${PACKAGES[@]}"; do
    DEB[$p]=$(ls -t "$cache/${p}"_*.deb | head -1)
    VERSION[$p]=$(dpkg-deb -f "${DEB[$p]}" Version)
done
# Images are kept in the cache too, by package file and by the tools that made them.
tools=$(cat "$build/tools/mkplugin" "$build/tools/srgtool" | sha1sum | cut -c1-12)
t=$SECONDS
for p in "${PACKAGES[@]}"; do
    deps=()
    for d in $(dpkg-deb -f "${DEB[$p]}" Depends | tr ',|' '\n\n' | awk '{ print $1 }'); do
        [ -n "${VERSION[$d]:-}" ] && deps+=(--dep "$d-${VERSION[$d]}")
    done
    echo "$p-${VERSION[$p]}" >"$work/$p.swid"
    # The directories (three levels at most) the package brings files to, for the snapshots.
    dpkg-deb -c "${DEB[$p]}" | awk '$6 !~ /\/$/ { n = split($6, a, "/"); d = "";
        for (i = 2; i < n && i <= 4; i++) d = d "/" a[i]; if (d != "") print d }' | sort -u >"$work/$p.tops"
    "$build/tools/srgtool" make --swid "$p-${VERSION[$p]}" "${deps[@]}" -o "$work/$p.sro"
    img=$cache/images/$(basename "${DEB[$p]}" .deb).$tools.img
    if [ ! -f "$img" ] || ! cmp -s "$img.sro" "$work/$p.sro"; then
        dpkg-deb -x "${DEB[$p]}" "$work/$p.root"
        LC_ALL=C "$build/tools/mkplugin" --record "$work/$p.sro" -o "$img.new" "$work/$p.root"
        cp "$work/$p.sro" "$img.sro" && mv "$img.new" "$img"
        rm -rf "$work/$p.root"
    fi
    ln -s "$img" "$work/$p.img"
done
# The image of the package with non-ASCII names extracts to the names and bytes dpkg-deb gives.
check=golang-1.19-src
mkdir "$work/$check.root" "$work/$check.check"
dpkg-deb -x "${DEB[$check]}" "$work/$check.root"
tar -xzf "$work/$check.img" -C "$work/$check.check"
diff -r --no-dereference "$work/$check.root" "$work/$check.check" >/dev/null ||
    { echo "real-packages: $check's image does not extract to what dpkg-deb -x gives" >&2; exit 1; }
[ "$(cd "$work/$check.root" && find . | LC_ALL=C sort | sha1sum)" = "$(cd "$work/$check.check" && find . | LC_ALL=C sort | sha1sum)" ] ||
    { echo "real-packages: $check's image does not extract to the names dpkg-deb -x gives" >&2; exit 1; }
ascii=$(cd "$work/$check.root" && LC_ALL=C find . -name '*[! -~]*' | head -1)
[ -n "$ascii" ] && [ -e "$work/$check.check/$ascii" ] ||
    { echo "real-packages: no non-ASCII name in $check, or not extracted" >&2; exit 1; }
rm -rf "$work/$check.root" "$work/$check.check"
echo "real-packages: ${#PACKAGES[@]} images ready in $((SECONDS - t))s (cache $cache); $check extracts to dpkg-deb -x's names and bytes (e.g. ${ascii#./})"

exec "$build/tools/sandbox-run" --state "$work/state" --reset -- "$top/tests/real_packages/run.sh" --inside "$work" "$build"

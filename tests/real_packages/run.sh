#!/usr/bin/env bash
# tests/real_packages/run.sh - real Debian packages through the whole road.
#
#   tests/real_packages/run.sh [BUILD]       (make real-packages; as root)
#
# Fetches a fixed list of packages by name with `apt-get download` into a cache
# kept between runs (PI_DEB_CACHE, /var/cache/plugin_intn-debs; nothing is
# installed), turns each into a plugin image (its data as dpkg-deb -x gives it,
# swid PACKAGE-VERSION, dependencies from Depends where the dependency is in
# the list), then inside sandbox-run installs each with `pluginctl install`,
# runs a program through the links, verifies, removes, verifies, and compares
# the tree with the snapshot taken before.  One line per package: entries, seconds to install and to
# remove, verdict.  Then the same for the packages of USER_PACKAGES as an
# ordinary user (PI_USER, default pitest, made when missing) in a copy of the
# tracked tree in its home.  Exit status 0 when every verdict is as expected.
set -euo pipefail

# The list: many files and non-ASCII names; a program with its libraries that
# depends on the first; a package with files in /usr/share/doc, /usr/share/man,
# /usr/lib/x86_64-linux-gnu and /etc; a large one with documentation; one
# whose files the host already has (the installer must refuse it, naming the file).
PACKAGES=(golang-1.19-src golang-1.19-go rsyslog qemu-system-misc libpam-cap)
CONFLICTS=(libpam-cap)
# A component starting with '-' (testdata/-not-hidden/): the check refuses it.
REFUSED=(golang-1.19-src)
USER_PACKAGES=(golang-1.19-go qemu-system-misc)
declare -A RUN=([golang-1.19-go]=/usr/lib/go-1.19/bin/go)
declare -A RUN_ARGS=([golang-1.19-go]=version)

# ------------------------------------------------------------------ inside
# Runs inside sandbox-run: $2 = work directory, $3 = build directory, then the packages.
if [ "${1:-}" = --inside ]; then
    work=$2 ctl=$3/tools/pluginctl
    shift 3
    mkdir -p /velm/plugin /velm/plugin_srg
    # The tree a package may change: every path with its type, bits, owner, and a file's size
    # or a link's target, below the directories the packages bring files to.
    snapshot() {
        { find $(cat "${@/%/.tops}" | sort -u) /velm/plugin /velm/plugin_srg \
            \( -type d -printf '%p %y %m %u %g\n' \) -o -printf '%p %y %m %u %g %s %l\n' \
            2>/dev/null || true; } | LC_ALL=C sort
    }
    now() { date +%s.%N; }
    since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.2f", b - a }'; }
    has() { [[ " $1 " = *" $2 "* ]]; }

    # Installs p (with --force-depends when a dependency is refused): VERDICT, and INSTALLED[p].
    install() {
        local p=$1 t out force=() undone="; the tree is as before"
        t=$(now)
        for d in $(<"$work/$p.deps"); do has "${REFUSED[*]}" "$d" && force=(--force-depends); done
        out=$("$ctl" install "${force[@]}" "$work/$p.img" 2>"$work/$p.lines") && INSTALLED[$p]=1
        echo "$out" >"$work/$p.out"
        if has "${CONFLICTS[*]}" "$p" && [[ $out = *" failed at conflicts$undone"* ]]; then
            VERDICT="conflict as expected: $(sed -n '2s/^ *//p' <<<"$out")"
        elif has "${REFUSED[*]}" "$p" && [[ $out = *" failed at check$undone"* ]]; then
            VERDICT="refused by the check as expected: $(sed -n '2s/^ *//p' <<<"$out")"
        elif [ -z "${INSTALLED[$p]:-}" ] || has "${CONFLICTS[*]} ${REFUSED[*]}" "$p"; then
            VERDICT="FAIL: $(head -2 <<<"$out" | tr '\n' ' ')"
        fi
        INSTALL_TIME[$p]=$(since "$t")
        local id
        id=$(sed -n 's/^installed .* as plugin \([0-9]*\):.*/\1/p' <<<"$out")
        ENTRIES[$p]=$(grep -c . "/velm/plugin_extract_log/plugin-$id.manifest" 2>/dev/null || true)
    }
    runs() {
        local p=$1 prog=${RUN[$1]:-} real out
        [ -n "$prog" ] || return 0
        real=$(readlink -f "$prog")
        [[ $real = /velm/plugin/* ]] || { VERDICT="FAIL: $prog resolves to $real"; return; }
        if out=$("$prog" ${RUN_ARGS[$p]:-} 2>&1); then
            VERDICT="$VERDICT, ran $prog ${RUN_ARGS[$p]:-} (${real%%/usr/*}): $(head -1 <<<"$out")"
        else
            VERDICT="FAIL: $prog: $out"
        fi
    }
    # The installer's own audit must be clean with the group in and after it left.
    verified() {
        "$ctl" verify >"$work/verify.out" 2>&1 && return
        for p in "${@:2}"; do VERDICTS[$p]="FAIL: verify $1: $(head -1 "$work/verify.out")"; done
    }

    declare -A ENTRIES INSTALL_TIME REMOVE_TIME VERDICTS INSTALLED
    failed=0
    # A package goes in the group of the packages of the list it depends on: dependencies
    # first in, last out.
    groups=()
    for p in "$@"; do
        for d in $(<"$work/$p.deps"); do
            has "$*" "$d" && for i in "${!groups[@]}"; do
                has "${groups[i]}" "$d" && { groups[i]+=" $p"; continue 3; }
            done
        done
        groups+=("$p")
    done
    for group in "${groups[@]}"; do
        read -r -a ps <<<"$group"
        tops=("${ps[@]/#/$work/}")
        before=$(snapshot "${tops[@]}")
        for p in "${ps[@]}"; do
            VERDICT=ok
            install "$p"
            [[ $VERDICT = FAIL* ]] || runs "$p"
            VERDICTS[$p]=$VERDICT
        done
        verified installed "${ps[@]}"
        for ((i = ${#ps[@]} - 1; i >= 0; i--)); do
            p=${ps[i]} t=$(now)
            [ -z "${INSTALLED[$p]:-}" ] || "$ctl" remove "$(<"$work/$p.swid")" >>"$work/$p.out" \
                2>>"$work/$p.lines" || VERDICTS[$p]="FAIL: remove: $(tail -1 "$work/$p.out")"
            REMOVE_TIME[$p]=$(since "$t")
        done
        verified removed "${ps[@]}"
        # Anything the group left behind, or took away, fails it.
        diff <(printf '%s\n' "$before") <(snapshot "${tops[@]}") >"$work/${ps[0]}.tree.diff" ||
            for p in "${ps[@]}"; do
                VERDICTS[$p]="FAIL: the tree differs after removal ($work/${ps[0]}.tree.diff)"
            done
        for p in "${ps[@]}"; do
            [[ ${VERDICTS[$p]} = FAIL* ]] && failed=1
            printf '%-18s %7s entries  install %6ss  remove %6ss  %s\n' "$p" "${ENTRIES[$p]:-0}" \
                "${INSTALL_TIME[$p]}" "${REMOVE_TIME[$p]}" "${VERDICTS[$p]}"
        done
    done
    exit "$failed"
fi

# ------------------------------------------------------------------ host
top=$(cd "$(dirname "$0")/../.." && pwd)
build=$(mkdir -p "${1:-$top/build}" && cd "${1:-$top/build}" && pwd)
cache=${PI_DEB_CACHE:-/var/cache/plugin_intn-debs}
work=$build/real-packages
[ "$(id -u)" = 0 ] ||
    { echo "real-packages: run as root (apt-get download into $cache)" >&2; exit 2; }

[ -f "$build/CMakeCache.txt" ] ||
    cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || exit
cmake --build "$build" -j "${JOBS:-2}" --target pluginctl sandbox-run srgtool mkplugin >/dev/null ||
    exit

mkdir -p "$cache"
missing=()
for p in "${PACKAGES[@]}"; do compgen -G "$cache/${p}_*.deb" >/dev/null || missing+=("$p"); done
if [ ${#missing[@]} -gt 0 ]; then
    # A fresh machine has no package lists yet: one apt-get update, then again.
    download() {
        (cd "$cache" && apt-get download "${missing[@]}" 2>&1 | grep -v '^W: .* unsandboxed')
    }
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
        [ -n "${VERSION[$d]:-}" ] && deps+=(--dep "$d-${VERSION[$d]}") && echo "$d"
    done >"$work/$p.deps"
    echo "$p-${VERSION[$p]}" >"$work/$p.swid"
    # The directories (three levels at most) the package brings files to, for the snapshots.
    dpkg-deb -c "${DEB[$p]}" | awk '$6 !~ /\/$/ { n = split($6, a, "/"); d = "";
        for (i = 2; i < n && i <= 4; i++) d = d "/" a[i]; if (d != "") print d }' |
        sort -u >"$work/$p.tops"
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
# diff -r names every name that only one side has, and every file whose bytes differ.
diff -r --no-dereference "$work/$check.root" "$work/$check.check" >/dev/null ||
    { echo "real-packages: $check's image does not extract to what dpkg-deb -x gives" >&2; exit 1; }
ascii=$(cd "$work/$check.root" && LC_ALL=C find . -name '*[! -~]*' | head -1)
[ -n "$ascii" ] && [ -e "$work/$check.check/$ascii" ] ||
    { echo "real-packages: no non-ASCII name in $check, or not extracted" >&2; exit 1; }
rm -rf "$work/$check.root" "$work/$check.check"
echo "real-packages: ${#PACKAGES[@]} images ready in $((SECONDS - t))s (cache $cache);" \
    "$check extracts to dpkg-deb -x's names and bytes (e.g. ${ascii#./})"

"$build/tools/sandbox-run" --state "$work/state" --reset -- \
    "$top/tests/real_packages/run.sh" --inside "$work" "$build" "${PACKAGES[@]}" || exit

# The ordinary user: its own copy of the tracked tree and build, the images read from here.
user=${PI_USER:-pitest}
id -u "$user" >/dev/null 2>&1 || useradd -m -s /bin/bash "$user"
home=$(getent passwd "$user" | cut -d: -f6)
src=$home/plugin_intn-real
mkdir -p "$src"
git -C "$top" ls-files -z | (cd "$top" && xargs -0 cp --parents -t "$src")
uwork=$src/build/real-packages
rm -rf "$uwork" && mkdir -p "$uwork"
for p in "${USER_PACKAGES[@]}"; do
    cp "$work/$p".{swid,deps,tops} "$uwork/" && ln -s "$(readlink "$work/$p.img")" "$uwork/$p.img"
done
chown -R "$user:" "$src"
echo "real-packages: as $user"
runuser -u "$user" -- bash -c "cmake -S '$src' -B '$src/build' -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPI_BUILD_TESTS=OFF >/dev/null && cmake --build '$src/build' -j ${JOBS:-2} \
    --target pluginctl sandbox-run >/dev/null && '$src/build/tools/sandbox-run' \
    --state '$uwork/state' --reset -- '$src/tests/real_packages/run.sh' --inside '$uwork' \
    '$src/build' ${USER_PACKAGES[*]}"

#!/usr/bin/env bash
# make syscall-faults: every file-changing operation, run through pluginctl in a private root
# (sandbox-run) under strace's fault injection.  For each call kind below that the operation makes
# on its own paths (-P narrows strace to them, so position k is the operation's k-th such call in
# its process, children included), every position k fails once with each error of its kind and is
# killed once with SIGKILL.  A run must give a result of the row's set (success only where the row
# says the failed call is ignored), leave the files as the row's check wants and no descriptor
# open; then the row's recovery must bring the tree back to where it started.
#   tests/syscall_faults/run.sh [BUILD]        (root, or an ordinary user where ptrace is allowed)
#   SF_ONLY='OPERATION/INJECTION' tests/syscall_faults/run.sh [BUILD]    one run, with its trace
#   SF_ROWS='install remove' tests/syscall_faults/run.sh [BUILD]          only those rows
set -u
top=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
ctl=$build/tools/pluginctl fx=$build/syscall-faults
P=/velm/plugin/3 S=/velm/plugin/5 L=/velm/plugin_extract_log
LINKS="/usr/ /usr/bin/ /usr/bin/sfa /usr/bin/sfb /opt/ /opt/n/ /opt/n /opt/n/c"
TREE="$P $P/usr $P/usr/bin $P/usr/bin/sfa $P/usr/bin/sfb $P/opt $P/opt/n $P/opt/n/c $P/opt/n/new"
SRO="$S $S/plugin.sro /velm/plugin_srg/plugin-sf-1.0.sro"
# The installer (plugin si-1.0, id 0 in the installer's map): its own files beside the map, the
# plugin's tree and the names it links; the check runs recover, then wants the tree as before or
# after (journal and lock aside), never a success that changed nothing, and verify clean.
I=/velm/plugin/0 IL=$L/installer/0.link
INST="$L/installer.journal $L/swid_map $L/swid_map.new $L/plugin-0.manifest $IL $IL.new $IL.unlink"
INST+=" $IL.unlink.new $I $I/plugin.sro /velm/plugin_srg/plugin-si-1.0.sro $I/usr $I/usr/bin"
INST+=" $I/usr/bin/sia $I/usr/bin/sib $I/opt $I/opt/si $I/opt/si/c /usr/bin/sia /usr/bin/sib"
INST+=" /opt/si /opt/si/c"
# The link manifest lists a file before the first directory that linking creates: with no link
# made a failed link leaves the directories it created, and this row wants the tree as it started.
# Where a row lets a failed call still give success, the operation is documented to ignore it:
# unlink ignores a failed remove; extraction, the overlay, record cleanup and plugin_rmdir run
# their work as shell commands whose exit status is never looked at (the overlay reports nothing
# at all); plugin_save_sro and plugin_write_remaining_load do not look at the close; the map's
# flock results are not examined, and its read (before the append writes) does not look at the
# close either.
# operation | pluginctl arguments | paths (-P) | results of a failed call | calls whose failure
#   the operation ignores (* all) | set-up (once) | before each run | check | recovery
# (A row goes on after a backslash at the end of a line; no field starts with a blank.)
ROWS="link|link $fx/link.log $P|$LINKS|PLUGIN_ERR_MKDIR PLUGIN_ERR_LINK||plant|:|same|\
ctl unlink $fx/link.log $P
unlink|unlink $fx/link.log $P|$LINKS|PLUGIN_OK|*|plant|ctl link $fx/link.log $P|-|\
ctl unlink $fx/link.log $P
extract|extract $fx/sf.img $P --manifest $L/x.log|$fx/sf.img $L/x.log $TREE|\
PLUGIN_OK PLUGIN_ERR_IMG_OPEN|*|:|mkdir -p $P|-|ctl rmdir $P
newer-fs|newer-fs $fx/sf.img $L/n.log $P|$L/n.log $L/n.log-newer-fs $TREE|none|*|newerfs|\
plant; cp $fx/link.log $L/n.log|-|ctl rmdir $P
extract-member|extract-member /opt/sys --manifest $L/v.log|\
/ /opt/sys /opt/sys/a /opt/sys/b $L/v.log|PLUGIN_OK|*|velm|:|-|ctl rmdir /opt/sys
plugin_save_sro|record save 5 $fx/sf.sro|$SRO|\
PLUGIN_ERR_OPEN PLUGIN_ERR_WRITE PLUGIN_ERR_LINK|close|:|mkdir $S|sro|\
ctl record cleanup 5; ctl rmdir $S
plugin_cleanup_sro|record cleanup 5|$SRO|PLUGIN_OK|*|:|mkdir $S; ctl record save 5 $fx/sf.sro|-|\
ctl record cleanup 5; ctl rmdir $S
plugin_write_swid_map|swid-map append $L/map sf-9|$L/map|PLUGIN_ERR_OPEN PLUGIN_ERR_WRITE|\
flock close|map0|cp $fx/map $L/map|map|:
plugin_write_remaining_load|stage-boot write 1 2 3|$L/stage_boot|\
PLUGIN_ERR_OPEN PLUGIN_ERR_WRITE|close|stage0|cp $fx/stage $L/stage_boot|stage|:
plugin_mkdir|mkdir $S --mode 750|$S|PLUGIN_ERR_FAILED||:|:|same|ctl rmdir $S
plugin_rmdir|rmdir $P|$TREE|PLUGIN_OK|*|:|plant|-|ctl rmdir $P
install|install $fx/si.img|$INST|installed install none||inst0|:|inst|\
ctl recover; ctl remove si-1.0
remove|remove si-1.0|$INST|removed remove none||inst0; ctl install $fx/si.img|:|inst|\
ctl recover; ctl install $fx/si.img"
# Errors by call kind: writes and creates ENOSPC and EIO, opens EACCES, changes of the tree EROFS.
declare -A ERRS=([open]="EACCES ENOSPC EIO" [openat]="EACCES ENOSPC EIO" [creat]="EACCES ENOSPC"
  [write]="ENOSPC EIO" [pwrite64]="ENOSPC EIO" [writev]="ENOSPC EIO" [mkdir]="ENOSPC EIO EROFS"
  [mkdirat]="ENOSPC EIO EROFS" [symlink]="ENOSPC EIO EROFS" [symlinkat]="ENOSPC EIO EROFS"
  [unlink]="EIO EROFS" [unlinkat]="EIO EROFS" [rmdir]="EIO EROFS" [rename]="EIO EROFS"
  [renameat]="EIO EROFS" [renameat2]="EIO EROFS" [ftruncate]="EIO" [fsync]="EIO"
  [fdatasync]="EIO" [close]="EIO" [flock]="ENOLCK")

if [ "${2:-}" != --inside ]; then  # ------------------------------------------ host
  command -v strace >/dev/null || { echo "syscall-faults: strace is not installed" >&2; exit 2; }
  rm -rf "$fx" && mkdir -p "$fx/p/usr/bin" "$fx/p/opt/n" "$fx/sys/opt/sys" || exit 2
  echo a > "$fx/p/usr/bin/sfa" && ln -s sfa "$fx/p/usr/bin/sfb" && echo c > "$fx/p/opt/n/c"
  echo a > "$fx/sys/opt/sys/a" && echo b > "$fx/sys/opt/sys/b"
  mkdir -p "$fx/i/usr/bin" "$fx/i/opt/si" && echo a > "$fx/i/usr/bin/sia" &&
    ln -s sia "$fx/i/usr/bin/sib" && echo c > "$fx/i/opt/si/c"
  printf '%s\n' ./ ./usr/ ./usr/bin/ ./usr/bin/sfa ./opt/ ./opt/n/ ./opt/n/c ./usr/bin/sfb \
    > "$fx/link.log"
  "$build/tools/srgtool" make --swid sf-1.0 -o "$fx/sf.sro" &&
    "$build/tools/mkplugin" --record "$fx/sf.sro" -o "$fx/sf.img" "$fx/p" &&
    "$build/tools/mkplugin" --record "$fx/sf.sro" -o "$fx/velm.img" "$fx/sys" &&
    "$build/tools/srgtool" make --swid si-1.0 -o "$fx/si.sro" &&
    "$build/tools/mkplugin" --record "$fx/si.sro" -o "$fx/si.img" "$fx/i" || exit 2
  # Ptrace inside the sandbox's user namespace: say so and skip where the kernel refuses it.
  if ! "$build/tools/sandbox-run" --state "$fx/root" -- strace -o /dev/null true 2>"$fx/probe"; then
    echo "syscall-faults: SKIPPED: strace cannot trace inside sandbox-run here:" \
      "$(tail -1 "$fx/probe")"
    exit 0
  fi
  exec "$build/tools/sandbox-run" --state "$fx/root" --cmdline "use_newer_fs=yes quiet" -- \
    bash "$0" "$build" --inside
fi
# ------------------------------------------------------------------------------ inside the root
ctl() { "$ctl" "$@" >/dev/null 2>&1; }
plant() { mkdir -p $P && cp -a "$fx/p/." $P; }
newerfs() {
  local d=/bootflash/sf.img-newer-fs
  mkdir -p $d/opt/n $d/usr/bin && echo n > $d/opt/n/new && echo A > $d/usr/bin/sfa
}
velm() {
  mkdir -p /var/sysmgr/ftp/img-sync && cp "$fx/velm.img" /var/sysmgr/ftp/img-sync/curr-velm.img
}
map0() { ctl swid-map create "$fx/map" --bytes 6000 && ctl swid-map append "$fx/map" a-1 b-2; }
stage0() { ctl stage-boot write 7 7 7 && cp $L/stage_boot "$fx/stage"; }
# What a snapshot shows of each file: a directory's size is left out, since a
# directory copied up into the sandbox's upper layer changes size, not content.
SHOW=(\( -type d -printf '%p %y %m\n' \) -o -printf '%p %y %m %s %l\n')
snapshot() {
  find /usr/bin /opt /velm /bootflash /var/sysmgr -path $L -prune -o "${SHOW[@]}" | LC_ALL=C sort
}
# Checks of the files right after a run; $res is the result, $kill is set for a killed run.
same() { [ -n "$kill" ] || [ "$res" = PLUGIN_OK ] || [ "$(snapshot)" = "$start" ]; }
sro() {
  local f=$S/plugin.sro
  { [ ! -e $f ] || cmp -s -n "$(stat -c %s $f)" $f "$fx/sf.sro"; } && { [ "$res" != PLUGIN_OK ] ||
    { cmp -s $f "$fx/sf.sro" && [ "$(readlink /velm/plugin_srg/plugin-sf-1.0.sro)" = $f ]; }; }
}
inst0() { ctl install $fx/si.img; ctl remove si-1.0; }  # si-1.0 keeps id 0 from here on
isnap() {
  find /usr/bin /opt /velm -path $L/installer.journal -prune -o -path $L/swid_map.lock -prune \
    -o "${SHOW[@]}" | LC_ALL=C sort
}
inst() {
  ctl recover
  case $(isnap) in
  "$new") ;;
  "$old") [ "$res" != installed ] && [ "$res" != removed ] ;;
  *) false ;;
  esac && [ -z "$("$ctl" verify 2>/dev/null)" ]
}
# The map reads back as the old map, as the new one, or is refused as damaged: never wrong.
readback() {
  case $check in
  map) "$ctl" swid-map list $L/map ;;
  stage) "$ctl" stage-boot read ;;
  inst) isnap ;;
  esac 2>/dev/null
}
map() {
  case $(readback) in "$new") ;; "$old" | PLUGIN_ERR_CORRUPT*) [ "$res" != PLUGIN_OK ] ;;
  *) false ;; esac
}
stage() { case $(readback) in "$new") ;; "$old") [ "$res" != PLUGIN_OK ] ;; *) false ;; esac; }

# A live root's /opt is not empty; an empty one would go with the first unlink of a manifest
# that lists it.
mkdir -p $L /velm/plugin /velm/plugin_srg /opt/keep
tr=/tmp/sf.trace passed=0 failed=0
printf '%-28s %-34s %9s %6s %5s %-44s %s\n' operation "calls swept" positions errors kills \
  "results seen" "files matched"
while IFS='|' read -r op args paths okres ignored setup prep check recover; do
  [ -z "${SF_ONLY:-}" ] || [ "${SF_ONLY%%/*}" = "$op" ] || continue
  [ -z "${SF_ROWS:-}" ] || case " $SF_ROWS " in *" $op "*) ;; *) continue ;; esac
  rm -rf $P $S && eval "$setup" && start=$(snapshot) ||
    { echo "$op: set-up failed"; failed=$((failed + 1)); continue; }
  Pargs=(); for p in $paths; do Pargs+=(-P "$p"); done
  # One run: $1 the injection (empty for the clean run).  Sets res, fired, bad.
  run() {
    local inj=(${1:+-e inject=$1}) fds
    eval "$prep"
    old=$(readback)
    (PLUGINCTL_FDS=1 strace -f -o $tr "${Pargs[@]}" "${inj[@]}" "$ctl" $args \
      >/tmp/sf.out 2>/tmp/sf.err; :) 2>/dev/null
    res=$(tail -n 1 /tmp/sf.out | cut -d' ' -f1); res=${res:-none}
    fds=$(sed -n 's/^fds: //p' /tmp/sf.err); kill="" bad=""
    grep -q 'killed by SIGKILL' $tr && kill=1 && [ -z "$fds" ] && res=killed
    fired=$(grep -q 'INJECTED\|killed by SIGKILL' $tr && echo 1)
    [ -z "$1" ] && base_fds=$fds && new=$(readback)
    if [ -z "$kill" ] && [ -n "$1" ]; then
      allowed=" $okres "
      case " $ignored " in *" ${1%%:*} "* | " * ") allowed+="PLUGIN_OK none " ;; esac
      case $allowed in *" $res "*) ;; *) bad="result $res" ;; esac
    fi
    # An injected close error skips the call, so the descriptor stays open, unlike a real close.
    [ -z "$1" ] || [ -z "$fds" ] || [ "${1%%:*}" = close ] || [ "$fds" = "$base_fds" ] ||
      bad="${bad:+$bad, }$fds descriptors open at exit, $base_fds without the fault"
    [ "$check" = - ] || $check || bad="${bad:+$bad, }files after the run"
    eval "$recover"
    [ "$(snapshot)" = "$start" ] || bad="${bad:+$bad, }tree after the recovery ($recover)"
  }
  run ""
  [ -z "$bad" ] && case " PLUGIN_OK none installed removed " in *" $res "*) ;; *) false ;; esac ||
    { echo "$op: the run without a fault gave $res $bad"; failed=$((failed + 1)); continue; }
  # The call kinds the operation makes on its paths, with the most calls of each in one process;
  # opens only where some open creates or writes (a row whose opens all read sweeps none of them).
  counts=$(awk '$2 ~ /^[a-z0-9_]+\(/ {
      if ($2 ~ /^open/ && $0 ~ /O_WRONLY|O_RDWR|O_CREAT/) w[$2 ~ /^openat/ ? "openat" : "open"] = 1
      sub(/\(.*/, "", $2); n[$1 " " $2]++ }
    END { for (k in n) { split(k, a, " "); if (n[k] > m[a[2]]) m[a[2]] = n[k] }
      for (c in m) if (c !~ /^open/ || w[c]) print c, m[c] }' $tr | LC_ALL=C sort)
  calls="" positions=0 errors=0 kills=0 matched=0 runs=0 seen=""
  while read -r call most; do
    [ -n "${ERRS[$call]:-}" ] || continue
    calls+="$call "
    for ((k = 1; k <= most; k++)); do
      for e in ${ERRS[$call]} KILL; do
        inj=$call:$([ $e = KILL ] && echo signal=KILL || echo error=$e):when=$k
        [ -z "${SF_ONLY:-}" ] || [ "$op/$inj" = "$SF_ONLY" ] || continue
        run "$inj"; [ -z "${SF_ONLY:-}" ] || cat $tr /tmp/sf.out /tmp/sf.err
        [ -n "$fired" ] || continue
        runs=$((runs + 1)); [ $e = KILL ] && kills=$((kills + 1)) || errors=$((errors + 1))
        case " $seen " in *" $res "*) ;; *) seen+="$res " ;; esac
        case $bad in *files*|*tree*) ;; *) matched=$((matched + 1)) ;; esac
        if [ -z "$bad" ]; then passed=$((passed + 1)); else
          failed=$((failed + 1))
          echo "FAIL $op $inj: $bad; reproduce: SF_ONLY='$op/$inj' $0 $build" >&2
        fi
      done
      positions=$((positions + 1))
    done
  done <<<"$counts"
  printf '%-28s %-34s %9d %6d %5d %-44s %d/%d\n' "$op" "$calls" $positions $errors $kills \
    "${seen% }" $matched $runs
done <<<"$ROWS"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]

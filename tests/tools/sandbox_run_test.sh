#!/usr/bin/env bash
# sandbox-run: the root persists in the state directory between runs, /proc/cmdline
# shows the text given, the exit status is the command's, and the caller's
# root is untouched.  Writes only below STATE (in the build tree).
#   sandbox_run_test.sh SANDBOX_RUN STATE
set -euo pipefail
run=$1 state=$2
rm -rf "$state"
fails=0
check() { # what expected actual
    if [ "$2" != "$3" ]; then
        printf 'FAIL %s\n  expected: %q\n  actual:   %q\n' "$1" "$2" "$3"
        fails=$((fails + 1))
    fi
}
mark=/velm/sandbox-run-test-$$

status=0
out=$("$run" --state "$state" --cmdline "use_newer_fs=yes pdebug" -- /bin/sh -c \
      "cat /proc/cmdline; echo kept > $mark; mkdir -p /opt/x; exit 3") || status=$?
check "exit status of the command" 3 "$status"
check "/proc/cmdline inside" "use_newer_fs=yes pdebug" "$out"
check "file kept in the state directory" kept "$(cat "$state$mark")"
check "host root untouched" no "$([ -e "$mark" ] && echo yes || echo no)"

out=$("$run" --state "$state" -- /bin/sh -c "cat $mark /proc/cmdline; ls -d /opt/x /.host/usr")
check "second run sees the first's files and the default command line" \
      "kept
console=ttyS0 quiet
/.host/usr
/opt/x" "$out"

status=0
"$run" --state "$state" -- /no/such/program 2>/dev/null || status=$?
check "missing program" 127 "$status"
for args in "--state $state true" "-- true" "--state" "--state $state --cmdline" "--frob -- true"; do
    status=0
    # shellcheck disable=SC2086
    err=$("$run" $args 2>&1 >/dev/null) || status=$?
    check "usage status for: $args" 2 "$status"
    check "usage text for: $args" yes "$(grep -q '^usage: sandbox-run' <<<"$err" && echo yes || echo no)"
done
rm -rf "$state"
[ "$fails" -eq 0 ] && echo "sandbox-run: all checks passed"
exit "$fails"

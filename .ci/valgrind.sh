#!/bin/sh
# The suite under valgrind memcheck: every test case in its own process, as
# ctest runs it, with --leak-check=full --track-fds=yes --error-exitcode.
# A test fails when it fails, when memcheck reports an error or a leak
# (definite, indirect or possible), or when a descriptor is still open at exit
# that library or stand-in code opened.
#
# The test binaries define their own malloc family (fault injection) over
# glibc's __libc_malloc & co.  memcheck must replace only those underneath
# (somalloc=nouserintercepts): replacing the test's own malloc as well would
# bypass the injected failures.  Every block is still seen, so leaks count.
#
#   .ci/valgrind.sh [REGEX]       only the tests whose name matches REGEX
#
# Environment: BUILD (build), JOBS (2), VALGRIND_TIMEOUT (seconds per test, 1800).
set -eu
cd "$(dirname "$0")/.."
src=$(pwd)
build=${BUILD:-build}
jobs=${JOBS:-2}
filter=${1:-.}
command -v valgrind >/dev/null || { echo "valgrind: not installed (tools/setup valgrind installs it)" >&2; exit 2; }

[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" -j "$jobs"
build=$(cd "$build" && pwd)
out=$build/valgrind
rm -rf "$out"
mkdir -p "$out/logs"
(cd "$build" && ctest --show-only=json-v1) > "$out/tests.json"
cmake -DJSON="$out/tests.json" -DBUILD_DIR="$build" -DOUT="$out/all.sh" -P cmake/ctest-commands.cmake
grep -E -- "^pi_run_test '[^']*($filter)" "$out/all.sh" > "$out/tests.sh" || true
total=$(wc -l < "$out/tests.sh")

cat > "$out/run.sh" <<EOS
#!/bin/sh
# One test case under memcheck; prints "PASS name" or "FAIL name: reason".
pi_run_test() {
  name=\$1; cwd=\$2; shift 2
  # test names may hold '/', blanks and '#' (parameterized tests)
  log=$out/logs/\$(printf '%s' "\$name" | tr -c 'A-Za-z0-9._-' '_')
  cd "\$cwd" || { echo "FAIL \$name: no directory \$cwd"; return; }
  rc=0
  timeout ${VALGRIND_TIMEOUT:-1800} valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite,indirect,possible \\
    --errors-for-leak-kinds=definite,indirect,possible --track-fds=yes --error-exitcode=99 \\
    --fullpath-after= --num-callers=30 --vgdb=no --soname-synonyms=somalloc=nouserintercepts --suppressions=$src/.ci/valgrind.supp --log-file="\$log.%p.vg" "\$@" > "\$log.out" 2>&1 || rc=\$?
  why=""
  case \$rc in
    0) ;;
    99) why="memcheck errors" ;;
    124) why="timed out" ;;
    *) why="exit status \$rc" ;;
  esac
  # Descriptors open at exit whose opening stack runs through library code.
  for vg in "\$log".*.vg; do
    [ -f "\$vg" ] || continue
    if awk -v src="$src" '
        /Open (file descriptor|AF_UNIX socket|AF_INET socket|AF_INET6 socket)/ { inblock = 1; lib = 0; next }
        inblock && /^==[0-9]+== *\$/ { if (lib) bad++; inblock = 0; next }
        inblock && (index(\$0, src "/frame/") || index(\$0, src "/swid/") || index(\$0, src "/order/") ||
                    index(\$0, src "/image/") || index(\$0, src "/execpath/") || index(\$0, src "/boot/") ||
                    index(\$0, src "/platform/")) { lib = 1 }
        END { if (inblock && lib) bad++; exit bad ? 1 : 0 }' "\$vg"; then :; else
      why="\${why:+\$why, }descriptor left open by the library (\$vg)"
    fi
  done
  if [ -z "\$why" ]; then echo "PASS \$name"; else echo "FAIL \$name: \$why"; fi
}
eval "\$1"
EOS

echo "valgrind: $total test cases, $jobs at a time"
tr '\n' '\0' < "$out/tests.sh" | xargs -0 -r -n 1 -P "$jobs" sh "$out/run.sh" | tee "$out/results.txt"
passed=$(grep -c '^PASS ' "$out/results.txt" || true)
failed=$(grep -c '^FAIL ' "$out/results.txt" || true)
echo "valgrind: $passed passed, $failed failed of $total (logs in $out/logs)"
if [ "$failed" -ne 0 ] || [ "$passed" -ne "$total" ]; then
  grep '^FAIL ' "$out/results.txt" | while read -r _ name; do
    name=$(printf '%s' "${name%: *}" | tr -c 'A-Za-z0-9._-' '_')
    for vg in "$out/logs/$name".*.vg; do grep -q 'ERROR SUMMARY: [1-9]\|Open file\|Open AF' "$vg" 2>/dev/null && sed -n '1,200p' "$vg"; done
    sed -n '1,60p' "$out/logs/$name.out"
  done | head -400
  exit 1
fi

#!/bin/sh
# Fuzz smoke: every libFuzzer target (fuzz/) for FUZZ_SECONDS seconds from its
# seed corpus (fuzz/corpus/<target>/), built with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer.  Fails when any target finds a crash, a leak, a
# sanitizer report or a failed property; the input is kept under
# $FUZZ_BUILD/artifacts/.
#
#   .ci/fuzz-smoke.sh [TARGET...]
#
# Environment: FUZZ_BUILD (build-fuzz), FUZZ_SECONDS (60), JOBS (2: targets
# run side by side), CC/CXX (clang/clang++).
set -eu
cd "$(dirname "$0")/.."
build=${FUZZ_BUILD:-build-fuzz}
seconds=${FUZZ_SECONDS:-60}
jobs=${JOBS:-2}
cc=${FUZZ_CC:-clang}
cxx=${FUZZ_CXX:-clang++}
command -v "$cxx" >/dev/null || { echo "fuzz-smoke: $cxx missing (tools/setup fuzz-smoke installs it)" >&2; exit 2; }

if [ ! -f "$build/CMakeCache.txt" ]; then
  CC=$cc CXX=$cxx cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPI_FUZZ=ON -DPI_SANITIZE=ON -DPI_BUILD_TESTS=OFF >/dev/null
else
  cmake -S . -B "$build" >/dev/null
fi
cmake --build "$build" --target fuzz -j "$jobs"
build=$(cd "$build" && pwd)
src=$(pwd)

targets=${*:-$(cat "$build/fuzz/targets.txt")}
[ -n "$targets" ] || { echo "fuzz-smoke: no fuzz targets built" >&2; exit 1; }
mkdir -p "$build/artifacts" "$build/logs"

# One target: the working corpus lives in the build tree (visible inside the
# sandbox that file-reading targets enter); the committed seeds are read too.
cat > "$build/run-one.sh" <<EOS
#!/bin/sh
t=\$1
mkdir -p "$build/corpus/\$t"
seeds="$src/fuzz/corpus/\$t"
[ -d "\$seeds" ] || seeds=
rc=0
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \\
  timeout $((seconds + 120)) "$build/fuzz/\$t" -max_total_time=$seconds -close_fd_mask=3 \\
    -print_final_stats=1 -artifact_prefix="$build/artifacts/\$t-" \\
    "$build/corpus/\$t" \$seeds > "$build/logs/\$t.log" 2>&1 || rc=\$?
runs=\$(sed -n 's/^stat::number_of_executed_units: *//p' "$build/logs/\$t.log")
speed=\$(sed -n 's/^stat::average_exec_per_sec: *//p' "$build/logs/\$t.log")
units=\$(ls "$build/corpus/\$t" | wc -l)
if [ \$rc -eq 0 ]; then verdict=ok; else verdict="FAILED (exit \$rc)"; fi
printf '%-20s %12s executions %8s/s  corpus %5s  %s\n' "\$t" "\${runs:-?}" "\${speed:-?}" "\$units" "\$verdict"
EOS

echo "fuzz-smoke: $(echo $targets | wc -w) targets, ${seconds}s each, $jobs at a time"
printf '%s\n' $targets | xargs -n 1 -P "$jobs" sh "$build/run-one.sh" | tee "$build/results.txt"
if grep -q FAILED "$build/results.txt"; then
  for t in $(grep FAILED "$build/results.txt" | awk '{print $1}'); do
    echo "=== $t"; grep -v '^#\|^INFO\|^\s*$' "$build/logs/$t.log" | tail -60
  done
  exit 1
fi

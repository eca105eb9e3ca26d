#!/usr/bin/env bash
# Builds, then runs every benchmark (bench/) with short durations, a few minutes in all, and ends with
# their PASS/MISS lines. BENCH_FULL=1 runs them at full length (the figures in the README, about a quarter
# of an hour). Benchmarks measure; they are not tests, and a MISS does not fail this script.
#
# The feed-path benchmark needs Google Benchmark (Debian: apt-get install libbenchmark-dev); without it
# the others still run.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
"$root/scripts/deps.sh"
"$root/scripts/build.sh"
bin="$build/bench"

if [ "${BENCH_FULL:-0}" = 1 ]; then
    feed=() idle=(--seconds 60) growth=(--polls 5000) startup=(--rounds 10) bootpad_rounds=40
else
    feed=(--benchmark_min_time=0.1 --benchmark_repetitions=3) idle=(--seconds 15) growth=(--polls 5000)
    startup=(--rounds 5) bootpad_rounds=20
fi

log="$(mktemp)"
trap 'rm -f "$log"' EXIT
run() {
    local name=$1
    shift
    echo "=== $name"
    # A benchmark that cannot run is reported and the others go on.
    "$@" 2>&1 | tee -a "$log" || echo "  FAILED  $name did not run to the end" | tee -a "$log"
    echo
}

if [ -x "$bin/bench_feed" ]; then
    run bench_feed "$bin/bench_feed" "${feed[@]}"
else
    echo "=== bench_feed: not built (Google Benchmark missing: apt-get install libbenchmark-dev)" | tee -a "$log"
fi
run bench_idle "$bin/bench_idle" "${idle[@]}"
run bench_growth "$bin/bench_growth" "${growth[@]}"
run bench_startup "$bin/bench_startup" "${startup[@]}"
# The system's python3, not a version manager's shim that PATH may find first.
python=/usr/bin/python3
[ -x "$python" ] || python="$(command -v python3)"
run bench_bootpad "$bin/bench_bootpad" "$build/Crate Warden.app/Contents/MacOS/bootpad" "$python" "$bootpad_rounds"
# The engine's own benchmarks, in Python: large libraries of every DJ program, and the feed server.
if [ "${BENCH_FULL:-0}" = 1 ]; then
    library=() server=()
else
    library=(--tracks 20000 --sets 100 --idle 5) server=(--requests 20 --hold 4)
fi
run bench_engine_library "$python" "$root/bench/bench_engine_library.py" "${library[@]}"
run bench_engine_formats "$python" "$root/bench/bench_engine_formats.py" "${library[@]}"
run bench_engine_server "$python" "$root/bench/bench_engine_server.py" "${server[@]}"

echo "=== summary"
grep -E '^ *(PASS|MISS|FAILED) | (PASS|MISS)$' "$log" || true

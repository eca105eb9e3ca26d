#!/usr/bin/env bash
# Fuzzes the feed path (bytes → decode → apply → render → paint on an offscreen panel) with libFuzzer:
#
#   scripts/fuzz.sh [seconds] [extra libFuzzer flags...]     (default 600 seconds)
#
# Builds tests/fuzz/fuzz_feed with clang, AddressSanitizer and UndefinedBehaviorSanitizer into
# build-fuzz/ (or $FUZZ_BUILD_DIR), then fuzzes from the kept seeds in tests/data/fuzz into a scratch
# corpus in the build directory, with $FUZZ_JOBS parallel workers (default 1). An input that crashes,
# trips a sanitizer, leaves the panel contradicting its state, or holds the panel for more than 2 s
# (the hang limit; the rules allow the panel no freeze longer than a 1 s ping) stops the run and is
# written to build-fuzz/findings/. Replay one with: build-fuzz/tests/fuzz/fuzz_feed <file>.
#
# The kept corpus stays small on purpose: add a finding (once fixed) or a seed that reaches something new
# by copying it into tests/data/fuzz; tst_fuzz_corpus replays every file there in the ordinary suite.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${1:-600}"
shift || true
build="${FUZZ_BUILD_DIR:-$root/build-fuzz}"
jobs="${FUZZ_JOBS:-1}"

"$root/scripts/deps.sh"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCW_FUZZ=ON -DCW_SANITIZE=address,undefined \
    -DCW_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target fuzz_feed

mkdir -p "$build/corpus" "$build/findings"
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$root/tests/robustness/lsan.supp:print_suppressions=0}"
cd "$build"
flags=(-max_total_time="$seconds" -timeout=2 -max_len=65536 -rss_limit_mb=4096
       -dict="$root/tests/fuzz/feed.dict" -artifact_prefix="$build/findings/" -print_final_stats=1)
if [ "$jobs" -gt 1 ]; then
    flags+=(-fork="$jobs" -ignore_crashes=0)
fi
exec "$build/tests/fuzz/fuzz_feed" "${flags[@]}" "$@" "$build/corpus" "$root/tests/data/fuzz"

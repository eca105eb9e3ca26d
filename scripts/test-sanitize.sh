#!/usr/bin/env bash
# The whole test suite again, built with AddressSanitizer and UndefinedBehaviorSanitizer into build-asan/
# (or $ASAN_BUILD_DIR). Any report fails the test that caused it: memory errors and undefined behaviour
# abort at once, leaks are reported when a test program exits. Extra arguments go to ctest.
# Only our own programs carry the sanitizers; the Python interpreters the tests start run as they are.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${ASAN_BUILD_DIR:-$root/build-asan}"
"$root/scripts/deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCW_BUILD_TESTS=ON -DCW_SANITIZE=address,undefined >/dev/null
cmake --build "$build" -j"$(nproc)"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1"
export LSAN_OPTIONS="suppressions=$root/tests/robustness/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
cd "$build"
ctest --output-on-failure -j"$(nproc)" "$@"

#!/usr/bin/env bash
# Builds Kestal and runs every test: first a normal build, then the same suite
# under AddressSanitizer and UndefinedBehaviorSanitizer, then every fuzz target
# for 10 seconds from its seeds (scripts/fuzz.sh). Starts a throwaway
# PostgreSQL server for the run and stops it at the end, pass or fail.
#
#   scripts/test.sh            everything (what CI runs)
#   scripts/test.sh --quick    skip the slow lock time-out cases
set -euo pipefail
cd "$(dirname "$0")/.."

ctest_args=()
[ "${1:-}" = "--quick" ] && ctest_args=(-L quick)

scripts/deps.sh test
jobs=$(nproc)

eval "$(scripts/pg-cluster.sh start)"
trap 'scripts/pg-cluster.sh stop' EXIT
echo "PostgreSQL test server on 127.0.0.1:$KESTAL_PG_PORT"

run_suite() {  # run_suite BUILD_DIR [cmake args...]
  local dir=$1
  shift
  cmake -S . -B "$dir" -DKESTAL_BUILD_TESTS=ON "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
  (cd "$dir" && ctest --output-on-failure -j"$jobs" --timeout 600 "${ctest_args[@]}")
}

run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DKESTAL_SANITIZE=ON

# Each libFuzzer target for 10 s (clang, ASan+UBSan, build-fuzz): a crash, a
# hang or a broken invariant fails the run.
scripts/fuzz.sh 10

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
# The ODBC tests register the installed drivers (psqlODBC, SQLite's driver,
# FreeTDS) in a temporary odbcinst.ini of their own; an empty ODBCSYSINI keeps
# the system's files out of the run.
odbc_ini=$(mktemp -d "${TMPDIR:-/tmp}/kestal-odbc-XXXXXX")
export ODBCSYSINI=$odbc_ini ODBCINI=$odbc_ini/odbc.ini
trap 'scripts/pg-cluster.sh stop; rm -rf "$odbc_ini"' EXIT
echo "PostgreSQL test server on 127.0.0.1:$KESTAL_PG_PORT"

# Quick tests hold one "cpus" slot each, one slot a core; the slow ones hold
# none, as they mostly wait out time-outs, so they run in the extra -j places
# beside the busy ones (tests/CMakeLists.txt).
run_suite() {  # run_suite BUILD_DIR [cmake args...]
  local dir=$1
  shift
  cmake -S . -B "$dir" -DKESTAL_BUILD_TESTS=ON "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
  printf '{"version":{"major":1,"minor":0},"local":[{"cpus":[{"id":"0","slots":%d}]}]}\n' \
    "$jobs" >"$dir/ctest-resources.json"
  (cd "$dir" && ctest --output-on-failure -j$((jobs + 4)) --timeout 600 \
    --resource-spec-file ctest-resources.json "${ctest_args[@]}")
}

run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DKESTAL_SANITIZE=ON

# Each libFuzzer target for 10 s (clang, ASan+UBSan, build-fuzz): a crash, a
# hang or a broken invariant fails the run.
scripts/fuzz.sh 10

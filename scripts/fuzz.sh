#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer + UBSan, in
# build-fuzz) and runs each for a bounded time, starting from its seeds in
# fuzz/corpus/<target>/. Inputs the run finds go to build-fuzz/corpus/, never
# into the tree. A crash or failed invariant fails the run; its input is kept
# as build-fuzz/crash/<target>/crash-*.
#
#   scripts/fuzz.sh [SECONDS]   each target for SECONDS (default 60)
#   FUZZ_TARGETS="dbf csv" scripts/fuzz.sh 30    only these targets
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
case "$seconds" in
  '' | *[!0-9]*) echo "usage: $0 [SECONDS]" >&2; exit 2 ;;
esac
targets=${FUZZ_TARGETS:-"dbf tsql connection_string csv sql_operate"}
build=${FUZZ_BUILD_DIR:-build-fuzz}

scripts/deps.sh fuzz
cxx=$(command -v clang++-14 || command -v clang++ || true)
cc=$(command -v clang-14 || command -v clang || true)
[ -n "$cxx" ] && [ -n "$cc" ] || { echo "fuzz: clang not found (scripts/deps.sh fuzz installs clang-14)" >&2; exit 1; }

cmake -S . -B "$build" -DKESTAL_FUZZ=ON -DKESTAL_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" >/dev/null
# shellcheck disable=SC2086
cmake --build "$build" -j"$(nproc)" --target $(printf 'fuzz_%s ' $targets)

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
failed=()
for t in $targets; do
  work="$build/corpus/$t"
  crashes="$build/crash/$t"
  mkdir -p "$work" "$crashes"
  log="$build/fuzz-$t.log"
  echo "fuzz: $t for ${seconds}s"
  # -timeout: one input running for 10 s is a hang and fails the run too.
  if "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$crashes/" -print_final_stats=1 "$work" "fuzz/corpus/$t" >"$log" 2>&1; then
    echo "fuzz: $t passed ($(grep -a -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$') runs)"
  else
    echo "fuzz: $t FAILED; the input is under $crashes, the log in $log:" >&2
    grep -a -E -A12 'invariant failed|ERROR: (AddressSanitizer|libFuzzer|LeakSanitizer)|runtime error|deadly signal' "$log" | head -40 >&2 || tail -30 "$log" >&2
    failed+=("$t")
  fi
done

if ((${#failed[@]})); then
  echo "fuzz: FAILED: ${failed[*]}" >&2
  exit 1
fi
echo "fuzz: all targets passed"

#!/usr/bin/env bash
# The scale benchmark: a trade table of 10,000,000 rows in SQLite and in
# PostgreSQL and an order table file of 10,000,000 records, then Open, a
# window follow from key 0 to the end, the bridge copying the whole file
# (modes 0 and 2) and "dbf cat" of the whole file, each with its wall time and
# peak resident memory beside the engine's raw equivalent. It is a benchmark,
# not a test: scripts/test.sh does not run it.
#
#   scripts/scale-bench.sh                    10,000,000 rows (long: allow an hour, ~10 GB of disk)
#   SCALE_ROWS=1000000 scripts/scale-bench.sh a quicker look
#   SCALE_CASES=open,follow,cat               only those cases (of open, follow, bridge, cat)
#
# PostgreSQL: the server named by KESTAL_PG_CONN when it is set, otherwise a
# throwaway one (scripts/pg-cluster.sh) for the run; SCALE_PG=0 leaves
# PostgreSQL out. Scratch files go to $TMPDIR (or /tmp); the build goes to
# build-scale (SCALE_BUILD overrides).
set -euo pipefail
cd "$(dirname "$0")/.."

rows=${SCALE_ROWS:-10000000}
build=${SCALE_BUILD:-build-scale}
scripts/deps.sh bench

# About 1 KB per row over all the tables and files the run makes.
need_mb=$((rows * 1000 / 1048576))
free_mb=$(df -Pm "${TMPDIR:-/tmp}" | awk 'NR == 2 { print $4 }')
if [ "$free_mb" -lt "$need_mb" ]; then
  echo "scale-bench: $rows rows need about $need_mb MB in ${TMPDIR:-/tmp}, $free_mb MB free" >&2
  exit 1
fi

# A new build folder is a Release build; an existing one keeps its settings
# and gets the benchmarks added.
if [ -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -DKESTAL_BUILD_BENCH=ON >/dev/null
else
  cmake -S . -B "$build" -DKESTAL_BUILD_BENCH=ON -DKESTAL_BUILD_TESTS=OFF \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" -j"$(nproc)" --target kestal_tool kestal_scale >/dev/null

if [ "${SCALE_PG:-1}" != 0 ] && [ -z "${KESTAL_PG_CONN:-}" ]; then
  eval "$(scripts/pg-cluster.sh start)"
  trap 'scripts/pg-cluster.sh stop' EXIT
fi
[ "${SCALE_PG:-1}" = 0 ] && unset KESTAL_PG_CONN

SCALE_ROWS=$rows "$build/bench/kestal_scale" "$PWD/$build/kestal"

#!/usr/bin/env bash
# Builds and runs the benchmarks (bench/*.cpp), each of which reports the
# engine next to a baseline measured in the same run. Pass a benchmark name
# (e.g. engine_bench) to run only that one; further arguments go to it.
set -euo pipefail
cd "$(dirname "$0")/.."
# Peers that only the benchmarks compare against.
EXTRA_PACKAGES="lua-cjson lua-sql-sqlite3 curl python3" bash scripts/install-deps.sh
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DORVEX_BUILD_TESTS=OFF -DORVEX_BUILD_BENCH=ON >/dev/null
cmake --build build-bench -j"$(nproc)"
only="${1:-}"
[ $# -gt 0 ] && shift
for exe in build-bench/bench/*; do
  [ -x "$exe" ] && [ -f "$exe" ] || continue
  name=$(basename "$exe")
  if [ -n "$only" ] && [ "$name" != "$only" ]; then continue; fi
  echo "== $name"
  "$exe" "$@"
done

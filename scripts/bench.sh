#!/usr/bin/env bash
# Builds and runs the benchmarks (bench/*.cpp), each of which reports the
# engine next to a baseline measured in the same run, and ends with one
# "ratio <name> <value>" line per ratio. Pass a benchmark name (e.g.
# engine_bench) to build and run only that one; further arguments go to it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh bench
only="${1:-}"
[ $# -gt 0 ] && shift
if [ -n "$only" ] && [ ! -f "bench/$only.cpp" ]; then
  echo "bench.sh: no benchmark $only (bench/$only.cpp); there are:" $(cd bench && ls *_bench.cpp | sed 's/\.cpp$//') >&2
  exit 2
fi
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DORVEX_BUILD_TESTS=OFF -DORVEX_BUILD_BENCH=ON >/dev/null
if [ -n "$only" ]; then
  cmake --build build-bench -j"$(nproc)" --target "$only"
else
  cmake --build build-bench -j"$(nproc)"
fi
for exe in build-bench/bench/*; do
  [ -x "$exe" ] && [ -f "$exe" ] || continue
  name=$(basename "$exe")
  if [ -n "$only" ] && [ "$name" != "$only" ]; then continue; fi
  echo "== $name"
  "$exe" "$@"
done

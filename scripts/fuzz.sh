#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/, clang with AddressSanitizer and
# UndefinedBehaviorSanitizer, build directory build-fuzz) and runs them.
#
#   scripts/fuzz.sh [TARGET|all|replay] [SECONDS]
#
#   TARGET    json, ini, archive, codec, calls or strings; all (the default)
#             runs each
#   SECONDS   how long each target fuzzes (default 60); 0 only replays
#   replay    only replays the committed corpora (fuzz/corpus/<target>/)
#
# Each target first replays its committed corpus, then fuzzes with it and
# its dictionary (fuzz/<target>.dict). New corpus entries go to
# build-fuzz/corpus/<target>/ (kept between runs, never into the tree); a
# finding (crash, leak, time-out) goes to build-fuzz/findings/<target>/ and
# makes the script fail. Scratch directories of the targets live in a
# directory of this run (on /dev/shm when it can), removed at the end.
# Extra libFuzzer options: FUZZ_OPTIONS="-jobs=2 ...".
set -euo pipefail
cd "$(dirname "$0")/.."

ALL_TARGETS=(json ini archive codec calls strings)
what="${1:-all}"
seconds="${2:-60}"
if [ "$what" = replay ]; then what=all; seconds=0; fi
case "$what" in
  all) targets=("${ALL_TARGETS[@]}") ;;
  json | ini | archive | codec | calls | strings) targets=("$what") ;;
  *) echo "usage: scripts/fuzz.sh [json|ini|archive|codec|calls|strings|all|replay] [SECONDS]" >&2; exit 2 ;;
esac
[[ "$seconds" =~ ^[0-9]+$ ]] || { echo "SECONDS must be a whole number" >&2; exit 2; }

bash scripts/install-deps.sh
dir="$(pwd)/build-fuzz"
cmake -S . -B "$dir" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DORVEX_FUZZ=ON -DORVEX_WERROR=ON -DORVEX_BUILD_TESTS=OFF -DORVEX_BUILD_BENCH=OFF >/dev/null
cmake --build "$dir" -j"$(nproc)" --target "${targets[@]/#/fuzz_}"

base=/tmp
if [ -d /dev/shm ] && [ -w /dev/shm ]; then base=/dev/shm; fi
scratch="$(mktemp -d "$base/orvex-fuzz-run.XXXXXX")"
trap 'rm -rf "$scratch"' EXIT
export ORVEX_FUZZ_SCRATCH="$scratch"
export ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

# Per-target libFuzzer options. The calls target keeps one Lua state (and
# the engine's workers) across inputs by design: leak checks per input do
# not apply there.
options_for() {
  case "$1" in
    calls) echo "-max_len=1024 -detect_leaks=0" ;;
    archive) echo "-max_len=8192" ;;
    *) echo "-max_len=4096" ;;
  esac
}

failed=0
summary=()
for t in "${targets[@]}"; do
  exe="$dir/fuzz/fuzz_$t"
  seeds="$(pwd)/fuzz/corpus/$t"
  work="$dir/corpus/$t"
  findings="$dir/findings/$t"
  mkdir -p "$work" "$findings"
  log="$dir/fuzz-$t.log"
  read -r -a opts <<<"$(options_for "$t") ${FUZZ_OPTIONS:-}"
  common=(-timeout=30 -rss_limit_mb=4096 -print_final_stats=1 "-artifact_prefix=$findings/" "${opts[@]}")

  echo "== fuzz $t: replaying $(find "$seeds" -type f | wc -l) committed inputs"
  if ! "$exe" "${common[@]}" -runs=0 "$seeds" >"$log" 2>&1; then
    echo "fuzz $t: a committed input fails (log: $log)" >&2
    tail -n 40 "$log" >&2
    failed=1
    summary+=("$t: replay FAILED")
    continue
  fi
  if [ "$seconds" -eq 0 ]; then
    summary+=("$t: replay ok")
    continue
  fi

  echo "== fuzz $t: ${seconds}s"
  status=0
  "$exe" "${common[@]}" -dict="$(pwd)/fuzz/$t.dict" -max_total_time="$seconds" "$work" "$seeds" >"$log" 2>&1 || status=$?
  runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)"
  speed="$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)"
  line="$t: ${runs:-?} executions, ${speed:-?} per second, corpus $(find "$work" -type f | wc -l) entries"
  if [ "$status" -ne 0 ]; then
    echo "fuzz $t: finding (log: $log, input in $findings)" >&2
    grep -a -E "ERROR|SUMMARY|property failed|runtime error" "$log" | head -n 10 >&2 || true
    failed=1
    line="$line, FINDING"
  fi
  echo "$line"
  summary+=("$line")
done

echo "== fuzz summary"
printf '%s\n' "${summary[@]}"
exit "$failed"

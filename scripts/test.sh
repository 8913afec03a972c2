#!/usr/bin/env bash
# Builds and runs the test suite.
#   SANITIZE=address  AddressSanitizer + UndefinedBehaviorSanitizer build
#   SANITIZE=thread   ThreadSanitizer build
#   TESTS=concurrency only the concurrency tests (a CTest label)
#   BUILD_DIR=...     build directory (default build, build-asan, build-tsan)
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

sanitize="${SANITIZE:-}"
case "$sanitize" in
  "") dir="${BUILD_DIR:-build}" ;;
  address) dir="${BUILD_DIR:-build-asan}" ;;
  thread) dir="${BUILD_DIR:-build-tsan}" ;;
  *) echo "SANITIZE must be empty, address or thread" >&2; exit 2 ;;
esac

build_type=RelWithDebInfo
[ -n "$sanitize" ] && build_type=Debug
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE="$build_type" -DORVEX_WERROR=ON -DORVEX_SANITIZE="$sanitize" \
  -DORVEX_BUILD_TESTS=ON -DORVEX_BUILD_BENCH=OFF >/dev/null
cmake --build "$dir" -j"$(nproc)"

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}"

label_args=()
if [ -n "${TESTS:-}" ]; then label_args=(-L "$TESTS"); fi
cd "$dir"
ctest --output-on-failure -j"$(nproc)" "${label_args[@]}"

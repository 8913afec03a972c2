#!/usr/bin/env bash
# Builds and runs the test suite.
#   SANITIZE=address  AddressSanitizer + UndefinedBehaviorSanitizer build
#   SANITIZE=thread   ThreadSanitizer build
#   TESTS=concurrency only the concurrency tests (a CTest label); TESTS=allocfail
#                     the allocation-failure runs, which otherwise run in the
#                     address-sanitizer build only
#   BUILD_DIR=...     build directory (default build, build-asan, build-tsan)
#   TARGET=win32      the 32-bit Windows build (mingw-w64 cross build of the
#                     DLL, the orvex command and the tests), run under Wine in
#                     a Wine prefix of its own (default build dir build-win32)
set -euo pipefail
cd "$(dirname "$0")/.."

case "${TARGET:-}" in
  "" | linux) ;;
  win32)
    [ -z "${SANITIZE:-}" ] || { echo "TARGET=win32 has no sanitizer build" >&2; exit 2; }
    bash scripts/install-deps.sh test win32
    deps="$(pwd)/${WIN32_DEPS_DIR:-build-win32-deps}"
    bash scripts/win32-deps.sh "$deps"
    dir="$(pwd)/${BUILD_DIR:-build-win32}"
    cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake \
      -DORVEX_WIN32_DEPS="$deps/prefix" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVEX_WERROR=ON \
      -DORVEX_BUILD_TESTS=ON -DORVEX_BUILD_BENCH=OFF >/dev/null
    cmake --build "$dir" -j"$(nproc)"
    i686-w64-mingw32-strip -o "$dir/orvexLuaEngine-stripped.dll" "$dir/orvexLuaEngine.dll"
    echo "orvexLuaEngine.dll: $(stat -c %s "$dir/orvexLuaEngine.dll") bytes," \
      "$(stat -c %s "$dir/orvexLuaEngine-stripped.dll") stripped"

    # A Wine prefix of the build's own; its server stays up for the whole run
    # (-p) so that each test executable starts quickly, and goes with it.
    export WINEPREFIX="$dir/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    mkdir -p "$WINEPREFIX"
    wineserver -p >"$dir/wine.log" 2>&1
    trap 'wineserver -k >/dev/null 2>&1; wineserver -w >/dev/null 2>&1 || true' EXIT
    # Plain wineboot: "-i" starts a second service manager (services.exe)
    # beside the one the boot starts, each with its own list of services, so
    # a service that one created the other would not know.
    wineboot >>"$dir/wine.log" 2>&1
    # The allocation-failure runs belong to the address-sanitizer build.
    label_args=(-LE allocfail)
    if [ -n "${TESTS:-}" ]; then label_args=(-L "$TESTS"); fi
    (cd "$dir" && ctest --output-on-failure "${label_args[@]}")
    # The whole leg also makes and checks the Windows zip (scripts/install-check.sh).
    if [ -z "${TESTS:-}" ]; then TARGET=win32 BUILD_DIR="$dir" bash scripts/install-check.sh; fi
    exit 0
    ;;
  *) echo "TARGET must be empty, linux or win32" >&2; exit 2 ;;
esac

bash scripts/install-deps.sh test

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

# The allocation-failure runs (label allocfail) take minutes and are made to
# find leaks: they run in the address-sanitizer build, or when asked for.
label_args=()
if [ -n "${TESTS:-}" ]; then
  label_args=(-L "$TESTS")
elif [ "$sanitize" != address ]; then
  label_args=(-LE allocfail)
fi
cd "$dir"
ctest --output-on-failure -j"$(nproc)" "${label_args[@]}"

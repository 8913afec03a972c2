#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the benchmarks need.
# Idempotent: only what is missing is installed, so every entry point
# (README commands, .ci/run) can call it unconditionally.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config
  clang libclang-rt-14-dev
  liblua5.1-0-dev
  rapidjson-dev libsimpleini-dev
  libsqlite3-dev sqlite3
  libssl-dev openssl
  zlib1g-dev libminizip-dev zip unzip
  libcurl4-openssl-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  python3 procps
)

# The Windows leg (TARGET=win32): the i686 mingw-w64 cross compilers (the
# -posix variant, for std::thread and std::shared_mutex), zlib for them, Wine
# (32-bit, so the i386 architecture) to run the tests, and what
# scripts/win32-deps.sh needs to turn Debian source packages into static
# libraries (dpkg-dev for apt-get source, tclsh for the SQLite amalgamation).
if [ "${TARGET:-}" = win32 ]; then
  PACKAGES+=(
    g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix libz-mingw-w64-dev
    wine wine32:i386
    dpkg-dev tcl googletest
  )
fi

# Extra packages a caller asks for (e.g. benchmark peers): EXTRA_PACKAGES="a b".
if [ -n "${EXTRA_PACKAGES:-}" ]; then
  read -r -a extra <<<"$EXTRA_PACKAGES"
  PACKAGES+=("${extra[@]}")
fi

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "install-deps: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
if [ "${TARGET:-}" = win32 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null

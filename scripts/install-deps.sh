#!/usr/bin/env bash
# Installs the Debian packages a task needs, by group:
#
#   scripts/install-deps.sh [GROUP...]
#
#   build    compilers, CMake and the libraries the engine is built on
#            (scripts/demo.sh: building and running the orvex command)
#   test     build, plus GoogleTest and the peers the tests compare against
#            (scripts/test.sh)
#   fuzz     build, plus clang with its sanitizer runtimes (fuzz targets)
#   bench    build, plus Google Benchmark and the benchmarks' peers
#            (scripts/bench.sh)
#   package  build, plus what CPack's Debian package needs (dpkg-shlibdeps,
#            file) (scripts/install-check.sh)
#   win32    the 32-bit Windows leg (also chosen by TARGET=win32)
#
# Without a group: build, test, fuzz, bench and package. EXTRA_PACKAGES="a b"
# adds packages by name. Idempotent: only what is missing is installed, so
# every entry point (README commands, .ci/run) can call it unconditionally.
set -euo pipefail

BUILD=(
  build-essential cmake pkg-config
  liblua5.1-0-dev
  rapidjson-dev libsimpleini-dev
  libsqlite3-dev
  libssl-dev
  zlib1g-dev libminizip-dev
  libcurl4-openssl-dev
)
TEST=(
  libgtest-dev libgmock-dev
  sqlite3 openssl zip unzip
  python3 procps
)
FUZZ=(clang libclang-rt-14-dev)
BENCH=(libbenchmark-dev lua-cjson lua-sql-sqlite3 curl python3)
PACKAGE=(dpkg-dev file)
# The i686 mingw-w64 cross compilers (the -posix variant, for std::thread
# and std::shared_mutex), zlib for them, Wine (32-bit, so the i386
# architecture) to run the tests, and what scripts/win32-deps.sh needs to
# turn Debian source packages into static libraries (dpkg-dev for apt-get
# source, tclsh for the SQLite amalgamation). unzip lists the Windows zip.
WIN32=(
  g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix libz-mingw-w64-dev
  wine wine32:i386
  dpkg-dev tcl googletest unzip
)

groups=("$@")
if [ ${#groups[@]} -eq 0 ]; then groups=(build test fuzz bench package); fi
if [ "${TARGET:-}" = win32 ]; then groups+=(win32); fi

PACKAGES=("${BUILD[@]}")
win32=false
for g in "${groups[@]}"; do
  case "$g" in
    build) ;;
    test) PACKAGES+=("${TEST[@]}") ;;
    fuzz) PACKAGES+=("${FUZZ[@]}") ;;
    bench) PACKAGES+=("${BENCH[@]}") ;;
    package) PACKAGES+=("${PACKAGE[@]}") ;;
    win32) PACKAGES+=("${WIN32[@]}"); win32=true ;;
    *) echo "install-deps: unknown group $g (build, test, fuzz, bench, package, win32)" >&2; exit 2 ;;
  esac
done

if [ -n "${EXTRA_PACKAGES:-}" ]; then
  read -r -a extra <<<"$EXTRA_PACKAGES"
  PACKAGES+=("${extra[@]}")
fi

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    case " ${missing[*]:-} " in *" $p "*) ;; *) missing+=("$p") ;; esac
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "install-deps: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
if $win32 && ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
# A mirror in the middle of a sync serves an index whose size does not match
# its release file, and apt-get update then fails for that index alone. Such
# failures usually pass within minutes: update and install are tried a few times,
# and an install is tried even after an update that failed (the indexes that
# did arrive often hold every missing package).
attempts=5
for attempt in $(seq "$attempts"); do
  updated=true
  $SUDO apt-get update -qq || updated=false
  if $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null; then
    exit 0
  fi
  if [ "$attempt" -eq "$attempts" ]; then break; fi
  $updated || echo "install-deps: the package indexes could not all be fetched" >&2
  echo "install-deps: trying again in $((attempt * 30)) s" >&2
  sleep $((attempt * 30))
done
echo "install-deps: could not install ${missing[*]}" >&2
exit 1

#!/usr/bin/env bash
# Builds the static libraries the 32-bit Windows build needs and Debian ships
# no mingw-w64 package for, from Debian's own sources:
#   Lua 5.1    apt-get source lua5.1, compiled as C++ (a Lua error is a C++
#              exception and unwinds C++ frames)
#   SQLite     apt-get source sqlite3, amalgamation made with tclsh
#   minizip    apt-get source minizip (the Debian-patched one)
#   GoogleTest the sources of Debian's googletest package (/usr/src/googletest)
# zlib comes from libz-mingw-w64-dev; RapidJSON and SimpleIni are header-only
# and are copied from rapidjson-dev and libsimpleini-dev.
#
# Usage: scripts/win32-deps.sh [DIR]   (default build-win32-deps)
# Installs into DIR/prefix and prints nothing else on success. Idempotent:
# every step is skipped when its result is already there. Downloads only
# from the Debian archive configured for apt (it adds deb-src entries for
# the same archive when there are none).
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"

dir="${1:-build-win32-deps}"
mkdir -p "$dir"
dir="$(cd "$dir" && pwd)"
prefix="$dir/prefix"
src="$dir/src"
mkdir -p "$prefix/include" "$prefix/lib" "$src"

triple=i686-w64-mingw32
CC="$triple-gcc-posix"
CXX="$triple-g++-posix"
AR="$triple-ar"
jobs="$(nproc)"
log="$dir/build.log"

step() { echo "win32-deps: $*" >&2; }
fail() { echo "win32-deps: $* (see $log)" >&2; exit 1; }

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

# deb-src entries for the archive apt already uses.
ensure_deb_src() {
  if grep -rqsE '^(Types:.*deb-src|deb-src )' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    return
  fi
  step "adding deb-src entries"
  local list=/etc/apt/sources.list.d/debian.sources
  if [ -f "$list" ]; then
    # The same stanzas with Types: deb-src.
    sed -n '/^Types:/,$p' "$list" | sed 's/^Types:.*/Types: deb-src/' |
      $SUDO tee /etc/apt/sources.list.d/orvex-deb-src.sources >/dev/null
  else
    grep -hE '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' |
      $SUDO tee /etc/apt/sources.list.d/orvex-deb-src.list >/dev/null
  fi
  # An index of a mirror in the middle of a sync can fail to arrive; the
  # source indexes this needs usually did, and apt-get source below says so
  # plainly when not.
  $SUDO apt-get update -qq || step "apt-get update reported errors; going on with the indexes that arrived"
}

# Unpacks Debian source package $1 (patches applied) into $src/$1.
fetch_source() {
  local pkg="$1"
  [ -d "$src/$pkg" ] && return
  ensure_deb_src
  step "fetching source package $pkg"
  local tmp="$src/.fetch-$pkg"
  rm -rf "$tmp"
  mkdir -p "$tmp"
  (cd "$tmp" && apt-get source -qq "$pkg" >>"$log" 2>&1) || fail "apt-get source $pkg failed"
  local tree
  tree="$(find "$tmp" -mindepth 1 -maxdepth 1 -type d | head -n1)"
  [ -n "$tree" ] || fail "no source tree for $pkg"
  mv "$tree" "$src/$pkg"
  rm -rf "$tmp"
}

# --- Lua 5.1, as C++ --------------------------------------------------------
if [ ! -f "$prefix/lib/liblua5.1-c++.a" ]; then
  fetch_source lua5.1
  step "building Lua 5.1 (C++)"
  obj="$dir/obj/lua"
  rm -rf "$obj"
  mkdir -p "$obj"
  core="lapi lcode ldebug ldo ldump lfunc lgc llex lmem lobject lopcodes lparser lstate lstring
        ltable ltm lundump lvm lzio lauxlib lbaselib ldblib liolib lmathlib loslib ltablib lstrlib
        loadlib linit"
  for f in $core; do
    echo "$obj/$f.o $src/lua5.1/src/$f.c"
  done | xargs -P "$jobs" -n 2 sh -c \
    "$CXX -x c++ -O2 -fno-strict-aliasing -DLUA_WIN -w -c \"\$1\" -o \"\$0\"" >>"$log" 2>&1 ||
    fail "Lua build failed"
  rm -f "$prefix/lib/liblua5.1-c++.a"
  "$AR" rcs "$prefix/lib/liblua5.1-c++.a.tmp" "$obj"/*.o
  mkdir -p "$prefix/include/lua5.1"
  cp "$src/lua5.1/src/"{lua.h,luaconf.h,lualib.h,lauxlib.h} "$src/lua5.1/etc/lua.hpp" "$prefix/include/lua5.1/"
  mv "$prefix/lib/liblua5.1-c++.a.tmp" "$prefix/lib/liblua5.1-c++.a"
fi

# --- SQLite -----------------------------------------------------------------
if [ ! -f "$prefix/lib/libsqlite3.a" ]; then
  fetch_source sqlite3
  amalg="$dir/obj/sqlite-amalgamation"
  if [ ! -f "$amalg/sqlite3.c" ]; then
    step "making the SQLite amalgamation (tclsh)"
    rm -rf "$amalg"
    mkdir -p "$amalg"
    (cd "$amalg" && "$src/sqlite3/configure" --disable-tcl >>"$log" 2>&1 &&
      make -j"$jobs" sqlite3.c >>"$log" 2>&1) || fail "SQLite amalgamation failed"
  fi
  step "building SQLite"
  "$CC" -O2 -w -DSQLITE_THREADSAFE=1 -DSQLITE_ENABLE_COLUMN_METADATA -DSQLITE_ENABLE_FTS4 \
    -DSQLITE_ENABLE_RTREE -DSQLITE_ENABLE_JSON1 -c "$amalg/sqlite3.c" -o "$dir/obj/sqlite3.o" >>"$log" 2>&1 ||
    fail "SQLite build failed"
  cp "$amalg/sqlite3.h" "$amalg/sqlite3ext.h" "$prefix/include/"
  "$AR" rcs "$prefix/lib/libsqlite3.a.tmp" "$dir/obj/sqlite3.o"
  mv "$prefix/lib/libsqlite3.a.tmp" "$prefix/lib/libsqlite3.a"
fi

# --- minizip ----------------------------------------------------------------
if [ ! -f "$prefix/lib/libminizip.a" ]; then
  fetch_source minizip
  step "building minizip"
  mz="$src/minizip"
  [ -f "$mz/unzip.c" ] || mz="$(dirname "$(find "$src/minizip" -name unzip.c | head -n1)")"
  [ -f "$mz/unzip.c" ] || fail "minizip sources not found"
  obj="$dir/obj/minizip"
  rm -rf "$obj"
  mkdir -p "$obj"
  for f in ioapi unzip zip iowin32 mztools; do
    [ -f "$mz/$f.c" ] || continue
    "$CC" -O2 -w -c "$mz/$f.c" -o "$obj/$f.o" >>"$log" 2>&1 || fail "minizip build failed ($f.c)"
  done
  mkdir -p "$prefix/include/minizip"
  for h in ioapi.h unzip.h zip.h iowin32.h mztools.h crypt.h; do
    [ -f "$mz/$h" ] && cp "$mz/$h" "$prefix/include/minizip/"
  done
  "$AR" rcs "$prefix/lib/libminizip.a.tmp" "$obj"/*.o
  mv "$prefix/lib/libminizip.a.tmp" "$prefix/lib/libminizip.a"
fi

# --- header-only libraries --------------------------------------------------
if [ ! -f "$prefix/include/SimpleIni.h" ]; then
  cp -r /usr/include/rapidjson "$prefix/include/"
  for h in SimpleIni.h ConvertUTF.h; do
    [ -f "/usr/include/$h" ] && cp "/usr/include/$h" "$prefix/include/"
  done
fi

# --- GoogleTest ---------------------------------------------------------------
if [ ! -f "$prefix/lib/libgtest.a" ]; then
  [ -f /usr/src/googletest/CMakeLists.txt ] || fail "googletest sources missing (package googletest)"
  step "building GoogleTest"
  cmake -S /usr/src/googletest -B "$dir/obj/googletest" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-i686-w64-mingw32.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON >>"$log" 2>&1 || fail "GoogleTest configure failed"
  cmake --build "$dir/obj/googletest" -j"$jobs" >>"$log" 2>&1 || fail "GoogleTest build failed"
  cmake --install "$dir/obj/googletest" >>"$log" 2>&1 || fail "GoogleTest install failed"
fi

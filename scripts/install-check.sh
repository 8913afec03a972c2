#!/usr/bin/env bash
# Checks the library as a host gets it: installed, packaged, and built
# against.
#
# Linux (default):
#   - `cmake --install` into a scratch prefix gives exactly the files it
#     should (library with its SONAME and links, headers, the orvex command
#     with a relative RPATH, the CMake package, the pkg-config file, the
#     script reference) and nothing else;
#   - the prefix is moved (the install is relocatable), and against the moved
#     tree: orvex runs, examples/host is built through find_package and
#     through pkg-config and run, the README's embedding code (C++) and its C
#     code are compiled and run, and every public header compiles on its own
#     (OrvexEngine.h also as C89);
#   - `cpack -G DEB` makes the Debian package: its control fields, its
#     dependencies (computed from the binaries), its shlibs file and its files
#     are checked, it is unpacked into a scratch root (dpkg -x), and orvex and
#     the example host run from there.
# TARGET=win32: `cpack -G ZIP` in the Windows build makes the zip; its files
#   are checked, its DLL exports exactly the names of the .def file, and
#   under Wine orvex.exe from the zip and the example host cross-built
#   against the unpacked zip (through find_package) run a script.
#
# BUILD_DIR: the build to install (default build, or build-win32); a missing
# Linux build is configured like scripts/demo.sh. Scratch files go to
# BUILD_DIR/install-check.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"
started=$SECONDS

fail() { echo "install-check: $*" >&2; exit 1; }
step() { echo "install-check: $*"; }

# expect_same WHAT EXPECTED ACTUAL: two texts that must be equal.
expect_same() {
  if [ "$2" != "$3" ]; then
    diff -u <(printf '%s\n' "$2") <(printf '%s\n' "$3") >&2 || true
    fail "$1: not as expected (- expected, + actual)"
  fi
}

# readme_block HEADING FENCE: the first code block opened by FENCE (e.g.
# '```cpp') in the README section whose heading starts with HEADING.
readme_block() {
  local text
  text="$(awk -v heading="$1" -v fence="$2" '
    index($0, heading) == 1 { in_section = 1; next }
    in_section && /^## / { exit }
    in_section && !in_block && $0 == fence { in_block = 1; next }
    in_block && $0 == "```" { exit }
    in_block { print }' README.md)"
  [ -n "$text" ] || fail "README.md: no $2 block in the section \"$1\""
  printf '%s\n' "$text"
}

# The headers a host includes.
HEADERS="AgentComponents.h LuaEngineInterface.h OrvexEngine.h OrvexExport.h OrvexHost.h Singleton.h"
HELLO="hello, install-check (libraries: orvexUtil, orvexJson, orvexLoadLua, orvexThread)"

# ---------------------------------------------------------------------------
if [ "${TARGET:-}" = win32 ]; then
  bash scripts/install-deps.sh win32
  dir="$(cd "${BUILD_DIR:-build-win32}" 2>/dev/null && pwd)" || fail "no Windows build in ${BUILD_DIR:-build-win32} (TARGET=win32 bash scripts/test.sh makes it)"
  work="$dir/install-check"
  rm -rf "$work" "$dir/packages"
  mkdir -p "$work"
  export WINEPREFIX="${WINEPREFIX:-$dir/wineprefix}" WINEDEBUG="${WINEDEBUG:--all}"
  win() { wine "$@" 2>>"$work/wine.log" | tr -d '\r'; }

  step "cpack -G ZIP"
  (cd "$dir" && cpack -G ZIP >"$work/cpack.log") || { cat "$work/cpack.log" >&2; fail "cpack -G ZIP failed"; }
  zip="$(ls "$dir"/packages/*.zip)"
  top="$(basename "$zip" .zip)"
  expected="$(printf '%s\n' bin/orvex.exe bin/orvexLuaEngine.dll lib/liborvexLuaEngine.dll.a lib/orvexLuaEngine.def \
    lib/cmake/orvexLuaEngine/orvexLuaEngineConfig.cmake lib/cmake/orvexLuaEngine/orvexLuaEngineConfigVersion.cmake \
    lib/cmake/orvexLuaEngine/orvexLuaEngineTargets-CONFIG.cmake lib/cmake/orvexLuaEngine/orvexLuaEngineTargets.cmake \
    lib/pkgconfig/orvexLuaEngine.pc share/doc/orvexLuaEngine/script-api.md \
    $(for h in $HEADERS; do echo "include/orvexLuaEngine/$h"; done) | sort)"
  actual="$(unzip -Z1 "$zip" | grep -v '/$' | sed "s#^$top/##; s#Targets-[a-z]*\.cmake#Targets-CONFIG.cmake#" | sort)"
  expect_same "$(basename "$zip")" "$expected" "$actual"

  unzip -q "$zip" -d "$work"
  tree="$work/$top"
  cmake -DDLL="$tree/bin/orvexLuaEngine.dll" -DDEF="$root/engine/orvexLuaEngine.def" \
    -DOBJDUMP=i686-w64-mingw32-objdump -P cmake/CheckDllExports.cmake >/dev/null

  step "orvex.exe from the zip, under Wine"
  expect_same "orvex.exe run" "$HELLO" "$(win "$tree/bin/orvex.exe" run "Z:$root/examples/hello.lua" install-check)"

  step "examples/host cross-built against the zip (find_package), under Wine"
  cmake -S examples/host -B "$work/host" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-i686-w64-mingw32.cmake" \
    -DorvexLuaEngine_DIR="$tree/lib/cmake/orvexLuaEngine" -DCMAKE_CXX_FLAGS=-Werror \
    -DCMAKE_EXE_LINKER_FLAGS="-static -static-libgcc -static-libstdc++" >"$work/host.log" 2>&1 &&
    cmake --build "$work/host" >>"$work/host.log" 2>&1 || { cat "$work/host.log" >&2; fail "example host (Windows) failed to build"; }
  # A Windows host finds the DLL in its own directory.
  cp "$tree/bin/orvexLuaEngine.dll" "$work/host/"
  expect_same "example host (Windows)" "true: $HELLO" \
    "$(win "$work/host/orvex_example_host.exe" "Z:$root/examples/hello.lua" install-check)"
  step "done in $((SECONDS - started)) s"
  exit 0
fi

# ---------------------------------------------------------------------------
bash scripts/install-deps.sh package
dir="${BUILD_DIR:-build}"
if [ ! -f "$dir/CMakeCache.txt" ]; then
  cmake -S . -B "$dir" -DORVEX_WERROR=ON -DORVEX_BUILD_TESTS=OFF -DORVEX_BUILD_BENCH=OFF >/dev/null
fi
cmake --build "$dir" -j"$(nproc)" --target orvexLuaEngine orvex >/dev/null
dir="$(cd "$dir" && pwd)"
work="$dir/install-check"
rm -rf "$work" "$dir/packages"
mkdir -p "$work"
libdir="$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$dir/CMakeCache.txt")"
version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$dir/CMakeCache.txt")"
[ -n "$libdir" ] && [ -n "$version" ] || fail "$dir/CMakeCache.txt names no CMAKE_INSTALL_LIBDIR or project version"

# The files of an installed tree below $1, as paths relative to it.
tree_files() { (cd "$1" && find . ! -type d | sed 's#^\./##; s#Targets-[a-z]*\.cmake#Targets-CONFIG.cmake#' | sort); }
expected_files() {
  printf '%s\n' bin/orvex "$libdir/liborvexLuaEngine.so" "$libdir/liborvexLuaEngine.so.0" \
    "$libdir/liborvexLuaEngine.so.$version" \
    "$libdir/cmake/orvexLuaEngine/orvexLuaEngineConfig.cmake" \
    "$libdir/cmake/orvexLuaEngine/orvexLuaEngineConfigVersion.cmake" \
    "$libdir/cmake/orvexLuaEngine/orvexLuaEngineTargets-CONFIG.cmake" \
    "$libdir/cmake/orvexLuaEngine/orvexLuaEngineTargets.cmake" \
    "$libdir/pkgconfig/orvexLuaEngine.pc" share/doc/orvexLuaEngine/script-api.md \
    $(for h in $HEADERS; do echo "include/orvexLuaEngine/$h"; done) | sort
}

# Runs orvex and the example host (built both ways) from the tree $1 (a
# prefix); $2 names it in messages.
check_tree() {
  local prefix="$1" what="$2" out="$work/$2"
  mkdir -p "$out"
  # Nothing from the build tree may help: no library path, no build RPATH.
  expect_same "$what: orvex run" "$HELLO" \
    "$(env -u LD_LIBRARY_PATH "$prefix/bin/orvex" run examples/hello.lua install-check)"

  cmake -S examples/host -B "$out/host-cmake" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_FLAGS=-Werror \
    >"$out/host-cmake.log" 2>&1 && cmake --build "$out/host-cmake" >>"$out/host-cmake.log" 2>&1 ||
    { cat "$out/host-cmake.log" >&2; fail "$what: example host (find_package) failed to build"; }
  expect_same "$what: example host (find_package)" "true: $HELLO" \
    "$("$out/host-cmake/orvex_example_host" examples/hello.lua install-check)"
  printf 'function orvexScriptMain() return orvexConfig.GetVMid() end\n' >"$out/config.lua"
  expect_same "$what: example host's configuration component" "true: example-host" \
    "$("$out/host-cmake/orvex_example_host" "$out/config.lua")"

  export PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig"
  local cflags libs pclibdir
  cflags="$(pkg-config --cflags orvexLuaEngine)"
  libs="$(pkg-config --libs orvexLuaEngine)"
  pclibdir="$(pkg-config --variable=libdir orvexLuaEngine)"
  [ "$(cd "$pclibdir" && pwd -P)" = "$(cd "$prefix/$libdir" && pwd -P)" ] ||
    fail "$what: pkg-config's libdir $pclibdir is not $prefix/$libdir"
  # shellcheck disable=SC2086
  c++ -std=c++17 -Wall -Wextra -Werror examples/host/main.cpp $cflags $libs -Wl,-rpath,"$pclibdir" \
    -o "$out/host-pkgconfig" || fail "$what: example host (pkg-config) failed to build"
  expect_same "$what: example host (pkg-config)" "true: $HELLO" \
    "$("$out/host-pkgconfig" examples/hello.lua install-check)"
  unset PKG_CONFIG_PATH
}

step "cmake --install into a scratch prefix"
cmake --install "$dir" --prefix "$work/staged" >"$work/install.log"
expect_same "installed files" "$(expected_files)" "$(tree_files "$work/staged")"
lib="$work/staged/$libdir/liborvexLuaEngine.so.$version"
readelf -d "$lib" | grep -q 'SONAME.*\[liborvexLuaEngine\.so\.0\]' || fail "$lib: SONAME is not liborvexLuaEngine.so.0"
[ "$(readlink "$work/staged/$libdir/liborvexLuaEngine.so.0")" = "liborvexLuaEngine.so.$version" ] ||
  fail "liborvexLuaEngine.so.0 does not link to liborvexLuaEngine.so.$version"
readelf -d "$work/staged/bin/orvex" | grep -qE 'R(UN)?PATH.*\[\$ORIGIN/' || fail "bin/orvex has no \$ORIGIN-relative RPATH"
readelf -d "$work/staged/bin/orvex" | grep -E 'R(UN)?PATH' | grep -q "$dir" && fail "bin/orvex's RPATH names the build tree"

step "moved elsewhere: orvex, the example host (find_package and pkg-config)"
mkdir -p "$work/relocated"
mv "$work/staged" "$work/relocated/orvex"
prefix="$work/relocated/orvex"
check_tree "$prefix" installed

step "the README's code against the install"
export PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig"
cflags="$(pkg-config --cflags orvexLuaEngine)"
libs="$(pkg-config --libs orvexLuaEngine) -Wl,-rpath,$prefix/$libdir"
embedding="$(readme_block "## Embedding it" '```cpp')"
{
  printf '%s\n' "$embedding" | grep '^#include'
  printf '#include <string>\nint main() {\n'
  printf '%s\n' "$embedding" | grep -v '^#include'
  printf '    return 0;\n}\n'
} >"$work/readme_embedding.cpp"
# shellcheck disable=SC2086
c++ -std=c++17 -Wall -Wextra -Werror -Wno-unused-variable "$work/readme_embedding.cpp" $cflags $libs \
  -o "$work/readme_embedding" || fail "README.md's embedding code does not compile against the install"
"$work/readme_embedding" || fail "README.md's embedding code failed"
readme_block "## Installing it" '```c' >"$work/readme_host.c"
# shellcheck disable=SC2086
cc -std=c99 -pedantic -Wall -Wextra -Werror "$work/readme_host.c" $cflags $libs -o "$work/readme_host" ||
  fail "README.md's C code does not compile against the install"
expect_same "README.md's C code" "true: hello, first (libraries: orvexUtil, orvexJson, orvexLoadLua, orvexThread)" \
  "$("$work/readme_host" examples/hello.lua)"
# Every header on its own; the C interface also as C89.
for h in $HEADERS; do
  # shellcheck disable=SC2086
  printf '#include <orvexLuaEngine/%s>\n' "$h" | c++ -std=c++17 -Wall -Wextra -Werror -fsyntax-only $cflags -x c++ - ||
    fail "$h does not compile on its own"
done
for h in OrvexEngine.h OrvexExport.h; do
  # shellcheck disable=SC2086
  printf '#include <orvexLuaEngine/%s>\nint orvex_header_check;\n' "$h" | cc -std=c89 -pedantic -Wall -Wextra -Werror -fsyntax-only $cflags -x c - ||
    fail "$h is not C89"
done
unset PKG_CONFIG_PATH

step "cpack -G DEB"
(cd "$dir" && cpack -G DEB >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log" >&2; fail "cpack -G DEB failed"; }
deb="$(ls "$dir"/packages/*.deb)"
[ "$(dpkg-deb -f "$deb" Package)" = orvexluaengine ] || fail "$deb: package name"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "$deb: version"
depends="$(dpkg-deb -f "$deb" Depends)"
for p in libc6 libstdc++6 liblua5.1-0 libcurl4 libssl3 libsqlite3-0 libminizip1 zlib1g; do
  printf '%s\n' "$depends" | tr ',' '\n' | sed 's/^ *//; s/ .*//' | grep -qxF "$p" || fail "$deb: Depends lacks $p: $depends"
done
dpkg-deb -I "$deb" shlibs | grep -qx "liborvexLuaEngine 0 orvexluaengine (>= $version)" ||
  fail "$deb: no shlibs entry for liborvexLuaEngine.so.0"
expect_same "$(basename "$deb")" "$(expected_files | sed 's#^#usr/#')" \
  "$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sed 's#^\./##; s#Targets-[a-z]*\.cmake#Targets-CONFIG.cmake#' | sort)"
step "the package unpacked (dpkg -x): orvex, the example host (find_package and pkg-config)"
dpkg -x "$deb" "$work/debroot"
check_tree "$work/debroot/usr" deb

step "done in $((SECONDS - started)) s"

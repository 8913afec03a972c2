# Dependencies of the 32-bit Windows build: static libraries that
# scripts/win32-deps.sh built from Debian sources into ORVEX_WIN32_DEPS, zlib
# from libz-mingw-w64-dev, and system libraries. Sets ORVEX_DEPENDENCIES.
if(NOT ORVEX_WIN32_DEPS OR NOT EXISTS "${ORVEX_WIN32_DEPS}/lib/liblua5.1-c++.a")
  message(FATAL_ERROR "ORVEX_WIN32_DEPS must name the prefix made by scripts/win32-deps.sh")
endif()
if(NOT ORVEX_SANITIZE STREQUAL "")
  message(FATAL_ERROR "The Windows build has no sanitizer variant")
endif()

set(_deps_include "${ORVEX_WIN32_DEPS}/include")
function(orvex_win32_static_dep name file)
  add_library(orvex_dep::${name} STATIC IMPORTED)
  set_target_properties(orvex_dep::${name} PROPERTIES IMPORTED_LOCATION "${file}" ${ARGN})
endfunction()

# Static zlib, not its import library.
find_library(ORVEX_ZLIB_STATIC NAMES libz.a REQUIRED)
orvex_win32_static_dep(zlib "${ORVEX_ZLIB_STATIC}")
orvex_win32_static_dep(lua "${ORVEX_WIN32_DEPS}/lib/liblua5.1-c++.a"
  INTERFACE_INCLUDE_DIRECTORIES "${_deps_include}/lua5.1")
orvex_win32_static_dep(sqlite3 "${ORVEX_WIN32_DEPS}/lib/libsqlite3.a"
  INTERFACE_INCLUDE_DIRECTORIES "${_deps_include}")
orvex_win32_static_dep(minizip "${ORVEX_WIN32_DEPS}/lib/libminizip.a"
  INTERFACE_INCLUDE_DIRECTORIES "${_deps_include}/minizip"
  INTERFACE_LINK_LIBRARIES orvex_dep::zlib)
add_library(orvex_dep::headers INTERFACE IMPORTED)  # RapidJSON, SimpleIni
set_target_properties(orvex_dep::headers PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${_deps_include}")

set(ORVEX_HEADER_ONLY_DEPENDENCIES orvex_dep::headers)
set(ORVEX_DEPENDENCIES
  orvex_dep::lua orvex_dep::sqlite3 orvex_dep::minizip orvex_dep::zlib orvex_dep::headers
  Threads::Threads crypt32 bcrypt winhttp ws2_32 advapi32)

# Everything static: no libgcc, libstdc++ or winpthread DLL has to travel
# with orvexLuaEngine.dll or the executables.
add_link_options(-static -static-libgcc -static-libstdc++)

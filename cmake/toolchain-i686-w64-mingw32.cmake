# Cross build for 32-bit Windows with Debian's mingw-w64 (the -posix variant:
# std::thread, std::mutex and std::shared_mutex need its threading model).
#
#   cmake -S . -B build-win32 \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake \
#     -DORVEX_WIN32_DEPS=<prefix made by scripts/win32-deps.sh>
#
# Test executables run through Wine (CMAKE_CROSSCOMPILING_EMULATOR).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(ORVEX_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER ${ORVEX_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ORVEX_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ORVEX_MINGW_TRIPLE}-windres)

# Where scripts/win32-deps.sh installed the static libraries built from
# Debian sources (Lua, SQLite, minizip, GoogleTest).
set(ORVEX_WIN32_DEPS "" CACHE PATH "Prefix of the cross-built dependencies")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ORVEX_WIN32_DEPS)

set(CMAKE_FIND_ROOT_PATH /usr/${ORVEX_MINGW_TRIPLE} ${ORVEX_WIN32_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(ORVEX_WINE wine)
if(ORVEX_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ORVEX_WINE})
endif()

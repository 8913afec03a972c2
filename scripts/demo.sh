#!/usr/bin/env bash
# Installs what is missing, builds the library and the orvex command, and
# runs an example script through it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh build
cmake -S . -B build -DORVEX_BUILD_TESTS=OFF -DORVEX_BUILD_BENCH=OFF >/dev/null
cmake --build build -j"$(nproc)" --target orvex
./build/orvex run examples/hello.lua "${1:-orvex}"

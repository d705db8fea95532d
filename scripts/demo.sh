#!/usr/bin/env bash
# Builds Quellmark and opens its window.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" --target Quellmark
exec build/app/Quellmark

#!/usr/bin/env bash
# Applies .clang-format to every C and C++ file of the project.
set -euo pipefail
cd "$(dirname "$0")/.."
git ls-files -co --exclude-standard -- '*.c' '*.cpp' '*.h' | grep -v '^build' | xargs -r "${1:-clang-format}" -i

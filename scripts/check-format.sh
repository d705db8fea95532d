#!/usr/bin/env bash
# Checks that every C and C++ file of the project follows .clang-format.
# Usage: scripts/check-format.sh [CLANG_FORMAT]   (scripts/format.sh applies it)
set -euo pipefail
cd "$(dirname "$0")/.."
clang_format=${1:-clang-format}
git ls-files -co --exclude-standard -- '*.c' '*.cpp' '*.h' | grep -v '^build' |
    xargs -r "$clang_format" --dry-run --Werror
echo "every file follows .clang-format"

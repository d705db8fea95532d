#!/usr/bin/env bash
# Installs the npm package mdb-reader into BUILD_DIR/node, where the settings
# tool's tests look for it. Usage: scripts/setup-node.sh [BUILD_DIR]
#
# Never fails its caller: without npm or without the registry the reason is
# written to BUILD_DIR/node/setup-failed.txt, and the test that needs
# mdb-reader skips and prints it.
set -u
build="${1:-build}"
prefix="$build/node"
version="3.2.0"  # ES module; runs on node 18 and 20
mkdir -p "$prefix"
failed="$prefix/setup-failed.txt"
rm -f "$failed"

if grep -qs "\"version\": \"$version\"" "$prefix/node_modules/mdb-reader/package.json"; then
  exit 0
fi
if ! command -v npm >/dev/null 2>&1; then
  echo "npm is not installed" > "$failed"
  echo "setup-node.sh: npm is not installed; the mdb-reader test will skip" >&2
  exit 0
fi
if ! timeout 120 npm install --prefix "$prefix" --no-audit --no-fund --fetch-retries=1 --fetch-timeout=30000 \
    "mdb-reader@$version" > "$prefix/npm.log" 2>&1; then
  {
    echo "npm install mdb-reader@$version failed:"
    grep -E '^npm (error|ERR!) (code|errno|network|request|syscall)' "$prefix/npm.log" | head -n 6 ||
      tail -n 6 "$prefix/npm.log"
  } > "$failed"
  echo "setup-node.sh: npm install failed (see $prefix/npm.log); the mdb-reader test will skip" >&2
fi
exit 0

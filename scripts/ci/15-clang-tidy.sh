#!/usr/bin/env bash
# clang-tidy with the project's checks (.clang-tidy: bugprone and performance) over the
# program's own sources and headers, from the compile commands of the main build that
# scripts/run-tests made. Fails on any warning.
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/install-deps

build=${BUILD_DIR:-build}
if [ ! -f "$build/compile_commands.json" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
log="$build/clang-tidy.log"
root=$(pwd)
run-clang-tidy -p "$build" -quiet -j "$(nproc)" \
  "^$root/(app|server|protocol|host|module|emulator|support|programs|testing)/" >"$log" 2>&1 || true
if grep -qE '(warning|error): ' "$log"; then
  echo "clang-tidy: findings (full log: $log)" >&2
  grep -E '(warning|error): ' "$log" | sed 's/\x1b\[[0-9;]*m//g' | sort -u >&2
  exit 1
fi
echo "clang-tidy: no findings in $(grep -c '^clang-tidy' "$log" || true) files"
